#include "metrics/OpenMetrics.h"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

// Two scans: all answer, then slave 3 is silent, 4 sends an exception and 5
// a NaN. Channel 6's name needs escapes. TC_3 is above its limit.
TSessionSnapshot TwoScans()
{
    TSessionSnapshot s;
    for (uint32_t k = 1; k <= 2; ++k) {
        TScanRecord r;
        r.Second = k;
        r.StartMs = 1796947200007 + k * 1000;
        r.DurationMs = 95;
        for (int i = 0; i < TSessionSnapshot::kSlots; ++i) {
            s.Channels[i].Name = i == 5 ? "a\"b\\c\nd" : "TC_" + std::to_string(i + 1);
            s.Channels[i].Slave = i + 1;
            r.Temperatures[i] = k == 2 && (i == 2 || i == 4) ? NAN : 20.25f + float(i);
            r.Status[i].LastOutcome = k == 2 && i == 2 ? TExchangeOutcome::Silent : TExchangeOutcome::Ok;
            r.Status[i].Counts[int(r.Status[i].LastOutcome)] = k;
        }
        r.Status[3].LastOutcome = k == 2 ? TExchangeOutcome::Exception : TExchangeOutcome::Ok;
        r.Status[4].LastOutcome = k == 2 ? TExchangeOutcome::NotANumber : TExchangeOutcome::Ok;
        s.Add(r);
    }
    s.Alarms.Alarms.resize(2);
    s.Alarms.Alarms[0].Id = {2, TAlarmKind::Above};
    s.Alarms.Alarms[0].State = TAlarmState::Raised;
    s.Alarms.Alarms[0].Shown = true;
    return s;
}

TEST(OpenMetrics, APageTellsTheLastScanInItsFormatAndASilentSlaveHidesOnlyItsTemperature)
{
    const std::string om = RenderMetrics(TwoScans(), TExposition::OpenMetrics);
    const std::string text = RenderMetrics(TwoScans(), TExposition::Text);
    const std::string fresh = RenderMetrics(TSessionSnapshot{}, TExposition::Text);
    const struct {
        const std::string& Page;
        std::string Text;
        bool Present;
    } cases[] = {
        {om, "# TYPE kelvara_exchanges counter\n", true},
        {om, "# UNIT kelvara_temperature_celsius celsius\n", true},
        {om, "\nkelvara_alarm_shown{channel=\"port\",kind=\"port-lost\"} 0\n# EOF\n", true},
        {text, "# TYPE kelvara_exchanges_total counter\n", true},
        {text, "# UNIT", false},
        {text, "# EOF", false},
        {text, "kelvara_temperature_celsius{channel=\"TC_1\"} 20.25\n", true},
        {text, "kelvara_temperature_celsius{channel=\"TC_3\"}", false},
        {text, "kelvara_temperature_celsius{channel=\"a\\\"b\\\\c\\nd\"} 25.25\n", true},
        {text, "kelvara_exchanges_total{slave=\"3\",channel=\"TC_3\",result=\"silent\"} 2\n", true},
        {text, "kelvara_exchanges_total{slave=\"7\",channel=\"TC_7\",result=\"no_port\"} 0\n", true},
        {text, "result=\"none\"", false},
        {text, "kelvara_slave_up{slave=\"3\",channel=\"TC_3\"} 0\n", true},
        {text, "kelvara_slave_up{slave=\"4\",channel=\"TC_4\"} 1\n", true},
        {text, "kelvara_last_good_reading_timestamp_seconds{slave=\"5\",channel=\"TC_5\"} 1796947201.007\n", true},
        {text, "kelvara_scan_duration_seconds 0.095\n", true},
        {text, "kelvara_alarm_state{channel=\"TC_3\",kind=\"above\",state=\"raised\"} 1\n", true},
        {text, "kelvara_alarm_state{channel=\"TC_3\",kind=\"above\",state=\"normal\"} 0\n", true},
        {text, "kelvara_alarm_state{channel=\"port\",kind=\"port-lost\",state=\"normal\"} 1\n", true},
        {text, "kelvara_alarm_shown{channel=\"TC_3\",kind=\"above\"} 1\n", true},
        {fresh, "kelvara_port_up 0\n", true},
        {fresh, "\nkelvara_temperature_celsius", false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.Page.find(c.Text) != std::string::npos, c.Present) << c.Text;
}

} // namespace
} // namespace kelvara
