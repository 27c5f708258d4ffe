// Programs for alarms on POSIX: posix_spawnp, no shell.
#include "alarm/AlarmProgram.h"

#include "base/Errors.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kelvara {

namespace {

// Releases what posix_spawn takes on every path.
struct TSpawnSetup {
    posix_spawn_file_actions_t Files;
    posix_spawnattr_t Attributes;
    TSpawnSetup()
    {
        posix_spawn_file_actions_init(&Files);
        posix_spawnattr_init(&Attributes);
    }
    ~TSpawnSetup()
    {
        posix_spawn_file_actions_destroy(&Files);
        posix_spawnattr_destroy(&Attributes);
    }
};

bool Replaced(const char* entry, const std::vector<std::string>& variables)
{
    for (const std::string& v : variables)
        if (std::strncmp(entry, v.c_str(), v.find('=') + 1) == 0) return true;
    return false;
}

} // namespace

TSpawned SpawnProgram(const std::string& program, const std::vector<std::string>& variables)
{
    TSpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.Files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.Files, STDERR_FILENO, STDOUT_FILENO);
    // The logger takes its stop signals on a thread of its own with the
    // others blocking them; the program starts with none blocked and every
    // signal's default, in a process group of its own, which a time-out
    // kills whole.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    posix_spawnattr_setsigmask(&setup.Attributes, &none);
    posix_spawnattr_setsigdefault(&setup.Attributes, &defaults);
    posix_spawnattr_setpgroup(&setup.Attributes, 0);
    posix_spawnattr_setflags(&setup.Attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> env;
    for (char** e = environ; *e; ++e)
        if (!Replaced(*e, variables)) env.push_back(*e);
    for (const std::string& v : variables) env.push_back(const_cast<char*>(v.c_str()));
    env.push_back(nullptr);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, program.c_str(), &setup.Files, &setup.Attributes, argv, env.data());
    if (rc != 0) throw EError(SysErrorMessage(rc));
    return {intptr_t(pid)};
}

std::optional<std::string> ProgramEnded(TSpawned& spawned)
{
    int status = 0;
    const pid_t rc = waitpid(pid_t(spawned.Handle), &status, WNOHANG);
    if (rc == 0) return std::nullopt;
    if (rc < 0) return "could not be waited for: " + SysErrorMessage(errno);
    if (WIFEXITED(status))
        return WEXITSTATUS(status) == 0 ? "" : "exited with code " + std::to_string(WEXITSTATUS(status));
    const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return "was ended by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
}

void KillProgram(TSpawned& spawned)
{
    const pid_t pid = pid_t(spawned.Handle);
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
}

} // namespace kelvara
