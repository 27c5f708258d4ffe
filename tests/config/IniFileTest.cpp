#include "config/IniFile.h"

#include "base/Errors.h"
#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvara {
namespace {

using test::ReadBytes;
using test::TTempDir;
using test::WriteBytes;

struct TReadCase {
    const char* Name;
    const char* Content; // nullptr: no file
    const char* Section;
    const char* Key;
    const char* Expected;
};

TEST(IniFileRead, FollowsProfileStringRules)
{
    const TReadCase cases[] = {
        {"missing file", nullptr, "Serial", "port", "dflt"},
        {"plain", "[Serial]\nport=COM3\n", "Serial", "port", "COM3"},
        {"names ignore case", "[serial]\nPORT=COM3\n", "SERIAL", "Port", "COM3"},
        {"blanks around", "[Serial]\n  port \t=  COM3 \t \n", "Serial", "port", "COM3"},
        {"blanks in header", "  [ Serial ]  \nport=COM3\n", "Serial", "port", "COM3"},
        {"double quotes", "[Serial]\nport=\"  COM 3 \"\n", "Serial", "port", "  COM 3 "},
        {"single quotes", "[Serial]\nport=' x '\n", "Serial", "port", " x "},
        {"one pair only", "[Serial]\nport=\"\"x\"\"\n", "Serial", "port", "\"x\""},
        {"unmatched quotes", "[Serial]\nport=\"x'\n", "Serial", "port", "\"x'"},
        {"lone quote", "[Serial]\nport=\"\n", "Serial", "port", "\""},
        {"empty value", "[Serial]\nport=\n", "Serial", "port", ""},
        {"blank value", "[Serial]\nport=   \n", "Serial", "port", ""},
        {"empty quoted", "[Serial]\nport=''\n", "Serial", "port", ""},
        {"equals in value", "[Serial]\nport=a=b\n", "Serial", "port", "a=b"},
        {"other section", "[Timings]\nport=COM3\n", "Serial", "port", "dflt"},
        {"before any section", "port=COM3\n[Serial]\n", "Serial", "port", "dflt"},
        {"section ends at next", "[Serial]\n[Timings]\nport=COM3\n", "Serial", "port", "dflt"},
        {"first key wins", "[Serial]\nport=A\nport=B\n", "Serial", "port", "A"},
        {"commented out", "[Serial]\n;port=COM3\n", "Serial", "port", "dflt"},
        {"key prefix is not key", "[Serial]\nportx=COM3\n", "Serial", "port", "dflt"},
        {"CR LF lines", "[Serial]\r\nport=COM3\r\n", "Serial", "port", "COM3"},
        {"no final break", "[Serial]\nport=COM3", "Serial", "port", "COM3"},
        {"UTF-8 BOM", "\xEF\xBB\xBF[Serial]\nport=COM3\n", "Serial", "port", "COM3"},
        {"UTF-8 value", "[Serial]\nport=K\xC3\xBC\x68l\n", "Serial", "port", "K\xC3\xBC\x68l"},
    };
    for (const TReadCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir dir;
        std::string path = dir.File("kelvara.ini");
        if (c.Content) WriteBytes(path, c.Content);
        EXPECT_EQ(TIniFile(path).ReadString(c.Section, c.Key, "dflt"), c.Expected);
    }
}

TEST(IniFileRead, CutsValuesAt2047Characters)
{
    TTempDir dir;
    std::string path = dir.File("kelvara.ini");
    WriteBytes(path, "[S]\nlong=" + std::string(3000, 'x') + "\n");
    EXPECT_EQ(TIniFile(path).ReadString("S", "long", ""), std::string(2047, 'x'));

    // Characters, not bytes: a two-byte character at position 2047 is kept
    // whole, and the cut never splits one.
    std::string value = std::string(2046, 'a') + "\xC3\xA9" + "\xC3\xA9" + "b";
    WriteBytes(path, "[S]\nlong=" + value + "\n");
    EXPECT_EQ(TIniFile(path).ReadString("S", "long", ""), std::string(2046, 'a') + "\xC3\xA9");
}

TEST(IniFileRead, UnreadableFileGivesDefault)
{
    TTempDir dir;
    // A directory in place of the file cannot be read, even by root.
    EXPECT_EQ(TIniFile(dir.Path()).ReadString("Serial", "port", "dflt"), "dflt");
}

struct TWriteCase {
    const char* Name;
    const char* Before; // nullptr: no file
    const char* Section;
    const char* Key;
    const char* Value;
    const char* After;
};

TEST(IniFileWrite, ChangesOneLineAndKeepsEveryOtherByte)
{
    const TWriteCase cases[] = {
        {"creates file", nullptr, "Serial", "port", "COM3", "[Serial]\nport=COM3\n"},
        {"empty file", "", "Serial", "port", "COM3", "[Serial]\nport=COM3\n"},
        {"replaces in place",
         "; top comment\r\n[Serial]\r\nbaudrate=9600\r\n  PORT = 'old'  \r\nparity=odd\r\n\r\n"
         "[Timings]\r\nscan_period=5\r\n",
         "serial", "port", "COM3",
         "; top comment\r\n[Serial]\r\nbaudrate=9600\r\nPORT=COM3\r\nparity=odd\r\n\r\n"
         "[Timings]\r\nscan_period=5\r\n"},
        {"only the first key", "[Serial]\nport=A\nport=B\n", "Serial", "port", "C", "[Serial]\nport=C\nport=B\n"},
        {"only the section's key", "[Timings]\nport=X\n[Serial]\nport=A\n", "Serial", "port", "B",
         "[Timings]\nport=X\n[Serial]\nport=B\n"},
        {"adds after last non-blank line", "[Serial]\nbaudrate=9600\n;note\n\n\t\n[Timings]\nscan_period=5\n", "Serial",
         "port", "COM3", "[Serial]\nbaudrate=9600\n;note\nport=COM3\n\n\t\n[Timings]\nscan_period=5\n"},
        {"adds under bare header", "[Serial]\n[Timings]\n", "Serial", "port", "COM3",
         "[Serial]\nport=COM3\n[Timings]\n"},
        {"adds section at end", "junk line\n[Serial]\nport=A\n\n", "Timings", "scan_period", "1",
         "junk line\n[Serial]\nport=A\n\n[Timings]\nscan_period=1\n"},
        {"terminates last line for section", "[Serial]\nport=A", "Timings", "scan_period", "1",
         "[Serial]\nport=A\n[Timings]\nscan_period=1\n"},
        {"terminates last line for key", "[Serial]\nport=A", "Serial", "baudrate", "1",
         "[Serial]\nport=A\nbaudrate=1\n"},
        {"replaces unterminated line", "[Serial]\nport=A", "Serial", "port", "B", "[Serial]\nport=B"},
        // A lone CR that ends the file is the last line's break (found by fuzzing).
        {"lone CR at the end", "[Timings]\nscan_period=5\r", "Timings", "baudrate", "9",
         "[Timings]\nscan_period=5\r\nbaudrate=9\n"},
        {"keeps BOM", "\xEF\xBB\xBF[Serial]\r\nport=A\r\n", "Serial", "port", "B",
         "\xEF\xBB\xBF[Serial]\r\nport=B\r\n"},
        {"BOM only", "\xEF\xBB\xBF", "Serial", "port", "B", "\xEF\xBB\xBF[Serial]\nport=B\n"},
        {"empty value stored", "[Serial]\nport=A\n", "Serial", "port", "", "[Serial]\nport=\n"},
        {"value unchanged", nullptr, "Timings", "scan_period", " 'abc' ", "[Timings]\nscan_period= 'abc' \n"},
    };
    for (const TWriteCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir dir;
        std::string path = dir.File("kelvara.ini");
        if (c.Before) WriteBytes(path, c.Before);
        TIniFile(path).WriteString(c.Section, c.Key, c.Value);
        EXPECT_EQ(ReadBytes(path), c.After);
        // Nothing but the settings file is left behind.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), std::filesystem::directory_iterator()),
                  1);
    }
}

TEST(IniFileRead, ALoneCrAtTheEndIsALineBreak)
{
    TTempDir dir;
    const std::string path = dir.File("kelvara.ini");
    WriteBytes(path, "[Timings]\nscan_period=5\r");
    EXPECT_EQ(TIniFile(path).ReadString("Timings", "scan_period", "1"), "5");
}

TEST(IniFileWrite, ReadsBackWhatItWrote)
{
    TTempDir dir;
    TIniFile ini(dir.File("kelvara.ini"));
    const char* values[] = {"COM3", "", "None", "not a number", "K\xC3\xBC\x68l", "a=b"};
    for (const char* v : values) {
        ini.WriteString("Serial", "port", v);
        EXPECT_EQ(ini.ReadString("Serial", "port", "dflt"), v);
    }
}

// Modes, links and /proc are POSIX's; Windows has its own cases below.
#ifndef _WIN32
TEST(IniFileWrite, KeepsPermissionBits)
{
    TTempDir dir;
    std::string path = dir.File("kelvara.ini");
    WriteBytes(path, "[Serial]\nport=A\n");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    TIniFile(path).WriteString("Serial", "port", "B");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // A new file gets the usual mode for the process's umask.
    mode_t mask = ::umask(022);
    std::string fresh = dir.File("new.ini");
    TIniFile(fresh).WriteString("Serial", "port", "B");
    ::umask(mask);
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(IniFileWrite, RewritesTheTargetOfASymbolicLink)
{
    TTempDir dir;
    std::string real = dir.File("real.ini");
    std::string link = dir.File("kelvara.ini");
    WriteBytes(real, "[Serial]\nport=A\n");
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    TIniFile(link).WriteString("Serial", "port", "B");
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadBytes(real), "[Serial]\nport=B\n");
}

// Root ignores permission bits, and the tests run as root in CI, so these
// places fail for reasons that hold for root as well.
TEST(IniFileWrite, FailureRaisesUnableToWrite)
{
    TTempDir dir;
    std::string plainFile = dir.File("plain");
    WriteBytes(plainFile, "x");
    std::string asDirectory = dir.File("kelvara.ini");
    ASSERT_EQ(::mkdir(asDirectory.c_str(), 0755), 0);
    const std::string paths[] = {
        asDirectory,                      // the settings path is a directory
        dir.File("missing/kelvara.ini"),  // its directory does not exist
        plainFile + "/kelvara.ini",       // its "directory" is a file
        "/proc/kelvara-no-such-file.ini", // a file system that takes no new files
    };
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        try {
            TIniFile(path).WriteString("Serial", "port", "COM3");
            ADD_FAILURE() << "no exception";
        } catch (const EIniFileError& e) {
            EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
        }
    }
    EXPECT_EQ(ReadBytes(plainFile), "x");
    EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
    EXPECT_TRUE(std::filesystem::is_empty(asDirectory));
}
#endif

TEST(IniFileWrite, RefusesLineBreaksThatWouldForgeLines)
{
    TTempDir dir;
    std::string path = dir.File("kelvara.ini");
    WriteBytes(path, "[Serial]\nport=A\n");
    TIniFile ini(path);
    EXPECT_THROW(ini.WriteString("Serial", "port", "B\n[Timings]\nscan_period=0"), EIniFileError);
    EXPECT_THROW(ini.WriteString("Serial", "port", "B\rC"), EIniFileError);
    EXPECT_THROW(ini.WriteString("Serial", "port", std::string("B\0C", 3)), EIniFileError);
    EXPECT_THROW(ini.WriteString("Serial\n", "port", "B"), EIniFileError);
    EXPECT_THROW(ini.WriteString("Serial", "po=rt", "B"), EIniFileError);
    EXPECT_THROW(ini.WriteString("Serial", " ", "B"), EIniFileError);
    EXPECT_EQ(ReadBytes(path), "[Serial]\nport=A\n");
}

#ifdef _WIN32
// A Windows rename replaces a file only when asked to, and a read-only file
// is refused although its directory would let a rename replace it.
TEST(IniFileWrite, ReplacesTheFileAndRefusesWhereItCannotWrite)
{
    TTempDir dir;
    const std::string path = dir.File("kelvara.ini");
    WriteBytes(path, "[Serial]\r\nport=A\r\n");
    TIniFile(path).WriteString("Serial", "port", "B");
    EXPECT_EQ(ReadBytes(path), "[Serial]\r\nport=B\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1) << "no temporary file is left";

    const std::string readOnly = dir.File("ro.ini");
    WriteBytes(readOnly, "[Serial]\nport=A\n");
    std::filesystem::permissions(readOnly, std::filesystem::perms::owner_write, std::filesystem::perm_options::remove);
    std::string plainFile = dir.File("plain");
    WriteBytes(plainFile, "x");
    const std::string asDirectory = dir.File("dir.ini");
    std::filesystem::create_directory(asDirectory);
    const std::string paths[] = {readOnly, asDirectory, dir.File("missing/kelvara.ini"), plainFile + "/kelvara.ini"};
    for (const std::string& failing : paths) {
        SCOPED_TRACE(failing);
        try {
            TIniFile(failing).WriteString("Serial", "port", "COM3");
            ADD_FAILURE() << "no exception";
        } catch (const EIniFileError& e) {
            EXPECT_EQ(std::string(e.what()), "Unable to write to " + failing);
        }
    }
    EXPECT_EQ(ReadBytes(readOnly), "[Serial]\nport=A\n");
    std::filesystem::permissions(readOnly, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
}
#else
// Permission bits stop only an unprivileged user; under root these cannot fail
// and are skipped (the cases above fail for everyone).
TEST(IniFileWrite, ReadOnlyFileOrDirectoryWhenUnprivileged)
{
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores permission bits";
    TTempDir dir;
    std::string path = dir.File("kelvara.ini");
    WriteBytes(path, "[Serial]\nport=A\n");
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    // The directory is writable, so a rename would succeed: the file's own
    // bits must be honoured.
    EXPECT_THROW(TIniFile(path).WriteString("Serial", "port", "B"), EIniFileError);
    EXPECT_EQ(ReadBytes(path), "[Serial]\nport=A\n");

    std::string roDir = dir.File("ro");
    ASSERT_EQ(::mkdir(roDir.c_str(), 0555), 0);
    EXPECT_THROW(TIniFile(roDir + "/kelvara.ini").WriteString("Serial", "port", "B"), EIniFileError);
    ::chmod(roDir.c_str(), 0755);
}
#endif

} // namespace
} // namespace kelvara
