#include "Service.h"

#include "acquisition/Session.h"

#include <cstdio>

#ifndef _WIN32
#include "metrics/MetricsServer.h"
#endif
#ifdef KELVARA_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace kelvara {

namespace {

void Notify(const std::string& state)
{
#ifdef KELVARA_HAVE_SYSTEMD
    sd_notify(0, state.c_str());
#else
    (void)state;
#endif
}

} // namespace

uint64_t WatchdogNeedUsec(uint16_t period)
{
    const uint64_t seconds = 2 * uint64_t(period > 1 ? period : 1) + 10;
    return seconds * 1000000;
}

TLogService::TLogService(const TLogOptions& opt, const TSession& session)
{
#ifndef _WIN32
    if (!opt.metrics) return;
    auto server = std::make_shared<TMetricsServer>(ParseListenAddress(*opt.metrics), [&session](TExposition format) {
        return RenderMetrics(session.Snapshot(), format);
    });
    std::fprintf(stderr, "kelvara-log: metrics at %s\n", server->Url().c_str());
    metrics_ = server;
#else
    (void)opt;
    (void)session;
#endif
}

TLogService::~TLogService() = default;

void TLogService::Ready(const std::string& port, uint16_t period)
{
    std::string state =
        "READY=1\nSTATUS=Logging from " + port + ", a scan every " + std::to_string(period > 1 ? period : 1) + " s";
#ifdef KELVARA_HAVE_SYSTEMD
    // The unit's watchdog is fed only after a scan: a period longer than
    // its interval stretches it, or every run would be restarted.
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec < WatchdogNeedUsec(period))
        state += "\nWATCHDOG_USEC=" + std::to_string(WatchdogNeedUsec(period));
#endif
    Notify(state);
}

void TLogService::Scanned(long scans)
{
    if (scans == scans_) return;
    scans_ = scans;
    Notify("WATCHDOG=1");
}

void TLogService::Stopping()
{
    Notify("STOPPING=1");
}

} // namespace kelvara
