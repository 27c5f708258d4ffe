#include "base/Clock.h"

#include <cstdio>
#include <ctime>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kelvara {

namespace {

int64_t Ms(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

#ifdef _WIN32
// Milliseconds since the system started, counting the time it slept or
// hibernated: documented for the interrupt time and the tick count, not for
// the performance counter. Windows 10 reads the interrupt time to its full
// resolution; older systems (and Wine) lack that call, and their tick count
// moves in clock ticks of about 16 ms.
int64_t InterruptTimeMs()
{
    using TQuery = VOID(WINAPI*)(PULONGLONG);
    static const TQuery precise = [] {
        for (const wchar_t* module : {L"kernelbase.dll", L"kernel32.dll"}) {
            const HMODULE dll = GetModuleHandleW(module);
            // Through void(*)(), the cast that declares the types unrelated.
            const auto found =
                reinterpret_cast<void (*)()>(dll ? GetProcAddress(dll, "QueryInterruptTimePrecise") : nullptr);
            if (found) return reinterpret_cast<TQuery>(found);
        }
        return TQuery(nullptr);
    }();
    if (!precise) return static_cast<int64_t>(GetTickCount64());
    ULONGLONG hundredNs = 0;
    precise(&hundredNs);
    return static_cast<int64_t>(hundredNs / 10000);
}
#endif

// Whole seconds and milliseconds, with the milliseconds never negative.
void Split(int64_t ms, time_t& seconds, int& millis)
{
    int64_t s = ms / 1000;
    int64_t r = ms % 1000;
    if (r < 0) {
        r += 1000;
        --s;
    }
    seconds = static_cast<time_t>(s);
    millis = static_cast<int>(r);
}

#ifdef _WIN32
void gmtime_r(const time_t* seconds, tm* t)
{
    gmtime_s(t, seconds);
}

void localtime_r(const time_t* seconds, tm* t)
{
    localtime_s(t, seconds);
}
#endif

// Seconds east of UTC of the local time t, which stands for the moment seconds.
long OffsetOf(const tm& t, time_t seconds)
{
#ifdef _WIN32
    // No tm_gmtoff: the local time read as if it were UTC, less the moment.
    tm local = t;
    return static_cast<long>(_mkgmtime(&local) - seconds);
#else
    (void)seconds;
    return t.tm_gmtoff;
#endif
}

} // namespace

int64_t SystemTimeMs()
{
    return Ms(CLOCK_REALTIME);
}

int64_t MonotonicMs()
{
#ifdef _WIN32
    return InterruptTimeMs();
#else
    // CLOCK_MONOTONIC stands still while the system is suspended; the
    // boot-time clock is the same clock with that time counted.
    return Ms(CLOCK_BOOTTIME);
#endif
}

void TRunClock::Start()
{
    startWall_ = SystemTimeMs();
    startMono_ = MonotonicMs();
}

int64_t TRunClock::NowMs() const
{
    return startWall_ + (MonotonicMs() - startMono_);
}

std::string FormatClock(int64_t msSinceEpoch, bool utc)
{
    time_t seconds = 0;
    int millis = 0;
    Split(msSinceEpoch, seconds, millis);
    tm t{};
    if (utc)
        gmtime_r(&seconds, &t);
    else
        localtime_r(&seconds, &t);
    char text[96]; // room for any int, so the compiler can tell nothing is cut
    int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", t.tm_year + 1900, t.tm_mon + 1,
                          t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, millis);
    if (utc) return std::string(text, static_cast<size_t>(n)) + "Z";
    const long offset = OffsetOf(t, seconds);
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60,
                  minutes % 60);
    return text;
}

std::string FileTimeStamp(int64_t msSinceEpoch)
{
    time_t seconds = 0;
    int millis = 0;
    Split(msSinceEpoch, seconds, millis);
    tm t{};
    gmtime_r(&seconds, &t);
    char text[80]; // room for any int, so the compiler can tell nothing is cut
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d%02d%02dZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

} // namespace kelvara
