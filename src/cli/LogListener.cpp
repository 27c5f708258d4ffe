#include "LogListener.h"

#include <cstdio>

namespace kelvara {

void Say(const std::string& text)
{
    std::fprintf(stderr, "kelvara-log: %s\n", text.c_str());
}

TLogListener::TLogListener(const TLogOptions& options)
{
    if (options.onAlarm)
        onAlarm_ = std::make_unique<TAlarmProgram>(*options.onAlarm, options.onAlarmTimeout * 1000, Say);
}

void TLogListener::ScanDone(const TScanRecord& record)
{
    std::fputs(record.Line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    ++Scans;
    Last = record;
}

void TLogListener::Connected(const TConnectResult& result)
{
    Connection = result;
    Connected_ = true;
}

void TLogListener::OutputFailed(const std::string& text)
{
    Say(text);
    OutputBroken = true;
}

void TLogListener::AlarmChanged(const TAlarmEvent& event)
{
    if (event.Change == TAlarmChange::Acknowledged) return;
    Say(event.Text);
    if (onAlarm_) onAlarm_->Run(event);
}

} // namespace kelvara
