#include "logfile/LogFormat.h"

#include "base/Text.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kelvara {
namespace {

const std::string Header = "time\tTC_1\tTC_2\tT__A";
const std::string ClockHeader = Header + "\tclock";

// A line as the scan writes it, the readings as FormatReading writes them.
std::string Written(TClockField clock, const std::string& separator)
{
    TLocaleSettings locale;
    locale.DecimalSeparator = separator;
    std::vector<std::string> fields;
    for (float v : {-0.004f, NAN, 1234567.0f}) fields.push_back(FormatReading(v, locale));
    return LogLine(123456, fields, clock, 1796817781250);
}

TEST(LogFormat, ALogLineIsWhatTheScanWrites)
{
    struct TCase {
        std::string Line;
        const std::string& Header;
        bool IsLog;
    };
    const TCase cases[] = {
        {Written(TClockField::None, "."), Header, true},
        {Written(TClockField::None, ","), Header, true},
        {Written(TClockField::Utc, "."), ClockHeader, true},
        {Written(TClockField::Local, "."), ClockHeader, true},
        {"0001\t-INF\tINF\t2.00\t2026-12-09T08:33:01.250-03:30", ClockHeader, true},
        {Written(TClockField::Utc, "."), Header, false},
        {"0001\t1.00\t1.00", Header, false},
        {"001\t1.00\t1.00\t1.00", Header, false},
        {"0001\t1.0\t1.00\t1.00", Header, false},
        {"0001\tnan\t1.00\t1.00", Header, false},
        {"0001\t1.00\t1.00\t1.00\t2026-12-09T12:03:01.250", ClockHeader, false},
    };
    for (const TCase& c : cases) EXPECT_EQ(IsLogLine(c.Line, c.Header), c.IsLog) << c.Line;
}

} // namespace
} // namespace kelvara
