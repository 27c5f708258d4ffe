#include "config/AppPaths.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kelvara {

// Windows: AppPathsWin32.cpp.
#ifndef _WIN32

namespace {

// An absolute directory from the environment, without trailing slashes
// (but "/" stays "/"), or nothing.
std::optional<std::string> AbsoluteDir(const TEnvLookup& env, const std::string& name)
{
    std::optional<std::string> value = env(name);
    if (!value || value->empty() || value->front() != '/') return std::nullopt;
    while (value->size() > 1 && value->back() == '/') value->pop_back();
    return value;
}

// A library directory's name: lib, lib32, lib64, libx32, libexec.
bool IsLibDirName(const std::string& name)
{
    if (!name.starts_with("lib")) return false;
    const std::string rest = name.substr(3);
    return rest.empty() || rest == "exec" || rest == "x32" ||
           std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether a directory is one where the system keeps programs, so that a copy
// found there was installed (by a package, a snap, a flatpak, Nix, or
// `make install`) and its files belong in the user's directories.
bool IsSystemProgramDir(const std::string& exeDir)
{
    // A relative path comes from a copy started by a relative name, which no
    // installed copy is.
    if (!exeDir.starts_with('/')) return false;
    std::vector<std::string> parts;
    for (const std::filesystem::path& part : std::filesystem::path(exeDir).lexically_normal().relative_path())
        if (!part.empty()) parts.push_back(part.string());

    using TParts = std::vector<std::string>;
    static const TParts kProgramDirs[] = {
        {"bin"},
        {"sbin"},
        {"usr", "bin"},
        {"usr", "sbin"},
        {"usr", "games"},
        {"usr", "local", "bin"},
        {"usr", "local", "sbin"},
        {"usr", "local", "games"},
    };
    if (std::find(std::begin(kProgramDirs), std::end(kProgramDirs), parts) != std::end(kProgramDirs)) return true;
    if (parts.empty()) return false;
    // A package's private programs live below its library directory.
    const size_t lib = parts[0] != "usr" ? 0 : parts.size() > 1 && parts[1] == "local" ? 2 : 1;
    if (parts.size() > lib && IsLibDirName(parts[lib])) return true;
    // Trees that hold installed software only.
    if (parts[0] == "opt" || parts[0] == "snap" || parts[0] == "app") return true;
    return parts.size() > 1 && (parts[0] == "nix" || parts[0] == "gnu") && parts[1] == "store";
}

// Creates every missing directory of an absolute path; failures are left for
// the first file operation there to report.
void MakeDirectories(const std::string& path)
{
    for (std::size_t pos = path.find('/', 1);; pos = path.find('/', pos + 1)) {
        std::string part = path.substr(0, pos);
        if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return;
        if (pos == std::string::npos || pos + 1 >= path.size()) return;
    }
}

} // namespace

std::optional<std::string> SystemEnv(const std::string& name)
{
    const char* value = std::getenv(name.c_str());
    if (!value) return std::nullopt;
    return std::string(value);
}

std::string ExecutablePath()
{
    std::vector<char> buf(4096);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return std::string();
        if (static_cast<std::size_t>(n) < buf.size()) {
            std::string path(buf.data(), static_cast<std::size_t>(n));
            // An executable replaced while running is reported with this mark;
            // its directory is still the right one.
            constexpr std::string_view deleted = " (deleted)";
            if (path.ends_with(deleted)) path.erase(path.size() - deleted.size());
            return path;
        }
        buf.resize(buf.size() * 2);
    }
}

#endif

std::string AppPathOf(const std::string& exePath)
{
#ifdef _WIN32
    constexpr const char* kSeparators = "\\/";
#else
    constexpr const char* kSeparators = "/";
#endif
    std::size_t slash = exePath.find_last_of(kSeparators);
    return slash == std::string::npos ? std::string() : exePath.substr(0, slash + 1);
}

std::string IniNameOf(const std::string& appPath)
{
    return appPath + "kelvara.ini";
}

#ifndef _WIN32
std::string ResolveAppPath(const std::string& exePath, const TEnvLookup& env)
{
    const std::string exeDir = AppPathOf(exePath);
    if (!IsSystemProgramDir(exeDir)) return exeDir;

    std::optional<std::string> base = AbsoluteDir(env, "XDG_CONFIG_HOME");
    if (!base) {
        std::optional<std::string> home = AbsoluteDir(env, "HOME");
        if (!home) return exeDir;
        base = (*home == "/" ? std::string() : *home) + "/.config";
    }
    std::string dir = (*base == "/" ? std::string() : *base) + "/kelvara";
    MakeDirectories(dir);
    return dir + "/";
}

std::vector<std::string> SystemConfigDirs(const TEnvLookup& env)
{
    const std::optional<std::string> value = env("XDG_CONFIG_DIRS");
    if (!value || value->empty()) return {"/etc/xdg"};
    std::vector<std::string> dirs;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = value->find(':', start);
        std::string dir = value->substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!dir.empty() && dir.front() == '/') {
            while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
            dirs.push_back(dir);
        }
        if (colon == std::string::npos) return dirs;
        start = colon + 1;
    }
}
#endif

std::vector<std::string> OffsetsSearchPath(const std::string& exePath, const std::string& appPath,
                                           const TEnvLookup& env)
{
    const std::string exeDir = AppPathOf(exePath);
    std::vector<std::string> paths{appPath + "offset.txt"};
    if (exeDir == appPath) return paths;
    auto add = [&paths](const std::string& path) {
        if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
    };
    for (const std::string& dir : SystemConfigDirs(env))
        add((dir == "/" ? std::string() : dir) + "/kelvara/offset.txt");
    add(exeDir + "offset.txt");
    return paths;
}

#ifndef _WIN32
std::string JournalDirOf(const TEnvLookup& env)
{
    std::optional<std::string> base = AbsoluteDir(env, "XDG_STATE_HOME");
    if (!base) {
        const std::optional<std::string> home = AbsoluteDir(env, "HOME");
        if (!home) return std::string();
        base = (*home == "/" ? std::string() : *home) + "/.local/state";
    }
    return (*base == "/" ? std::string() : *base) + "/kelvara/runs/";
}
#endif

} // namespace kelvara
