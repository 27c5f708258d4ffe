// The log's text, in one place for the window's pane, the logger's stdout and
// output file, the journal of a run and the saved file: a header line of
// tab-separated column names, then one line a scan, tab-separated too. The
// first field is the second of the run, the next seven the readings (or
// "NAN"), and a ninth, "clock", when the logger was asked for the wall-clock
// time of each scan.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara {

// Whether a line carries the wall-clock time its scan began, and in which zone.
enum class TClockField { None, Utc, Local };

// The time field: the second count zero-padded to at least four digits, so
// 5 is "0005" and 12345 stays "12345".
std::string TimeField(uint32_t second);

// The header of a log with or without the clock column: the channel table's
// header line ("time" and the seven names), and "\tclock" when there is one.
std::string LogHeader(const std::string& headerLine, TClockField clock);

// One log line: the time field, then each field after a tab, then, with a
// clock column, when the scan began (msSinceEpoch) in ISO 8601.
std::string LogLine(uint32_t second, const std::vector<std::string>& fields, TClockField clock, int64_t msSinceEpoch);

// Whether line (without its break) is a log line under header: as many
// tab-separated fields as the header has columns; a time field of four or
// more digits; readings that are "NAN", "INF", "-INF" or an optional minus,
// digits, a decimal separator ("." or ","), and exactly two digits; and,
// when the header's last column is "clock", an ISO 8601 time as FormatClock
// writes it there.
bool IsLogLine(std::string_view line, std::string_view header);

} // namespace kelvara
