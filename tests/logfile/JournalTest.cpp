#include "logfile/Journal.h"

#include "base/Clock.h"
#include "base/Errors.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace kelvara {
namespace {

using test::TTempDir;

// 2026-12-09 12:03:01 UTC
constexpr int64_t kStartMs = 1796817781000;
constexpr int64_t kDayMs = 24LL * 3600 * 1000;

// A complete journal of a run started at startMs, last written at writtenMs.
void WriteDoneJournal(const TTempDir& dir, int64_t startMs, int64_t writtenMs)
{
    using namespace std::chrono;
    const auto written = file_clock::from_sys(sys_time<milliseconds>(milliseconds(writtenMs)));
    std::filesystem::last_write_time(dir.Write(FileTimeStamp(startMs) + ".csv", "x"),
                                     time_point_cast<std::filesystem::file_time_type::duration>(written));
}

TEST(Journal, ARunsLinesAsASavedLogPartWhileItRunsCsvWhenItEnds)
{
    TTempDir dir;
    const std::string runs = dir.File("state/kelvara/runs");
    std::string path;
    {
        TJournal journal(runs, kStartMs + 250, "time\tTC_1");
        path = journal.Path();
        EXPECT_EQ(path, runs + "/2026-12-09T120301Z.part");
        journal.AppendLine("0001\t1.00", 0);
        journal.AppendLine("0002\t2.00", TJournal::kSyncEveryMs + 1);
        // Each line is in the file as soon as it is appended.
        EXPECT_EQ(TTempDir::Read(path), "time\tTC_1\r\n0001\t1.00\r\n0002\t2.00\r\n");
        // A live run's journal is not offered, restored or renamed.
        EXPECT_TRUE(LeftJournals(runs, "time\tTC_1").empty());
        EXPECT_THROW(JournalLines(path, "time\tTC_1"), EError);
        EXPECT_THROW(CloseLeftJournal(path), EError);

        TJournal second(runs, kStartMs, "time\tTC_1");
        EXPECT_EQ(second.Path(), runs + "/2026-12-09T120301Z-1.part") << "two runs in one second";
        second.AppendLine("0001\t9.00", 0);
        second.Finish();
        EXPECT_EQ(second.Path(), runs + "/2026-12-09T120301Z-1.csv");
        EXPECT_EQ(TTempDir::Read(second.Path()), "time\tTC_1\r\n0001\t9.00\r\n");
    }
    // Ended without Finish, as a crash ends it. Only a lock refused because
    // another holder has it means a live run: where the lock is a byte-range
    // lock (NFS, SMB), one that a read-only file cannot take tells nothing.
    std::filesystem::permissions(path, std::filesystem::perms::owner_write, std::filesystem::perm_options::remove);
    const std::vector<TJournalInfo> left = LeftJournals(runs, "time\tTC_1");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].Path, path);
    EXPECT_EQ(left[0].Start, "2026-12-09T120301Z");
    EXPECT_EQ(left[0].StartMs, kStartMs);
    EXPECT_EQ(left[0].Lines, 2u);
    EXPECT_EQ(JournalLines(path, "time\tTC_1"), (TStringList{"0001\t1.00", "0002\t2.00"}));
    EXPECT_EQ(CloseLeftJournal(path), runs + "/2026-12-09T120301Z.csv");
    EXPECT_TRUE(LeftJournals(runs, "time\tTC_1").empty());
    EXPECT_FALSE(std::filesystem::exists(path));
    std::filesystem::permissions(runs + "/2026-12-09T120301Z.csv", std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
}

#ifndef _WIN32
// A journal is made exclusively: a name that is there in any form, even as a
// link to nowhere, goes to the next run of that second and is never opened.
TEST(Journal, ANameThatIsThereInAnyFormIsNotOpened)
{
    TTempDir dir;
    const std::string elsewhere = dir.File("elsewhere");
    std::filesystem::create_symlink(elsewhere, dir.File("2026-12-09T120301Z.part"));
    TJournal journal(dir.Path(), kStartMs, "time\tTC_1");
    EXPECT_EQ(journal.Path(), dir.File("2026-12-09T120301Z-1.part"));
    EXPECT_FALSE(std::filesystem::exists(elsewhere));
}
#endif

TEST(Journal, OldCompleteJournalsGoOldestFirstAndNothingElse)
{
    TTempDir dir;
    // 210 complete runs a day apart, the newest today; one left behind long
    // ago; a file of the user's.
    for (int k = 0; k < 210; ++k) WriteDoneJournal(dir, kStartMs - k * kDayMs, kStartMs - k * kDayMs);
    dir.Write(FileTimeStamp(kStartMs - 400 * kDayMs) + ".part", "x");
    dir.Write("notes.csv", "x");

    EXPECT_EQ(PruneJournals(dir.Path(), kStartMs, 200, 30 * kDayMs), 210 - 31);
    size_t csv = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) csv += entry.path().extension() == ".csv";
    EXPECT_EQ(csv, 31u + 1);
    EXPECT_TRUE(std::filesystem::exists(dir.File(FileTimeStamp(kStartMs - 30 * kDayMs) + ".csv")));
    EXPECT_FALSE(std::filesystem::exists(dir.File(FileTimeStamp(kStartMs - 31 * kDayMs) + ".csv")));
    EXPECT_TRUE(std::filesystem::exists(dir.File(FileTimeStamp(kStartMs - 400 * kDayMs) + ".part")));
    EXPECT_TRUE(std::filesystem::exists(dir.File("notes.csv")));

    // The count alone: the newest maxRuns stay.
    EXPECT_EQ(PruneJournals(dir.Path(), kStartMs, 10, 365 * kDayMs, 10), 21);
    EXPECT_TRUE(std::filesystem::exists(dir.File(FileTimeStamp(kStartMs - 9 * kDayMs) + ".csv")));
    EXPECT_FALSE(std::filesystem::exists(dir.File(FileTimeStamp(kStartMs - 10 * kDayMs) + ".csv")));

    // Runs begun in one second go by the number after the name: the first
    // has none, and -10 came after -2.
    TTempDir second;
    for (const char* later : {"", "-1", "-2", "-10"}) second.Write(FileTimeStamp(kStartMs) + later + ".csv", "x");
    EXPECT_EQ(PruneJournals(second.Path(), kStartMs, 2, 365 * kDayMs, 0), 2);
    EXPECT_TRUE(std::filesystem::exists(second.File(FileTimeStamp(kStartMs) + "-2.csv")));
    EXPECT_TRUE(std::filesystem::exists(second.File(FileTimeStamp(kStartMs) + "-10.csv")));
}

// A journal left behind is untrusted: a restore takes only whole log lines
// after this log's header, and the offer names what else there is.
TEST(Journal, ARestoreTakesOnlyWholeLogLinesAfterThisLogsHeader)
{
    const std::string header = "time\tTC_1", h = header + "\r\n";
    struct TCase {
        const char* Name;
        std::string Bytes;
        bool Offered;
        TStringList Lines;
        std::vector<std::string> Problems;
    };
    const TCase cases[] = {
        {"whole lines", h + "0001\t1.00\r\n0002\tNAN\n", true, {"0001\t1.00", "0002\tNAN"}, {}},
        {"a torn last line", h + "0001\t1.00\r\n0002\t2.", true, {"0001\t1.00"}, {"a last line that is cut short"}},
        {"text", h + "0001\t1.00\r\nx\r\n\r\n0002\t1\r\n", true, {"0001\t1.00"}, {"3 lines that are not log lines"}},
        {"a header alone", h, true, {}, {}},
        {"another header", "time\tTC_9\r\n0001\t1.00\r\n", true, {}, {"1 log line under another header"}},
        {"another program's file", "a,b\r\n1,2\r\n", false, {}, {}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir dir;
        const std::string path = dir.Write("2026-12-09T120301Z.part", c.Bytes);
        const std::vector<TJournalInfo> left = LeftJournals(dir.Path(), header);
        ASSERT_EQ(left.size(), c.Offered ? 1u : 0u);
        if (!c.Offered) continue;
        EXPECT_EQ(left[0].Lines, c.Lines.size());
        EXPECT_EQ(left[0].Problems, c.Problems);
        EXPECT_EQ(JournalLines(path, header), c.Lines);
    }
}

TEST(Journal, TheOfferNamesTheStartInLocalTimeAndWhatIsLeftOut)
{
    // An hour east of UTC without daylight saving, in the form that both C
    // libraries read; nothing else in this program depends on the zone.
    static char zone[] = "TZ=CET-1";
    putenv(zone);
    tzset();
    if (FormatClock(kStartMs, false).substr(23) != "+01:00") GTEST_SKIP() << "TZ is not honoured here";
    TJournalInfo journal{"", "", kStartMs, 2, {}};
    const std::string start = "A run that started at 2026-12-09 13:03:01 did not end normally. Its journal holds 2 "
                              "lines.";
    const std::string question = "\n\nRestore them into the log below what it shows now?";
    EXPECT_EQ(JournalOfferText(journal), start + question);
    journal.Problems = {"2 lines that are not log lines", "a last line that is cut short"};
    EXPECT_EQ(JournalOfferText(journal),
              start + " Left out: 2 lines that are not log lines and a last line that is cut short." + question);
}

// A journal goes for its age only when the start in its name and its file's
// own time both are older than the limit, and the newest always stay: a
// clock set wrongly ahead must not take every complete run.
TEST(Journal, RetentionKeepsTheNewestWhateverTheClockSays)
{
    struct TCase {
        const char* Name;
        int64_t NowMs;
        int64_t WrittenMs; // the files' time, for all of them
        size_t Kept;
    };
    const TCase cases[] = {
        {"a clock ten years ahead", kStartMs + 3653 * kDayMs, kStartMs, 20},
        {"old names, files written lately", kStartMs + 60 * kDayMs, kStartMs + 59 * kDayMs, 30},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir dir;
        // Thirty runs a day apart, the newest started at kStartMs.
        for (int k = 0; k < 30; ++k) WriteDoneJournal(dir, kStartMs - k * kDayMs, c.WrittenMs);
        PruneJournals(dir.Path(), c.NowMs, 200, 14 * kDayMs);
        EXPECT_EQ(static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir.Path()), {})), c.Kept);
    }
}

} // namespace
} // namespace kelvara
