// alarms.ini: what a line may hold, how [all] fills in a channel's rules, and
// the file the dialog writes.
#include "alarm/AlarmRules.h"
#include "base/Errors.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace kelvara;

namespace {

const std::vector<std::string> kNames = {"TC_1", "TC_2", "TC_3", "TC_4", "TC_5", "TC_6", "T__A"};

std::string ErrorOf(const std::string& text)
{
    try {
        RulesOf(ParseAlarmTexts(text, "alarms.ini", kNames), kNames, "alarms.ini");
    } catch (const EError& e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(AlarmRules, ABadLineIsAnErrorNamingTheFileAndTheLine)
{
    const std::string at = "Bad alarm rules: \"alarms.ini\", line ";
    const struct {
        std::string text, error;
    } cases[] = {
        {"[TC_3]\nhigh=hot\n", at + "2: high: 'hot' is not a number"},
        {"[TC_3]\nhigh=1,5\n", at + "2: high: '1,5' is not a number"},
        {"[all]\n; a comment\nhysteresis=-1\n", at + "3: hysteresis: '-1' is below 0"},
        {"[TC_1]\ndelay=2.5\n", at + "2: delay: '2.5' is not a whole number of seconds, 0 or more"},
        {"[TC_1]\nsilent_scans=-3\n", at + "2: silent_scans: '-3' is not a whole number of scans, 0 or more"},
        {"[TC_9]\n", at + "1: unknown section [TC_9]; the sections are [all], [TC_1], [TC_2], [TC_3], [TC_4], "
                          "[TC_5], [TC_6], [T__A]"},
        {"[TC_2]\nhihg=3\n", at + "2: unknown key 'hihg'; the keys are low, high, hysteresis, delay, silent_scans "
                                  "and, in [all], port_lost"},
        {"high=3\n", at + "1: high before any [section]"},
        {"[TC_2]\nhigh 3\n", at + "2: not a [section], a key=value line or a comment"},
        {"[TC_2]\n[tc_2]\n", at + "2: [tc_2] again"},
        {"[TC_2]\nhigh=3\nHIGH=4\n", at + "3: HIGH again"},
        {"[TC_2]\nport_lost=yes\n", at + "2: port_lost belongs in [all]"},
        {"[all]\nport_lost=maybe\n", at + "2: port_lost: 'maybe' is neither yes nor no"},
        // The later of the two lines makes the contradiction, also when one
        // of them comes from [all].
        {"[TC_4]\nhigh=100\nlow=200\n", at + "3: low: 200 is above high 100 for TC_4"},
        {"[TC_4]\nhigh=100\n[all]\nlow=200\n", at + "4: low: 200 is above high 100 for TC_4"},
        {"\xEF\xBB\xBF[all]\r\n  ; fine\r\n# fine too\r\nlow = ' 5 '\r\n\r\n[T__A]\r\nhigh=none\r\n", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.text), c.error) << c.text;
}

TEST(AlarmRules, AllGivesEveryChannelWhatItsOwnSectionLeavesOpen)
{
    const TAlarmRules rules = RulesOf(ParseAlarmTexts("[all]\nhigh=300\nsilent_scans=3\nport_lost=YES\n"
                                                      "[tc_3]\nhigh=250.5\nlow=20\nhysteresis=2\ndelay=10\n"
                                                      "[T__A]\nhigh=none\nsilent_scans=\n",
                                                      "alarms.ini", kNames),
                                      kNames);
    ASSERT_EQ(rules.Channels.size(), kNames.size());
    const TChannelAlarmRule& tc3 = rules.Channels[2];
    EXPECT_EQ(tc3.High, 250.5f);
    EXPECT_EQ(tc3.Low, 20.0f);
    EXPECT_EQ(tc3.Hysteresis, 2.0f);
    EXPECT_EQ(tc3.Delay, 10u);
    EXPECT_EQ(tc3.SilentScans, 3u);
    EXPECT_EQ(rules.Channels[0].High, 300.0f);
    EXPECT_TRUE(std::isnan(rules.Channels[0].Low));
    EXPECT_EQ(rules.Channels[0].Delay, 0u);
    // "none" turns off what [all] gives; an empty value leaves it.
    EXPECT_TRUE(std::isnan(rules.Channels[6].High));
    EXPECT_EQ(rules.Channels[6].SilentScans, 3u);
    EXPECT_TRUE(rules.PortLost);
    EXPECT_FALSE(RulesOf(ParseAlarmTexts("; nothing\n[all]\n", "alarms.ini", kNames), kNames).Any());
}

// The dialog's texts: judged before anything is written, written whole, and
// read back as they were.
TEST(AlarmRules, TheDialogsTextsAreJudgedThenWrittenWhole)
{
    test::TTempDir dir;
    const std::string path = dir.File("alarms.ini");
    TAlarmTexts texts = LoadAlarmTexts(path, kNames);
    ASSERT_EQ(texts.Channels.size(), kNames.size());
    texts.All[TAlarmKey::SilentScans] = "3";
    texts.PortLost = "yes";
    texts.Channels[2][TAlarmKey::High] = "250";
    texts.Channels[2][TAlarmKey::Hysteresis] = "2.5";
    SaveAlarmTexts(path, texts, kNames);
    const TAlarmTexts back = LoadAlarmTexts(path, kNames);
    EXPECT_EQ(back.All.Values, texts.All.Values);
    EXPECT_EQ(back.Channels[2].Values, texts.Channels[2].Values);
    EXPECT_EQ(back.PortLost, "yes");
    EXPECT_EQ(ReadAlarmRules(path, kNames).Channels[2].Hysteresis, 2.5f);

    texts.Channels[2][TAlarmKey::Low] = "cold";
    try {
        SaveAlarmTexts(path, texts, kNames);
        ADD_FAILURE() << "a low that is not a number was written";
    } catch (const EError& e) {
        EXPECT_STREQ(e.what(), "Bad alarm rules: [TC_3] low: 'cold' is not a number");
    }
    EXPECT_EQ(LoadAlarmTexts(path, kNames).Channels[2].Values, back.Channels[2].Values);
}
