// kelvara-log: the headless logger. The same channel table, read transaction
// and scan cycle as the window, driven by a one-second tick on the monotonic
// clock. stdout carries the log (header, then one line per scan); stderr
// carries diagnostics only, so the output can be piped into other tools.
#include "acquisition/Session.h"
#include "base/Clock.h"
#include "base/Errors.h"
#include "base/Text.h"
#include "config/AppPaths.h"
#include "config/Settings.h"
#include "logfile/LogFile.h"
#include "serial/PortList.h"

#include "StopSignals.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

using namespace kelvara;

namespace {

constexpr const char* kUsage = "usage: kelvara-log [--port DEVICE | --simulate] [--baud N] [--parity odd|even|no]\n"
                               "                   [--period SECONDS] [--scans N] [--offset-corr] [--offsets FILE]\n"
                               "                   [--output FILE] [--clock utc|local]\n"
                               "       kelvara-log --list-ports | --help | --version\n"
                               "Try 'kelvara-log --help' for more.\n";

struct TOptions {
    std::optional<std::string> port;
    bool simulate = false;
    std::optional<std::string> baud;
    std::optional<std::string> parity;
    std::optional<std::string> period;
    long scans = -1; // no limit
    bool offsetCorr = false;
    std::optional<std::string> offsets;
    std::optional<std::string> output;
    bool listPorts = false;
    std::optional<std::string> clock;
};

[[noreturn]] void Usage(const std::string& problem)
{
    std::fprintf(stderr, "kelvara-log: %s\n%s", problem.c_str(), kUsage);
    std::exit(2);
}

TOptions ParseOptions(int argc, char** argv)
{
    TOptions o;
    CLI::App app("Logs the seven channels of a Kelvara bus: the header and one line per scan on stdout,\n"
                 "diagnostics on stderr. Defaults come from kelvara.ini. Exit codes: 0 done (after --scans,\n"
                 "SIGINT or SIGTERM), 1 cannot start or the output file failed, 2 bad options.",
                 "kelvara-log");
    app.set_help_flag("-h,--help", "describe the options, and stop");
    app.get_formatter()->column_width(26);
#ifdef _WIN32
    app.add_option("--port", o.port, "serial port: a name (COM3) or a device path (\\\\.\\COM12)")->type_name("DEVICE");
#else
    app.add_option("--port", o.port, "serial device: a path, or a name under /dev (ttyUSB0)")->type_name("DEVICE");
#endif
    app.add_flag("--simulate", o.simulate, "log from a simulated bus in this process");
    app.add_option("--baud", o.baud, "line speed (default: kelvara.ini, else 19200)")->type_name("N");
    app.add_option("--parity", o.parity, "odd, even or no (default: kelvara.ini, else even)")->type_name("PARITY");
    app.add_option("--period", o.period, "seconds between scans, 0 to 65535 (default: kelvara.ini, else 1)")
        ->type_name("SECONDS");
    std::optional<std::string> scans;
    app.add_option("--scans", scans, "stop after N scans (default: until SIGINT or SIGTERM)")->type_name("N");
    app.add_flag("--offset-corr", o.offsetCorr, "subtract each channel's offset from offset.txt");
    app.add_option("--offsets", o.offsets, "the offsets file (default: offset.txt where kelvara.ini is)")
        ->type_name("FILE");
    app.add_option("--output", o.output, "also append the lines to FILE in the saved-log format")->type_name("FILE");
    app.add_option("--clock", o.clock, "add a ninth field, clock: when the scan began, in utc or local time")
        ->type_name("utc|local");
    app.add_flag("--list-ports", o.listPorts, "list the serial ports the system reports, and stop");
    app.set_version_flag("--version", "kelvara-log " KELVARA_VERSION, "print the version, and stop");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        std::exit(0);
    } catch (const CLI::CallForVersion& e) {
        std::printf("%s\n", e.what());
        std::exit(0);
    } catch (const CLI::ParseError& e) {
        Usage(e.what());
    }
    if (o.port && o.simulate) Usage("--port and --simulate exclude each other");
    if (o.clock && *o.clock != "utc" && *o.clock != "local")
        Usage("--clock takes utc or local, not '" + *o.clock + "'");
    if (o.parity && *o.parity != "odd" && *o.parity != "even" && *o.parity != "no")
        Usage("--parity takes odd, even or no, not '" + *o.parity + "'");
    if (scans) {
        int32_t n = 0;
        if (!TryStrToInt(*scans, n) || n < 1) Usage("--scans needs a whole number of at least 1, not '" + *scans + "'");
        o.scans = n;
    }
    return o;
}

class TLogHost : public TScanHost {
public:
    explicit TLogHost(bool offsetCorr) : offsetCorr_(offsetCorr) {}
    void SetFile(TLogFileWriter* file) { file_ = file; }
    // Adds the clock field: when the scan's first request went out.
    void SetClock(const TScanCycle* scan, bool utc)
    {
        clockOf_ = scan;
        utc_ = utc;
    }

    void ShowTime(const std::string&) override {}
    void SetListLine(int, const std::string&) override {}
    void AppendLogLine(const std::string& scanLine) override
    {
        const std::string line = clockOf_ ? scanLine + '\t' + FormatClock(clockOf_->scanTimeMs, utc_) : scanLine;
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        if (!file_ || !fileError_.empty()) return;
        try {
            file_->WriteLine(line);
        } catch (const EError& e) {
            fileError_ = e.what();
        }
    }
    // Why the output file could not take a line; empty while it takes them.
    const std::string& FileError() const { return fileError_; }
    bool OffsetCorrection() override { return offsetCorr_; }
    void ProcessMessages() override {}
    void Sleep(int ms) override
    {
        timespec ts{ms / 1000, (ms % 1000) * 1000000L};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
    }
    void Notice(const std::string& text) override { std::fprintf(stderr, "kelvara-log: %s\n", text.c_str()); }
    void PortLost(uint32_t second, const std::string& reason) override
    {
        std::fprintf(stderr, "kelvara-log: port lost at second %u: %s\n", second, reason.c_str());
    }
    void PortBack(uint32_t second) override { std::fprintf(stderr, "kelvara-log: port back at second %u\n", second); }

private:
    bool offsetCorr_;
    TLogFileWriter* file_ = nullptr;
    const TScanCycle* clockOf_ = nullptr;
    bool utc_ = true;
    std::string fileError_;
};

} // namespace

int main(int argc, char** argv)
{
    const TOptions opt = ParseOptions(argc, argv);
    if (opt.listPorts) {
        // One port a line: the device path, and the stable name udev gives
        // the same adapter whatever kernel name it gets, where there is one.
        try {
            for (const TPortInfo& port : ListSerialPorts())
                std::printf("%s%s%s\n", port.DevicePath.c_str(), port.StableName.empty() ? "" : "\t",
                            port.StableName.c_str());
        } catch (const EError& e) {
            std::fprintf(stderr, "kelvara-log: %s\n", e.what());
            return 1;
        }
        return 0;
    }

    // Stop requests end the run at the end of the current scan; they are
    // taken synchronously, so no system call inside a scan is interrupted.
    TStopSignals stop;

    const TLocaleSettings locale = TLocaleSettings::Capture();
    const std::string appPath = ResolveAppPath(ExecutablePath());
    const TSettings settings = LoadSettings(IniNameOf(appPath));

    const std::string baudText = opt.baud.value_or(settings.Baud);
    int32_t baud = 0;
    if (!TryStrToInt(baudText, baud) || baud <= 0) Usage("'" + baudText + "' is not a baud rate");
    const std::string parityText = opt.parity.value_or(opt.simulate ? TSession::kSimulatedParity : settings.Parity);
    const std::string periodText = opt.period.value_or(settings.Period);
    uint16_t period = 0;
    try {
        period = TSession::PeriodOf(periodText);
    } catch (const EError&) {
        Usage("the period must be 0 to 65535 seconds, not '" + periodText + "'");
    }

    TLogHost host(opt.offsetCorr);
    TSession session(locale, host);
    try {
        session.CreateCmd(opt.offsets ? TStringList{*opt.offsets} : OffsetsSearchPath(ExecutablePath(), appPath),
                          kChannelDefinitions);
    } catch (const EError& e) {
        std::fprintf(stderr, "kelvara-log: %s\n", e.what());
        return 1;
    }
    const TChannelTable& table = session.Table();
    const std::string header = table.headerLine + (opt.clock ? "\tclock" : "");
    if (opt.clock) host.SetClock(&session.Scan(), *opt.clock == "utc");

    std::string device;
    if (opt.simulate) {
        try {
            device = session.StartSimulatedBus(baud);
        } catch (const EError& e) {
            std::fprintf(stderr, "kelvara-log: cannot start the simulated bus: %s\n", e.what());
            return 1;
        }
        std::fprintf(stderr, "kelvara-log: simulated bus on %s\n", device.c_str());
    } else {
        device = TSession::DevicePathOf(opt.port.value_or(settings.Port));
    }

    const TConnectResult connected = session.Connect(device, baud, parityText.empty() ? '\0' : parityText[0]);
    if (connected.Kind == TConnectResult::NotOpened) {
        std::fprintf(stderr, "kelvara-log: %s\n", connected.Message().c_str());
        return 1;
    }
    if (connected.Kind == TConnectResult::SettingRefused)
        std::fprintf(stderr, "kelvara-log: warning: %s Logging goes on.\n", connected.Message().c_str());

    std::unique_ptr<TLogFileWriter> file;
    if (opt.output) {
        try {
            file = std::make_unique<TLogFileWriter>(*opt.output, header);
        } catch (const EError& e) {
            std::fprintf(stderr, "kelvara-log: %s\n", e.what());
            return 1;
        }
        host.SetFile(file.get());
    }

    std::fputs(header.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);

    const TScanCycle& scan = session.Scan();
    session.StartRun(period);

    // The tick keeps a fixed one-second grid on the monotonic clock, so the
    // second count does not drift with the time the scans take.
    const int64_t start = MonotonicMs();
    int exitCode = 0;
    for (int64_t tick = 1;; ++tick) {
        if (!stop.WaitForTick(start + tick * 1000)) break;
        try {
            session.Tick();
        } catch (const EError& e) {
            std::fprintf(stderr, "kelvara-log: %s\n", e.what());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kelvara-log: %s\n", e.what());
            exitCode = 1;
            break;
        }
        // A log file that cannot take a line ends the run: carrying on would
        // give a file with a hole in it that looks complete.
        if (!host.FileError().empty()) {
            std::fprintf(stderr, "kelvara-log: %s\n", host.FileError().c_str());
            exitCode = 1;
            break;
        }
        if (opt.scans > 0 && scan.scans >= static_cast<uint64_t>(opt.scans)) break;
        if (stop.StopPending()) break;
    }

    for (int i = 0; i < TChannelTable::kSlots; ++i)
        std::fprintf(stderr, "kelvara-log: %s: %s\n", table.chanNames[i].c_str(),
                     DescribeCounts(scan.status[i]).c_str());
    return exitCode;
}
