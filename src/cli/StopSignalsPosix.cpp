#include "StopSignals.h"

#include "base/Clock.h"

#include <csignal>
#include <ctime>
#include <pthread.h>

namespace kelvara {

namespace {

sigset_t StopSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

TStopSignals::TStopSignals()
{
    // Blocked in every thread, the stop signals arrive only where they are
    // waited for, synchronously.
    const sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TStopSignals::~TStopSignals() = default;

bool TStopSignals::WaitForTick(int64_t dueMs)
{
    const sigset_t set = StopSet();
    for (;;) {
        const int64_t left = dueMs - MonotonicMs();
        if (left <= 0) return true;
        timespec ts{left / 1000, (left % 1000) * 1000000L};
        const int sig = sigtimedwait(&set, nullptr, &ts);
        if (sig > 0) return false;
    }
}

bool TStopSignals::StopPending()
{
    const sigset_t set = StopSet();
    timespec zero{0, 0};
    return sigtimedwait(&set, nullptr, &zero) > 0;
}

void TStopSignals::RunEnded() {}

} // namespace kelvara
