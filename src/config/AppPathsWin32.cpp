// Where the logger keeps its files on Windows: beside the executable when
// that directory takes files, else the user's roaming application data.
#include "base/Win32Text.h"
#include "config/AppPaths.h"

#include <windows.h>

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

bool IsDirWritable(const std::string& dir)
{
    // Access rights say little on Windows (Program Files grants them on
    // paper, and file virtualisation may fake them): making a file tells.
    const std::wstring where = WidenUtf8(dir.empty() ? "." : dir);
    wchar_t probe[MAX_PATH + 1] = {};
    if (GetTempFileNameW(where.c_str(), L"klv", 0, probe) == 0) return false;
    DeleteFileW(probe);
    return true;
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

std::string ResolveAppPath(const std::string& exePath, const TEnvLookup& env, const TDirWritable& writable)
{
    const std::string exeDir = AppPathOf(exePath);
    if (writable(exeDir)) return exeDir;
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
