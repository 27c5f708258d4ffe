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
}

// Installed or portable is told by where the program lives, not by whether
// its folder takes files: an elevated program can write to Program Files.
TEST(AppPathsWin32, InstalledUnderTheProgramFoldersKeepsItsFilesInAppData)
{
    TTempDir dir;
    // Windows' own form, with backslashes.
    const std::string appData = std::filesystem::path(dir.Path()).make_preferred().string();
    std::map<std::string, std::string> env = {{"ProgramFiles", "C:\\Program Files"},
                                              {"ProgramFiles(x86)", "C:\\Program Files (x86)\\"},
                                              {"ProgramW6432", "D:\\Apps"},
                                              {"LOCALAPPDATA", "C:\\Users\\J\u00f6rg\\AppData\\Local"},
                                              {"APPDATA", appData + "\\"}};
    for (const char* exe :
         {"c:\\PROGRAM FILES\\Kelvara\\k.exe", "C:/Program Files/k.exe", "C:\\Program Files (x86)\\K\\k.exe",
          "d:\\apps\\K\\k.exe", "C:\\Users\\J\u00d6RG\\AppData\\Local\\Programs\\K\\k.exe"})
        EXPECT_EQ(ResolveAppPath(exe, EnvOf(env)), appData + "\\kelvara\\") << exe;
    EXPECT_TRUE(std::filesystem::is_directory(appData + "\\kelvara\\")) << "made when missing";
    for (const char* exe : {"C:\\Program Files Extra\\k.exe", "C:\\Users\\J\u00f6rg\\AppData\\Local\\K\\k.exe",
                            "Z:\\no\\such\\folder\\k.exe", "k.exe"})
        EXPECT_EQ(ResolveAppPath(exe, EnvOf(env)), AppPathOf(exe)) << exe;

    const std::string exe = "C:\\Program Files\\Kelvara\\kelvara-log.exe";
    EXPECT_EQ(OffsetsSearchPath(exe, appData + "\\kelvara\\"),
              (std::vector<std::string>{appData + "\\kelvara\\offset.txt", "C:\\Program Files\\Kelvara\\offset.txt"}));
    // Without an absolute %APPDATA% an installed copy keeps its own folder.
    for (const char* relative : {"AppData\\Roaming", ""}) {
        env["APPDATA"] = relative;
        EXPECT_EQ(ResolveAppPath(exe, EnvOf(env)), "C:\\Program Files\\Kelvara\\");
    }
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
