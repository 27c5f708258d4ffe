// Where the logger keeps its files on Windows: beside a portable copy, and in
// the user's roaming application data for a copy installed among the
// system's or the user's programs.
#include "base/Win32Text.h"
#include "config/AppPaths.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>

namespace kelvara {

namespace {

// An absolute directory from the environment ("C:\..." or "\\server\..."),
// without trailing separators, or nothing.
std::optional<std::string> AbsoluteDir(const TEnvLookup& env, const std::string& name)
{
    std::optional<std::string> value = env(name);
    if (!value) return std::nullopt;
    const std::string& v = *value;
    const bool drive = v.size() >= 3 && v[1] == ':' && (v[2] == '\\' || v[2] == '/');
    const bool unc = v.size() >= 3 && v[0] == '\\' && v[1] == '\\';
    if (!drive && !unc) return std::nullopt;
    while (value->size() > 3 && (value->back() == '\\' || value->back() == '/')) value->pop_back();
    return value;
}

std::string WithSeparator(std::string dir)
{
    if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir += '\\';
    return dir;
}

// A path in the form compared: backslashes only, no trailing one.
std::wstring Comparable(const std::string& path)
{
    std::wstring wide = WidenUtf8(path);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    while (!wide.empty() && wide.back() == L'\\') wide.pop_back();
    return wide;
}

// Whether dir is base or lies below it. Names are compared as the file
// system compares them, without regard to letter case ("c:\program files").
bool IsWithin(const std::string& dir, const std::string& base)
{
    const std::wstring d = Comparable(dir);
    const std::wstring b = Comparable(base);
    if (b.empty() || d.size() < b.size()) return false;
    if (d.size() > b.size() && d[b.size()] != L'\\') return false;
    return CompareStringOrdinal(d.data(), int(b.size()), b.data(), int(b.size()), TRUE) == CSTR_EQUAL;
}

// Installed: under one of the folders that installers put programs in, the
// system's (both views of it on a 64-bit system) or the user's own, where a
// per-user installer puts them.
bool IsInstalledDir(const std::string& exeDir, const TEnvLookup& env)
{
    for (const char* name : {"ProgramFiles", "ProgramFiles(x86)", "ProgramW6432"})
        if (const auto base = AbsoluteDir(env, name); base && IsWithin(exeDir, *base)) return true;
    const auto local = AbsoluteDir(env, "LOCALAPPDATA");
    return local && IsWithin(exeDir, WithSeparator(*local) + "Programs");
}

} // namespace

std::optional<std::string> SystemEnv(const std::string& name)
{
    const std::wstring wide = WidenUtf8(name);
    const DWORD n = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (n == 0) return std::nullopt;
    std::wstring value(n, L'\0');
    const DWORD got = GetEnvironmentVariableW(wide.c_str(), value.data(), n);
    value.resize(got < n ? got : 0);
    return NarrowUtf16(value);
}

std::string ExecutablePath()
{
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), DWORD(buf.size()));
        if (n == 0) return std::string();
        if (n < buf.size()) return NarrowUtf16(std::wstring_view(buf.data(), n));
        buf.resize(buf.size() * 2);
    }
}

std::string ResolveAppPath(const std::string& exePath, const TEnvLookup& env)
{
    const std::string exeDir = AppPathOf(exePath);
    if (!IsInstalledDir(exeDir, env)) return exeDir;
    const std::optional<std::string> base = AbsoluteDir(env, "APPDATA");
    if (!base) return exeDir;
    const std::string dir = WithSeparator(*base) + "kelvara";
    // A failure is left for the first file operation there to report.
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(WidenUtf8(dir)), ignored);
    return dir + "\\";
}

// Windows has no shared configuration directory in the XDG sense: the
// offsets are looked for in AppPath and beside the executable only.
std::vector<std::string> SystemConfigDirs(const TEnvLookup&)
{
    return {};
}

std::string JournalDirOf(const TEnvLookup& env)
{
    const std::optional<std::string> base = AbsoluteDir(env, "LOCALAPPDATA");
    if (!base) return std::string();
    return WithSeparator(*base) + "kelvara\\runs\\";
}

} // namespace kelvara
