// A program run by a test as a user would run it: its own process, stdout and
// stderr on pipes that are drained as they fill, a wait with a deadline, and
// signals sent to it by its id.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace kelvara::test {

class TChildProcess {
public:
    TChildProcess() = default;
    ~TChildProcess()
    {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            Wait(std::chrono::seconds(10));
        }
        Join();
    }
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // Starts argv[0] with the arguments; env entries ("NAME=value") are added
    // to this process's environment. False when the program cannot start.
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {})
    {
        // Everything the child needs is built before fork: the test runs
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
        if (::pipe2(err, O_CLOEXEC) != 0) return false;
        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            // Signals the test blocked stay blocked across exec; the child
            // starts with a clean mask as from a shell.
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execve(args[0], args.data(), envp.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        outReader_ = std::thread([this, fd = out[0]] { Drain(fd, out_); });
        errReader_ = std::thread([this, fd = err[0]] { Drain(fd, err_); });
        return true;
    }

    pid_t Pid() const { return pid_; }

    // Waits for the process to end; false when it is still running at the
    // deadline. Status() and Usage() are valid after a true return.
    bool Wait(std::chrono::milliseconds limit)
    {
        if (exited_) return true;
        const auto until = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const pid_t r = ::wait4(pid_, &status_, WNOHANG, &usage_);
            if (r == pid_) {
                exited_ = true;
                Join();
                return true;
            }
            if (r < 0 && errno != EINTR) return false;
            if (std::chrono::steady_clock::now() >= until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    void Signal(int sig) const
    {
        if (pid_ > 0 && !exited_) ::kill(pid_, sig);
    }

    int Status() const { return status_; }
    bool ExitedWith(int code) const { return exited_ && WIFEXITED(status_) && WEXITSTATUS(status_) == code; }
    // Processor time the child used, user and system together, in seconds.
    double CpuSeconds() const
    {
        auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
        return s(usage_.ru_utime) + s(usage_.ru_stime);
    }

    // Everything the child wrote so far.
    std::string Out() const
    {
        std::lock_guard lock(mutex_);
        return out_;
    }
    std::string Err() const
    {
        std::lock_guard lock(mutex_);
        return err_;
    }

    // Waits until stdout holds at least `lines` line breaks; false at the
    // deadline or when stdout closed first.
    bool WaitForLines(size_t lines, std::chrono::milliseconds limit)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            size_t n = 0;
            for (char c : out_)
                if (c == '\n') ++n;
            return n >= lines || outClosed_;
        }) && !(outClosed_ && CountLines(out_) < lines);
    }

private:
    static size_t CountLines(const std::string& s)
    {
        size_t n = 0;
        for (char c : s)
            if (c == '\n') ++n;
        return n;
    }

    void Drain(int fd, std::string& into)
    {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            std::lock_guard lock(mutex_);
            into.append(buf, static_cast<size_t>(n));
            changed_.notify_all();
        }
        ::close(fd);
        std::lock_guard lock(mutex_);
        if (&into == &out_) outClosed_ = true;
        changed_.notify_all();
    }

    void Join()
    {
        if (outReader_.joinable()) outReader_.join();
        if (errReader_.joinable()) errReader_.join();
    }

    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
    rusage usage_{};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_, err_;
    bool outClosed_ = false;
    std::thread outReader_, errReader_;
};

} // namespace kelvara::test
