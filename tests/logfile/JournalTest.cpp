#include "logfile/Journal.h"

#include "base/Clock.h"
#include "base/Errors.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace kelvara {
namespace {

using test::TTempDir;

// 2026-12-09 12:03:01 UTC
constexpr int64_t kStartMs = 1796817781000;
constexpr int64_t kDayMs = 24LL * 3600 * 1000;

// The local time zone is central Europe's while this lives. On Windows the
// C runtime follows the system's zone, which CTest sets from TZ.
class TCentralEurope {
public:
    TCentralEurope()
    {
#ifdef _WIN32
        _putenv_s("TZ", "");
        _tzset();
#else
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
#endif
    }
    ~TCentralEurope()
    {
#ifndef _WIN32
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
#endif
    }

private:
    std::optional<std::string> old_;
};

// A complete journal of a run started at startMs, last written at writtenMs.
void WriteDoneJournal(const TTempDir& dir, int64_t startMs, int64_t writtenMs)
{
    const std::string path = dir.Write(FileTimeStamp(startMs) + ".csv", "x");
    const auto written = std::chrono::file_clock::from_sys(
        std::chrono::sys_time<std::chrono::milliseconds>(std::chrono::milliseconds(writtenMs)));
    std::filesystem::last_write_time(path,
                                     std::chrono::time_point_cast<std::filesystem::file_time_type::duration>(written));
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
        EXPECT_TRUE(LeftJournals(runs, "time\tTC_1").empty()) << "a live run's journal is not left behind";

        TJournal second(runs, kStartMs, "time\tTC_1");
        EXPECT_EQ(second.Path(), runs + "/2026-12-09T120301Z-1.part") << "two runs in one second";
        second.AppendLine("0001\t9.00", 0);
        second.Finish();
        EXPECT_EQ(second.Path(), runs + "/2026-12-09T120301Z-1.csv");
        EXPECT_EQ(TTempDir::Read(second.Path()), "time\tTC_1\r\n0001\t9.00\r\n");
    }
    // Ended without Finish, as a crash ends it.
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
}

// Only a lock refused because another holder has it means a live run. A
// probe that cannot tell (a read-only descriptor where the lock is a
// byte-range lock, as on NFS and SMB homes) must not hide a crashed run.
TEST(Journal, LeftBehindUnlessALiveRunHoldsItsLock)
{
    TTempDir dir;
    TJournal live(dir.Path(), kStartMs, "time\tTC_1");
    live.AppendLine("0001\t1.00", 0);
    std::string crashed, readOnly;
    {
        TJournal first(dir.Path(), kStartMs + 1000, "time\tTC_1");
        first.AppendLine("0001\t1.00", 0);
        crashed = first.Path();
        TJournal second(dir.Path(), kStartMs + 2000, "time\tTC_1");
        second.AppendLine("0001\t1.00", 0);
        readOnly = second.Path();
    }
    std::filesystem::permissions(readOnly,
                                 std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                                     std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
    std::vector<std::string> offered;
    for (const TJournalInfo& left : LeftJournals(dir.Path(), "time\tTC_1")) offered.push_back(left.Path);
    EXPECT_EQ(offered, (std::vector<std::string>{crashed, readOnly}));
}

// Another window must not restore or rename a live run's journal.
TEST(Journal, ALiveRunsJournalIsNeitherRestoredNorRenamed)
{
    TTempDir dir;
    TJournal live(dir.Path(), kStartMs, "time\tTC_1");
    live.AppendLine("0001\t1.00", 0);
    EXPECT_THROW(JournalLines(live.Path(), "time\tTC_1"), EError);
    EXPECT_THROW(CloseLeftJournal(live.Path()), EError);
    EXPECT_TRUE(std::filesystem::exists(live.Path()));
}

#ifndef _WIN32
// A journal is made exclusively: a name that is there in any form, even as a
// link to nowhere, goes to the next run of that second and is never opened.
TEST(Journal, ANameThatIsThereInAnyFormIsNotOpened)
{
    TTempDir dir;
    const std::string elsewhere = dir.File("elsewhere");
    ASSERT_EQ(::symlink(elsewhere.c_str(), dir.File("2026-12-09T120301Z.part").c_str()), 0);
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
}

// A journal left behind is untrusted: a restore takes only whole log lines
// after this log's header, and the offer names what else there is.
TEST(Journal, ARestoreTakesOnlyWholeLogLinesAfterThisLogsHeader)
{
    const std::string header = "time\tTC_1";
    struct TCase {
        const char* Name;
        std::string Bytes;
        bool Offered;
        TStringList Lines;
        std::vector<std::string> Problems;
    };
    const TCase cases[] = {
        {"whole lines", "time\tTC_1\r\n0001\t1.00\r\n0002\tNAN\r\n", true, {"0001\t1.00", "0002\tNAN"}, {}},
        {"a torn last line",
         "time\tTC_1\r\n0001\t1.00\r\n0002\t2.",
         true,
         {"0001\t1.00"},
         {"a last line that is cut short"}},
        {"zeros where a power cut left the size but not the data",
         "time\tTC_1\r\n0001\t1.00\r\n" + std::string(9, '\0'),
         true,
         {"0001\t1.00"},
         {"a last line that is cut short"}},
        {"text between the lines",
         "time\tTC_1\r\n0001\t1.00\r\nhello\r\n\r\n0002\t1.00\t9.00\r\n0003\t3.00\r\n",
         true,
         {"0001\t1.00", "0003\t3.00"},
         {"3 lines that are not log lines"}},
        {"a header and nothing more", "time\tTC_1\r\n", true, {}, {}},
        {"a log under another header", "time\tTC_9\r\n0001\t1.00\r\n", true, {}, {"1 log line under another header"}},
        {"another program's file", "a,b\r\n1,2\r\n", false, {}, {}},
        {"an empty file", "", false, {}, {}},
        {"a torn header", "time\tTC", false, {}, {}},
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
    TCentralEurope zone;
    if (FormatClock(kStartMs, false).substr(23) != "+01:00") GTEST_SKIP() << "no central European time here";
    TJournalInfo journal;
    journal.StartMs = kStartMs;
    journal.Lines = 2;
    EXPECT_EQ(JournalOfferText(journal), "A run that started at 2026-12-09 13:03:01 did not end normally. Its journal "
                                         "holds 2 lines.\n\nRestore them into the log below what it shows now?");
    journal.Problems = {"1 line that is not a log line", "a last line that is cut short"};
    EXPECT_EQ(JournalOfferText(journal),
              "A run that started at 2026-12-09 13:03:01 did not end normally. Its journal holds 2 lines. Left out: 1 "
              "line that is not a log line and a last line that is cut short.\n\nRestore them into the log below what "
              "it shows now?");
}

// A journal goes for its age only when the start in its name and its file's
// own time both are older than the limit, and the newest always stay: a
// clock set wrongly ahead must not take every complete run.
TEST(Journal, RetentionKeepsTheNewestWhateverTheClockSays)
{
    struct TCase {
        const char* Name;
        int64_t NowMs;
        int64_t WrittenMs; // the files' time, for all of them; 0: their start
        int64_t MaxAgeMs;
        size_t Kept;
    };
    const TCase cases[] = {
        {"a clock ten years ahead", kStartMs + 3653 * kDayMs, kStartMs, 14 * kDayMs, 20},
        {"old names, files written lately", kStartMs + 60 * kDayMs, kStartMs + 59 * kDayMs, 14 * kDayMs, 30},
        {"a few old by both times", kStartMs, 0, 24 * kDayMs, 25},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir dir;
        // Thirty runs a day apart, the newest started at kStartMs.
        for (int k = 0; k < 30; ++k)
            WriteDoneJournal(dir, kStartMs - k * kDayMs, c.WrittenMs ? c.WrittenMs : kStartMs - k * kDayMs);
        PruneJournals(dir.Path(), c.NowMs, 200, c.MaxAgeMs);
        EXPECT_EQ(static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir.Path()), {})), c.Kept);
    }
}

} // namespace
} // namespace kelvara
