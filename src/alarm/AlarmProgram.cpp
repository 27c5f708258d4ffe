#include "alarm/AlarmProgram.h"

#include "base/Errors.h"

#include <cstdio>

namespace kelvara {

namespace {

using TClock = std::chrono::steady_clock;

std::string Number(float value)
{
    return FormatReading(value, TLocaleSettings{});
}

std::string Seconds(int ms)
{
    char text[32];
    std::snprintf(text, sizeof text, ms % 1000 ? "%.1f s" : "%.0f s", ms / 1000.0);
    return text;
}

} // namespace

TAlarmProgram::TAlarmProgram(std::string program, int timeoutMs, TReport report)
    : program_(std::move(program)), timeoutMs_(timeoutMs), report_(std::move(report))
{
    thread_ = std::thread([this] { Loop(); });
}

TAlarmProgram::~TAlarmProgram()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

std::vector<std::string> TAlarmProgram::Environment(const TAlarmEvent& e)
{
    std::string limit;
    if (e.Id.Kind == TAlarmKind::Silent)
        limit = std::to_string(uint32_t(e.Limit));
    else if (!std::isnan(e.Limit))
        limit = Number(e.Limit);
    return {
        "KELVARA_ALARM_CHANNEL=" + e.Channel,
        "KELVARA_ALARM_KIND=" + std::string(AlarmKindName(e.Id.Kind)),
        "KELVARA_ALARM_STATE=" + std::string(AlarmChangeName(e.Change)),
        "KELVARA_ALARM_VALUE=" + Number(e.Value),
        "KELVARA_ALARM_LIMIT=" + limit,
        "KELVARA_ALARM_SECOND=" + std::to_string(e.Second),
        "KELVARA_ALARM_TEXT=" + e.Text,
    };
}

void TAlarmProgram::Run(const TAlarmEvent& event)
{
    if (event.Change == TAlarmChange::Acknowledged) return;
    std::string dropped;
    {
        std::lock_guard<std::mutex> guard(lock_);
        TLane& lane = lanes_[event.Id.Channel];
        if (lane.Waiting.size() >= kMaxWaiting) {
            dropped = "alarm program \"" + program_ + "\" " + About(lane.Waiting.front()) +
                      " not run: too many events for " + event.Channel + " were waiting";
            lane.Waiting.pop_front();
        }
        lane.Waiting.push_back(event);
    }
    wake_.notify_all();
    if (!dropped.empty()) report_(dropped);
}

std::string TAlarmProgram::About(const TAlarmEvent& e) const
{
    return "for " + e.Channel + " " + std::string(AlarmChangeName(e.Change)) + " at second " + std::to_string(e.Second);
}

void TAlarmProgram::Loop()
{
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        std::vector<std::string> reports;
        const bool running = Pass(reports);
        const bool done = quit_ && !running;
        if (!reports.empty()) {
            lock.unlock();
            for (const std::string& text : reports) report_(text);
            lock.lock();
            continue; // the lanes may have changed meanwhile
        }
        if (done) break;
        if (running)
            wake_.wait_for(lock, std::chrono::milliseconds(kPollMs));
        else
            wake_.wait(lock);
    }
}

bool TAlarmProgram::Pass(std::vector<std::string>& reports)
{
    const TClock::time_point now = TClock::now();
    bool running = false;
    size_t dropped = 0;
    for (auto& [channel, lane] : lanes_) {
        if (lane.Running) {
            TRunning& r = *lane.Running;
            if (quit_ && !r.Ending) {
                r.Ending = true;
                r.Deadline = std::min(r.Deadline, now + std::chrono::milliseconds(kGraceMs));
            }
            const std::string about = "alarm program \"" + program_ + "\" " + About(r.Event);
            if (const std::optional<std::string> how = ProgramEnded(r.Process)) {
                if (!how->empty()) reports.push_back(about + " " + *how);
                lane.Running.reset();
            } else if (now >= r.Deadline) {
                KillProgram(r.Process);
                reports.push_back(r.Ending ? about + " was killed: the logger ended"
                                           : about + " did not end within " + Seconds(timeoutMs_) + " and was killed");
                lane.Running.reset();
            }
        }
        if (quit_) {
            dropped += lane.Waiting.size();
            lane.Waiting.clear();
        }
        if (!lane.Running && !lane.Waiting.empty()) {
            TAlarmEvent event = std::move(lane.Waiting.front());
            lane.Waiting.pop_front();
            try {
                auto r = std::make_unique<TRunning>();
                r->Process = SpawnProgram(program_, Environment(event));
                r->Event = std::move(event);
                r->Deadline = now + std::chrono::milliseconds(timeoutMs_);
                lane.Running = std::move(r);
            } catch (const EError& e) {
                reports.push_back("alarm program \"" + program_ + "\" " + About(event) +
                                  " could not start: " + e.what());
            }
        }
        running = running || lane.Running;
    }
    if (dropped > 0)
        reports.push_back("alarm program \"" + program_ + "\" not run for " + std::to_string(dropped) +
                          (dropped == 1 ? " event" : " events") + ": the logger ended");
    return running;
}

} // namespace kelvara
