// Where the logger keeps its files. Beside the executable, as a portable copy
// expects: the settings file "kelvara.ini" and the offsets file "offset.txt"
// live in AppPath, the executable's directory. An installed copy (say in
// /usr/bin) keeps them in the user's configuration directory instead,
// $XDG_CONFIG_HOME/kelvara/ or ~/.config/kelvara/, which then is its AppPath;
// its offsets may also come from the system's configuration directories. On
// Windows that directory is %APPDATA%\kelvara\, and paths are written with "\".
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kelvara {

// The environment as ResolveAppPath sees it: the value of a variable, or
// nothing when it is not set. Tests pass their own instead of the process's.
using TEnvLookup = std::function<std::optional<std::string>(const std::string& name)>;

std::optional<std::string> SystemEnv(const std::string& name);

// The running executable's absolute path, from /proc/self/exe (Windows: the
// module's file name); empty when the system does not tell it.
std::string ExecutablePath();

// The executable's directory with its final "/": everything up to and
// including the last "/" (or "\" on Windows); empty for a bare file name.
std::string AppPathOf(const std::string& exePath);

// The settings file in an AppPath.
std::string IniNameOf(const std::string& appPath);

// AppPathOf(exePath) for a portable copy; for an installed one the user's
// configuration directory for the logger, with its final "/", created (mode
// 0700) when missing. A copy is installed when it lives where the system
// keeps programs: /usr/bin, /usr/sbin, /usr/local/bin, /usr/local/sbin,
// /usr/games, /usr/local/games, /bin and /sbin, or anywhere under
// /usr/lib*, /usr/libexec, /usr/local/lib*, /usr/local/libexec, /lib*,
// /opt, /snap (snaps), /app (a flatpak) and the Nix and Guix stores. Where
// it lives decides, not whether the directory can be written: root can write
// to /usr/bin, and a portable copy whose directory cannot be written keeps
// its files there all the same (saving the settings reports it).
// $XDG_CONFIG_HOME counts only when set to an absolute path, as the base
// directory rules say; then $HOME/.config. Without either, the executable's
// directory is kept, and saving the settings will report it.
// On Windows a copy is installed under %ProgramFiles%, %ProgramFiles(x86)%,
// %ProgramW6432% or %LOCALAPPDATA%\Programs (where a per-user installer
// puts programs), compared without regard to letter case; its AppPath is
// %APPDATA%\kelvara\ when %APPDATA% is an absolute path.
std::string ResolveAppPath(const std::string& exePath, const TEnvLookup& env = SystemEnv);

// The system's configuration directories, most important first: the absolute
// entries of $XDG_CONFIG_DIRS (a colon-separated list; relative entries are
// invalid and skipped), or /etc/xdg when it is unset or empty. Without
// trailing slashes. None on Windows.
std::vector<std::string> SystemConfigDirs(const TEnvLookup& env = SystemEnv);

// Where the offsets file is looked for, in order. A portable copy has one
// place, AppPath. An installed copy whose AppPath moved to the user's
// configuration directory looks there first, then in "kelvara/" of each
// system configuration directory (a package ships its default file as
// /etc/xdg/kelvara/offset.txt), and last beside the executable. A path is
// listed once.
std::vector<std::string> OffsetsSearchPath(const std::string& exePath, const std::string& appPath,
                                           const TEnvLookup& env = SystemEnv);

// Where the window keeps the journals of its runs: $XDG_STATE_HOME/kelvara/runs/
// ($XDG_STATE_HOME counts only as an absolute path), else
// $HOME/.local/state/kelvara/runs/; empty when neither is known. On Windows:
// %LOCALAPPDATA%\kelvara\runs\.
std::string JournalDirOf(const TEnvLookup& env = SystemEnv);

} // namespace kelvara
