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
//     without a port (beside a bare Qt widget on the same platform);
//
//   proc_bench ticker
//     that bare process, started by idle.
#include "BenchReport.h"

#include "sim/SimBus.h"
#include "support/ChildProcess.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <time.h>

using kbench::Fmt;
using kbench::Ratio;
using kbench::Row;
using kbench::Say;
using kelvara::test::TChildProcess;

namespace {

// A process that does nothing but wake on a one-second grid: the floor for
// anything that keeps a one-second tick.
int Ticker()
{
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (;;) {
        next.tv_sec += 1;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
}

// Asks the child to end, and makes it end when it does not within 5 s.
void Stop(TChildProcess& child)
{
    if (child.Pid() <= 0) return;
    child.Signal(SIGTERM);
    if (child.Wait(std::chrono::seconds(5))) return;
    child.Signal(SIGKILL);
    child.Wait(std::chrono::seconds(10));
}

double Ms(TChildProcess::TClock::time_point t)
{
    return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
}

void SleepSeconds(double s)
{
    timespec ts{time_t(s), long((s - double(time_t(s))) * 1e9)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

int Clock(double seconds, const std::string& logger)
{
    TChildProcess child;
    if (!child.Start({logger, "--simulate", "--period", "1"})) return 1;
    SleepSeconds(seconds);
    const auto stoppedAt = TChildProcess::TClock::now();
    Stop(child);

    // Each line's second count beside the time its line break came in on
    // this process's monotonic clock.
    std::vector<double> counts;
    std::vector<double> times;
    for (const TChildProcess::TLine& line : child.OutLines()) {
        if (line.At >= stoppedAt) break;
        const std::string field = line.Text.substr(0, line.Text.find('\t'));
        if (field.empty() || field.find_first_not_of("0123456789") != std::string::npos) continue;
        counts.push_back(std::stod(field));
        times.push_back(Ms(line.At));
    }

    const size_t n = counts.size();
    if (n < 10) {
        Say("proc_bench clock: only %zu lines from %s\n", n, logger.c_str());
        Row("5a", "Clock: logger's second count against the monotonic clock", "n/a", "0 s/day", "n/a", "too few lines");
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
        "positive = the count runs slow; resolution about " + Fmt(resolution, "s/day", 2) + " (1 ms over the run); " +
            std::to_string(n) + " lines");
    return 0;
}

struct TMeasured {
    std::string name;
    TChildProcess child;
    std::map<std::string, double> before;
    std::map<std::string, double> after;
    double Used() const { return kbench::CpuBetween(before, after); }
    double PerHour(double seconds) const { return Used() / seconds * 3600; }
};

int Idle(double seconds, const std::string& logger, const std::string& window, const std::string& windowBench)
{
    std::array<TMeasured, 4> m;
    m[1].name = "ticker";
    m[1].child.Start({"/proc/self/exe", "ticker"});

    kelvara::sim::TSimBus bus;
    bus.Start();
    m[0].name = "kelvara-log";
    m[0].child.Start({logger, "--port", bus.DevicePath(), "--baud", "19200", "--parity", "no", "--period", "60"});
    const std::vector<std::string> offscreen = {"QT_QPA_PLATFORM=offscreen"};
    if (window != "-") {
        m[2].name = "kelvara";
        m[2].child.Start({window}, offscreen);
    }
    if (windowBench != "-") {
        m[3].name = "bare widget";
        m[3].child.Start({windowBench, "bare-idle"}, offscreen);
    }

    // The logger scans at its first tick and then every 60 s: a window from
    // 0.5 s on that lasts a multiple of 60 s holds one scan per minute.
    // The windows get time to finish starting; their idle state has no
    // minute rhythm.
    SleepSeconds(0.5);
    m[0].before = kbench::ThreadCpuSeconds(m[0].child.Pid());
    m[1].before = kbench::ThreadCpuSeconds(m[1].child.Pid());
    SleepSeconds(2.5);
    for (size_t k = 2; k < m.size(); ++k)
        if (m[k].child.Pid() > 0) m[k].before = kbench::ThreadCpuSeconds(m[k].child.Pid());
    SleepSeconds(seconds - 2.5);
    m[0].after = kbench::ThreadCpuSeconds(m[0].child.Pid());
    m[1].after = kbench::ThreadCpuSeconds(m[1].child.Pid());
    SleepSeconds(2.5);
    for (size_t k = 2; k < m.size(); ++k)
        if (m[k].child.Pid() > 0) m[k].after = kbench::ThreadCpuSeconds(m[k].child.Pid());
    for (TMeasured& x : m) Stop(x.child);
    bus.Stop();

    for (const TMeasured& x : m)
        if (x.child.Pid() > 0)
            Say("proc_bench idle: %s used %.4f s of CPU in %.0f s\n", x.name.c_str(), x.Used(), seconds);
    const double logH = m[0].PerHour(seconds);
    const double tickH = m[1].PerHour(seconds);
    const std::string span = "measured over " + Fmt(seconds, "s", 0);
    Row("7a", "Idle: logger, period 60, CPU per hour", Fmt(logH, "s", 3),
        Fmt(tickH, "s", 3) + " (a bare process waking every second)", Ratio(logH, tickH),
        span + "; one scan per minute, simulated bus in another process");
    if (m[2].child.Pid() > 0) {
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
    if (a.size() == 2 && a[1] == "ticker") return Ticker();
    if (a.size() == 4 && a[1] == "clock") return Clock(std::stod(a[2]), a[3]);
    if (a.size() == 6 && a[1] == "idle") return Idle(std::stod(a[2]), a[3], a[4], a[5]);
    std::fprintf(stderr, "usage: proc_bench clock SECONDS KELVARA_LOG\n"
                         "       proc_bench idle SECONDS KELVARA_LOG KELVARA|- WINDOW_BENCH|-\n");
    return 2;
}
