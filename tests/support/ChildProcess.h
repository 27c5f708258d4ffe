// A program run by a test (or a benchmark) as a user would run it: its own
// process, stdout and stderr on pipes that are drained as they fill, a wait
// with a deadline, and signals sent to it by its id.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace kelvara::test {

class TChildProcess {
public:
    using TClock = std::chrono::steady_clock;
    struct TLine {
        std::string Text;      // without its line break
        TClock::time_point At; // when its line break was read from the pipe
    };

    TChildProcess() = default;
    // A child still running is killed and reaped.
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // Starts argv[0] (a path) with the arguments; env entries ("NAME=value")
    // replace or add to this process's environment. The child inherits stdin.
    // False when the program cannot start.
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

    pid_t Pid() const { return pid_; }

    // Waits for the process to end and for its output to close; false when
    // it is still running at the deadline. Status() and the processor time
    // of the ended process are valid after a true return.
    bool Wait(std::chrono::milliseconds limit);
    // Waits as Wait() does; then the exit code, 128 + the signal when a
    // signal ended it, or -1 when it did not end in time.
    int ExitCode(std::chrono::milliseconds limit);

    void Signal(int sig) const;

    int Status() const { return status_; }
    bool ExitedWith(int code) const;
    // Processor time the child used so far, user and system together, in
    // seconds: from the kernel's account of it once it ended and was waited
    // for, from /proc (in clock ticks) while it runs; negative when that
    // cannot be read.
    double CpuSeconds() const;

    // Everything the child wrote so far.
    std::string Out() const;
    std::string Err() const;
    // The whole lines of stdout so far, each with its arrival time.
    std::vector<TLine> OutLines() const;

    // Waits until stdout holds at least `lines` line breaks; false at the
    // deadline or when stdout closed first.
    bool WaitForLines(size_t lines, std::chrono::milliseconds limit);

private:
    void Drain(int fd, bool isOut);
    void Join();

    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
    rusage usage_{};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_, err_;
    std::vector<TClock::time_point> lineTimes_; // one per line break in out_
    bool outClosed_ = false;
    std::thread outReader_, errReader_;
};

} // namespace kelvara::test
