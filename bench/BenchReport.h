// Shared by the measuring programs: order statistics, the monotonic clock,
// process figures from /proc, and the one output format that scripts/bench.sh
// gathers into a single table. Every result line reads
//   ROW<TAB>key<TAB>what<TAB>kelvara<TAB>reference<TAB>ratio<TAB>note
// and the key orders the rows of the table.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace kbench {

inline double NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

inline double Median(std::vector<double> v)
{
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline double Worst(const std::vector<double>& v)
{
    return v.empty() ? NAN : *std::max_element(v.begin(), v.end());
}

inline std::string Fmt(double value, const char* unit, int decimals = 1)
{
    if (std::isnan(value)) return "n/a";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f%s%s", decimals, value, *unit ? " " : "", unit);
    return buf;
}

inline std::string Ratio(double kelvara, double reference)
{
    if (std::isnan(kelvara) || std::isnan(reference) || reference <= 0) return "n/a";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", kelvara / reference);
    return buf;
}

inline void Row(const std::string& key, const std::string& what, const std::string& kelvara,
                const std::string& reference, const std::string& ratio, const std::string& note = "")
{
    std::printf("ROW\t%s\t%s\t%s\t%s\t%s\t%s\n", key.c_str(), what.c_str(), kelvara.c_str(), reference.c_str(),
                ratio.c_str(), note.c_str());
    std::fflush(stdout);
}

// Progress and detail for the person running the benchmarks: stderr, so
// stdout stays the rows alone.
__attribute__((format(printf, 1, 2))) inline void Say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fflush(stderr);
}

// Resident memory of a process in KiB (VmRSS), 0 when unknown.
inline long RssKiB(pid_t pid = 0)
{
    std::ifstream in(pid ? "/proc/" + std::to_string(pid) + "/status" : std::string("/proc/self/status"));
    std::string key;
    while (in >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            in >> kib;
            return kib;
        }
        std::getline(in, key);
    }
    return 0;
}

// CPU seconds of each live thread of a process, by thread id, from the
// scheduler's nanosecond accounting (/proc/<pid>/task/<tid>/schedstat): far
// finer than the clock ticks of /proc/<pid>/stat, which matters for
// processes that use milliseconds per minute. Empty when it cannot be read.
inline std::map<std::string, double> ThreadCpuSeconds(pid_t pid)
{
    std::map<std::string, double> threads;
    std::error_code ec;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(dir, ec)) {
        std::ifstream in(task.path() / "schedstat");
        unsigned long long ns = 0;
        if (in >> ns) threads[task.path().filename().string()] = double(ns) / 1e9;
    }
    return threads;
}

// CPU seconds a process used between two samples: the growth of the threads
// seen in both plus all of the threads that started in between. A thread
// that ended in between (a pool thread expiring) takes its last share with
// it; for an idle process that share is nil.
inline double CpuBetween(const std::map<std::string, double>& before, const std::map<std::string, double>& after)
{
    if (before.empty() || after.empty()) return NAN;
    double total = 0;
    for (const auto& [tid, seconds] : after) {
        const auto was = before.find(tid);
        total += was == before.end() ? seconds : seconds - was->second;
    }
    return total;
}

inline bool Quick()
{
    const char* q = std::getenv("BENCH_QUICK");
    return q && *q && std::string(q) != "0";
}

} // namespace kbench
