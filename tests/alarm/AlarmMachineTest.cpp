// The alarm state machine: limits with delay and hysteresis, a silent
// channel, the port, and the operator's acknowledgement.
#include "alarm/AlarmMachine.h"

#include <gtest/gtest.h>

using namespace kelvara;

namespace {

const std::vector<std::string> kNames = {"TC_1", "TC_2", "TC_3", "TC_4", "TC_5", "TC_6", "T__A"};

TAlarmRules Rules(TChannelAlarmRule first, bool portLost = false)
{
    TAlarmRules rules;
    rules.Channels.resize(kNames.size());
    rules.Channels[0] = first;
    rules.PortLost = portLost;
    return rules;
}

// TC_1 reads value at second n + 1 of the list; the others give nothing.
std::vector<std::string> Feed(TAlarmMachine& machine, const std::vector<float>& values, uint32_t first = 1)
{
    std::vector<std::string> texts;
    for (size_t k = 0; k < values.size(); ++k) {
        std::vector<float> t(kNames.size(), NAN);
        t[0] = values[k];
        for (const TAlarmEvent& e : machine.Scan(first + uint32_t(k), t, false)) texts.push_back(e.Text);
    }
    return texts;
}

const TAlarmStatus& Status(const TAlarmMachine& machine, TAlarmKind kind, TAlarmSnapshot& keep)
{
    keep = machine.Snapshot();
    for (const TAlarmStatus& s : keep.Alarms)
        if (s.Id.Kind == kind) return s;
    throw std::runtime_error("no such alarm");
}

} // namespace

TEST(AlarmMachine, ALimitIsRaisedAfterItsDelayAndClearedBeyondItsHysteresis)
{
    const float n = NAN;
    const struct {
        const char* what;
        TChannelAlarmRule rule;
        std::vector<float> values;
        std::vector<std::string> texts;
    } cases[] = {
        {"a crossing shorter than the delay, one broken by no reading, then one that lasts; recrossed inside the "
         "hysteresis it stays",
         {.High = 100, .Hysteresis = 5, .Delay = 3},
         {99, 101, 102, 99, 101, n, 101, 101, 101, 101, 97, 101, 95},
         {"alarm raised at second 10: TC_1 above 100.00 (101.00)",
          "alarm cleared at second 13: TC_1 above 100.00 (95.00)"}},
        {"below, at once, cleared at the hysteresis's edge",
         {.Low = 0, .Hysteresis = 1},
         {1, -0.5f, 0.5f, n, 1, -1},
         {"alarm raised at second 2: TC_1 below 0.00 (-0.50)", "alarm cleared at second 5: TC_1 below 0.00 (1.00)",
          "alarm raised at second 6: TC_1 below 0.00 (-1.00)"}},
        {"no hysteresis: back at the limit is back",
         {.High = 50},
         {50, 50.01f, 50},
         {"alarm raised at second 2: TC_1 above 50.00 (50.01)", "alarm cleared at second 3: TC_1 above 50.00 (50.00)"}},
        {"silent: scans in a row without a reading, cleared by the next reading",
         {.SilentScans = 2},
         {20, n, 21, n, n, n, 22.5f},
         {"alarm raised at second 5: TC_1 silent for 2 scans", "alarm cleared at second 7: TC_1 silent for 2 scans "
                                                               "(22.50)"}},
    };
    for (const auto& c : cases) {
        TAlarmMachine machine(Rules(c.rule), kNames, TLocaleSettings{});
        EXPECT_EQ(Feed(machine, c.values), c.texts) << c.what;
    }
}

// While the port is lost its alarm stands for the channels: their silence
// is not counted until it is back.
TEST(AlarmMachine, APortLostAndBackLeavesTheChannelsSilenceUncounted)
{
    TAlarmMachine machine(Rules({.SilentScans = 2}, true), kNames, TLocaleSettings{});
    std::vector<float> none(kNames.size(), NAN);
    EXPECT_TRUE(machine.Scan(1, none, false).empty());
    ASSERT_EQ(machine.Port(1, true).at(0).Text, "alarm raised at second 1: port lost");
    for (uint32_t s = 2; s < 6; ++s) EXPECT_TRUE(machine.Scan(s, none, true).empty());
    TAlarmSnapshot keep;
    EXPECT_EQ(Status(machine, TAlarmKind::Silent, keep).State, TAlarmState::NoData);
    const std::vector<TAlarmEvent> back = machine.Port(6, false);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].Text, "alarm cleared at second 6: port lost");
    EXPECT_EQ(back[0].Channel, "port");
    const std::vector<TAlarmEvent> silent = machine.Scan(6, none, false);
    ASSERT_EQ(silent.size(), 1u) << "the scan before the loss and this one";
    EXPECT_EQ(silent[0].Text, "alarm raised at second 6: TC_1 silent for 2 scans");
    EXPECT_EQ(silent[0].Limit, 2.0f);
}

TEST(AlarmMachine, ARaisedAlarmIsShownUntilClearedAndAcknowledgedInEitherOrder)
{
    TAlarmMachine machine(Rules({.High = 100}), kNames, TLocaleSettings{});
    const TAlarmId id{0, TAlarmKind::Above};
    TAlarmSnapshot keep;
    EXPECT_FALSE(machine.Acknowledge(id, 1)) << "nothing to acknowledge";
    Feed(machine, {101});
    EXPECT_EQ(machine.Acknowledge(id, 2)->Text, "alarm acknowledged at second 2: TC_1 above 100.00 (101.00)");
    EXPECT_TRUE(Status(machine, TAlarmKind::Above, keep).Shown);
    EXPECT_NE(keep.Tip(0, {}).find("TC_1 above 100.00: raised, acknowledged (second 2)"), std::string::npos);
    EXPECT_FALSE(machine.Acknowledge(id, 3)) << "acknowledged once";
    Feed(machine, {99}, 4);
    EXPECT_FALSE(Status(machine, TAlarmKind::Above, keep).Shown);

    Feed(machine, {101, 99}, 5);
    EXPECT_TRUE(Status(machine, TAlarmKind::Above, keep).Shown) << "cleared, not acknowledged";
    EXPECT_TRUE(keep.Shown(0));
    EXPECT_EQ(keep.Tip(0, {}), "Alarms: high 100.00, hysteresis 0.00, delay 0 s\n"
                               "TC_1 above 100.00: cleared, not acknowledged (second 6)");
    EXPECT_TRUE(machine.Acknowledge(id, 7));
    EXPECT_FALSE(Status(machine, TAlarmKind::Above, keep).Shown);
    EXPECT_FALSE(keep.Shown(0));
}
