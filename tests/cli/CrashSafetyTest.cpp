// kelvara-log --output killed with SIGKILL: every line it printed is in the
// file, whole and ending in CR LF, and the next run appends to the same file
// without a second header.
#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include "sim/SimBus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace kelvara {
namespace {

using namespace std::chrono;

const std::string kLog = std::string(KELVARA_BIN_DIR) + "/kelvara-log";
const std::string kHeader = "time\tTC_1\tTC_2\tTC_3\tTC_4\tTC_5\tTC_6\tT__A";

std::vector<std::string> Split(const std::string& text, const std::string& end)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t p = text.find(end); p != std::string::npos; p = text.find(end, start)) {
        lines.push_back(text.substr(start, p - start));
        start = p + end.size();
    }
    return lines;
}

// The file's lines; fails the test on a line that is not whole (no CR LF at
// the end, or a bare CR or LF inside).
std::vector<std::string> FileLines(const std::string& path)
{
    const std::string bytes = test::TTempDir::Read(path);
    EXPECT_TRUE(bytes.size() >= 2 && bytes.compare(bytes.size() - 2, 2, "\r\n") == 0)
        << "the file does not end with a whole line";
    std::vector<std::string> lines = Split(bytes, "\r\n");
    for (const std::string& line : lines)
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "a torn line: " << line;
    return lines;
}

struct TRun {
    std::vector<std::string> printed; // stdout lines, header first
};

// Starts a logger on the bus, waits for `scans` log lines, then either kills
// it `killAfter` past the last of them or, with a scan limit, lets it end.
TRun RunLogger(const std::string& device, const std::string& offsets, const std::string& file, int scans,
               milliseconds killAfter, bool limit)
{
    test::TChildProcess logger;
    std::vector<std::string> argv = {kLog,       "--port", device,      "--baud", "19200",    "--parity", "no",
                                     "--period", "0",      "--offsets", offsets,  "--output", file};
    if (limit) argv.insert(argv.end(), {"--scans", std::to_string(scans)});
    EXPECT_TRUE(logger.Start(argv, {"LC_ALL=C"}));
    if (limit) {
        EXPECT_TRUE(logger.Wait(seconds(60))) << "the logger did not end after its scans";
        EXPECT_TRUE(logger.ExitedWith(0)) << logger.Err();
    } else {
        EXPECT_TRUE(logger.WaitForLines(static_cast<size_t>(scans) + 1, seconds(60))) << logger.Err();
        std::this_thread::sleep_for(killAfter);
        logger.Signal(SIGKILL);
        EXPECT_TRUE(logger.Wait(seconds(10)));
        EXPECT_TRUE(WIFSIGNALED(logger.Status()) && WTERMSIG(logger.Status()) == SIGKILL)
            << "status " << logger.Status() << "\n"
            << logger.Err();
    }
    return TRun{Split(logger.Out(), "\n")};
}

TEST(CrashSafety, KilledLoggerLeavesEveryPrintedLineWholeAndTheNextRunAppends)
{
    sim::TSimBus bus;
    bus.Start();
    test::TTempDir dir;
    const std::string offsets = dir.Write("offset.txt", "0\n0\n0\n0\n0\n0\n0\n");
    const std::string file = dir.File("run.csv");

    // A kill between two scans: the last line printed is a second old, so
    // every printed line must be in the file, exactly.
    const TRun first = RunLogger(bus.DevicePath(), offsets, file, 3, milliseconds(300), false);
    ASSERT_GE(first.printed.size(), 4u);
    EXPECT_EQ(first.printed[0], kHeader);
    std::vector<std::string> lines = FileLines(file);
    ASSERT_EQ(lines, first.printed);

    // Kills at other moments of the one-second cycle, one of them inside the
    // scan that is about to write its line. A line printed just before the
    // kill may have missed the file only if the kill fell between the two
    // writes; nothing in the file is ever torn or repeated.
    size_t expected = lines.size();
    for (int killMs : {0, 650, 900, 990}) {
        const TRun run = RunLogger(bus.DevicePath(), offsets, file, 2, milliseconds(killMs), false);
        ASSERT_GE(run.printed.size(), 3u);
        EXPECT_EQ(run.printed[0], kHeader);
        const std::vector<std::string> now = FileLines(file);
        const std::vector<std::string> added(now.begin() + static_cast<long>(std::min(expected, now.size())),
                                             now.end());
        // This run's scan lines, without its header, which an existing file
        // does not get again.
        const std::vector<std::string> printedScans(run.printed.begin() + 1, run.printed.end());
        const std::vector<std::string> allButLast(printedScans.begin(), printedScans.end() - 1);
        EXPECT_TRUE(added == printedScans || added == allButLast)
            << "kill at +" << killMs << " ms: file gained " << added.size() << " lines, stdout showed "
            << printedScans.size();
        EXPECT_EQ(std::vector<std::string>(now.begin(), now.begin() + static_cast<long>(expected)), lines)
            << "lines written before were changed";
        lines = now;
        expected = now.size();
    }

    // A run that ends normally appends its lines right after the others.
    const TRun last = RunLogger(bus.DevicePath(), offsets, file, 2, milliseconds(0), true);
    ASSERT_EQ(last.printed.size(), 3u);
    const std::vector<std::string> final = FileLines(file);
    ASSERT_EQ(final.size(), lines.size() + 2);
    EXPECT_EQ(final[lines.size()], last.printed[1]);
    EXPECT_EQ(final[lines.size() + 1], last.printed[2]);
    EXPECT_EQ(final[lines.size()].substr(0, 5), "0001\t");
    size_t headers = 0;
    for (const std::string& line : final) headers += line == kHeader;
    EXPECT_EQ(headers, 1u) << "a header in the middle of the file";
}

} // namespace
} // namespace kelvara
