#include "metrics/OpenMetrics.h"

#include <gtest/gtest.h>
#include <set>
#include <sstream>

namespace kelvara {
namespace {

// Five scans in: slave 3 silent, slave 4 answering with an exception, slave
// 5 with a NaN, channel 6 named to need escapes.
TSessionSnapshot FiveScans()
{
    TSessionSnapshot s;
    for (int i = 0; i < TSessionSnapshot::kSlots; ++i) {
        TChannelSnapshot& c = s.Channels[i];
        c.Name = "TC_" + std::to_string(i + 1);
        c.Slave = i + 1;
        c.Temperature = 20.25f + float(i);
        c.Status.LastOutcome = TExchangeOutcome::Ok;
        c.Status.Counts[int(TExchangeOutcome::Ok)] = 5;
        c.LastGoodMs = 1796947205040;
    }
    s.Channels[2].Temperature = NAN;
    s.Channels[2].Status.LastOutcome = TExchangeOutcome::Silent;
    s.Channels[2].Status.Counts[int(TExchangeOutcome::Ok)] = 3;
    s.Channels[2].Status.Counts[int(TExchangeOutcome::Silent)] = 2;
    s.Channels[2].LastGoodMs = 1796947203007;
    s.Channels[3].Status.LastOutcome = TExchangeOutcome::Exception;
    s.Channels[4].Status.LastOutcome = TExchangeOutcome::NotANumber;
    s.Channels[5].Name = "a\"b\\c\nd";
    s.PortUp = true;
    s.Scans = 5;
    s.LastScanMs = 1796947205040;
    s.LastScanDurationMs = 95;
    s.LastScanSecond = 5;
    return s;
}

// Each family once, its HELP and TYPE (and in OpenMetrics its UNIT, the
// name's suffix) before its samples, counters' samples ending in "_total",
// and "# EOF" closing an OpenMetrics page alone.
TEST(OpenMetrics, PagesFollowTheirFormatsRules)
{
    for (const TExposition format : {TExposition::OpenMetrics, TExposition::Text}) {
        const bool om = format == TExposition::OpenMetrics;
        for (const TSessionSnapshot& snapshot : {FiveScans(), TSessionSnapshot{}}) {
            const std::string page = RenderMetrics(snapshot, format);
            EXPECT_EQ(page.ends_with("\n# EOF\n"), om);
            std::istringstream lines(page);
            std::set<std::string> families;
            std::string line, family, type;
            while (std::getline(lines, line)) {
                std::istringstream words(line);
                std::string hash, key, name, rest;
                words >> hash >> key >> name >> rest;
                if (key == "HELP") {
                    EXPECT_TRUE(families.insert(family = name).second) << name;
                } else if (key == "TYPE") {
                    EXPECT_EQ(name, family);
                    type = rest;
                    EXPECT_EQ(type == "counter" && !om, name.ends_with("_total")) << line;
                } else if (key == "UNIT") {
                    EXPECT_TRUE(om && name == family && name.ends_with("_" + rest)) << line;
                } else if (line != "# EOF") {
                    const std::string sample = line.substr(0, line.find_first_of("{ "));
                    EXPECT_EQ(sample, om && type == "counter" ? family + "_total" : family) << line;
                }
            }
            EXPECT_GE(families.size(), 9u);
        }
    }
}

TEST(OpenMetrics, ASilentSlaveLeavesOutItsTemperatureAlone)
{
    const std::string page = RenderMetrics(FiveScans(), TExposition::Text);
    const std::string fresh = RenderMetrics(TSessionSnapshot{}, TExposition::Text);
    const struct {
        const std::string& Page;
        std::string Text;
        bool Present;
    } cases[] = {
        {page, "kelvara_temperature_celsius{channel=\"TC_1\"} 20.25\n", true},
        {page, "kelvara_temperature_celsius{channel=\"TC_3\"}", false},
        {page, "kelvara_temperature_celsius{channel=\"TC_4\"} 23.25\n", true},
        {page, "kelvara_temperature_celsius{channel=\"a\\\"b\\\\c\\nd\"} 25.25\n", true},
        {page, "kelvara_exchanges_total{slave=\"3\",channel=\"TC_3\",result=\"silent\"} 2\n", true},
        {page, "kelvara_exchanges_total{slave=\"3\",channel=\"TC_3\",result=\"ok\"} 3\n", true},
        {page, "kelvara_exchanges_total{slave=\"3\",channel=\"TC_3\",result=\"bad_crc\"} 0\n", true},
        {page, "kelvara_exchanges_total{slave=\"7\",channel=\"TC_7\",result=\"no_port\"} 0\n", true},
        {page, "result=\"none\"", false},
        {page, "kelvara_slave_up{slave=\"3\",channel=\"TC_3\"} 0\n", true},
        {page, "kelvara_slave_up{slave=\"4\",channel=\"TC_4\"} 1\n", true},
        {page, "kelvara_slave_up{slave=\"5\",channel=\"TC_5\"} 1\n", true},
        {page, "kelvara_last_good_reading_timestamp_seconds{slave=\"3\",channel=\"TC_3\"} 1796947203.007\n", true},
        {page, "kelvara_port_up 1\n", true},
        {page, "kelvara_scans_total 5\n", true},
        {page, "kelvara_scan_duration_seconds 0.095\n", true},
        {page, "kelvara_last_scan_timestamp_seconds 1796947205.040\n", true},
        {page, "kelvara_last_scan_run_seconds 5\n", true},
        {fresh, "kelvara_port_up 0\n", true},
        {fresh, "kelvara_scans_total 0\n", true},
        {fresh, "\nkelvara_temperature_celsius", false},
        {fresh, "\nkelvara_last_good_reading_timestamp_seconds", false},
        {fresh, "\nkelvara_scan_duration_seconds", false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.Page.find(c.Text) != std::string::npos, c.Present) << c.Text;
}

} // namespace
} // namespace kelvara
