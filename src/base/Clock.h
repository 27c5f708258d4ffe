// Time as a lab log gives it: when a reading was taken, on the wall clock,
// and the steady clock that paces a run.
#pragma once

#include <cstdint>
#include <string>

namespace kelvara {

// Milliseconds since the epoch, as the system clock tells them now.
int64_t SystemTimeMs();
// Milliseconds of the monotonic clock, which no one sets, and which goes on
// while the system is suspended: CLOCK_BOOTTIME; on Windows the interrupt
// time (the tick count where the system cannot read that precisely).
int64_t MonotonicMs();

// The wall-clock time of a run: the system's time when the run started,
// carried forward by the monotonic clock. The times of one run therefore
// never go back, also when the system clock is set back during it, and keep
// up with the wall clock across a suspend.
class TRunClock {
public:
    void Start();
    int64_t NowMs() const;

private:
    int64_t startWall_ = 0;
    int64_t startMono_ = 0;
};

// ISO 8601 with milliseconds and the offset: "2026-12-09T12:03:01.250Z" in
// UTC, or "2026-12-09T13:03:01.250+01:00" in the local zone (TZ), with the
// offset in force at that moment, so daylight saving shows as it changes.
std::string FormatClock(int64_t msSinceEpoch, bool utc);

// A moment in UTC as file names take it: "2026-12-09T120301Z".
std::string FileTimeStamp(int64_t msSinceEpoch);

} // namespace kelvara
