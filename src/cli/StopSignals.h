// The operator's request to stop the headless logger: SIGINT or SIGTERM on
// POSIX; Ctrl+C, Ctrl+Break, the console closing, a logoff or a shutdown on
// Windows. A request never cuts an exchange short: the logger asks its
// session to stop, and the scan in progress ends and is logged first.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
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
    // Call once the run has ended and its summary is written. On Windows the
    // system ends the process as soon as the console's handler returns from
    // a console that closes, a logoff or a shutdown; the handler holds on
    // until this call (a few seconds at most), so that the last scan and the
    // summary are not lost. Nothing to do on POSIX, where a stop signal
    // only asks.
    void RunEnded();
    // A stop request, as the system's handler makes it.
    void Request();

private:
    std::atomic<bool> pending_{false};
    std::atomic<bool> ending_{false};
    std::mutex lock_; // onStop_ against the thread that tells a request
    std::function<void()> onStop_;
    std::thread watcher_;
};

} // namespace kelvara
