// kelvara-log's command line.
#pragma once

#include <optional>
#include <string>

namespace kelvara {

struct TLogOptions {
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
    std::optional<std::string> alarms;
    std::optional<std::string> onAlarm;
    int onAlarmTimeout = 60; // seconds
};

// Parses the command line; --help and --version print and exit 0, a bad
// option prints its problem and the usage and exits 2.
TLogOptions ParseOptions(int argc, char** argv);

// Prints the problem and the usage on stderr, and exits 2.
[[noreturn]] void Usage(const std::string& problem);

} // namespace kelvara
