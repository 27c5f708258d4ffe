// What the metrics endpoint costs the run, each against the same run without
// it (or barely scraped) measured at the same time:
//   metrics_bench scan SCANS       the scan's duration of an in-process
//                                  session with the endpoint, scraped ten
//                                  times a second during every other five
//                                  scans and idle during the rest
//   metrics_bench idle SECONDS LOG kelvara-log with period 60, scraped every
//                                  15 s as Prometheus does by default, beside
//                                  the same logger without --metrics: CPU
//   metrics_bench load SECONDS LOG kelvara-log scanning every second and
//                                  scraped 100 times a second, beside one
//                                  scraped once a second: scans that began
//                                  late on the tick grid, and the CPU
#include "BenchReport.h"

#include "acquisition/Session.h"
#include "metrics/MetricsServer.h"
#include "sim/SimBus.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <arpa/inet.h>
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

class TDurations : public TSessionListener {
public:
    std::vector<double> Ms;
    void ScanDone(const TScanRecord& record) override { Ms.push_back(double(record.DurationMs)); }
};

double Mean(const std::vector<double>& v)
{
    double sum = 0;
    for (double x : v) sum += x;
    return v.empty() ? NAN : sum / double(v.size());
}

int Scan(int scans)
{
    kelvara::test::TTempDir dir("kelvara-metrics-bench");
    TSessionConfig config;
    config.OffsetsPaths = {dir.Write("offset.txt", "0\n0\n0\n0\n0\n0\n0\n")};
    config.TimeEvents = false;
    config.Simulated = true;
    TSession session(config);
    TDurations seen;
    TMetricsServer server({"127.0.0.1", 0}, [&](TExposition f) { return RenderMetrics(session.Snapshot(), f); });
    std::atomic<bool> scraping{false};
    TScraper scraper(server.Port(), 100, {}, &scraping);
    session.CreateCmd();
    session.Connect({TSession::kSimulatedPort, "19200", "no"});
    session.Start("0");
    // The same session and bus on both sides: the scraper switches on and
    // off between scans, five scans at a time. The first scan meets the bus
    // starting and is left out.
    std::vector<double> on, off;
    while (on.size() < size_t(scans) || off.size() < size_t(scans)) {
        const size_t before = seen.Ms.size();
        session.WaitAndDeliver(seen, 1000);
        for (size_t k = std::max<size_t>(before, 1); k < seen.Ms.size(); ++k)
            (scraping ? on : off).push_back(seen.Ms[k]);
        scraping = seen.Ms.size() / 5 % 2 == 1;
    }
    Say("metrics_bench scan: mean %.2f ms scraped, %.2f ms not; medians %.1f / %.1f\n", Mean(on), Mean(off), Median(on),
        Median(off));
    Row("8a", "Metrics: a scan's duration, endpoint scraped 10 times a second (median)", Fmt(Median(on), "ms", 1),
        Fmt(Median(off), "ms", 1) + " (not scraped, same session)", Ratio(Median(on), Median(off)),
        std::to_string(on.size()) + " and " + std::to_string(off.size()) +
            " scans, alternating five at a time, in-process simulated bus; means " + Fmt(Mean(on), "ms", 1) + " / " +
            Fmt(Mean(off), "ms", 1));
    return 0;
}

// A logger on its own simulated bus; its metrics port when it serves them.
struct TLogger {
    sim::TSimBus Bus;
    TChildProcess Child;
    uint16_t Port = 0;
    std::map<std::string, double> CpuBefore;

    bool Start(const std::string& logger, const std::string& period, bool metrics)
    {
        Bus.Start();
        std::vector<std::string> argv = {logger, "--port", Bus.DevicePath(), "--parity", "no", "--period", period};
        if (metrics) argv.insert(argv.end(), {"--metrics", "0"});
        if (!Child.Start(argv)) return false;
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

int Idle(double seconds, const std::string& logger)
{
    TLogger plain, served;
    if (!plain.Start(logger, "60", false) || !served.Start(logger, "60", true)) return 1;
    Sleep(0.5);
    plain.Mark();
    served.Mark();
    {
        TScraper scraper(served.Port, 15000);
        Sleep(seconds);
    }
    const double p = plain.Cpu() / seconds * 3600, s = served.Cpu() / seconds * 3600;
    Row("8b", "Metrics: idle logger, period 60, scraped every 15 s, CPU per hour", Fmt(s, "s", 3),
        Fmt(p, "s", 3) + " (no --metrics, same time)", Ratio(s, p), "measured over " + Fmt(seconds, "s", 0));
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
    Row("8c", "Metrics: 100 scrapes a second, scans begun > 50 ms late", busyLate,
        calmLate + " (scraped once a second, same time)", "n/a",
        std::to_string(scrapes) + " scrapes in " + Fmt(seconds, "s", 0) + "; worst " + Fmt(busyWorst, "ms", 1) +
            " vs " + Fmt(calmWorst, "ms", 1));
    Row("8d", "Metrics: 100 scrapes a second, the logger's CPU", Fmt(busyCpu, "% of a core", 2),
        Fmt(calmCpu, "% of a core", 2) + " (scraped once a second)", Ratio(busyCpu, calmCpu), "scans every second");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> a(argv, argv + argc);
    if (a.size() == 3 && a[1] == "scan") return Scan(std::stoi(a[2]));
    if (a.size() == 4 && a[1] == "idle") return Idle(std::stod(a[2]), a[3]);
    if (a.size() == 4 && a[1] == "load") return Load(std::stod(a[2]), a[3]);
    std::fprintf(stderr, "usage: metrics_bench scan SCANS | idle SECONDS KELVARA_LOG | load SECONDS KELVARA_LOG\n");
    return 2;
}
