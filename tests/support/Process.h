// A child process for end-to-end tests: argv in, stdout and stderr captured,
// with a deadline so a hung child fails the test instead of hanging it.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kelvara::test {

class TChild {
public:
    explicit TChild(const std::vector<std::string>& argv)
    {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~TChild()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            Wait(5000);
        }
        if (out_ >= 0) close(out_);
        if (err_ >= 0) close(err_);
    }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;

    pid_t Pid() const { return pid_; }
    void Signal(int sig) const { kill(pid_, sig); }

    // Collects output until stdout holds `lines` complete lines or the
    // deadline passes; returns whether the lines came.
    bool WaitForLines(size_t lines, int timeoutMs)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (CountLines() < lines) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !Pump(static_cast<int>(left.count()))) return CountLines() >= lines;
        }
        return true;
    }

    // Waits for the child to end; returns its exit status, or -1 when the
    // deadline passed (the child is then killed), or 128 + signal.
    int Wait(int timeoutMs)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                reaped_ = true;
                while (Pump(0)) {
                }
                if (WIFEXITED(status)) return WEXITSTATUS(status);
                return 128 + WTERMSIG(status);
            }
            if (std::chrono::steady_clock::now() > until) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                reaped_ = true;
                return -1;
            }
            Pump(20);
        }
    }

    std::string out;
    std::string err;

private:
    size_t CountLines() const
    {
        size_t n = 0;
        for (char c : out) n += c == '\n';
        return n;
    }
    // Reads what is there; false when both pipes are at their end.
    bool Pump(int timeoutMs)
    {
        pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (out_ < 0 && err_ < 0) return false;
        if (poll(p, 2, timeoutMs) <= 0) return true;
        bool open = false;
        for (int k = 0; k < 2; ++k) {
            int& fd = k == 0 ? out_ : err_;
            if (fd < 0) continue;
            if (p[k].revents & (POLLIN | POLLHUP)) {
                char buf[4096];
                const ssize_t n = read(fd, buf, sizeof buf);
                if (n > 0) {
                    (k == 0 ? out : err).append(buf, static_cast<size_t>(n));
                } else if (n == 0) {
                    close(fd);
                    fd = -1;
                    continue;
                }
            }
            open = true;
        }
        return open;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool reaped_ = false;
};

} // namespace kelvara::test
