#include "StopSignals.h"

#include "StopSignalsWin32.h"

#include <atomic>

namespace kelvara {

namespace {

// The events the console's control handler shares with the program. Made
// once and never closed: the handler runs on a thread of its own, which may
// still be inside it when the program is done with its TStopSignals.
struct TEvents {
    HANDLE RunEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

TEvents& Events()
{
    static TEvents events;
    return events;
}

// The one instance the handler reports to.
std::atomic<TStopSignals*> gSignals{nullptr};

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
    if (TStopSignals* signals = gSignals.load()) signals->Request();
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(Events().RunEnded, kRunEndWaitMs);
    return TRUE;
}

TStopSignals::TStopSignals()
{
    ResetEvent(Events().RunEnded);
    gSignals = this;
    SetConsoleCtrlHandler(ConsoleControl, TRUE);
}

TStopSignals::~TStopSignals()
{
    SetConsoleCtrlHandler(ConsoleControl, FALSE);
    gSignals = nullptr;
    // The program is ending: a handler that still waits may let it.
    RunEnded();
}

void TStopSignals::OnStop(std::function<void()> onStop)
{
    std::lock_guard<std::mutex> guard(lock_);
    onStop_ = std::move(onStop);
    if (pending_ && onStop_) onStop_();
}

void TStopSignals::Request()
{
    std::lock_guard<std::mutex> guard(lock_);
    pending_ = true;
    if (onStop_) onStop_();
}

void TStopSignals::RunEnded()
{
    SetEvent(Events().RunEnded);
}

} // namespace kelvara
