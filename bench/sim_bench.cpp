// The two simulated buses side by side: a scan of the seven slaves through
// the in-process bus (TSimPlatform, what --simulate and --demo use where
// there are no pseudo-terminals) against the same scan through the
// pseudo-terminal simulator (TSimBus), both without wire timing. A scan here
// is the 20 ms settle pause and seven TChannelReader::ReadChannel exchanges
// on a TSerialChannel; the exchanges alone are reported too.
#include "BenchReport.h"

#include "acquisition/Transaction.h"
#include "serial/SerialChannel.h"
#include "sim/SimBus.h"
#include "sim/SimPlatform.h"
#include "support/Frames.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

using namespace kelvara;
using kbench::Fmt;
using kbench::Median;
using kbench::NowMs;
using kbench::Ratio;
using kbench::Row;

namespace {

constexpr int kSlaves = 7;
constexpr int kBaud = 19200;
// The pause a scan makes before its exchanges, so that the slaves have
// settled after the previous scan.
constexpr double kSettleMs = 20;

void SleepMs(double ms)
{
    timespec ts{time_t(ms / 1000), long(std::fmod(ms, 1000.0) * 1e6)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

TFrame Frame(int slave)
{
    return test::ReadRequest(slave);
}

struct TSample {
    std::vector<double> scan;  // settle pause and exchanges
    std::vector<double> reads; // the exchanges alone
    long failures = 0;         // exchanges without a value
};

class TMaster {
public:
    TMaster(TSerialPlatform& platform, const std::string& device) : ser_(platform), reader_(ser_)
    {
        ser_.Connect(device);
        if (!ser_.InstanceActive()) throw std::runtime_error("cannot open " + device + ": " + ser_.LastErrorDesc());
        ser_.Config(kBaud, 8, 'n', 0, false, false);
        for (int s = 1; s <= kSlaves; ++s) frames_.push_back(Frame(s));
    }

    void Scan(TSample& s)
    {
        const double start = NowMs();
        SleepMs(kSettleMs);
        const double readsStart = NowMs();
        for (const TFrame& frame : frames_)
            if (std::isnan(reader_.ReadChannel(frame))) ++s.failures;
        const double end = NowMs();
        s.scan.push_back(end - start);
        s.reads.push_back(end - readsStart);
    }

private:
    TSerialChannel ser_;
    TChannelReader reader_;
    std::vector<TFrame> frames_;
};

} // namespace

int main()
{
    const char* scansText = std::getenv("BENCH_SCANS");
    const int scans = std::max(50, std::atoi(scansText ? scansText : "60"));
    try {
        sim::TSimOptions options;
        options.Baud = kBaud;
        sim::TSimPlatform inProcess(options);
        sim::TSimBus pty(options);
        pty.Start();
        TMaster viaPlatform(inProcess, sim::kSimulatedDevice);
        TMaster viaPty(DefaultSerialPlatform(), pty.DevicePath());

        TSample warm, in, onPty;
        for (int i = 0; i < 3; ++i) {
            viaPlatform.Scan(warm);
            viaPty.Scan(warm);
        }
        // Alternating, so that both see the same machine.
        for (int i = 0; i < scans; ++i) {
            viaPlatform.Scan(in);
            viaPty.Scan(onPty);
        }
        kbench::Say("sim_bench: in-process median %.2f ms (exchanges %.3f ms, %ld failed), "
                    "pty median %.2f ms (exchanges %.3f ms, %ld failed)\n",
                    Median(in.scan), Median(in.reads), in.failures, Median(onPty.scan), Median(onPty.reads),
                    onPty.failures);

        std::string failed;
        if (in.failures != 0 || onPty.failures != 0)
            failed = "; failed reads: in-process " + std::to_string(in.failures) + ", pty " +
                     std::to_string(onPty.failures) + " (expected 0)";
        Row("1e", "Sim: a scan of 7 answering slaves, in-process bus: median", Fmt(Median(in.scan), "ms", 2),
            Fmt(Median(onPty.scan), "ms", 2) + " (pty simulator)", Ratio(Median(in.scan), Median(onPty.scan)),
            std::to_string(scans) + " scans each: 20 ms settle + 7 ReadChannel exchanges, no wire timing" + failed);
        Row("1f", "Sim: the 7 exchanges alone, in-process bus: median", Fmt(Median(in.reads), "ms", 3),
            Fmt(Median(onPty.reads), "ms", 3) + " (pty simulator)", Ratio(Median(in.reads), Median(onPty.reads)),
            "the pty simulator frames a request after 3.5 character times (2.0 ms) of silence");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sim_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
