#include "config/Settings.h"

#include "base/Errors.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <vector>

namespace kelvara {
namespace {

using test::ReadBytes;
using test::TTempDir;
using test::WriteBytes;

TEST(Settings, LoadFillsMissingKeysWithDefaults)
{
    struct TCase {
        const char* Name;
        const char* Content; // nullptr: no file
        TSettings Expected;
    };
    const TCase cases[] = {
        {"first start", nullptr, {"19200", "even", "Com22", "1"}},
        {"only port", "[Serial]\nport=COM7\n", {"19200", "even", "COM7", "1"}},
        {"all four",
         "[Timings]\r\nscan_period=5\r\n[SERIAL]\r\nBaudRate=9600\r\nParity=odd\r\nport=None\r\n",
         {"9600", "odd", "None", "5"}},
        {"empty values stay empty", "[Serial]\nport=\n[Timings]\nscan_period=\n", {"19200", "even", "", ""}},
        {"keys in wrong section", "[Timings]\nport=COM7\n[Serial]\nscan_period=9\n", {"19200", "even", "Com22", "1"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir dir;
        std::string path = dir.File("kelvara.ini");
        if (c.Content) WriteBytes(path, c.Content);
        EXPECT_EQ(LoadSettings(path), c.Expected);
    }
}

TEST(Settings, UnreadableFileGivesDefaults)
{
    TTempDir dir;
    EXPECT_EQ(LoadSettings(dir.Path()), TSettings{});
}

TEST(Settings, FirstCloseCreatesTheFileWithTheFourKeys)
{
    TTempDir dir;
    std::string path = dir.File("kelvara.ini");
    SaveSettings(path, LoadSettings(path));
    EXPECT_EQ(ReadBytes(path), "[Serial]\nbaudrate=19200\nparity=even\nport=Com22\n[Timings]\nscan_period=1\n");
}

TEST(Settings, SaveStoresTextsUncheckedAndKeepsOtherLines)
{
    TTempDir dir;
    std::string path = dir.File("kelvara.ini");
    WriteBytes(path, "; operator's note\n[Serial]\nport=COM7\n\n[Display]\nfont=big\n");
    TSettings s{"fast", "", "None", "ten"};
    SaveSettings(path, s);
    EXPECT_EQ(ReadBytes(path), "; operator's note\n[Serial]\nport=None\nbaudrate=fast\nparity=\n\n[Display]\nfont=big\n"
                               "[Timings]\nscan_period=ten\n");
    EXPECT_EQ(LoadSettings(path), s);
}

// Records the writes and fails the one numbered FailAt (counted from 1).
class TFailingIni : public TIniFile {
public:
    TFailingIni(int failAt) : TIniFile("/settings/kelvara.ini"), FailAt(failAt) {}
    void WriteString(const std::string& section, const std::string& key, const std::string& value) override
    {
        Calls.push_back(section + "/" + key + "=" + value);
        if (static_cast<int>(Calls.size()) == FailAt) throw EIniFileError(FileName());
    }
    int FailAt;
    std::vector<std::string> Calls;
};

TEST(Settings, SaveStopsAtTheFirstFailingWrite)
{
    const std::vector<std::string> all = {"Serial/baudrate=1", "Serial/parity=2", "Serial/port=3",
                                          "Timings/scan_period=4"};
    for (int failAt = 1; failAt <= 4; ++failAt) {
        SCOPED_TRACE(failAt);
        TFailingIni ini(failAt);
        try {
            SaveSettings(ini, TSettings{"1", "2", "3", "4"});
            ADD_FAILURE() << "no exception";
        } catch (const EIniFileError& e) {
            EXPECT_STREQ(e.what(), "Unable to write to /settings/kelvara.ini");
        }
        EXPECT_EQ(ini.Calls, std::vector<std::string>(all.begin(), all.begin() + failAt));
    }
    TFailingIni ok(0);
    SaveSettings(ok, TSettings{"1", "2", "3", "4"});
    EXPECT_EQ(ok.Calls, all);
}

TEST(Settings, SaveToUnwritablePathNamesTheSettingsFile)
{
    TTempDir dir;
    // Under a missing directory: fails for root too.
    std::string path = dir.File("gone/kelvara.ini");
    try {
        SaveSettings(path, TSettings{});
        ADD_FAILURE() << "no exception";
    } catch (const EIniFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
    }
}

} // namespace
} // namespace kelvara
