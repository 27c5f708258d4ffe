#include "StopSignals.h"

#include <windows.h>

namespace kelvara {

namespace {

// The one instance the console's control handler reports to; the handler
// runs on a thread the system starts for it.
TStopSignals* gSignals = nullptr;
// Set when the run has ended; manual reset.
HANDLE gEnded = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type)
{
    if (gSignals) gSignals->Request();
    // Ctrl+C and Ctrl+Break: handled, the run ends at the end of its scan.
    // Close, logoff and shutdown end the process when this returns: wait
    // for the run to end and its summary to be written, within the system's
    // own limit of a few seconds.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(gEnded, 4000);
    return TRUE;
}

} // namespace

TStopSignals::TStopSignals()
{
    gEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    gSignals = this;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

TStopSignals::~TStopSignals()
{
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    gSignals = nullptr;
    CloseHandle(gEnded);
    gEnded = nullptr;
}

void TStopSignals::OnStop(std::function<void()> onStop)
{
    onStop_ = std::move(onStop);
    if (pending_ && onStop_) onStop_();
}

void TStopSignals::Request()
{
    pending_ = true;
    if (onStop_) onStop_();
}

void TStopSignals::RunEnded()
{
    SetEvent(gEnded);
}

} // namespace kelvara
