// The alarms of a run: one state machine for both front ends. Each scan's
// temperatures (as logged, after offsets) and whether the port is lost go in;
// out come the alarms raised, cleared and acknowledged, each with the second
// of the run, the value and the limit, and the state of every alarm for the
// front ends and the metrics.
//
// Every alarm is normal, pending (its condition holds and its delay runs),
// raised, or without data (its channel gave no reading, or, for a silent
// channel, the port is lost). A limit is crossed when a reading goes beyond
// it; the crossing is raised once it has lasted the delay, and cleared once
// the reading is back inside by the hysteresis. A channel is silent after
// silent_scans scans in a row without a reading (no reply, a wrong or
// exception reply, a reading out of the type K table), and clears at its
// next reading. While the port is lost, the port's alarm stands for the
// channels: their silence is not counted. A raised alarm stays shown until
// it has cleared and the operator has acknowledged it, in either order.
#pragma once

#include "alarm/AlarmRules.h"
#include "base/Text.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kelvara {

enum class TAlarmKind : uint8_t { Above, Below, Silent, PortLost };
enum class TAlarmState : uint8_t { Normal, Pending, Raised, NoData };
enum class TAlarmChange : uint8_t { Raised, Cleared, Acknowledged };

// "above", "below", "silent", "port-lost".
std::string_view AlarmKindName(TAlarmKind kind);
// "raised", "cleared", "acknowledged".
std::string_view AlarmChangeName(TAlarmChange change);

struct TAlarmId {
    static constexpr int kPort = -1;
    int Channel = kPort; // the channel's index in the table, or kPort
    TAlarmKind Kind = TAlarmKind::PortLost;
    bool operator==(const TAlarmId&) const = default;
};

// A raise, a clear or an acknowledgement.
struct TAlarmEvent {
    uint64_t Run = 0; // the session's number of the run
    TAlarmId Id;
    TAlarmChange Change = TAlarmChange::Raised;
    uint32_t Second = 0; // of the run
    float Value = NAN;   // the channel's temperature then; NaN for none
    // The limit crossed; for a silent channel its silent_scans; NaN for the port.
    float Limit = NAN;
    std::string Channel; // the channel's name, or "port"
    // "alarm raised at second 812: TC_3 above 250.00 (251.37)": what both
    // front ends tell, the value in parentheses when there is one.
    std::string Text;
};

struct TAlarmStatus {
    TAlarmId Id;
    TAlarmState State = TAlarmState::Normal;
    bool Acknowledged = false; // raised, and the operator has seen it
    bool Shown = false;        // raised, or cleared and not yet acknowledged
    uint32_t Since = 0;        // the second of its last raise, clear or acknowledgement
    std::string Name;          // "TC_3 above 250.00", "TC_5 silent for 3 scans", "port lost"
};

// Every alarm the rules ask for, and the rules.
struct TAlarmSnapshot {
    uint64_t Run = 0;
    TAlarmRules Rules;
    std::vector<TAlarmStatus> Alarms;

    // Whether an alarm of the channel is shown.
    bool Shown(int channel) const;
    // The channel's rules and its alarms shown, a line each, for a tooltip;
    // empty when it has no rule.
    std::string Tip(int channel, const TLocaleSettings& locale) const;
};

class TAlarmMachine {
public:
    // names are the channels' names, in the table's order.
    TAlarmMachine(TAlarmRules rules, std::vector<std::string> names, TLocaleSettings locale);

    // A scan of the run: each channel's temperature as logged (NaN for no
    // reading), and whether the port was lost for it.
    std::vector<TAlarmEvent> Scan(uint32_t second, std::span<const float> temperatures, bool portLost);
    // The port lost or back between scans.
    std::vector<TAlarmEvent> Port(uint32_t second, bool lost);
    // The operator has seen the alarm: nothing when it is not shown, or
    // raised and acknowledged already.
    std::optional<TAlarmEvent> Acknowledge(const TAlarmId& id, uint32_t second);

    TAlarmSnapshot Snapshot() const;

private:
    struct TAlarm {
        TAlarmStatus Status;
        float Limit = NAN;
        uint32_t PendingSince = 0;
        uint32_t SilentCount = 0;
    };

    void Step(TAlarm& alarm, uint32_t second, float value, bool portLost, std::vector<TAlarmEvent>& events);
    void StepLimit(TAlarm& alarm, uint32_t second, float value, std::vector<TAlarmEvent>& events);
    void StepSilent(TAlarm& alarm, uint32_t second, float value, bool portLost, std::vector<TAlarmEvent>& events);
    void Change(TAlarm& alarm, TAlarmChange change, uint32_t second, float value, std::vector<TAlarmEvent>& events);
    std::string Name(const TAlarmId& id, float limit) const;

    TAlarmRules rules_;
    std::vector<std::string> names_;
    TLocaleSettings locale_;
    std::vector<TAlarm> alarms_;
    std::vector<float> last_; // each channel's last temperature
};

} // namespace kelvara
