#include "acquisition/ChannelTable.h"
#include "base/Errors.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace kelvara;
using kelvara::test::TTempDir;

namespace {

const std::string kSevenZeros = "0\n0\n0\n0\n0\n0\n0\n";

// Builds a table in a fresh directory holding the given offsets file, and
// returns the message of the failure, or "" when the build completed.
std::string Build(TChannelTable& table, const TTempDir& dir, const std::string& definitions)
{
    try {
        table.CreateCmd(dir.Dir(), definitions);
        return "";
    } catch (const EError& e) {
        return e.what();
    }
}

} // namespace

TEST(ChannelTable, FixedDefinitionsGiveTheSevenFramesNamesAndHeader)
{
    TTempDir dir;
    dir.Write("offset.txt", kSevenZeros);
    TChannelTable table;
    ASSERT_EQ(Build(table, dir, kChannelDefinitions), "");
    const TStringList frames = {"010400040002300A", "0204000400023039", "03040004000231E8", "040400040002305F",
                                "050400040002318E", "06040004000231BD", "070400040002306C"};
    EXPECT_EQ(table.CmdList(), frames);
    EXPECT_EQ(table.FrameLines(), frames);
    EXPECT_EQ(table.ChanNames(), (std::array<std::string, 7>{"TC_1", "TC_2", "TC_3", "TC_4", "TC_5", "TC_6", "T__A"}));
    EXPECT_EQ(table.HeaderLine(), "time\tTC_1\tTC_2\tTC_3\tTC_4\tTC_5\tTC_6\tT__A");
    EXPECT_EQ(table.DevList().size(), 7u);
    // A CRC run over a whole frame, its own CRC included, gives 0000.
    for (const std::string& f : frames) EXPECT_EQ(TChannelTable::CRC16(f).substr(16), "0000") << f;
}

TEST(ChannelTable, RequestBodyFromDefinitionFields)
{
    const TChannelTable table;
    struct Case {
        const char* line;
        const char* body;
    } cases[] = {
        {"01,04,0x004,FLOAT_BE,TC_1", "010400040002"},
        {"01,04,0x004,float_be,x", "010400040002"},
        {"01,04,0x004,Float_Be,x", "010400040002"},
        {"01,04,0x004,FLOAT_MLE,x", "010400040002"},
        {"01,04,0x004,fLoAt_mLe,x", "010400040002"},
        {"01,04,0x004,FLOAT_LE,x", "010400040001"},
        {"01,04,0x004,,x", "010400040001"},
        {"01,04,4,INT16,x", "010400040001"},
        {"01,04,$4,FLOAT_BE,x", "010400040002"},
        {"01,04,x4,FLOAT_BE,x", "010400040002"},
        {"01,04,\" 4\",FLOAT_BE,x", "010400040002"},
        {"01,04,010,FLOAT_BE,x", "0104000A0002"},
        // Wider than its field: every digit is kept and later bytes shift.
        {"300,04,4,FLOAT_BE,x", "12C0400040002"},
        {"1,4,70000,FLOAT_BE,x", "0104111700002"},
    };
    for (const Case& c : cases) EXPECT_EQ(table.PDU(c.line), c.body) << c.line;
}

TEST(ChannelTable, DefinitionFieldErrorsNameTheField)
{
    const TChannelTable table;
    struct Case {
        const char* line;
        const char* message;
    } cases[] = {
        {"01,04,0y4,FLOAT_BE,x", "'0y4' is not a valid integer value"},
        {"zz,04,4,FLOAT_BE,x", "'zz' is not a valid integer value"},
        // The first bad field decides.
        {"zz,yy,4,FLOAT_BE,x", "'zz' is not a valid integer value"},
        {"01,04,4", "List index out of bounds (3)"},
        {"01", "List index out of bounds (1)"},
        {"", "List index out of bounds (0)"},
    };
    for (const Case& c : cases) {
        try {
            table.PDU(c.line);
            ADD_FAILURE() << "accepted " << c.line;
        } catch (const EError& e) {
            EXPECT_STREQ(e.what(), c.message) << c.line;
        }
    }
}

TEST(ChannelTable, Crc16AppendsLowByteFirstAndIgnoresAnOddDigit)
{
    EXPECT_EQ(TChannelTable::CRC16("010400040002"), "010400040002300A");
    EXPECT_EQ(TChannelTable::CRC16("0104000400023"), "0104000400023"
                                                     "300A");
    EXPECT_EQ(TChannelTable::CRC16(""), "FFFF");
    EXPECT_EQ(TChannelTable::CRC16("0"), "0FFFF");
}

TEST(ChannelTable, OffsetsInTheLocaleOfStartUp)
{
    struct Case {
        std::string file;
        const char* locale;
        std::array<float, 7> offsets;
    } cases[] = {
        {"0.5\n -1.25 \n2E-1\n0\n0\n0\n0", "C", {0.5f, -1.25f, 0.2f, 0, 0, 0, 0}},
        {"1\n2\n3\n4\n5\n6\n7", "C", {1, 2, 3, 4, 5, 6, 7}},
        {"1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\nsomething\n\tnot a number\n", "C", {1, 2, 3, 4, 5, 6, 7}},
        {"0,5\n0\n0\n0\n0\n0\n-1,5\n", "de_DE.UTF-8", {0.5f, 0, 0, 0, 0, 0, -1.5f}},
    };
    // A case whose locale is missing is left out and named; the others run.
    std::string skipped;
    for (size_t k = 0; k < std::size(cases); ++k) {
        const Case& c = cases[k];
        const TLocaleSettings loc = TLocaleSettings::Named(c.locale);
        if (loc.LocaleName != c.locale) {
            skipped += "\n  case " + std::to_string(k + 1) + ": " + c.locale + " is not installed";
            continue;
        }
        TTempDir dir;
        dir.Write("offset.txt", c.file);
        TChannelTable table(loc);
        EXPECT_EQ(Build(table, dir, kChannelDefinitions), "") << c.file;
        EXPECT_EQ(table.ChanOffsets(), c.offsets) << c.file;
    }
    if (!skipped.empty()) GTEST_SKIP() << "cases not run:" << skipped;
}

TEST(ChannelTable, FailuresLeaveWhatWasBuiltBeforeThem)
{
    struct Case {
        std::string offsets; // "-" for no file
        std::string definitions;
        std::string message;
        size_t frames;
        size_t names; // entries set in chanNames and the header
        std::array<float, 7> chanOffsets;
    } cases[] = {
        {"1\n2\n3\n4\n5\n6\n", kChannelDefinitions, "List index out of bounds (6)", 7, 7, {1, 2, 3, 4, 5, 6, 0}},
        {"1\n2\n0,5\n4\n5\n6\n7\n",
         kChannelDefinitions,
         "'0,5' is not a valid floating point value",
         3,
         3,
         {1, 2, 0, 0, 0, 0, 0}},
        {"1\n\n3\n4\n5\n6\n7\n",
         kChannelDefinitions,
         "'' is not a valid floating point value",
         2,
         2,
         {1, 0, 0, 0, 0, 0, 0}},
        {"1\n2\n1e39\n", kChannelDefinitions, "Floating point overflow", 3, 3, {1, 2, 0, 0, 0, 0, 0}},
        {kSevenZeros, "01,04,4,FLOAT_BE,A\n02,04,zz,FLOAT_BE,B", "'zz' is not a valid integer value", 1, 1, {}},
        {kSevenZeros, "01,04,4,FLOAT_BE,A\n02,04,4,FLOAT_BE", "List index out of bounds (4)", 2, 1, {}},
        {kSevenZeros + "0\n", std::string(kChannelDefinitions) + "\n08,04,4,FLOAT_BE,X", "Range check error", 8, 7, {}},
    };
    for (const Case& c : cases) {
        TTempDir dir;
        dir.Write("offset.txt", c.offsets);
        TChannelTable table;
        EXPECT_EQ(Build(table, dir, c.definitions), c.message);
        EXPECT_EQ(table.CmdList().size(), c.frames) << c.message;
        EXPECT_TRUE(table.FrameLines().empty()) << c.message;
        size_t names = 0;
        for (const std::string& n : table.ChanNames()) names += n.empty() ? 0 : 1;
        EXPECT_EQ(names, c.names) << c.message;
        EXPECT_EQ(std::count(table.HeaderLine().begin(), table.HeaderLine().end(), '\t'), static_cast<long>(c.names))
            << c.message;
        EXPECT_EQ(table.ChanOffsets(), c.chanOffsets) << c.message;
    }
}

TEST(ChannelTable, MissingOffsetsFileBuildsNothing)
{
    TTempDir dir;
    TChannelTable table;
    EXPECT_EQ(Build(table, dir, kChannelDefinitions),
              "Cannot open file \"" + dir.File("offset.txt") + "\". No such file or directory");
    EXPECT_TRUE(table.CmdList().empty());
    EXPECT_TRUE(table.DevList().empty());
    EXPECT_TRUE(table.FrameLines().empty());
    EXPECT_EQ(table.HeaderLine(), "");
    EXPECT_EQ(table.ChanNames()[0], "");
}
