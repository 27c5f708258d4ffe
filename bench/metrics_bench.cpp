// What the metrics endpoint costs the run, each against the same run without
// it measured in the same invocation:
//   metrics_bench scan             a session on the in-process simulated bus
//                                  scanning back to back, in alternating
//                                  rounds: plain; with the endpoint scraped
//                                  ten times a second; and with alarm rules
//                                  on every channel too. The time per scan,
//                                  record to record, holds all the work on
//                                  the session's thread
//   metrics_bench idle SECONDS LOG kelvara-log with period 60, side by side:
//                                  plain; with --metrics, not scraped;
//                                  scraped every 15 s; with --alarms and
//                                  --metrics: CPU
//   metrics_bench load SECONDS LOG kelvara-log scanning every second and
//                                  scraped 100 times a second, beside one
//                                  scraped once a second: scans that began
//                                  late on the tick grid, and the CPU
#include "BenchReport.h"

#include "acquisition/Session.h"
#include "metrics/MetricsServer.h"
#include "sim/SimBus.h"
#include "support/ChildProcess.h"
#include "support/RecordingListener.h"
#include "support/TempDir.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <map>
#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using kbench::Fmt;
using kbench::Median;
using kbench::Ratio;
using kbench::Row;
using kbench::Say;
using namespace kelvara;
using kelvara::test::TChildProcess;

namespace {

// The body of GET /metrics on the loopback address; empty on failure.
std::string Scrape(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string text;
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char buf[16384];
        for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) text.append(buf, size_t(n));
    }
    ::close(fd);
    const size_t body = text.find("\r\n\r\n");
    return body == std::string::npos ? "" : text.substr(body + 4);
}

double SampleOf(const std::string& page, const std::string& series)
{
    const size_t at = page.find("\n" + series + " ");
    return at == std::string::npos ? NAN : std::stod(page.substr(at + series.size() + 2));
}

// Scrapes port every periodMs until stopped, while gate (when given) is
// set, handing each page to seen.
class TScraper {
public:
    TScraper(uint16_t port, int periodMs, std::function<void(const std::string&)> seen = {},
             const std::atomic<bool>* gate = nullptr)
        : thread_([=, this] {
              for (auto next = std::chrono::steady_clock::now(); !stop_; std::this_thread::sleep_until(next)) {
                  next += std::chrono::milliseconds(periodMs);
                  if (gate && !*gate) continue;
                  const std::string page = Scrape(port);
                  if (seen && !page.empty()) seen(page);
              }
          })
    {
    }
    ~TScraper()
    {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Every kind of alarm on every channel, none raised by the bus's values, so
// each scan walks every rule.
constexpr const char* kRules = "[all]\nlow=-100\nhigh=1000\nhysteresis=1\ndelay=5\nsilent_scans=3\nport_lost=yes\n";

// Milliseconds per scan over `scans` back-to-back scans after a warm-up.
double ScanTime(const kelvara::test::TTempDir& dir, bool metrics, bool alarms, size_t scans)
{
    TSessionConfig config;
    config.OffsetsPaths = {dir.File("offset.txt")};
    config.TickMs = 1; // every tick is late: the scans follow each other at once
    config.TimeEvents = false;
    config.Simulated = true;
    if (alarms) config.AlarmsFile = dir.File("alarms.ini");
    TSession session(config);
    session.CreateCmd();
    std::unique_ptr<TMetricsServer> server;
    std::unique_ptr<TScraper> scraper;
    if (metrics) {
        server = std::make_unique<TMetricsServer>(
            TListenAddress{}, [&session](TExposition f) { return RenderMetrics(session.Snapshot(), f); });
        scraper = std::make_unique<TScraper>(server->Port(), 100);
    }
    kelvara::test::TRecordingListener events;
    session.Connect({TSession::kSimulatedPort, "19200", "no"});
    events.ConnectResult(session);
    session.Start("0");
    events.Scans(session, 3);
    const double from = kbench::NowMs();
    events.Scans(session, scans);
    const double ms = (kbench::NowMs() - from) / double(scans);
    session.Stop();
    return ms;
}

int Scan()
{
    kelvara::test::TTempDir dir("kelvara-metrics-bench");
    dir.Write("offset.txt", "0\n0\n0\n0\n0\n0\n0\n");
    dir.Write("alarms.ini", kRules);
    const int rounds = kbench::Quick() ? 4 : 10;
    const size_t scans = 40;
    std::vector<double> plain, metrics, both;
    for (int r = 0; r < rounds; ++r) {
        plain.push_back(ScanTime(dir, false, false, scans));
        metrics.push_back(ScanTime(dir, true, false, scans));
        both.push_back(ScanTime(dir, true, true, scans));
        Say("metrics_bench scan: round %d: %.3f ms plain, %.3f ms scraped, %.3f ms scraped with alarms\n", r + 1,
            plain.back(), metrics.back(), both.back());
    }
    const std::string note = std::to_string(rounds) + " alternating rounds of " + std::to_string(scans) +
                             " back-to-back scans on the in-process simulated bus; scraped 10 times a second";
    Row("9a", "Metrics: a session's scan, endpoint scraped (median of rounds)", Fmt(Median(metrics), "ms", 3),
        Fmt(Median(plain), "ms", 3) + " (the same run without)", Ratio(Median(metrics), Median(plain)), note);
    Row("9b", "Metrics and alarms: a session's scan, scraped, rules on every channel (median of rounds)",
        Fmt(Median(both), "ms", 3), Fmt(Median(plain), "ms", 3) + " (the same run without either)",
        Ratio(Median(both), Median(plain)), note);
    return 0;
}

// A logger on its own simulated bus; its metrics port when it serves them.
struct TLogger {
    sim::TSimBus Bus;
    TChildProcess Child;
    uint16_t Port = 0;
    std::map<std::string, double> CpuBefore;
    std::map<std::string, double> CpuAfter;
    std::chrono::steady_clock::time_point Started;

    bool Start(const std::string& logger, const std::string& period, bool metrics, const std::string& alarms = "")
    {
        Bus.Start();
        std::vector<std::string> argv = {logger, "--port", Bus.DevicePath(), "--parity", "no", "--period", period};
        if (metrics) argv.insert(argv.end(), {"--metrics", "0"});
        if (!alarms.empty()) argv.insert(argv.end(), {"--alarms", alarms});
        if (!Child.Start(argv)) return false;
        Started = std::chrono::steady_clock::now();
        std::smatch m;
        for (int k = 0; metrics && k < 200 && Port == 0; ++k) {
            const std::string err = Child.Err();
            if (std::regex_search(err, m, std::regex(R"(127\.0\.0\.1:(\d+)/metrics)")))
                Port = uint16_t(std::stoi(m[1]));
            usleep(50000);
        }
        return !metrics || Port != 0;
    }
    void Mark() { CpuBefore = kbench::ThreadCpuSeconds(Child.Pid()); }
    double Cpu() const { return kbench::CpuBetween(CpuBefore, kbench::ThreadCpuSeconds(Child.Pid())); }
    double WindowCpu() const { return kbench::CpuBetween(CpuBefore, CpuAfter); }
    ~TLogger()
    {
        Child.Signal(SIGTERM);
        Child.Wait(std::chrono::seconds(10));
        Bus.Stop();
    }
};

void Sleep(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// Three loggers of each kind, each on a bus of its own, all side by side:
// a logger that wakes once a minute uses a few milliseconds a scan, and the
// median of three keeps one slow scan from deciding a row.
int Idle(double seconds, const std::string& logger)
{
    kelvara::test::TTempDir dir("kelvara-metrics-bench");
    const std::string rules = dir.Write("alarms.ini", kRules);
    constexpr int kEach = 3;
    std::array<std::array<TLogger, kEach>, 4> kinds; // plain, --metrics, scraped, --metrics --alarms
    for (int k = 0; k < 4; ++k)
        for (TLogger& l : kinds[k])
            if (!l.Start(logger, "60", k > 0, k == 3 ? rules : "")) return 1;
    // Each logger scans 1 s after its start and then once a minute: each is
    // measured over a window of its own that begins 1.5 s after one of its
    // scans, so every window of a whole number of minutes holds as many
    // scans, however far apart the loggers were started.
    using TClock = std::chrono::steady_clock;
    std::vector<std::pair<TClock::time_point, TLogger*>> marks, reads;
    const auto now = TClock::now();
    for (auto& kind : kinds)
        for (TLogger& l : kind) {
            auto at = l.Started + std::chrono::milliseconds(1500);
            while (at < now) at += std::chrono::seconds(60);
            marks.push_back({at, &l});
            reads.push_back({at + std::chrono::milliseconds(long(seconds * 1000)), &l});
        }
    std::sort(marks.begin(), marks.end());
    std::sort(reads.begin(), reads.end());
    {
        std::vector<std::unique_ptr<TScraper>> scrapers;
        for (TLogger& l : kinds[2]) scrapers.push_back(std::make_unique<TScraper>(l.Port, 15000));
        for (auto& [at, l] : marks) std::this_thread::sleep_until(at), l->Mark();
        for (auto& [at, l] : reads)
            std::this_thread::sleep_until(at), l->CpuAfter = kbench::ThreadCpuSeconds(l->Child.Pid());
    }
    std::array<double, 4> perHour{};
    std::vector<double> plain;
    for (int k = 0; k < 4; ++k) {
        std::vector<double> v;
        for (const TLogger& l : kinds[k]) v.push_back(l.WindowCpu() / seconds * 3600);
        if (k == 0) plain = v;
        perHour[k] = Median(v);
    }
    const double p = perHour[0];
    const std::string span = "measured over " + Fmt(seconds, "s", 0) + ", median of " + std::to_string(kEach) +
                             " side by side, each on a bus of its own (the plain ones " +
                             Fmt(*std::min_element(plain.begin(), plain.end()), "s", 3) + " to " +
                             Fmt(*std::max_element(plain.begin(), plain.end()), "s", 3) + ")";
    Row("9c", "Metrics: idle logger, period 60, --metrics, CPU per hour", Fmt(perHour[1], "s", 3),
        Fmt(p, "s", 3) + " (the same logger without)", Ratio(perHour[1], p), span + "; not scraped");
    Row("9d", "Metrics and alarms: idle logger, period 60, --metrics and --alarms, CPU per hour",
        Fmt(perHour[3], "s", 3), Fmt(p, "s", 3) + " (the same logger without either)", Ratio(perHour[3], p),
        span + "; rules on every channel, not scraped");
    Row("9e", "Metrics: idle logger, period 60, scraped every 15 s, CPU per hour", Fmt(perHour[2], "s", 3),
        Fmt(p, "s", 3) + " (the same logger without)", Ratio(perHour[2], p),
        span + "; " + Fmt((perHour[2] - p) / (3600.0 / 15) * 1000, "ms", 2) +
            " of CPU a scrape, each on a new connection");
    return 0;
}

// Scans that began more than 50 ms past their tick on the one-second grid
// (the earliest start of the run marks the grid), and the worst of them.
std::string Lateness(const std::map<long, double>& starts, double& worst)
{
    double grid = 1e300;
    for (const auto& [second, ms] : starts) grid = std::min(grid, ms - 1000.0 * double(second));
    int late = 0;
    worst = 0;
    for (const auto& [second, ms] : starts) {
        const double past = ms - 1000.0 * double(second) - grid;
        worst = std::max(worst, past);
        if (past > 50) ++late;
    }
    return std::to_string(late) + " of " + std::to_string(starts.size());
}

int Load(double seconds, const std::string& logger)
{
    TLogger busy, calm;
    if (!busy.Start(logger, "0", true) || !calm.Start(logger, "0", true)) return 1;
    std::mutex lock;
    std::map<long, double> busyStarts, calmStarts;
    auto keep = [&lock](std::map<long, double>& starts) {
        return [&lock, &starts](const std::string& page) {
            const double second = SampleOf(page, "kelvara_last_scan_run_seconds");
            std::lock_guard<std::mutex> guard(lock);
            if (!std::isnan(second))
                starts[long(second)] = 1000 * SampleOf(page, "kelvara_last_scan_timestamp_seconds");
        };
    };
    Sleep(2);
    busy.Mark();
    calm.Mark();
    size_t scrapes = 0;
    {
        TScraper hard(busy.Port, 10, [&, seen = keep(busyStarts)](const std::string& page) {
            ++scrapes;
            seen(page);
        });
        TScraper soft(calm.Port, 1000, keep(calmStarts));
        Sleep(seconds);
    }
    const double busyCpu = busy.Cpu() / seconds * 100, calmCpu = calm.Cpu() / seconds * 100;
    double busyWorst = 0, calmWorst = 0;
    const std::string busyLate = Lateness(busyStarts, busyWorst), calmLate = Lateness(calmStarts, calmWorst);
    Row("9f", "Metrics: 100 scrapes a second, scans begun > 50 ms late", busyLate,
        calmLate + " (scraped once a second, same time)", "n/a",
        std::to_string(scrapes) + " scrapes in " + Fmt(seconds, "s", 0) + "; worst " + Fmt(busyWorst, "ms", 1) +
            " vs " + Fmt(calmWorst, "ms", 1));
    Row("9g", "Metrics: 100 scrapes a second, the logger's CPU", Fmt(busyCpu, "% of a core", 2),
        Fmt(calmCpu, "% of a core", 2) + " (scraped once a second)", Ratio(busyCpu, calmCpu), "scans every second");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> a(argv, argv + argc);
    if (a.size() == 2 && a[1] == "scan") return Scan();
    if (a.size() == 4 && a[1] == "idle") return Idle(std::stod(a[2]), a[3]);
    if (a.size() == 4 && a[1] == "load") return Load(std::stod(a[2]), a[3]);
    std::fprintf(stderr, "usage: metrics_bench scan | idle SECONDS KELVARA_LOG | load SECONDS KELVARA_LOG\n");
    return 2;
}
