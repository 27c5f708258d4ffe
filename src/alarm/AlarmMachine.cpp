#include "alarm/AlarmMachine.h"

#include <algorithm>

namespace kelvara {

std::string_view AlarmKindName(TAlarmKind kind)
{
    switch (kind) {
    case TAlarmKind::Above: return "above";
    case TAlarmKind::Below: return "below";
    case TAlarmKind::Silent: return "silent";
    case TAlarmKind::PortLost: return "port-lost";
    }
    return "";
}

std::string_view AlarmChangeName(TAlarmChange change)
{
    switch (change) {
    case TAlarmChange::Raised: return "raised";
    case TAlarmChange::Cleared: return "cleared";
    case TAlarmChange::Acknowledged: return "acknowledged";
    }
    return "";
}

bool TAlarmSnapshot::Shown(int channel) const
{
    return std::any_of(Alarms.begin(), Alarms.end(),
                       [channel](const TAlarmStatus& a) { return a.Id.Channel == channel && a.Shown; });
}

std::string TAlarmSnapshot::Tip(int channel, const TLocaleSettings& locale) const
{
    if (channel < 0 || size_t(channel) >= Rules.Channels.size()) return "";
    const TChannelAlarmRule& r = Rules.Channels[size_t(channel)];
    std::string rule;
    auto add = [&rule](const std::string& part) { rule += (rule.empty() ? "" : ", ") + part; };
    if (!std::isnan(r.Low)) add("low " + FormatReading(r.Low, locale));
    if (!std::isnan(r.High)) add("high " + FormatReading(r.High, locale));
    if (!rule.empty()) {
        add("hysteresis " + FormatReading(r.Hysteresis, locale));
        add("delay " + std::to_string(r.Delay) + " s");
    }
    if (r.SilentScans > 0) add("silent after " + std::to_string(r.SilentScans) + " scans");
    if (rule.empty()) return "";
    std::string tip = "Alarms: " + rule;
    for (const TAlarmStatus& a : Alarms) {
        if (a.Id.Channel != channel || !a.Shown) continue;
        const char* how = a.State != TAlarmState::Raised ? "cleared, not acknowledged"
                          : a.Acknowledged               ? "raised, acknowledged"
                                                         : "raised";
        tip += "\n" + a.Name + ": " + how + " (second " + std::to_string(a.Since) + ")";
    }
    return tip;
}

TAlarmMachine::TAlarmMachine(TAlarmRules rules, std::vector<std::string> names, TLocaleSettings locale)
    : rules_(std::move(rules)), names_(std::move(names)), locale_(std::move(locale)), last_(names_.size(), NAN)
{
    rules_.Channels.resize(names_.size());
    auto add = [this](int channel, TAlarmKind kind, float limit) {
        TAlarm alarm;
        alarm.Status.Id = {channel, kind};
        alarm.Status.Name = Name(alarm.Status.Id, limit);
        alarm.Limit = limit;
        alarms_.push_back(std::move(alarm));
    };
    for (size_t i = 0; i < rules_.Channels.size(); ++i) {
        const TChannelAlarmRule& r = rules_.Channels[i];
        if (!std::isnan(r.High)) add(int(i), TAlarmKind::Above, r.High);
        if (!std::isnan(r.Low)) add(int(i), TAlarmKind::Below, r.Low);
        if (r.SilentScans > 0) add(int(i), TAlarmKind::Silent, float(r.SilentScans));
    }
    if (rules_.PortLost) add(TAlarmId::kPort, TAlarmKind::PortLost, NAN);
}

std::string TAlarmMachine::Name(const TAlarmId& id, float limit) const
{
    if (id.Kind == TAlarmKind::PortLost) return "port lost";
    const std::string& channel = names_[size_t(id.Channel)];
    if (id.Kind == TAlarmKind::Silent) {
        const uint32_t scans = uint32_t(limit);
        return channel + " silent for " + std::to_string(scans) + (scans == 1 ? " scan" : " scans");
    }
    return channel + " " + std::string(AlarmKindName(id.Kind)) + " " + FormatReading(limit, locale_);
}

std::vector<TAlarmEvent> TAlarmMachine::Scan(uint32_t second, std::span<const float> temperatures, bool portLost)
{
    for (size_t i = 0; i < last_.size(); ++i) last_[i] = i < temperatures.size() ? temperatures[i] : NAN;
    std::vector<TAlarmEvent> events;
    for (TAlarm& alarm : alarms_) {
        const int ch = alarm.Status.Id.Channel;
        Step(alarm, second, ch == TAlarmId::kPort ? NAN : last_[size_t(ch)], portLost, events);
    }
    return events;
}

std::vector<TAlarmEvent> TAlarmMachine::Port(uint32_t second, bool lost)
{
    std::vector<TAlarmEvent> events;
    for (TAlarm& alarm : alarms_)
        if (alarm.Status.Id.Kind == TAlarmKind::PortLost) Step(alarm, second, NAN, lost, events);
    return events;
}

std::optional<TAlarmEvent> TAlarmMachine::Acknowledge(const TAlarmId& id, uint32_t second)
{
    for (TAlarm& alarm : alarms_) {
        const TAlarmStatus& s = alarm.Status;
        if (!(s.Id == id)) continue;
        if (!s.Shown || (s.State == TAlarmState::Raised && s.Acknowledged)) return std::nullopt;
        std::vector<TAlarmEvent> events;
        Change(alarm, TAlarmChange::Acknowledged, second,
               id.Channel == TAlarmId::kPort ? NAN : last_[size_t(id.Channel)], events);
        return events.front();
    }
    return std::nullopt;
}

TAlarmSnapshot TAlarmMachine::Snapshot() const
{
    TAlarmSnapshot snapshot;
    snapshot.Rules = rules_;
    for (const TAlarm& alarm : alarms_) snapshot.Alarms.push_back(alarm.Status);
    return snapshot;
}

void TAlarmMachine::Step(TAlarm& alarm, uint32_t second, float value, bool portLost, std::vector<TAlarmEvent>& events)
{
    switch (alarm.Status.Id.Kind) {
    case TAlarmKind::Above:
    case TAlarmKind::Below: return StepLimit(alarm, second, value, events);
    case TAlarmKind::Silent: return StepSilent(alarm, second, value, portLost, events);
    case TAlarmKind::PortLost: break;
    }
    const bool raised = alarm.Status.State == TAlarmState::Raised;
    if (portLost && !raised) Change(alarm, TAlarmChange::Raised, second, NAN, events);
    if (!portLost && raised) Change(alarm, TAlarmChange::Cleared, second, NAN, events);
}

void TAlarmMachine::StepLimit(TAlarm& alarm, uint32_t second, float value, std::vector<TAlarmEvent>& events)
{
    TAlarmStatus& s = alarm.Status;
    if (std::isnan(value)) {
        // Without a reading a raised limit can neither be confirmed nor
        // cleared: it stays as it was; a crossing in progress starts again.
        if (s.State != TAlarmState::Raised) s.State = TAlarmState::NoData;
        return;
    }
    const TChannelAlarmRule& rule = rules_.Channels[size_t(s.Id.Channel)];
    const bool above = s.Id.Kind == TAlarmKind::Above;
    const bool crossed = above ? value > alarm.Limit : value < alarm.Limit;
    const bool back = above ? value <= alarm.Limit - rule.Hysteresis : value >= alarm.Limit + rule.Hysteresis;
    if (s.State == TAlarmState::Raised) {
        if (back) Change(alarm, TAlarmChange::Cleared, second, value, events);
        return;
    }
    if (!crossed) {
        s.State = TAlarmState::Normal;
        return;
    }
    if (s.State != TAlarmState::Pending) {
        s.State = TAlarmState::Pending;
        alarm.PendingSince = second;
    }
    if (second - alarm.PendingSince >= rule.Delay) Change(alarm, TAlarmChange::Raised, second, value, events);
}

void TAlarmMachine::StepSilent(TAlarm& alarm, uint32_t second, float value, bool portLost,
                               std::vector<TAlarmEvent>& events)
{
    TAlarmStatus& s = alarm.Status;
    if (portLost) {
        // No request went out: the slave's silence says nothing.
        if (s.State != TAlarmState::Raised) s.State = TAlarmState::NoData;
        return;
    }
    if (!std::isnan(value)) {
        alarm.SilentCount = 0;
        if (s.State == TAlarmState::Raised)
            Change(alarm, TAlarmChange::Cleared, second, value, events);
        else
            s.State = TAlarmState::Normal;
        return;
    }
    ++alarm.SilentCount;
    if (s.State == TAlarmState::Raised) return;
    if (alarm.SilentCount >= uint32_t(alarm.Limit))
        Change(alarm, TAlarmChange::Raised, second, NAN, events);
    else
        s.State = TAlarmState::Pending;
}

void TAlarmMachine::Change(TAlarm& alarm, TAlarmChange change, uint32_t second, float value,
                           std::vector<TAlarmEvent>& events)
{
    TAlarmStatus& s = alarm.Status;
    switch (change) {
    case TAlarmChange::Raised:
        s.State = TAlarmState::Raised;
        s.Acknowledged = false;
        s.Shown = true;
        break;
    case TAlarmChange::Cleared:
        s.State = TAlarmState::Normal;
        s.Shown = !s.Acknowledged;
        s.Acknowledged = false;
        break;
    case TAlarmChange::Acknowledged:
        if (s.State == TAlarmState::Raised)
            s.Acknowledged = true;
        else
            s.Shown = false;
        break;
    }
    s.Since = second;
    TAlarmEvent e;
    e.Id = s.Id;
    e.Change = change;
    e.Second = second;
    e.Value = value;
    e.Limit = alarm.Limit;
    e.Channel = s.Id.Channel == TAlarmId::kPort ? "port" : names_[size_t(s.Id.Channel)];
    e.Text = "alarm " + std::string(AlarmChangeName(change)) + " at second " + std::to_string(second) + ": " + s.Name;
    if (!std::isnan(value)) e.Text += " (" + FormatReading(value, locale_) + ")";
    events.push_back(std::move(e));
}

} // namespace kelvara
