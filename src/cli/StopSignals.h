// The operator's request to stop the headless logger: SIGINT or SIGTERM on
// POSIX; Ctrl+C, Ctrl+Break or the console closing on Windows. A request is
// taken only where the logger waits for its next tick or asks for one, so no
// exchange inside a scan is ever cut short.
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
};

} // namespace kelvara
