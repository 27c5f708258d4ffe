// kelvara-log's faces to the outside while it runs: the metrics endpoint,
// and the notifications a service manager (systemd) waits for: ready once
// the run started, a watchdog fed by each completed scan, stopping on a stop
// request. Without NOTIFY_SOCKET in the environment the notifications go
// nowhere.
#pragma once

#include "Options.h"

#include <cstdint>
#include <memory>
#include <string>

namespace kelvara {

class TLogService {
public:
    // Starts the metrics endpoint when the options ask for it and tells its
    // address on stderr. Raises EError when it cannot listen there.
    TLogService(const TLogOptions& opt, const TSession& session);
    ~TLogService();
    TLogService(const TLogService&) = delete;
    TLogService& operator=(const TLogService&) = delete;

    // The port is open and the run started with period seconds between scans.
    void Ready(const std::string& port, uint16_t period);
    // Called after each delivery with the scans logged so far: the watchdog
    // is fed when a scan completed since the last call, and only then.
    void Scanned(long scans);
    // A stop request came; the run ends after the scan in progress.
    void Stopping();

private:
    // The endpoint, where the build has one.
    std::shared_ptr<void> metrics_;
    long scans_ = 0;
};

// The watchdog interval a run with this period needs, in microseconds: two
// periods (a second at least) and ten seconds more, so that one slow scan
// passes while a logger that stopped scanning is restarted.
uint64_t WatchdogNeedUsec(uint16_t period);

} // namespace kelvara
