#include "base/Clock.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <ctime>

namespace kelvara {
namespace {

// 2026-03-29 01:00:00 UTC: clocks in central Europe go from 02:00 to 03:00.
constexpr int64_t kSpringForwardMs = 1774746000000;

// The local time and its offset come from the system's time zone, which CTest
// sets to central Europe for this program (Wine takes it from TZ).
TEST(ClockWin32, IsoTextInTheSystemsZoneAcrossDaylightSaving)
{
    // The C runtime would read a TZ variable in a format of its own, with
    // US daylight-saving rules; without one it follows the system's zone.
    _putenv_s("TZ", "");
    _tzset();
    DYNAMIC_TIME_ZONE_INFORMATION zone{};
    GetDynamicTimeZoneInformation(&zone);
    // UTC+1, and an hour more from the last Sunday in March.
    const bool centralEurope = zone.Bias == -60 && zone.DaylightBias == -60 && zone.DaylightDate.wMonth == 3;
    if (!centralEurope) GTEST_SKIP() << "the system's zone is not central Europe";
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
    };
    for (const TCase& c : cases) EXPECT_EQ(FormatClock(c.Ms, c.Utc), c.Text) << c.Ms;
    EXPECT_EQ(FileTimeStamp(kSpringForwardMs + 999), "2026-03-29T010000Z");
}

} // namespace
} // namespace kelvara
