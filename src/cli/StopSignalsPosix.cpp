#include "StopSignals.h"

#include <csignal>
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
    // waited for, synchronously: on the watcher's thread.
    const sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TStopSignals::~TStopSignals()
{
    if (!watcher_.joinable()) return;
    // The watcher takes this signal as the sign to end, not as a request.
    ending_ = true;
    pthread_kill(watcher_.native_handle(), SIGTERM);
    watcher_.join();
}

void TStopSignals::OnStop(std::function<void()> onStop)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        onStop_ = std::move(onStop);
    }
    watcher_ = std::thread([this] {
        const sigset_t set = StopSet();
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            if (ending_) return;
            Request();
        }
    });
}

void TStopSignals::Request()
{
    std::lock_guard<std::mutex> guard(lock_);
    pending_ = true;
    if (onStop_) onStop_();
}

void TStopSignals::RunEnded() {}

} // namespace kelvara
