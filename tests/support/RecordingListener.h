// A session's listener that keeps what it is told, for tests and benchmarks:
// each event as a line of text, in order, and the scans' records.
#pragma once

#include "acquisition/Session.h"

#include <functional>
#include <string>
#include <vector>

namespace kelvara::test {

class TRecordingListener : public TSessionListener {
public:
    // "started 1 7", "stopped 1", "time 3", "line 0003", "connected opened",
    // "lost <text>", "back <text>", "failed <text>", "notice <text>",
    // "output <text>", "alarm <text>".
    std::vector<std::string> Events;
    std::vector<TScanRecord> Records;
    std::vector<TConnectResult> Connects;

    // Delivers the session's events until done() holds, or a minute has
    // passed: a watchdog for what the session's thread does eventually, not
    // a speed limit. Returns done().
    bool Until(TSession& session, const std::function<bool()>& done);
    // Until n more records than now have come.
    bool Scans(TSession& session, size_t n);
    // Until the result of a connect has come, and returns it.
    TConnectResult ConnectResult(TSession& session);
    // The events that begin with prefix, in order.
    std::vector<std::string> Starting(const std::string& prefix) const;
    // The log lines of the records of one run.
    std::vector<std::string> Lines(uint64_t run) const;

    void RunStarted(uint64_t run, size_t listLines) override;
    void RunStopped(uint64_t run) override;
    void TimeShown(const std::string& caption) override;
    void ScanDone(const TScanRecord& record) override;
    void Connected(const TConnectResult& result) override;
    void PortLost(const std::string& text) override;
    void PortBack(const std::string& text) override;
    void Failed(const std::string& text) override;
    void Noticed(const std::string& text) override;
    void OutputFailed(const std::string& text) override;
    void AlarmChanged(const TAlarmEvent& event) override;
};

} // namespace kelvara::test
