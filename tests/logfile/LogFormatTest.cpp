#include "logfile/LogFormat.h"

#include "base/Text.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kelvara {
namespace {

const std::string Header = "time\tTC_1\tTC_2\tTC_3\tTC_4\tTC_5\tTC_6\tT__A";
const std::string ClockHeader = Header + "\tclock";
// 2026-12-09 12:03:01.250 UTC
constexpr int64_t kScanMs = 1796817781250;

// A line as the scan writes it, with the readings as FormatReading writes them.
std::string Written(uint32_t second, const std::vector<float>& values, TClockField clock, const std::string& separator)
{
    TLocaleSettings locale;
    locale.DecimalSeparator = separator;
    std::vector<std::string> fields;
    for (float v : values) fields.push_back(FormatReading(v, locale));
    return LogLine(second, fields, clock, kScanMs);
}

TEST(LogFormat, ALogLineIsWhatTheScanWrites)
{
    const std::vector<float> values = {21.5f, -0.004f, NAN, INFINITY, -INFINITY, 1234567.0f, 0.0f};
    struct TCase {
        const char* Name;
        std::string Line;
        const std::string& Header;
        bool IsLog;
    };
    const TCase cases[] = {
        {"written", Written(5, values, TClockField::None, "."), Header, true},
        {"written, decimal comma", Written(123456, values, TClockField::None, ","), Header, true},
        {"written with the clock in UTC", Written(5, values, TClockField::Utc, "."), ClockHeader, true},
        {"written with the local clock", Written(5, values, TClockField::Local, "."), ClockHeader, true},
        {"a clock column the header lacks", Written(5, values, TClockField::Utc, "."), Header, false},
        {"no clock column the header has", Written(5, values, TClockField::None, "."), ClockHeader, false},
        {"a field short", "0001\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00", Header, false},
        {"an empty field more", "0001\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00\t", Header, false},
        {"an empty line", "", Header, false},
        {"a time field of three digits", "001\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00", Header, false},
        {"a sign on the time", "-0001\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00", Header, false},
        {"one decimal", "0001\t1.0\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00", Header, false},
        {"three decimals", "0001\t1.000\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00", Header, false},
        {"no integer digits", "0001\t.50\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00", Header, false},
        {"a plus sign", "0001\t+1.00\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00", Header, false},
        {"lower-case nan", "0001\tnan\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00", Header, false},
        {"an exponent", "0001\t1e3\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00", Header, false},
        {"a blank", "0001\t1.00 \t1.00\t1.00\t1.00\t1.00\t1.00\t1.00", Header, false},
        {"a CR left over", "0001\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00\r", Header, false},
        {"a clock without milliseconds", "0001\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00\t2026-12-09T12:03:01Z",
         ClockHeader, false},
        {"a clock without its zone", "0001\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00\t2026-12-09T12:03:01.250",
         ClockHeader, false},
        {"a clock with a blank for T", "0001\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00\t2026-12-09 12:03:01.250Z",
         ClockHeader, false},
        {"a clock behind UTC", "0001\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00\t2026-12-09T08:33:01.250-03:30",
         ClockHeader, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(IsLogLine(c.Line, c.Header), c.IsLog) << c.Line;
    }
}

} // namespace
} // namespace kelvara
