// What a run costs to keep safe, measured:
//   session_bench reconnect LOGGER SIM   from a device's return to the first
//                                        normal line of kelvara-log, over
//                                        repeated unplugs of kelvara-sim
//   session_bench journal                the journal's cost per appended line,
//                                        with and without its periodic
//                                        fdatasync, against a bare write(2)
#include "BenchReport.h"
#include "logfile/Journal.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using kbench::Fmt;
using kbench::Median;
using kbench::NowMs;
using kbench::Ratio;
using kbench::Row;
using kbench::Say;
using kbench::Worst;
using kelvara::test::TChildProcess;
using kelvara::test::TTempDir;

namespace {

constexpr const char* kAllNan = "\tNAN\tNAN\tNAN\tNAN\tNAN\tNAN\tNAN";

bool WaitUntil(const std::function<bool()>& done, double timeoutMs)
{
    const double end = NowMs() + timeoutMs;
    while (!done()) {
        if (NowMs() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

int Reconnect(const std::string& logger, const std::string& simulator)
{
    TTempDir dir("kelvara-session-bench");
    const std::string link = dir.File("bus");
    TChildProcess sim;
    if (!sim.Start({simulator, "--link", link, "--emf", "1", "--ambient", "21.5"}) ||
        !sim.WaitForLines(1, std::chrono::seconds(20)))
        return 1;
    TChildProcess log;
    if (!log.Start({logger, "--port", link, "--parity", "no", "--period", "1"})) return 1;
    // The first line that reads a value, arriving after a moment.
    auto firstNormalAfter = [&](double since) -> double {
        for (const auto& line : log.OutLines()) {
            const double at = std::chrono::duration<double, std::milli>(line.At.time_since_epoch()).count();
            if (at >= since && line.Text.rfind("time", 0) != 0 && line.Text.find(kAllNan) == std::string::npos)
                return at;
        }
        return -1;
    };
    if (!WaitUntil([&] { return firstNormalAfter(0) >= 0; }, 20000)) return 1;

    const int unplugs = kbench::Quick() ? 5 : 20;
    std::mt19937 rng(20261209);
    std::vector<double> delays;
    for (int k = 0; k < unplugs; ++k) {
        sim.Signal(SIGUSR1);
        if (!WaitUntil([&] { return Count(log.Err(), "\" lost at second ") > size_t(k); }, 20000)) return 1;
        // Back at a different point of the one-second grid each time.
        std::this_thread::sleep_for(std::chrono::milliseconds(500 + rng() % 1000));
        sim.Signal(SIGUSR2);
        if (!WaitUntil([&] { return ::access(link.c_str(), F_OK) == 0; }, 20000)) return 1;
        const double back =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
        double first = -1;
        if (!WaitUntil([&] { return (first = firstNormalAfter(back)) >= 0; }, 20000)) return 1;
        delays.push_back(first - back);
        Say("session_bench: unplug %d: first normal line %.0f ms after the device was back\n", k + 1, first - back);
    }
    log.Signal(SIGTERM);
    sim.Signal(SIGTERM);
    Row("7a", "Reconnect: device back to the first normal line (median)", Fmt(Median(delays), "ms", 0),
        "1000 ms (one tick)", Ratio(Median(delays), 1000),
        "worst " + Fmt(Worst(delays), "ms", 0) + " over " + std::to_string(unplugs) +
            " unplugs of kelvara-sim; the tick that finds the port reopens it and its scan reads");
    return 0;
}

int Journal()
{
    TTempDir dir("kelvara-session-bench");
    const std::string line = "012345\t1234.56\t1234.56\t1234.56\t1234.56\t1234.56\t1234.56\t21.50";
    const int lines = kbench::Quick() ? 2000 : 20000;
    auto measure = [&](bool periodicSync) {
        std::vector<double> times;
        kelvara::TJournal journal(dir.File(periodicSync ? "synced" : "plain"), 0, "time");
        for (int i = 0; i < lines; ++i) {
            // One scan a second: the periodic fdatasync falls on every tenth line.
            const int64_t now = periodicSync ? int64_t(i) * 1000 + kelvara::TJournal::kSyncEveryMs : 0;
            const double t = NowMs();
            journal.AppendLine(line, now);
            times.push_back(NowMs() - t);
        }
        journal.Finish();
        return times;
    };
    const std::vector<double> plain = measure(false);
    const std::vector<double> synced = measure(true);
    std::vector<double> bare;
    const int fd = ::open(dir.File("bare").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const std::string record = line + "\r\n";
    for (int i = 0; i < lines; ++i) {
        const double t = NowMs();
        if (::write(fd, record.data(), record.size()) < 0) break;
        bare.push_back(NowMs() - t);
    }
    ::close(fd);
    Row("7b", "Journal: one appended line, without fdatasync (median)", Fmt(Median(plain) * 1000, "us", 1),
        Fmt(Median(bare) * 1000, "us", 1) + " (a bare write(2) of the line)", Ratio(Median(plain), Median(bare)),
        "worst " + Fmt(Worst(plain) * 1000, "us", 0) + " vs " + Fmt(Worst(bare) * 1000, "us", 0) + "; " +
            std::to_string(lines) + " lines");
    Row("7c", "Journal: one appended line, with the periodic fdatasync (median)", Fmt(Median(synced) * 1000, "us", 1),
        Fmt(Median(bare) * 1000, "us", 1) + " (a bare write(2) of the line)", Ratio(Median(synced), Median(bare)),
        "worst " + Fmt(Worst(synced) * 1000, "us", 0) +
            " (the line that syncs: every tenth at one scan a second, at most every 10 s)");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> a(argv, argv + argc);
    if (a.size() == 4 && a[1] == "reconnect") return Reconnect(a[2], a[3]);
    if (a.size() == 2 && a[1] == "journal") return Journal();
    std::fprintf(stderr, "usage: session_bench reconnect LOGGER SIMULATOR | journal\n");
    return 2;
}
