// The operator's request to stop the headless logger: SIGINT or SIGTERM on
// POSIX; Ctrl+C, Ctrl+Break, the console closing, a logoff or a shutdown on
// Windows. A request is taken only where the logger waits for its next tick
// or asks for one, so no exchange inside a scan is ever cut short.
#pragma once

#include <cstdint>

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

    // Waits until the monotonic clock reaches dueMs (MonotonicMs); false
    // when a stop request came first, or had come before.
    bool WaitForTick(int64_t dueMs);
    // A stop request has come; does not wait.
    bool StopPending();
    // Call once the run has ended and its summary is written. On Windows the
    // system ends the process as soon as the console's handler returns from
    // a console that closes, a logoff or a shutdown; the handler holds on
    // until this call (a few seconds at most), so that the last scan and the
    // summary are not lost. Nothing to do on POSIX, where a stop signal
    // only asks.
    void RunEnded();
};

} // namespace kelvara
