// Whole programs measured from outside, as child processes:
//
//   proc_bench clock SECONDS KELVARA_LOG
//     the headless logger on its simulated bus with period 1: the second
//     count in each line's time field against this process's monotonic clock
//     at the moment the line arrives, as drift per day;
//
//   proc_bench idle SECONDS KELVARA_LOG KELVARA|- WINDOW_BENCH|-
//     CPU time per hour of a logger with period 60 on a simulated bus (beside
//     a bare process that only wakes once a second), and of the window
//     without a port (beside a bare Qt widget on the same platform).
#include "BenchReport.h"

#include "sim/SimBus.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

using kbench::Fmt;
using kbench::NowMs;
using kbench::Ratio;
using kbench::Row;
using kbench::Say;

namespace {

// Starts program with args; its stdout goes to outFd (or /dev/null for -1),
// stderr to /dev/null, and env entries "NAME=value" are added.
pid_t Spawn(const std::vector<std::string>& args, int outFd, const std::vector<std::string>& env = {})
{
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int null = open("/dev/null", O_RDWR);
    dup2(outFd >= 0 ? outFd : null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    dup2(null, STDIN_FILENO);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

// A process that does nothing but wake on a one-second grid: the floor for
// anything that keeps a one-second tick.
pid_t SpawnTicker()
{
    const pid_t pid = fork();
    if (pid != 0) return pid;
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (;;) {
        next.tv_sec += 1;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
}

void Stop(pid_t pid)
{
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    const double deadline = NowMs() + 5000;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (NowMs() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return;
        }
        usleep(10000);
    }
}

void SleepSeconds(double s)
{
    timespec ts{time_t(s), long((s - double(time_t(s))) * 1e9)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int Clock(double seconds, const std::string& logger)
{
    int fds[2];
    if (pipe(fds) != 0) return 1;
    const pid_t pid = Spawn({logger, "--simulate", "--period", "1"}, fds[1]);
    close(fds[1]);

    std::vector<double> counts;
    std::vector<double> times;
    std::string pending;
    const double end = NowMs() + seconds * 1000;
    bool stopped = false;
    char buf[4096];
    for (;;) {
        if (!stopped && NowMs() >= end) {
            kill(pid, SIGTERM);
            stopped = true;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int timeout = stopped ? 5000 : std::max(1, int(end - NowMs()));
        if (poll(&p, 1, timeout) <= 0) {
            if (stopped) break;
            continue;
        }
        const ssize_t n = read(fds[0], buf, sizeof buf);
        const double at = NowMs();
        if (n <= 0) break;
        pending.append(buf, size_t(n));
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            const size_t tab = line.find('\t');
            const std::string field = line.substr(0, tab);
            if (stopped || field.empty() || field.find_first_not_of("0123456789") != std::string::npos) continue;
            counts.push_back(std::stod(field));
            times.push_back(at);
        }
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);

    const size_t n = counts.size();
    if (n < 10) {
        Say("proc_bench clock: only %zu lines from %s\n", n, logger.c_str());
        Row("5a", "Clock: logger's second count against the monotonic clock", "n/a", "0 s/day", "n/a",
            "too few lines");
        return 1;
    }
    // Each line arrives a scan's time after its tick; the least delay in a
    // window of lines is the tick itself plus the quietest scan.
    const size_t w = std::max<size_t>(3, std::min<size_t>(30, n / 5));
    auto minOffset = [&](size_t from) {
        double best = 1e300;
        for (size_t k = from; k < from + w; ++k) best = std::min(best, times[k] - 1000 * counts[k]);
        return best;
    };
    const double early = minOffset(0);
    const double late = minOffset(n - w);
    const double span = counts[n - 1] - counts[0];
    const double perDay = (late - early) / 1000 / span * 86400;
    const double resolution = 1.0 / 1000 / span * 86400; // one millisecond over the run
    Say("proc_bench clock: %zu lines, counts %.0f..%.0f, earliest offsets %.2f / %.2f ms\n", n, counts[0],
        counts[n - 1], early, late);
    char what[128];
    std::snprintf(what, sizeof what, "Clock: logger's second count vs monotonic clock (%.0f s run)", seconds);
    Row("5a", what, Fmt(perDay, "s/day", 2), "0 s/day (the monotonic clock)", "n/a",
        "positive = the count runs slow; resolution about " + Fmt(resolution, "s/day", 2) +
            " (1 ms over the run); " + std::to_string(n) + " lines");
    return 0;
}

struct TMeasured {
    std::string name;
    pid_t pid = -1;
    std::map<std::string, double> before;
    std::map<std::string, double> after;
    double Used() const { return kbench::CpuBetween(before, after); }
    double PerHour(double seconds) const { return Used() / seconds * 3600; }
};

int Idle(double seconds, const std::string& logger, const std::string& window, const std::string& windowBench)
{
    std::vector<TMeasured> m(4);
    m[1].name = "ticker";
    m[1].pid = SpawnTicker(); // before any thread of ours exists

    kelvara::sim::TSimBus bus;
    bus.Start();
    m[0].name = "kelvara-log";
    m[0].pid = Spawn({logger, "--port", bus.DevicePath(), "--baud", "19200", "--parity", "no", "--period", "60"}, -1);
    const std::vector<std::string> offscreen = {"QT_QPA_PLATFORM=offscreen"};
    if (window != "-") {
        m[2].name = "kelvara";
        m[2].pid = Spawn({window}, -1, offscreen);
    }
    if (windowBench != "-") {
        m[3].name = "bare widget";
        m[3].pid = Spawn({windowBench, "bare-idle"}, -1, offscreen);
    }

    // The logger scans at its first tick and then every 60 s: a window from
    // 0.5 s on that lasts a multiple of 60 s holds one scan per minute.
    // The windows get time to finish starting; their idle state has no
    // minute rhythm.
    SleepSeconds(0.5);
    m[0].before = kbench::ThreadCpuSeconds(m[0].pid);
    m[1].before = kbench::ThreadCpuSeconds(m[1].pid);
    SleepSeconds(2.5);
    for (size_t k = 2; k < m.size(); ++k)
        if (m[k].pid > 0) m[k].before = kbench::ThreadCpuSeconds(m[k].pid);
    SleepSeconds(seconds - 2.5);
    m[0].after = kbench::ThreadCpuSeconds(m[0].pid);
    m[1].after = kbench::ThreadCpuSeconds(m[1].pid);
    SleepSeconds(2.5);
    for (size_t k = 2; k < m.size(); ++k)
        if (m[k].pid > 0) m[k].after = kbench::ThreadCpuSeconds(m[k].pid);
    for (const TMeasured& x : m) Stop(x.pid);
    bus.Stop();

    for (const TMeasured& x : m)
        if (x.pid > 0)
            Say("proc_bench idle: %s used %.4f s of CPU in %.0f s\n", x.name.c_str(), x.Used(), seconds);
    const double logH = m[0].PerHour(seconds);
    const double tickH = m[1].PerHour(seconds);
    const std::string span = "measured over " + Fmt(seconds, "s", 0);
    Row("7a", "Idle: logger, period 60, CPU per hour", Fmt(logH, "s", 3),
        Fmt(tickH, "s", 3) + " (a bare process waking every second)", Ratio(logH, tickH),
        span + "; one scan per minute, simulated bus in another process");
    if (m[2].pid > 0) {
        const double winH = m[2].PerHour(seconds);
        const double bareH = m[3].PerHour(seconds);
        Row("7b", "Idle: window without a port, CPU per hour", Fmt(winH, "s", 3),
            Fmt(bareH, "s", 3) + " (a bare QWidget, same platform)", Ratio(winH, bareH),
            span + "; QT_QPA_PLATFORM=offscreen");
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> a(argv, argv + argc);
    if (a.size() == 4 && a[1] == "clock") return Clock(std::stod(a[2]), a[3]);
    if (a.size() == 6 && a[1] == "idle") return Idle(std::stod(a[2]), a[3], a[4], a[5]);
    std::fprintf(stderr, "usage: proc_bench clock SECONDS KELVARA_LOG\n"
                         "       proc_bench idle SECONDS KELVARA_LOG KELVARA|- WINDOW_BENCH|-\n");
    return 2;
}
