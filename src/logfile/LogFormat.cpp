#include "logfile/LogFormat.h"

#include "base/Clock.h"

#include <algorithm>
#include <cstdio>

namespace kelvara {

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool AllDigits(std::string_view s)
{
    for (char c : s)
        if (!IsDigit(c)) return false;
    return !s.empty();
}

// What FormatReading writes.
bool IsReading(std::string_view field)
{
    if (field == "NAN" || field == "INF" || field == "-INF") return true;
    if (field.starts_with('-')) field.remove_prefix(1);
    const size_t point = field.find_first_of(".,");
    return point != std::string_view::npos && point + 3 == field.size() && AllDigits(field.substr(0, point)) &&
           AllDigits(field.substr(point + 1));
}

// What FormatClock writes: "2026-12-09T12:03:01.250" and "Z" or an offset
// such as "+01:00".
bool IsClock(std::string_view field)
{
    constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd.ddd";
    if (field.size() < kShape.size()) return false;
    for (size_t i = 0; i < kShape.size(); ++i)
        if (kShape[i] == 'd' ? !IsDigit(field[i]) : field[i] != kShape[i]) return false;
    const std::string_view zone = field.substr(kShape.size());
    return zone == "Z" || (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && IsDigit(zone[1]) &&
                           IsDigit(zone[2]) && zone[3] == ':' && IsDigit(zone[4]) && IsDigit(zone[5]));
}

} // namespace

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

bool IsLogLine(std::string_view line, std::string_view header)
{
    const size_t lastTab = header.rfind('\t');
    const size_t columns = 1 + static_cast<size_t>(std::count(header.begin(), header.end(), '\t'));
    const bool clock = lastTab != std::string_view::npos && header.substr(lastTab + 1) == "clock";
    size_t field = 0;
    for (size_t pos = 0;; ++field) {
        const size_t tab = line.find('\t', pos);
        const std::string_view text = line.substr(pos, tab == std::string_view::npos ? tab : tab - pos);
        if (field >= columns) return false;
        const bool ok = field == 0                      ? text.size() >= 4 && AllDigits(text)
                        : clock && field + 1 == columns ? IsClock(text)
                                                        : IsReading(text);
        if (!ok) return false;
        if (tab == std::string_view::npos) break;
        pos = tab + 1;
    }
    return field + 1 == columns;
}

} // namespace kelvara
