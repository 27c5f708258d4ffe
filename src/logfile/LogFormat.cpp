#include "logfile/LogFormat.h"

#include "base/Clock.h"

#include <cstdio>

namespace kelvara {

std::string TimeField(uint32_t second)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%.4u", second);
    return buf;
}

std::string LogHeader(const std::string& headerLine, TClockField clock)
{
    return clock == TClockField::None ? headerLine : headerLine + "\tclock";
}

std::string LogLine(uint32_t second, const std::vector<std::string>& fields, TClockField clock, int64_t msSinceEpoch)
{
    std::string line = TimeField(second);
    for (const std::string& field : fields) {
        line += '\t';
        line += field;
    }
    if (clock != TClockField::None) {
        line += '\t';
        line += FormatClock(msSinceEpoch, clock == TClockField::Utc);
    }
    return line;
}

} // namespace kelvara
