// A program the operator names, run for each alarm raised or cleared: the
// headless logger's way to page someone. It is started without a shell and
// without arguments, with the alarm's details in its environment (below),
// its standard input the null device and its standard output sent to
// standard error, so that it never mixes into the log's lines.
//
// At most one runs per channel (the port counts as one): a later event for a
// channel waits until the program for the one before has ended, and they run
// in order. A channel that keeps kMaxWaiting events waiting drops the oldest
// of them, and says so. A program that cannot start, exits with a code other
// than 0, is ended by a signal, or runs past the time-out (and is then
// killed, with its process group) is told through the report; nothing ends
// the run, and Run never waits for a program.
//
// The environment, besides the logger's own:
//   KELVARA_ALARM_CHANNEL  the channel's name (TC_3), or "port"
//   KELVARA_ALARM_KIND     above, below, silent or port-lost
//   KELVARA_ALARM_STATE    raised or cleared
//   KELVARA_ALARM_VALUE    the temperature, '.' and two decimals, or NAN
//   KELVARA_ALARM_LIMIT    the limit in °C, the scans for silent, empty for the port
//   KELVARA_ALARM_SECOND   the second of the run
//   KELVARA_ALARM_TEXT     the line the logger writes on standard error
#pragma once

#include "alarm/AlarmMachine.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kelvara {

// A started program, as the platform knows it.
struct TSpawned {
    intptr_t Handle = 0; // the process's handle on Windows, its id elsewhere
};

// Starts program (searched on PATH when it has no directory) with the
// variables added to this process's environment, as described above. Raises
// EError with the system's text when it cannot start.
TSpawned SpawnProgram(const std::string& program, const std::vector<std::string>& variables);
// Empty while it runs; once it has ended, "" for exit code 0, otherwise how
// it ended ("exited with code 3", "was ended by signal 15").
std::optional<std::string> ProgramEnded(TSpawned& spawned);
// Kills the program (and its process group) and waits for its end.
void KillProgram(TSpawned& spawned);

class TAlarmProgram {
public:
    static constexpr size_t kMaxWaiting = 16;
    static constexpr int kPollMs = 20;
    // After the end of a run the programs still running get this long.
    static constexpr int kGraceMs = 2000;
    // Told on a thread of the runner's: a line for the operator.
    using TReport = std::function<void(const std::string& text)>;

    TAlarmProgram(std::string program, int timeoutMs, TReport report);
    // Events still waiting are dropped, and said to be; programs still
    // running get kGraceMs (at most their time-out) and are then killed.
    ~TAlarmProgram();
    TAlarmProgram(const TAlarmProgram&) = delete;
    TAlarmProgram& operator=(const TAlarmProgram&) = delete;

    // Runs the program for a raise or a clear; an acknowledgement runs
    // nothing. Returns at once.
    void Run(const TAlarmEvent& event);

    // "KELVARA_ALARM_CHANNEL=TC_3", ...: the variables for an event.
    static std::vector<std::string> Environment(const TAlarmEvent& event);

private:
    struct TRunning {
        TSpawned Process;
        TAlarmEvent Event;
        std::chrono::steady_clock::time_point Deadline;
        bool Ending = false; // killed because the logger ends
    };
    struct TLane {
        std::deque<TAlarmEvent> Waiting;
        std::unique_ptr<TRunning> Running;
    };

    void Loop();
    // One pass over the lanes under the lock: programs that ended, ran too
    // long or may start. Returns whether any runs.
    bool Pass(std::vector<std::string>& reports);
    std::string About(const TAlarmEvent& event) const;

    const std::string program_;
    const int timeoutMs_;
    const TReport report_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::map<int, TLane> lanes_; // by channel; the port is TAlarmId::kPort
    bool quit_ = false;
    std::thread thread_;
};

} // namespace kelvara
