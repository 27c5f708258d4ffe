#include "logfile/LogFile.h"

#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

namespace kelvara {
namespace {

using test::ReadBytes;
using test::TTempDir;
using test::WriteBytes;

const std::string Header = "time\tTC_1\tTC_2\tTC_3\tTC_4\tTC_5\tTC_6\tT__A";

std::string LongLog(const std::string& lineEnd)
{
    std::string text;
    for (int k = 0; k < 60000; ++k) text += std::to_string(100000 + k) + "\t12.34\t56.78" + lineEnd;
    return text;
}

TEST(SaveLogFile, HeaderThenPaneWithCrLf)
{
    struct TCase {
        const char* Name;
        std::string Pane;
        std::string Body; // what follows the header line and its CR LF
    };
    const TCase cases[] = {
        {"empty pane", "", ""},
        {"scan lines", "0001\t1.00\n0002\t2.00\n", "0001\t1.00\r\n0002\t2.00\r\n"},
        {"already CR LF", "0001\r\n0002\r\n", "0001\r\n0002\r\n"},
        {"lone CR", "a\rb\r", "a\r\nb\r\n"},
        {"mixed breaks", "a\r\n\nb\r\rc\n", "a\r\n\r\nb\r\n\r\nc\r\n"},
        {"typed text kept as is", "0001\t1.00\nnote by hand", "0001\t1.00\r\nnote by hand"},
        {"only a break", "\n", "\r\n"},
        {"UTF-8 kept", "K\xC3\xBC\x68lung\n", "K\xC3\xBC\x68lung\r\n"},
        {"invalid UTF-8 replaced", "a\xFF\n", "a\xEF\xBF\xBD\r\n"},
        {"a replacement character as such kept", "\xEF\xBF\xBD\n", "\xEF\xBF\xBD\r\n"},
        {"a sequence cut off at the end", "ab\xC3", "ab\xEF\xBF\xBD"},
        // More than one slice of the writer, with a break across the cut.
        {"a long log", LongLog("\n"), LongLog("\r\n")},
        {"a long log with CR LF", LongLog("\r\n"), LongLog("\r\n")},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir dir;
        std::string path = dir.File("log.csv");
        SaveLogFile(path, Header, c.Pane);
        EXPECT_EQ(ReadBytes(path), Header + "\r\n" + c.Body);
    }
}

TEST(SaveLogFile, ReplacesAnExistingFile)
{
    TTempDir dir;
    std::string path = dir.File("log.csv");
    WriteBytes(path, std::string(1000, 'z'));
    SaveLogFile(path, "h", "1\n");
    SaveLogFile(path, "h", "");
    EXPECT_EQ(ReadBytes(path), "h\r\n");
}

TEST(SaveLogFile, UncreatableFileNamesPathAndReason)
{
    TTempDir dir;
    struct TCase {
        std::string Path;
        const char* Reason;
    };
    const TCase cases[] = {
        {dir.File("missing/log.csv"), "No such file or directory"},
#ifdef _WIN32
        {dir.Path(), "Permission denied"}, // what Windows answers for a directory
#else
        {dir.Path(), "Is a directory"},
#endif
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Path);
        try {
            SaveLogFile(c.Path, Header, "0001\n");
            ADD_FAILURE() << "no exception";
        } catch (const EFCreateError& e) {
            EXPECT_EQ(std::string(e.what()), "Cannot create file \"" + c.Path + "\". " + c.Reason);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
}

TEST(LogFileWriter, HeaderOnceThenAppendedLines)
{
    TTempDir dir;
    std::string path = dir.File("run.csv");
    {
        TLogFileWriter out(path, "H");
        // Each line is in the file as soon as WriteLine returns: nothing waits
        // in a buffer of the process.
        EXPECT_EQ(ReadBytes(path), "H\r\n");
        out.WriteLine("0001\t1.00");
        EXPECT_EQ(ReadBytes(path), "H\r\n0001\t1.00\r\n");
    }
    {
        TLogFileWriter again(path, "H");
        again.WriteLine("0002\t2.00");
    }
    EXPECT_EQ(ReadBytes(path), "H\r\n0001\t1.00\r\n0002\t2.00\r\n");

    std::string empty = dir.File("empty.csv");
    WriteBytes(empty, "");
    TLogFileWriter(empty, "H").WriteLine("x");
    EXPECT_EQ(ReadBytes(empty), "H\r\nx\r\n");
}

// A file begun with a clock column and appended to without one would mix
// lines of two formats.
TEST(LogFileWriter, RefusesAFileBegunUnderAnotherHeader)
{
    TTempDir dir;
    const std::string path = dir.Write("out.csv", "H\tclock\r\n0001\r\n");
    try {
        TLogFileWriter out(path, "H");
        ADD_FAILURE() << "appended";
    } catch (const EError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot append to \"" + path + "\": its header is \"H\tclock\", this run's header is \"H\".");
    }
    EXPECT_EQ(ReadBytes(path), "H\tclock\r\n0001\r\n");
}

TEST(LogFileWriter, UnopenableFileRaisesCreateError)
{
    TTempDir dir;
    std::string path = dir.File("missing/run.csv");
    try {
        TLogFileWriter out(path, "H");
        ADD_FAILURE() << "no exception";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot create file \"" + path + "\". No such file or directory");
    }
}

#ifndef _WIN32
// While it lives, no file of this process grows beyond limit bytes: a write
// past it fails with EFBIG as a write to a full disk fails.
struct TFileSizeLimit {
    explicit TFileSizeLimit(rlim_t limit)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &old);
        rlimit lower{limit, old.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~TFileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &old); }
    rlimit old{};
};

// A save that fails part way leaves the file it was to replace as it was,
// and nothing of its own beside it.
TEST(SaveLogFile, AFailedSaveLeavesTheOldFileAndNoTemporary)
{
    TTempDir dir;
    const std::string path = dir.Write("log.csv", "time\r\n0001\r\n");
    TFileSizeLimit limit(1000);
    EXPECT_THROW(SaveLogFile(path, Header, LongLog("\n")), EFWriteError);
    EXPECT_EQ(ReadBytes(path), "time\r\n0001\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

// Log rotation by copytruncate empties the file under the writer's feet: a
// line torn after that goes, and nothing else; the file is not padded out to
// where it used to end.
TEST(LogFileWriter, ATornLineGoesBackToTheFilesLastWholeLineAsItIsNow)
{
    TTempDir dir;
    const std::string path = dir.File("run.csv");
    TLogFileWriter out(path, "H");
    out.WriteLine("0001\t1.00");
    std::filesystem::resize_file(path, 0);
    out.WriteLine("0002\t2.00");
    TFileSizeLimit limit(15);
    EXPECT_THROW(out.WriteLine("0003\t3.00"), EFWriteError);
    EXPECT_EQ(ReadBytes(path), "0002\t2.00\r\n");
}
#endif

} // namespace
} // namespace kelvara
