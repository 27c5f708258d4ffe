#include "config/AppPaths.h"

#include "base/Errors.h"
#include "base/Text.h"

#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>

namespace kelvara {
namespace {

using test::TTempDir;

TEST(AppPaths, AppPathAndIniName)
{
    struct TCase {
        const char* Exe;
        const char* AppPath;
    };
    const TCase cases[] = {
        {"/usr/bin/kelvara", "/usr/bin/"},
        {"/opt/kelvara.app/kelvara", "/opt/kelvara.app/"},
        {"/kelvara", "/"},
        {"build/bin/kelvara", "build/bin/"},
        {"kelvara", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Exe);
        EXPECT_EQ(AppPathOf(c.Exe), c.AppPath);
        EXPECT_EQ(IniNameOf(AppPathOf(c.Exe)), std::string(c.AppPath) + "kelvara.ini");
    }
}

TEST(AppPaths, ExecutablePathIsThisTestProgram)
{
    std::string exe = ExecutablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(exe.front(), '/');
    EXPECT_EQ(std::filesystem::path(exe).filename(), "config_tests");
    EXPECT_TRUE(std::filesystem::equivalent(AppPathOf(exe), KELVARA_BIN_DIR));
}

TEST(AppPaths, UnwritableExecutableDirectoryMovesToUserConfig)
{
    TTempDir dir;
    const std::string home = dir.File("home");
    const std::string xdg = dir.File("xdg");
    struct TCase {
        const char* Name;
        std::map<std::string, std::string> Env;
        std::string Expected;
    };
    const TCase cases[] = {
        {"XDG_CONFIG_HOME", {{"HOME", home}, {"XDG_CONFIG_HOME", xdg + "/"}}, xdg + "/kelvara/"},
        {"HOME only", {{"HOME", home}}, home + "/.config/kelvara/"},
        {"empty XDG ignored", {{"HOME", home}, {"XDG_CONFIG_HOME", ""}}, home + "/.config/kelvara/"},
        {"relative XDG ignored", {{"HOME", home}, {"XDG_CONFIG_HOME", "cfg"}}, home + "/.config/kelvara/"},
        {"no home at all", {}, "/usr/bin/"},
        {"relative home", {{"HOME", "home"}}, "/usr/bin/"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::filesystem::remove_all(home);
        std::filesystem::remove_all(xdg);
        auto env = [&](const std::string& name) -> std::optional<std::string> {
            auto it = c.Env.find(name);
            if (it == c.Env.end()) return std::nullopt;
            return it->second;
        };
        std::string seen;
        auto writable = [&](const std::string& d) {
            seen = d;
            return false;
        };
        std::string appPath = ResolveAppPath("/usr/bin/kelvara", env, writable);
        EXPECT_EQ(seen, "/usr/bin/");
        EXPECT_EQ(appPath, c.Expected);
        if (c.Expected != "/usr/bin/") {
            struct stat st {};
            ASSERT_EQ(::stat(appPath.c_str(), &st), 0) << "not created";
            EXPECT_TRUE(S_ISDIR(st.st_mode));
            EXPECT_EQ(st.st_mode & 0777, 0700u);
        }
    }
}

TEST(AppPaths, WritableExecutableDirectoryIsKept)
{
    auto noEnv = [](const std::string&) -> std::optional<std::string> { return "/nowhere"; };
    EXPECT_EQ(ResolveAppPath("/opt/k/kelvara", noEnv, [](const std::string&) { return true; }), "/opt/k/");

    // The real check: a temporary directory is writable, and a directory that
    // does not exist is not (whoever runs the test, root included).
    TTempDir dir;
    EXPECT_EQ(ResolveAppPath(dir.File("kelvara"), noEnv), dir.Path() + "/");
    std::string home = dir.File("home");
    auto env = [&](const std::string& name) -> std::optional<std::string> {
        if (name == "HOME") return home;
        return std::nullopt;
    };
    EXPECT_EQ(ResolveAppPath("/proc/kelvara-no-such-dir/kelvara", env), home + "/.config/kelvara/");
}

// An installed copy keeps its settings in the user's directory; its offsets
// come from there when the user has put a file there, and otherwise from the
// file shipped beside the executable.
TEST(AppPaths, OffsetsAreFoundWhereAnInstalledCopyKeepsThem)
{
    TTempDir dir;
    std::filesystem::create_directories(dir.File("bin"));
    std::filesystem::create_directories(dir.File("cfg"));
    const std::string exe = dir.File("bin/kelvara");
    const std::string shipped = dir.File("bin/offset.txt");
    const std::string user = dir.File("cfg/offset.txt");
    const std::string cfg = dir.File("cfg/");
    const std::string missing = ". No such file or directory";

    EXPECT_EQ(OffsetsSearchPath(exe, dir.File("bin/")), std::vector<std::string>{shipped});
    ASSERT_EQ(OffsetsSearchPath(exe, cfg), (std::vector<std::string>{user, shipped}));

    struct TCase {
        const char* Name;
        bool User, Shipped;
        std::string Expected; // the first line read, or the whole error message
    };
    const TCase cases[] = {
        {"both", true, true, "user"},
        {"shipped only", false, true, "shipped"},
        {"neither", false, false,
         "Cannot open file \"" + user + "\"" + missing + "\nCannot open file \"" + shipped + "\"" + missing},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::filesystem::remove(user);
        std::filesystem::remove(shipped);
        if (c.User) dir.Write("cfg/offset.txt", "user\n");
        if (c.Shipped) dir.Write("bin/offset.txt", "shipped\n");
        try {
            EXPECT_EQ(LoadFirstTextFile(OffsetsSearchPath(exe, cfg)).at(0), c.Expected);
        } catch (const EFOpenError& e) {
            EXPECT_EQ(e.what(), c.Expected);
        }
    }
    // A portable copy names its one path exactly as a single open does.
    try {
        LoadFirstTextFile(OffsetsSearchPath(exe, dir.File("bin/")));
        ADD_FAILURE() << "no offsets file, but nothing raised";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.what(), "Cannot open file \"" + shipped + "\"" + missing);
    }
}

} // namespace
} // namespace kelvara
