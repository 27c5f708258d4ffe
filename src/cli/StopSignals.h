// The operator's request to stop the headless logger: SIGINT or SIGTERM on
// POSIX; Ctrl+C, Ctrl+Break or the console closing on Windows. A request
// never cuts an exchange short: the logger asks its session to stop, and
// the scan in progress ends and is logged first.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace kelvara {

class TStopSignals {
public:
    // Takes over the stop requests for the whole process. On POSIX the stop
    // signals are blocked, and the threads started later inherit that, so
    // make this before any thread starts.
    TStopSignals();
    ~TStopSignals();
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;

    // Calls onStop, on a thread of its own, for each stop request from now
    // on; one that came before is told at once.
    void OnStop(std::function<void()> onStop);
    // A stop request has come; does not wait.
    bool StopPending() const { return pending_; }
    // The run has ended and its summary is written. On Windows the console's
    // close, logoff and shutdown end the process as soon as their handler
    // returns, so the handler waits (a few seconds at most) for this.
    void RunEnded();
    // A stop request, as the system's handler makes it.
    void Request();

private:
    std::atomic<bool> pending_{false};
    std::atomic<bool> ending_{false};
    std::function<void()> onStop_;
    std::thread watcher_;
};

} // namespace kelvara
