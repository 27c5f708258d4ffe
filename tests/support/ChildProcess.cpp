#include "support/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kelvara::test {

TChildProcess::~TChildProcess()
{
    if (pid_ > 0 && !exited_) {
        ::kill(pid_, SIGKILL);
        Wait(std::chrono::seconds(10));
    }
    Join();
}

bool TChildProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    // Everything the child needs is built before fork: the caller runs
    // threads, and only async-signal-safe calls are sure after fork.
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const std::string& x : env)
            if (entry.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0) replaced = true;
        if (!replaced) environment.push_back(entry);
    }
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    pid_ = ::fork();
    if (pid_ < 0) {
        for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
        return false;
    }
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        // Signals the caller blocked stay blocked across exec; the child
        // starts with a clean mask as from a shell.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    outReader_ = std::thread([this, fd = out[0]] { Drain(fd, true); });
    errReader_ = std::thread([this, fd = err[0]] { Drain(fd, false); });
    return true;
}

bool TChildProcess::Wait(std::chrono::milliseconds limit)
{
    if (exited_) return true;
    if (pid_ <= 0) return false; // never started: waiting for "any child" would take another's
    const auto until = TClock::now() + limit;
    for (;;) {
        const pid_t r = ::wait4(pid_, &status_, WNOHANG, &usage_);
        if (r == pid_) {
            exited_ = true;
            Join();
            return true;
        }
        if (r < 0 && errno != EINTR) return false;
        if (TClock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int TChildProcess::ExitCode(std::chrono::milliseconds limit)
{
    if (!Wait(limit)) return -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

void TChildProcess::Signal(int sig) const
{
    if (pid_ > 0 && !exited_) ::kill(pid_, sig);
}

bool TChildProcess::ExitedWith(int code) const
{
    return exited_ && WIFEXITED(status_) && WEXITSTATUS(status_) == code;
}

double TChildProcess::CpuSeconds() const
{
    if (exited_) {
        auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
        return s(usage_.ru_utime) + s(usage_.ru_stime);
    }
    if (pid_ <= 0) return -1;
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name, in parentheses, may hold blanks; the fields after it
    // are the state, ten counters, and then user and system time in ticks.
    const size_t name = stat.rfind(')');
    if (name == std::string::npos) return -1;
    std::istringstream fields(stat.substr(name + 1));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;
    long user = 0, system = 0;
    if (!(fields >> user >> system)) return -1;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string TChildProcess::Out() const
{
    std::lock_guard lock(mutex_);
    return out_;
}

std::string TChildProcess::Err() const
{
    std::lock_guard lock(mutex_);
    return err_;
}

std::vector<TChildProcess::TLine> TChildProcess::OutLines() const
{
    std::lock_guard lock(mutex_);
    std::vector<TLine> lines;
    size_t start = 0;
    for (const TClock::time_point at : lineTimes_) {
        const size_t end = out_.find('\n', start);
        lines.push_back({out_.substr(start, end - start), at});
        start = end + 1;
    }
    return lines;
}

bool TChildProcess::WaitForLines(size_t lines, std::chrono::milliseconds limit)
{
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return lineTimes_.size() >= lines || outClosed_; });
    return lineTimes_.size() >= lines;
}

void TChildProcess::Drain(int fd, bool isOut)
{
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const auto at = TClock::now();
        std::lock_guard lock(mutex_);
        (isOut ? out_ : err_).append(buf, static_cast<size_t>(n));
        if (isOut)
            for (ssize_t i = 0; i < n; ++i)
                if (buf[i] == '\n') lineTimes_.push_back(at);
        changed_.notify_all();
    }
    ::close(fd);
    std::lock_guard lock(mutex_);
    if (isOut) outClosed_ = true;
    changed_.notify_all();
}

void TChildProcess::Join()
{
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
}

} // namespace kelvara::test
