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

TEST(AppPaths, AnInstalledCopyKeepsItsFilesInTheUserConfig)
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
        std::string appPath = ResolveAppPath("/usr/bin/kelvara", env);
        EXPECT_EQ(appPath, c.Expected);
        if (c.Expected != "/usr/bin/") {
            struct stat st {};
            ASSERT_EQ(::stat(appPath.c_str(), &st), 0) << "not created";
            EXPECT_TRUE(S_ISDIR(st.st_mode));
            EXPECT_EQ(st.st_mode & 0777, 0700u);
        }
    }
}

TEnvLookup EnvOf(std::map<std::string, std::string> vars)
{
    return [vars = std::move(vars)](const std::string& name) -> std::optional<std::string> {
        auto it = vars.find(name);
        if (it == vars.end()) return std::nullopt;
        return it->second;
    };
}

// Installed or portable is told by where the program lives, whoever runs it:
// root can write to /usr/bin, and a portable copy may sit where no one can.
TEST(AppPaths, InstalledOrPortableByWhereTheProgramLives)
{
    TTempDir dir;
    const TEnvLookup env = EnvOf({{"HOME", dir.Path()}});
    for (const char* exe : {"/usr/bin/k", "/usr/local/sbin/k", "/sbin/k", "/usr/lib64/kelvara/k", "/usr/libexec/k",
                            "/usr/local/lib/x86_64-linux-gnu/k", "/opt/kelvara/bin/k", "/snap/kelvara/42/bin/k",
                            "/app/bin/k", "/usr//bin/./k"})
        EXPECT_EQ(ResolveAppPath(exe, env), dir.Path() + "/.config/kelvara/") << exe;
    for (const std::string& exe :
         {dir.File("k"), std::string("/proc/no-such-dir/k"), std::string("/usr/binaries/k"), std::string("/optional/k"),
          std::string("/usr/lib/../../home/k"), std::string("build/bin/k")})
        EXPECT_EQ(ResolveAppPath(exe, env), AppPathOf(exe)) << exe;
}

// An installed copy (its AppPath moved to the user's directory) looks for its
// offsets in the user's directory, then in each system configuration
// directory, then beside the executable; a portable copy only beside itself.
TEST(AppPaths, OffsetsSearchPathOfAnInstalledCopy)
{
    const std::string exe = "/usr/bin/kelvara";
    const std::string user = "/home/u/.config/kelvara/";
    const std::string shipped = "/usr/bin/offset.txt";
    using TPaths = std::vector<std::string>;
    struct TCase {
        const char* Name;
        std::string AppPath;
        std::map<std::string, std::string> Env;
        TPaths Expected;
    };
    const TCase cases[] = {
        {"portable", "/usr/bin/", {{"XDG_CONFIG_DIRS", "/a"}}, {shipped}},
        {"XDG_CONFIG_DIRS unset", user, {}, {user + "offset.txt", "/etc/xdg/kelvara/offset.txt", shipped}},
        {"empty", user, {{"XDG_CONFIG_DIRS", ""}}, {user + "offset.txt", "/etc/xdg/kelvara/offset.txt", shipped}},
        {"two, in order",
         user,
         {{"XDG_CONFIG_DIRS", "/b/:/a"}},
         {user + "offset.txt", "/b/kelvara/offset.txt", "/a/kelvara/offset.txt", shipped}},
        {"relative and empty entries skipped",
         user,
         {{"XDG_CONFIG_DIRS", "etc::/a:"}},
         {user + "offset.txt", "/a/kelvara/offset.txt", shipped}},
        {"no valid entry", user, {{"XDG_CONFIG_DIRS", "etc"}}, {user + "offset.txt", shipped}},
        {"the root", user, {{"XDG_CONFIG_DIRS", "/"}}, {user + "offset.txt", "/kelvara/offset.txt", shipped}},
        {"a path listed once",
         user,
         {{"XDG_CONFIG_DIRS", "/home/u/.config:/usr"}},
         {user + "offset.txt", "/usr/kelvara/offset.txt", shipped}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(OffsetsSearchPath(exe, c.AppPath, EnvOf(c.Env)), c.Expected);
    }
}

// The first file of the search path that exists is read; when none does, the
// message names every path tried, one line each, and a portable copy's
// message is exactly that of a single open.
TEST(AppPaths, OffsetsAreFoundWhereAnInstalledCopyKeepsThem)
{
    TTempDir dir;
    for (const char* sub : {"bin", "cfg", "etc/kelvara"}) std::filesystem::create_directories(dir.File(sub));
    const std::string exe = dir.File("bin/kelvara");
    const std::string shipped = dir.File("bin/offset.txt");
    const std::string system = dir.File("etc/kelvara/offset.txt");
    const std::string user = dir.File("cfg/offset.txt");
    const std::string cfg = dir.File("cfg/");
    const TEnvLookup env = EnvOf({{"XDG_CONFIG_DIRS", dir.File("etc")}});
    const std::string missing = ". No such file or directory";
    ASSERT_EQ(OffsetsSearchPath(exe, cfg, env), (std::vector<std::string>{user, system, shipped}));

    struct TCase {
        const char* Name;
        bool User, System, Shipped;
        std::string Expected; // the first line read, or the whole error message
    };
    const TCase cases[] = {
        {"all three", true, true, true, "user"},
        {"system and shipped", false, true, true, "system"},
        {"user and shipped", true, false, true, "user"},
        {"shipped only", false, false, true, "shipped"},
        {"none", false, false, false,
         "Cannot open file \"" + user + "\"" + missing + "\nCannot open file \"" + system + "\"" + missing +
             "\nCannot open file \"" + shipped + "\"" + missing},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        for (const std::string& f : {user, system, shipped}) std::filesystem::remove(f);
        if (c.User) dir.Write("cfg/offset.txt", "user\n");
        if (c.System) dir.Write("etc/kelvara/offset.txt", "system\n");
        if (c.Shipped) dir.Write("bin/offset.txt", "shipped\n");
        try {
            EXPECT_EQ(LoadFirstTextFile(OffsetsSearchPath(exe, cfg, env)).at(0), c.Expected);
        } catch (const EFOpenError& e) {
            EXPECT_EQ(e.what(), c.Expected);
        }
    }
    dir.Write("etc/kelvara/offset.txt", "system\n");
    try {
        LoadFirstTextFile(OffsetsSearchPath(exe, dir.File("bin/"), env));
        ADD_FAILURE() << "no offsets file, but nothing raised";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.what(), "Cannot open file \"" + shipped + "\"" + missing);
    }
}

} // namespace
} // namespace kelvara
