#include "config/AppPaths.h"

#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>

namespace kelvara {
namespace {

using test::TTempDir;

TEnvLookup EnvOf(const std::map<std::string, std::string>& vars)
{
    return [vars](const std::string& name) -> std::optional<std::string> {
        auto it = vars.find(name);
        if (it == vars.end()) return std::nullopt;
        return it->second;
    };
}

TEST(AppPathsWin32, AppPathTakesEitherSeparator)
{
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\Program Files\\Kelvara\\kelvara-log.exe", "C:\\Program Files\\Kelvara\\"},
        {"C:/lab/kelvara-log.exe", "C:/lab/"},
        {"\\\\server\\share\\kelvara-log.exe", "\\\\server\\share\\"},
        {"C:\\lab/bin\\kelvara-log.exe", "C:\\lab/bin\\"},
        {"kelvara-log.exe", ""},
    };
    for (const auto& [exe, appPath] : cases) {
        SCOPED_TRACE(exe);
        EXPECT_EQ(AppPathOf(exe), appPath);
        EXPECT_EQ(IniNameOf(AppPathOf(exe)), std::string(appPath) + "kelvara.ini");
    }
}

TEST(AppPathsWin32, ExecutablePathIsThisTestProgram)
{
    const std::string exe = ExecutablePath();
    ASSERT_GE(exe.size(), 3u);
    EXPECT_EQ(exe[1], ':') << exe;
    EXPECT_EQ(std::filesystem::path(exe).filename(), "config_tests.exe");
    EXPECT_TRUE(IsDirWritable(AppPathOf(exe))) << "the build directory takes files";
}

TEST(AppPathsWin32, WritableOnlyWhereAFileCanBeMade)
{
    TTempDir dir;
    EXPECT_TRUE(IsDirWritable(dir.Path()));
    EXPECT_TRUE(IsDirWritable(dir.Dir()));
    EXPECT_FALSE(IsDirWritable(dir.File("missing")));
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path())) << "the probe file is gone";
}

TEST(AppPathsWin32, UnwritableExecutableDirectoryMovesToAppData)
{
    TTempDir dir;
    // Windows' own form, with backslashes.
    const std::string appData = std::filesystem::path(dir.Path()).make_preferred().string();
    const std::string exe = "C:\\Program Files\\Kelvara\\kelvara-log.exe";
    struct TCase {
        const char* Name;
        std::map<std::string, std::string> Env;
        bool ExeDirWritable;
        std::string Expected;
    };
    const TCase cases[] = {
        {"portable copy", {{"APPDATA", appData}}, true, "C:\\Program Files\\Kelvara\\"},
        {"installed copy", {{"APPDATA", appData}}, false, appData + "\\kelvara\\"},
        {"trailing separator", {{"APPDATA", appData + "\\"}}, false, appData + "\\kelvara\\"},
        {"no APPDATA", {}, false, "C:\\Program Files\\Kelvara\\"},
        {"relative APPDATA", {{"APPDATA", "AppData\\Roaming"}}, false, "C:\\Program Files\\Kelvara\\"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const bool writable = c.ExeDirWritable;
        const std::string got = ResolveAppPath(exe, EnvOf(c.Env), [writable](const std::string&) { return writable; });
        EXPECT_EQ(got, c.Expected);
        if (got != c.Expected || got == "C:\\Program Files\\Kelvara\\") continue;
        EXPECT_TRUE(std::filesystem::is_directory(got)) << "made when missing";
    }
    EXPECT_EQ(OffsetsSearchPath(exe, appData + "\\kelvara\\"),
              (std::vector<std::string>{appData + "\\kelvara\\offset.txt", "C:\\Program Files\\Kelvara\\offset.txt"}));
}

TEST(AppPathsWin32, JournalsInLocalAppData)
{
    EXPECT_EQ(JournalDirOf(EnvOf({{"LOCALAPPDATA", "C:\\Users\\lab\\AppData\\Local"}})),
              "C:\\Users\\lab\\AppData\\Local\\kelvara\\runs\\");
    EXPECT_EQ(JournalDirOf(EnvOf({{"LOCALAPPDATA", "relative"}})), "");
    EXPECT_EQ(JournalDirOf(EnvOf({})), "");
}

} // namespace
} // namespace kelvara
