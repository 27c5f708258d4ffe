// One scan of the seven channels, measured side by side with a libmodbus
// master doing the same seven reads on an identical simulated bus: slaves
// answering at pty speed, slaves answering at the pace of a 19200 baud line,
// and every slave silent. Kelvara's scan is the real one: TScanCycle::ScanAll
// over TChannelReader and TSerialChannel, whose settle pause really passes.
#include "BenchReport.h"

#include "acquisition/ChannelTable.h"
#include "acquisition/Scan.h"
#include "acquisition/Transaction.h"
#include "serial/SerialChannel.h"
#include "sim/SimBus.h"
#include "support/TempDir.h"

#include <modbus.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

using namespace kelvara;
using kbench::Fmt;
using kbench::Median;
using kbench::NowMs;
using kbench::Ratio;
using kbench::Row;
using kbench::Worst;

namespace {

constexpr int kSlaves = 7;
constexpr int kBaud = 19200;
constexpr double kReadTimeoutMs = TChannelReader::kReadTimeoutMs;
constexpr double kSettleMs = TScanCycle::kSettleMs;

void SleepMs(double ms)
{
    timespec ts{time_t(ms / 1000), long(std::fmod(ms, 1000.0) * 1e6)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

struct TSample {
    std::vector<double> scan;  // the whole scan, settle pause included
    std::vector<double> reads; // the seven reads alone
    long failures = 0;         // reads without a value
};

class TKelvaraMaster {
public:
    TKelvaraMaster(const std::string& device, const std::string& offsetsPath)
        : table_(TLocaleSettings::Named("C")), reader_(ser_), scan_(table_, reader_, TClockField::None, [this](int ms) {
              // The settle pause really passes; its time is kept so the
              // reads can be told apart.
              const double start = NowMs();
              SleepMs(ms);
              slept_ = NowMs() - start;
          })
    {
        table_.CreateCmdFromFiles({offsetsPath}, kChannelDefinitions);
        ser_.Connect(device);
        if (!ser_.InstanceActive()) throw std::runtime_error("cannot open " + device + ": " + ser_.LastErrorDesc());
        ser_.Config(kBaud, 8, 'n', 0, false, false);
    }

    void Scan(TSample& s)
    {
        const double start = NowMs();
        const TScanRecord record = scan_.ScanAll(false);
        const double total = NowMs() - start;
        s.scan.push_back(total);
        s.reads.push_back(total - slept_);
        for (int i = 0; i < kSlaves; ++i)
            if (std::isnan(record.Readings[i])) ++s.failures;
    }

private:
    TSerialChannel ser_;
    TChannelTable table_;
    TChannelReader reader_;
    double slept_ = 0;
    TScanCycle scan_;
};

class TLibmodbusMaster {
public:
    explicit TLibmodbusMaster(const std::string& device)
    {
        // A pty refuses parity, so the line runs without.
        ctx_ = modbus_new_rtu(device.c_str(), kBaud, 'N', 8, 1);
        if (!ctx_) throw std::runtime_error("modbus_new_rtu failed");
        modbus_set_response_timeout(ctx_, 0, uint32_t(kReadTimeoutMs * 1000));
        modbus_set_byte_timeout(ctx_, 0, uint32_t(kReadTimeoutMs * 1000));
        if (modbus_connect(ctx_) != 0) {
            const std::string why = modbus_strerror(errno);
            modbus_free(ctx_);
            throw std::runtime_error("modbus_connect " + device + ": " + why);
        }
    }
    ~TLibmodbusMaster()
    {
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
    TLibmodbusMaster(const TLibmodbusMaster&) = delete;
    TLibmodbusMaster& operator=(const TLibmodbusMaster&) = delete;

    // The same scan: the settle pause, then registers 4 and 5 of each slave.
    void Scan(TSample& s)
    {
        const double start = NowMs();
        SleepMs(kSettleMs);
        const double readsStart = NowMs();
        for (int slave = 1; slave <= kSlaves; ++slave) {
            uint16_t regs[2] = {};
            modbus_set_slave(ctx_, slave);
            if (modbus_read_input_registers(ctx_, 4, 2, regs) != 2) ++s.failures;
        }
        const double end = NowMs();
        s.scan.push_back(end - start);
        s.reads.push_back(end - readsStart);
    }

private:
    modbus_t* ctx_ = nullptr;
};

struct TResult {
    TSample kelvara;
    TSample libmodbus;
};

// Two identical buses, one per master, so neither master's descriptor can
// take the other's reply; the scans alternate so both see the same machine.
TResult Measure(const sim::TSimOptions& options, bool silent, int scans, const std::string& offsetsPath)
{
    sim::TSimBus busK(options);
    sim::TSimBus busM(options);
    busK.Start();
    busM.Start();
    if (silent)
        for (int slave = 1; slave <= kSlaves; ++slave) {
            busK.SetFault(slave, sim::TFault{sim::TFaultKind::Silent, 0});
            busM.SetFault(slave, sim::TFault{sim::TFaultKind::Silent, 0});
        }
    TKelvaraMaster kelvara(busK.DevicePath(), offsetsPath);
    TLibmodbusMaster libmodbus(busM.DevicePath());

    TResult r;
    TSample warmK;
    TSample warmM;
    for (int i = 0; i < 3; ++i) {
        kelvara.Scan(warmK);
        libmodbus.Scan(warmM);
    }
    for (int i = 0; i < scans; ++i) {
        kelvara.Scan(r.kelvara);
        SleepMs(5);
        libmodbus.Scan(r.libmodbus);
        SleepMs(5);
    }
    kbench::Say("scan_bench: %s%s: kelvara median %.2f worst %.2f ms (%ld failed reads), "
                "libmodbus median %.2f worst %.2f ms (%ld failed reads)\n",
                options.WireTiming ? "wire timing" : "pty speed", silent ? ", silent" : "", Median(r.kelvara.scan),
                Worst(r.kelvara.scan), r.kelvara.failures, Median(r.libmodbus.scan), Worst(r.libmodbus.scan),
                r.libmodbus.failures);
    return r;
}

std::string Failures(const TResult& r, long expected)
{
    if (r.kelvara.failures == expected && r.libmodbus.failures == expected) return "";
    return "; failed reads: Kelvara " + std::to_string(r.kelvara.failures) + ", libmodbus " +
           std::to_string(r.libmodbus.failures) + " (expected " + std::to_string(expected) + ")";
}

} // namespace

int main()
{
    const int scans = std::max(50, std::atoi(std::getenv("BENCH_SCANS") ? std::getenv("BENCH_SCANS") : "60"));
    try {
        const test::TTempDir dir("kelvara-scan-bench");
        const std::string offsets = dir.Write("offset.txt", "0\n0\n0\n0\n0\n0\n0\n");

        // 1. Answering slaves at pty speed.
        sim::TSimOptions fast;
        fast.Baud = kBaud;
        const TResult a = Measure(fast, false, scans, offsets);
        const std::string n = std::to_string(scans) + " scans each";
        Row("1a", "Scan, 7 answering slaves, pty speed: median", Fmt(Median(a.kelvara.scan), "ms", 2),
            Fmt(Median(a.libmodbus.scan), "ms", 2) + " (libmodbus: 20 ms sleep + 7 reads)",
            Ratio(Median(a.kelvara.scan), Median(a.libmodbus.scan)), n + Failures(a, 0));
        Row("1b", "Scan, 7 answering slaves, pty speed: worst", Fmt(Worst(a.kelvara.scan), "ms", 2),
            Fmt(Worst(a.libmodbus.scan), "ms", 2) + " (libmodbus)",
            Ratio(Worst(a.kelvara.scan), Worst(a.libmodbus.scan)), n);
        Row("1c", "The 7 reads alone (scan less its 20 ms sleep): median", Fmt(Median(a.kelvara.reads), "ms", 2),
            Fmt(Median(a.libmodbus.reads), "ms", 2) + " (libmodbus)",
            Ratio(Median(a.kelvara.reads), Median(a.libmodbus.reads)),
            "the simulator frames a request after 3.5 character times (2.0 ms) of silence");
        Row("1d", "The 7 reads alone: worst", Fmt(Worst(a.kelvara.reads), "ms", 2),
            Fmt(Worst(a.libmodbus.reads), "ms", 2) + " (libmodbus)",
            Ratio(Worst(a.kelvara.reads), Worst(a.libmodbus.reads)), "");

        // 2. The pace of a real line: 19200 baud, 11-bit characters, 2 ms turnaround.
        sim::TSimOptions wire = fast;
        wire.WireTiming = true;
        wire.TurnaroundMs = 2;
        const TResult b = Measure(wire, false, scans, offsets);
        const double charMs = 11.0 * 1000.0 / kBaud;
        const double physical = kSettleMs + kSlaves * ((8 + 9) * charMs + wire.TurnaroundMs + 3.5 * charMs);
        Row("2a", "Scan, wire timing 19200 baud + 2 ms turnaround: median", Fmt(Median(b.kelvara.scan), "ms", 2),
            Fmt(physical, "ms", 2) + " (line minimum + 20 ms sleep)", Ratio(Median(b.kelvara.scan), physical),
            "minimum = 20 + 7 x (17 chars + 2 ms + 3.5 chars), 1 char = 0.573 ms" + Failures(b, 0));
        Row("2b", "Scan, wire timing: worst", Fmt(Worst(b.kelvara.scan), "ms", 2), Fmt(physical, "ms", 2),
            Ratio(Worst(b.kelvara.scan), physical), "");
        Row("2c", "Scan, wire timing: median against libmodbus", Fmt(Median(b.kelvara.scan), "ms", 2),
            Fmt(Median(b.libmodbus.scan), "ms", 2) + " (libmodbus, worst " + Fmt(Worst(b.libmodbus.scan), "ms", 2) +
                ")",
            Ratio(Median(b.kelvara.scan), Median(b.libmodbus.scan)), "same 20 ms sleep before libmodbus's reads");

        // 3. Every slave silent: each read waits out its time-out.
        const TResult c = Measure(fast, true, scans, offsets);
        const double silentRef = kSettleMs + kSlaves * kReadTimeoutMs;
        Row("3a", "Scan, 7 silent slaves: median", Fmt(Median(c.kelvara.scan), "ms", 2),
            Fmt(silentRef, "ms", 0) + " (20 ms + 7 x 25 ms)", Ratio(Median(c.kelvara.scan), silentRef),
            "libmodbus, same time-out: median " + Fmt(Median(c.libmodbus.scan), "ms", 2) + Failures(c, 7L * scans));
        Row("3b", "Scan, 7 silent slaves: worst", Fmt(Worst(c.kelvara.scan), "ms", 2), Fmt(silentRef, "ms", 0),
            Ratio(Worst(c.kelvara.scan), silentRef), "libmodbus worst " + Fmt(Worst(c.libmodbus.scan), "ms", 2));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "scan_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
