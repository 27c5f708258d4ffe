#include "logfile/RotatingLog.h"

#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>

namespace kelvara {
namespace {

using test::ReadBytes;
using test::TTempDir;

const std::string kHeader = "time\tTC_1";
const std::string kTop = kHeader + "\r\n";
constexpr int64_t kLate = 1796947198900; // 2026-12-10T23:59:58.900Z
const std::string kDay10 = "kelvara-2026-12-10", kDay11 = "kelvara-2026-12-11";

std::map<std::string, std::string> Files(const std::string& dir)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        files[entry.path().filename().string()] = ReadBytes(entry.path().string());
    return files;
}

// Five scans a second apart, the third one the first of 11 December (UTC);
// each line is 8 bytes with its CR LF, the header 11.
TEST(RotatingLog, ANewFileEachUtcDayAndAtTheSizeLimitEachWithItsHeader)
{
    const struct {
        const char* Name;
        uint64_t MaxBytes;
        std::map<std::string, std::string> Before, After;
    } cases[] = {
        {"daily",
         0,
         {},
         {{kDay10 + ".csv", kTop + "0001\tx\r\n0002\tx\r\n"},
          {kDay11 + ".csv", kTop + "0003\tx\r\n0004\tx\r\n0005\tx\r\n"}}},
        {"size: two lines a file",
         27,
         {},
         {{kDay10 + ".csv", kTop + "0001\tx\r\n0002\tx\r\n"},
          {kDay11 + ".csv", kTop + "0003\tx\r\n0004\tx\r\n"},
          {kDay11 + ".1.csv", kTop + "0005\tx\r\n"}}},
        {"a restart goes on in the day's last file",
         27,
         {{kDay10 + ".csv", kTop + "0008\tx\r\n0009\tx\r\n"}, {kDay10 + ".1.csv", kTop + "0010\tx\r\n"}},
         {{kDay10 + ".csv", kTop + "0008\tx\r\n0009\tx\r\n"},
          {kDay10 + ".1.csv", kTop + "0010\tx\r\n0001\tx\r\n"},
          {kDay10 + ".2.csv", kTop + "0002\tx\r\n"},
          {kDay11 + ".csv", kTop + "0003\tx\r\n0004\tx\r\n"},
          {kDay11 + ".1.csv", kTop + "0005\tx\r\n"}}},
        {"a line longer than the limit has a file of its own",
         12,
         {},
         {{kDay10 + ".csv", kTop + "0001\tx\r\n"},
          {kDay10 + ".1.csv", kTop + "0002\tx\r\n"},
          {kDay11 + ".csv", kTop + "0003\tx\r\n"},
          {kDay11 + ".1.csv", kTop + "0004\tx\r\n"},
          {kDay11 + ".2.csv", kTop + "0005\tx\r\n"}}},
    };
    for (const auto& c : cases) {
        TTempDir dir;
        for (const auto& [name, bytes] : c.Before) dir.Write(name, bytes);
        TRotatingLogWriter writer(dir.Path(), kHeader, TRotation{c.MaxBytes});
        for (int k = 1; k <= 5; ++k) writer.WriteLine("000" + std::to_string(k) + "\tx", kLate + (k - 1) * 1000);
        EXPECT_EQ(Files(dir.Path()), c.After) << c.Name;
    }
}

TEST(RotatingLog, AFileThatCannotBeOpenedIsTriedAgainAtTheNextLine)
{
    TTempDir dir;
    TRotatingLogWriter writer(dir.File("later"), kHeader, TRotation{});
    EXPECT_THROW(writer.WriteLine("0001\tx", kLate), EFCreateError);
    EXPECT_EQ(writer.Path(), "");
    std::filesystem::create_directory(dir.File("later"));
    writer.WriteLine("0002\tx", kLate + 1000);
    EXPECT_EQ(writer.Path(), dir.File("later/" + kDay10 + ".csv"));
    EXPECT_EQ(ReadBytes(writer.Path()), kTop + "0002\tx\r\n");
}

TEST(RotatingLog, RotationIsDailyOrASize)
{
    const struct {
        const char* Text;
        uint64_t MaxBytes; // 0 for daily; ~0 for refused
    } cases[] = {
        {"daily", 0},
        {"1", 1},
        {"512k", 512 << 10},
        {"2K", 2 << 10},
        {"10M", 10 << 20},
        {"1G", 1u << 30},
        {"", ~0ull},
        {"0", ~0ull},
        {"k", ~0ull},
        {"10m", ~0ull},
        {"1.5M", ~0ull},
        {"-1", ~0ull},
        {"10MB", ~0ull},
        {"Daily", ~0ull},
        {" 1", ~0ull},
        {"18446744073709551616", ~0ull},
        {"17179869184G", ~0ull},
    };
    for (const auto& c : cases) {
        if (c.MaxBytes == ~0ull)
            EXPECT_THROW(ParseRotation(c.Text), EError) << c.Text;
        else
            EXPECT_EQ(ParseRotation(c.Text).MaxBytes, c.MaxBytes) << c.Text;
    }
}

} // namespace
} // namespace kelvara
