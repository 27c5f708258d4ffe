#include "support/RecordingListener.h"

#include <chrono>

namespace kelvara::test {

bool TRecordingListener::Until(TSession& session, const std::function<bool()>& done)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!done() && std::chrono::steady_clock::now() < limit) session.WaitAndDeliver(*this, 100);
    return done();
}

bool TRecordingListener::Scans(TSession& session, size_t n)
{
    const size_t want = Records.size() + n;
    return Until(session, [&] { return Records.size() >= want; });
}

TConnectResult TRecordingListener::ConnectResult(TSession& session)
{
    const size_t want = Connects.size() + 1;
    if (!Until(session, [&] { return Connects.size() >= want; })) return {};
    return Connects.back();
}

std::vector<std::string> TRecordingListener::Starting(const std::string& prefix) const
{
    std::vector<std::string> found;
    for (const std::string& e : Events)
        if (e.rfind(prefix, 0) == 0) found.push_back(e);
    return found;
}

std::vector<std::string> TRecordingListener::Lines(uint64_t run) const
{
    std::vector<std::string> lines;
    for (const TScanRecord& r : Records)
        if (r.Run == run) lines.push_back(r.Line);
    return lines;
}

void TRecordingListener::RunStarted(uint64_t run, size_t listLines)
{
    Events.push_back("started " + std::to_string(run) + " " + std::to_string(listLines));
}
void TRecordingListener::RunStopped(uint64_t run)
{
    Events.push_back("stopped " + std::to_string(run));
}
void TRecordingListener::TimeShown(const std::string& caption)
{
    Events.push_back("time " + caption);
}
void TRecordingListener::ScanDone(const TScanRecord& record)
{
    Events.push_back("line " + record.Line.substr(0, record.Line.find('\t')));
    Records.push_back(record);
}
void TRecordingListener::Connected(const TConnectResult& result)
{
    static const char* const kinds[] = {"opened", "refused", "not opened", "not configured", "abandoned"};
    Events.push_back(std::string("connected ") + kinds[result.Kind]);
    Connects.push_back(result);
}
void TRecordingListener::PortLost(const std::string& text)
{
    Events.push_back("lost " + text);
}
void TRecordingListener::PortBack(const std::string& text)
{
    Events.push_back("back " + text);
}
void TRecordingListener::Failed(const std::string& text)
{
    Events.push_back("failed " + text);
}
void TRecordingListener::Noticed(const std::string& text)
{
    Events.push_back("notice " + text);
}
void TRecordingListener::OutputFailed(const std::string& text)
{
    Events.push_back("output " + text);
}
void TRecordingListener::AlarmChanged(const TAlarmEvent& event)
{
    Events.push_back("alarm " + event.Text);
}

} // namespace kelvara::test
