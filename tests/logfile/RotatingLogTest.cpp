#include "logfile/RotatingLog.h"

#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>

namespace kelvara {
namespace {

using test::ReadBytes;
using test::TTempDir;

// Files by the end of their names ("11.1": kelvara-2026-12-11.1.csv), each by
// its lines ("12": the header, 0001, 0002; "*": another header).
using TFiles = std::map<std::string, std::string>;
const std::string kHeader = "time\tTC_1";

std::string Bytes(const std::string& lines)
{
    if (lines == "*") return "time\tother\r\n";
    std::string text = kHeader + "\r\n";
    for (char n : lines) text += std::string("000") + n + "\tx\r\n";
    return text;
}

// Five scans a second apart from 2026-12-10T23:59:58.900Z; lines of 8 bytes.
TEST(RotatingLog, ANewFileEachUtcDayAndAtTheSizeLimitEachWithItsHeader)
{
    // Daily; two lines a file; a line a file however long; a restart goes on
    // in the day's last file; a file under another header is left alone.
    const struct {
        uint64_t MaxBytes;
        TFiles Before, After;
    } cases[] = {
        {0, {}, {{"10", "12"}, {"11", "345"}}},
        {27, {}, {{"10", "12"}, {"11", "34"}, {"11.1", "5"}}},
        {12, {}, {{"10", "1"}, {"10.1", "2"}, {"11", "3"}, {"11.1", "4"}, {"11.2", "5"}}},
        {27, {{"10", "89"}, {"10.1", "7"}}, {{"10", "89"}, {"10.1", "71"}, {"10.2", "2"}, {"11", "34"}, {"11.1", "5"}}},
        {0, {{"10", "*"}}, {{"10", "*"}, {"10.1", "12"}, {"11", "345"}}},
    };
    for (const auto& c : cases) {
        TTempDir dir;
        auto path = [&](const std::string& end) { return dir.File("kelvara-2026-12-" + end + ".csv"); };
        for (const auto& [end, lines] : c.Before) test::WriteBytes(path(end), Bytes(lines));
        TRotatingLogWriter writer(dir.Path(), kHeader, TRotation{c.MaxBytes});
        for (int k = 1; k <= 5; ++k)
            writer.WriteLine("000" + std::to_string(k) + "\tx", 1796947198900 + (k - 1) * 1000);
        TFiles expected, found;
        for (const auto& [end, lines] : c.After) expected[path(end)] = Bytes(lines);
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
            found[dir.File(entry.path().filename().string())] = ReadBytes(entry.path().string());
        EXPECT_EQ(found, expected) << c.MaxBytes;
    }
}

TEST(RotatingLog, RotationIsDailyOrASize)
{
    const std::map<std::string, uint64_t> good = {{"daily", 0},    {"1", 1},          {"512k", 512 << 10},
                                                  {"2K", 2 << 10}, {"10M", 10 << 20}, {"1G", 1u << 30}};
    for (const auto& [text, bytes] : good) EXPECT_EQ(ParseRotation(text).MaxBytes, bytes) << text;
    for (const char* bad :
         {"", "0", "k", "10m", "1.5M", "-1", "10MB", "Daily", " 1", "18446744073709551616", "17179869184G"})
        EXPECT_THROW(ParseRotation(bad), EError) << bad;
}

} // namespace
} // namespace kelvara
