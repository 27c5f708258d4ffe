#include "base/Clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace kelvara {
namespace {

// Sets TZ for one test and gives the old value back on every path.
class TZone {
public:
    explicit TZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TZone()
    {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> old_;
};

// 2026-03-29 01:00:00 UTC: clocks in central Europe go from 02:00 to 03:00.
constexpr int64_t kSpringForwardMs = 1774746000000;

TEST(Clock, IsoTextInUtcAndInALocalZoneAcrossDaylightSaving)
{
    TZone berlin("Europe/Berlin");
    struct TCase {
        int64_t Ms;
        bool Utc;
        const char* Text;
    };
    const TCase cases[] = {
        {kSpringForwardMs - 1, true, "2026-03-29T00:59:59.999Z"},
        {kSpringForwardMs - 1, false, "2026-03-29T01:59:59.999+01:00"},
        {kSpringForwardMs, false, "2026-03-29T03:00:00.000+02:00"},
        {kSpringForwardMs + 250, true, "2026-03-29T01:00:00.250Z"},
        {0, true, "1970-01-01T00:00:00.000Z"},
        {-1, true, "1969-12-31T23:59:59.999Z"},
    };
    for (const TCase& c : cases) EXPECT_EQ(FormatClock(c.Ms, c.Utc), c.Text) << c.Ms;
    {
        TZone newYork("America/New_York");
        EXPECT_EQ(FormatClock(kSpringForwardMs, false), "2026-03-28T21:00:00.000-04:00");
    }
    EXPECT_EQ(FileTimeStamp(kSpringForwardMs + 999), "2026-03-29T010000Z");
}

TEST(Clock, ARunsClockFollowsTheSystemClockAndNeverGoesBack)
{
    TRunClock clock;
    const int64_t before = SystemTimeMs();
    clock.Start();
    const int64_t first = clock.NowMs();
    const int64_t after = SystemTimeMs();
    // Both clocks are read in whole milliseconds: one of rounding either way.
    EXPECT_GE(first, before - 1);
    EXPECT_LE(first, after + 1);
    int64_t last = first;
    for (int k = 0; k < 100000; ++k) {
        const int64_t now = clock.NowMs();
        ASSERT_GE(now, last);
        last = now;
    }
}

// A test cannot suspend the machine; a time namespace whose boot-time clock
// runs a day ahead of its monotonic clock is a machine that slept a day, and
// the run's clock must read the boot-time clock there.
TEST(Clock, TheRunsClockCountsTheTimeTheMachineWasSuspended)
{
    const pid_t child = fork();
    if (child == 0) {
        // The offset holds for the children made after it. Without the
        // privilege, a user namespace of its own may give it.
        if (unshare(CLONE_NEWTIME) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWTIME) != 0) _exit(2);
        const int fd = open("/proc/self/timens_offsets", O_WRONLY);
        if (fd < 0 || write(fd, "boottime 86400 0\n", 17) != 17) _exit(2);
        if (fork() == 0) {
            timespec boot{};
            clock_gettime(CLOCK_BOOTTIME, &boot);
            _exit(MonotonicMs() >= int64_t(boot.tv_sec) * 1000 ? 0 : 1);
        }
        int status = 1;
        _exit(wait(&status) > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }
    int status = 1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2) GTEST_SKIP() << "no time namespace to be had here";
    EXPECT_EQ(status, 0) << "the run's clock stops while the machine is suspended";
}

} // namespace
} // namespace kelvara
