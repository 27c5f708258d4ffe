#include "StopSignals.h"
#include "base/Clock.h"

#include "StopSignalsWin32.h"

#include <gtest/gtest.h>

#include <future>

using namespace kelvara;

// Every console event asks for the stop. The system ends the process as soon
// as the handler returns from a close, a logoff or a shutdown: it holds on
// until the run has ended, or a few seconds when it never says so.
TEST(StopSignalsWin32, TheHandlerHoldsTheProcessUntilTheRunHasEnded)
{
    enum { Returns, HeldUntilRunEnded, HeldUntilTheBound };
    for (const auto& [event, end] : {std::pair<DWORD, int>{CTRL_C_EVENT, Returns},
                                     {CTRL_BREAK_EVENT, Returns},
                                     {CTRL_CLOSE_EVENT, HeldUntilRunEnded},
                                     {CTRL_LOGOFF_EVENT, HeldUntilRunEnded},
                                     {CTRL_SHUTDOWN_EVENT, HeldUntilRunEnded},
                                     {CTRL_CLOSE_EVENT, HeldUntilTheBound}}) {
        SCOPED_TRACE(std::to_string(event) + " " + std::to_string(end));
        TStopSignals stop;
        std::future<BOOL> handler = std::async(std::launch::async, [event] { return ConsoleControl(event); });
        // The handler runs on a thread of its own, as the system runs it; a
        // minute is a watchdog, not a limit: the request comes at once.
        const int64_t limit = MonotonicMs() + 60000;
        while (!stop.StopPending() && MonotonicMs() < limit) Sleep(1);
        EXPECT_TRUE(stop.StopPending());
        if (end != Returns) {
            EXPECT_EQ(handler.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
            if (end == HeldUntilRunEnded) stop.RunEnded();
        }
        EXPECT_TRUE(handler.get());
    }
}
