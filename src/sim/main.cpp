// kelvara-sim: serves the simulated seven-slave bus on a pseudo-terminal until
// SIGINT or SIGTERM. The first line of stdout is the device path to open;
// the per-slave counters follow when it stops. Diagnostics go to stderr.
#include "base/Errors.h"
#include "base/Text.h"
#include "sim/SimBus.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace kelvara;
using namespace kelvara::sim;

namespace {

constexpr const char* kHelpFoot =
    "KIND is one of silent, exception, bad-crc, wrong-address, wrong-function,\n"
    "wrong-byte-count, truncate, delay-before, delay-between, late, garbage,\n"
    "signalling-nan, quiet-nan, one-register, echo.\n"
    "SIGUSR1 unplugs the bus (the device goes away and --link is removed), SIGUSR2 plugs\n"
    "it back in on a new device (and points --link at it).\n"
    "Stops on SIGINT or SIGTERM, printing each slave's counters. Exit codes: 0 stopped by a\n"
    "signal, 1 the bus could not be served, 2 bad options.";

struct TUsageError {
    std::string Message;
};

struct TCommandLine {
    TSimOptions Options;
    std::string Link;
    std::optional<std::vector<float>> Emf;
    std::optional<float> Ambient;
    std::vector<std::pair<int, TFault>> Faults;
};

float ParseFloat(const std::string& option, const std::string& text)
{
    try {
        return StrToFloat32(text, TLocaleSettings{});
    } catch (const EError& e) {
        throw TUsageError{option + ": " + e.what()};
    }
}

int ParseInt(const std::string& option, const std::string& text)
{
    int32_t value = 0;
    if (!TryStrToInt(text, value)) throw TUsageError{option + ": '" + text + "' is not a valid integer value"};
    return value;
}

TFault ParseFault(const std::string& text, int& slave)
{
    const auto colon = text.find(':');
    if (colon == std::string::npos) throw TUsageError{"--fault: expected SLAVE:KIND[=ARG], got '" + text + "'"};
    slave = ParseInt("--fault", text.substr(0, colon));
    if (slave < 1 || slave > kSlaveCount) throw TUsageError{"--fault: slave must be 1 to 7, got '" + text + "'"};
    std::string kind = text.substr(colon + 1);
    std::string arg;
    if (const auto eq = kind.find('='); eq != std::string::npos) {
        arg = kind.substr(eq + 1);
        kind.resize(eq);
    }
    TFault fault;
    try {
        fault.Kind = ParseFaultKindName(kind);
    } catch (const EError& e) {
        throw TUsageError{std::string("--fault: ") + e.what()};
    }
    if (!arg.empty()) fault.Arg = ParseInt("--fault", arg);
    const bool byteArg = fault.Kind == TFaultKind::Exception || fault.Kind == TFaultKind::WrongAddress ||
                         fault.Kind == TFaultKind::WrongFunction || fault.Kind == TFaultKind::WrongByteCount;
    if (fault.Arg < 0 || (byteArg && fault.Arg > 255))
        throw TUsageError{"--fault: argument out of range in '" + text + "'"};
    return fault;
}

TCommandLine ParseCommandLine(int argc, char** argv)
{
    TCommandLine line;
    CLI::App app("Serves Modbus RTU slaves 1..7 on a new pseudo-terminal and prints its path.", "kelvara-sim");
    app.set_help_flag("-h,--help", "describe the options, and stop");
    app.get_formatter()->column_width(28);
    app.footer(kHelpFoot);
    std::string emf, ambient, profile, baud, turnaround;
    std::vector<std::string> faults;
    app.add_option("--link", line.Link, "also make PATH a symbolic link to the device")->type_name("PATH");
    app.add_option("--emf", emf, "fixed EMFs of slaves 1..6 in mV (one value sets all six)")->type_name("V1,...,V6");
    app.add_option("--ambient", ambient, "fixed cold-junction temperature of slave 7 in degrees C")->type_name("T");
    app.add_option("--profile", profile, "moving values: oven, drift or sweep (--emf/--ambient override per slave)")
        ->type_name("NAME");
    app.add_option("--baud", baud, "line speed for framing and pacing (default 19200)")->type_name("N");
    app.add_option("--turnaround", turnaround, "pause before each reply (default 0)")->type_name("MS");
    app.add_flag("--wire-timing", line.Options.WireTiming,
                 "send reply bytes at the pace of the line (11 bits a character)");
    app.add_option("--fault", faults, "a fault for slave S, repeatable")->type_name("S:KIND[=ARG]");
    app.set_version_flag("--version", "kelvara-sim " KELVARA_VERSION, "print the version, and stop");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        std::exit(0);
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << "\n";
        std::exit(0);
    } catch (const CLI::ParseError& e) {
        throw TUsageError{e.what()};
    }

    if (app.count("--link") && line.Link.empty()) throw TUsageError{"--link needs a path"};
    if (app.count("--emf")) {
        std::vector<float> values;
        for (const auto& field : SplitCommaText(emf)) values.push_back(ParseFloat("--emf", field));
        if (values.size() == 1) values.assign(6, values[0]);
        if (values.size() != 6) throw TUsageError{"--emf needs one or six values"};
        line.Emf = values;
    }
    if (app.count("--ambient")) line.Ambient = ParseFloat("--ambient", ambient);
    if (app.count("--profile")) {
        line.Options.Profile = profile;
        if (!profile.empty() && !IsProfileName(profile))
            throw TUsageError{"--profile: unknown profile '" + profile + "' (oven, drift, sweep)"};
    }
    if (app.count("--baud")) {
        line.Options.Baud = ParseInt("--baud", baud);
        if (line.Options.Baud < 1) throw TUsageError{"--baud must be positive"};
    }
    if (app.count("--turnaround")) {
        line.Options.TurnaroundMs = ParseFloat("--turnaround", turnaround);
        if (!(line.Options.TurnaroundMs >= 0)) throw TUsageError{"--turnaround must not be negative"};
    }
    for (const std::string& text : faults) {
        int slave = 0;
        TFault fault = ParseFault(text, slave);
        line.Faults.emplace_back(slave, fault);
    }
    return line;
}

bool LinkPointsTo(const std::string& link, const std::string& target)
{
    char buffer[512];
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    return n >= 0 && std::string(buffer, static_cast<size_t>(n)) == target;
}

// Makes link a symbolic link to device, replacing an old link (from a run
// that was killed, or the device before an unplug), never a file.
bool PointLink(const std::string& link, const std::string& device)
{
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            std::cerr << "kelvara-sim: " << link << " exists and is not a symbolic link\n";
            return false;
        }
        ::unlink(link.c_str());
    }
    if (::symlink(device.c_str(), link.c_str()) != 0) {
        std::cerr << "kelvara-sim: cannot create " << link << ": " << SysErrorMessage(errno) << "\n";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    TCommandLine line;
    try {
        line = ParseCommandLine(argc, argv);
    } catch (const TUsageError& e) {
        std::cerr << "kelvara-sim: " << e.Message << "\nTry 'kelvara-sim --help'.\n";
        return 2;
    }

    // The signals are taken by sigwait below; blocking them before the serving
    // thread starts keeps them away from that thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // SIGUSR1 unplugs the bus and SIGUSR2 plugs it back in, as a USB adapter
    // would drop out and come back under a new device name.
    sigaddset(&stopSignals, SIGUSR1);
    sigaddset(&stopSignals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        TSimBus bus(line.Options);
        if (line.Emf)
            for (int s = 1; s <= 6; ++s) bus.SetValue(s, (*line.Emf)[s - 1]);
        if (line.Ambient) bus.SetValue(kAmbientSlave, *line.Ambient);
        for (const auto& [slave, fault] : line.Faults) bus.SetFault(slave, fault);
        bus.Start();
        const std::string device = bus.DevicePath();

        if (!line.Link.empty() && !PointLink(line.Link, device)) return 1;
        std::cout << device << std::endl;

        std::string linked = device;
        for (;;) {
            int signal = 0;
            if (sigwait(&stopSignals, &signal) != 0) continue;
            if (signal == SIGUSR1) {
                if (!bus.Running()) continue;
                bus.Stop();
                if (!line.Link.empty() && LinkPointsTo(line.Link, linked)) ::unlink(line.Link.c_str());
                std::cerr << "kelvara-sim: unplugged\n";
            } else if (signal == SIGUSR2) {
                if (bus.Running()) continue;
                bus.Start();
                linked = bus.DevicePath();
                if (!line.Link.empty() && !PointLink(line.Link, linked)) return 1;
                std::cerr << "kelvara-sim: plugged in on " << linked << "\n";
            } else {
                break;
            }
        }
        bus.Stop();
        if (!line.Link.empty() && LinkPointsTo(line.Link, linked)) ::unlink(line.Link.c_str());

        for (int s = 1; s <= kSlaveCount; ++s) {
            const TSlaveCounters c = bus.Counters(s);
            std::cout << "slave " << s << ": requests " << c.RequestsSeen << ", replies " << c.RepliesSent
                      << ", faults " << c.FaultsInjected << "\n";
        }
        std::cout.flush();
    } catch (const EError& e) {
        std::cerr << "kelvara-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
