#include "StopSignals.h"

#include "base/Clock.h"

#include "StopSignalsWin32.h"

namespace kelvara {

namespace {

// The events the console's control handler shares with the program. Made
// once and never closed: the handler runs on a thread of its own, which may
// still be inside it when the program is done with its TStopSignals.
// Manual reset, so a request stays until the next TStopSignals is made.
struct TEvents {
    HANDLE Stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE RunEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

TEvents& Events()
{
    static TEvents events;
    return events;
}

// The system waits 5 s for the handler of a console that closes (longer at
// logoff and shutdown) before it ends the process anyway; the wait for the
// run's end stays below that.
constexpr DWORD kRunEndWaitMs = 4000;

} // namespace

BOOL WINAPI ConsoleControl(DWORD event)
{
    // Every event ends the run at the end of its scan. After Ctrl+C and
    // Ctrl+Break the process goes on to end by itself. When the console
    // closes, and at logoff and shutdown, the system ends the process as
    // soon as this returns: it returns once the last scan and the summary
    // are written.
    SetEvent(Events().Stop);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(Events().RunEnded, kRunEndWaitMs);
    return TRUE;
}

TStopSignals::TStopSignals()
{
    ResetEvent(Events().Stop);
    ResetEvent(Events().RunEnded);
    SetConsoleCtrlHandler(ConsoleControl, TRUE);
}

TStopSignals::~TStopSignals()
{
    SetConsoleCtrlHandler(ConsoleControl, FALSE);
    // The program is ending: a handler that still waits may let it.
    RunEnded();
}

bool TStopSignals::WaitForTick(int64_t dueMs)
{
    for (;;) {
        const int64_t left = dueMs - MonotonicMs();
        if (left <= 0) return true;
        if (WaitForSingleObject(Events().Stop, DWORD(left)) == WAIT_OBJECT_0) return false;
    }
}

bool TStopSignals::StopPending()
{
    return WaitForSingleObject(Events().Stop, 0) == WAIT_OBJECT_0;
}

void TStopSignals::RunEnded()
{
    SetEvent(Events().RunEnded);
}

} // namespace kelvara
