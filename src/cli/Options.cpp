#include "Options.h"

#include "acquisition/Session.h"
#ifndef _WIN32
#include "metrics/MetricsServer.h"
#endif

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>

namespace kelvara {

namespace {

constexpr const char* kUsage = "usage: kelvara-log [--port DEVICE | --simulate] [--baud N] [--parity odd|even|no]\n"
                               "                   [--period SECONDS] [--scans N] [--offset-corr] [--offsets FILE]\n"
                               "                   [--output FILE | --output-dir DIR [--rotate daily|SIZE]]\n"
                               "                   [--clock utc|local] [--metrics [ADDRESS:]PORT] [--alarms FILE]\n"
                               "                   [--on-alarm PROGRAM [--on-alarm-timeout SECONDS]]\n"
                               "       kelvara-log --list-ports | --help | --version\n"
                               "Try 'kelvara-log --help' for more.\n";

} // namespace

[[noreturn]] void Usage(const std::string& problem)
{
    std::fprintf(stderr, "kelvara-log: %s\n%s", problem.c_str(), kUsage);
    std::exit(2);
}

namespace {

// The options of a logger that runs unattended: its folder of daily files
// and its metrics endpoint.
void AddServiceOptions(CLI::App& app, TLogOptions& o)
{
    app.add_option("--output-dir", o.outputDir,
                   "also append the lines to a file a UTC day in DIR, kelvara-YYYY-MM-DD.csv; a file that\n"
                   "cannot be written is told and tried again at the next line")
        ->type_name("DIR");
    app.add_option("--rotate", o.rotate,
                   "with --output-dir: daily, or also a new file of the day at SIZE\n(512k, 10M, 1G)")
        ->type_name("daily|SIZE");
    app.add_option("--metrics", o.metrics,
                   "serve OpenMetrics at http://ADDRESS:PORT/metrics (ADDRESS: 127.0.0.1 when not given)")
        ->type_name("[ADDRESS:]PORT");
}

void CheckServiceOptions(const TLogOptions& o)
{
    if (o.output && o.outputDir) Usage("--output and --output-dir exclude each other");
    try {
        if (o.rotate != "daily" && !o.outputDir) Usage("--rotate goes with --output-dir");
        ParseRotation(o.rotate);
    } catch (const EError& e) {
        Usage("--rotate: " + std::string(e.what()));
    }
    if (o.metrics) {
#ifdef _WIN32
        Usage("--metrics: this Windows build has no metrics endpoint; it is served by the Linux kelvara-log");
#else
        try {
            ParseListenAddress(*o.metrics);
        } catch (const EError& e) {
            Usage("--metrics: " + std::string(e.what()));
        }
#endif
    }
}

} // namespace

TLogOptions ParseOptions(int argc, char** argv)
{
    TLogOptions o;
    CLI::App app("Logs the seven channels of a Kelvara bus: the header and one line per scan on stdout,\n"
                 "diagnostics on stderr. The first scan comes at the first second of the run, the next ones\n"
                 "every period on that grid. Defaults come from kelvara.ini, which the logger only reads.\n"
                 "Exit codes: 0 done (after --scans, SIGINT or SIGTERM), 1 cannot start or the output file\n"
                 "failed, 2 bad options.",
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
    app.add_option("--period", o.period,
                   "seconds between scans, 0 to 65535; 0 and 1 scan every second\n(default: kelvara.ini, else 1)")
        ->type_name("SECONDS");
    std::optional<std::string> scans;
    app.add_option("--scans", scans, "stop after N scans (default: until SIGINT or SIGTERM)")->type_name("N");
    app.add_flag("--offset-corr", o.offsetCorr, "subtract each channel's offset from offset.txt");
    app.add_option("--offsets", o.offsets,
                   "the offsets file (default: offset.txt where kelvara.ini is; an installed copy then\n"
                   "looks in kelvara/ of the system's configuration directories, then beside itself)")
        ->type_name("FILE");
    app.add_option("--output", o.output, "also append the lines to FILE in the saved-log format")->type_name("FILE");
    AddServiceOptions(app, o);
    app.add_option("--clock", o.clock, "add a ninth field, clock: when the scan began, in utc or local time")
        ->type_name("utc|local");
    app.add_option("--alarms", o.alarms,
                   "alarm rules (alarms.ini form): each alarm raised or cleared is a line on stderr")
        ->type_name("FILE");
    app.add_option("--on-alarm", o.onAlarm,
                   "run PROGRAM for each alarm raised or cleared, the details in KELVARA_ALARM_*\n"
                   "variables of its environment; one at a time per channel")
        ->type_name("PROGRAM");
    std::optional<std::string> timeout;
    app.add_option("--on-alarm-timeout", timeout,
                   "kill a program of --on-alarm still running after SECONDS\n(default 60)")
        ->type_name("SECONDS");
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
    CheckServiceOptions(o);
    if (o.onAlarm && !o.alarms) Usage("--on-alarm needs --alarms");
    if (timeout) {
        int32_t n = 0;
        if (!TryStrToInt(*timeout, n) || n < 1 || n > 86400)
            Usage("--on-alarm-timeout needs 1 to 86400 seconds, not '" + *timeout + "'");
        o.onAlarmTimeout = n;
    }
    if (scans) {
        int32_t n = 0;
        if (!TryStrToInt(*scans, n) || n < 1) Usage("--scans needs a whole number of at least 1, not '" + *scans + "'");
        o.scans = n;
    }
    return o;
}

TSessionConfig SessionConfigOf(const TLogOptions& opt, const TAppFiles& files)
{
    TSessionConfig config = files.SessionConfig(TLocaleSettings::Capture());
    config.JournalDir.clear(); // the output file is the logger's record
    if (opt.offsets) config.OffsetsPaths = {*opt.offsets};
    if (opt.clock) config.Clock = *opt.clock == "utc" ? TClockField::Utc : TClockField::Local;
    config.TimeEvents = false;
    config.Simulated = opt.simulate;
    config.AlarmsFile = opt.alarms.value_or("");
    config.AlarmsOptional = false;
    return config;
}

} // namespace kelvara
