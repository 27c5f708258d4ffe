// What kelvara-log does with what the session tells: the lines on stdout,
// everything else on stderr, and the alarm program for each alarm.
#pragma once

#include "Options.h"

#include "acquisition/Alarms.h"
#include "acquisition/Session.h"

#include <memory>
#include <string>

namespace kelvara {

// A line on stderr: "kelvara-log: " and the text.
void Say(const std::string& text);

class TLogListener : public TSessionListener {
public:
    // Starts the runner of --on-alarm when the options name a program.
    explicit TLogListener(const TLogOptions& options);

    long Scans = 0;
    bool Connected_ = false, Stopped = false, OutputBroken = false;
    TConnectResult Connection;
    TScanRecord Last;

    void ScanDone(const TScanRecord& record) override;
    void Connected(const TConnectResult& result) override;
    void RunStopped(uint64_t) override { Stopped = true; }
    void PortLost(const std::string& text) override { Say(text); }
    void PortBack(const std::string& text) override { Say(text); }
    void Failed(const std::string& text) override { Say(text); }
    void Noticed(const std::string& text) override { Say(text); }
    void OutputFailed(const std::string& text) override;
    // A raise or a clear on stderr, and the program for it; no one
    // acknowledges in a headless run.
    void AlarmChanged(const TAlarmEvent& event) override;

private:
    std::unique_ptr<TAlarmProgram> onAlarm_;
};

} // namespace kelvara
