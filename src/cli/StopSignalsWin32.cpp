#include "StopSignals.h"

#include "base/Clock.h"

#include <windows.h>

namespace kelvara {

namespace {

// Set by the console's control handler, which runs on a thread of its own;
// manual reset, so a request stays until the process ends.
HANDLE gStop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD)
{
    // Ctrl+C, Ctrl+Break, the console closing, logoff, shutdown: each ends
    // the run at the end of its scan. Handled, so the process is not ended
    // at once (for the last three the system ends it a few seconds later).
    SetEvent(gStop);
    return TRUE;
}

} // namespace

TStopSignals::TStopSignals()
{
    gStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

TStopSignals::~TStopSignals()
{
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    CloseHandle(gStop);
    gStop = nullptr;
}

bool TStopSignals::WaitForTick(int64_t dueMs)
{
    for (;;) {
        const int64_t left = dueMs - MonotonicMs();
        if (left <= 0) return true;
        if (WaitForSingleObject(gStop, DWORD(left)) == WAIT_OBJECT_0) return false;
    }
}

bool TStopSignals::StopPending()
{
    return WaitForSingleObject(gStop, 0) == WAIT_OBJECT_0;
}

} // namespace kelvara
