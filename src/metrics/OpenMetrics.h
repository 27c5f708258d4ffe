// A run's metrics as a Prometheus server scrapes them: rendered from a
// session's snapshot in the OpenMetrics text format, or in Prometheus's
// older text format for a client that does not ask for OpenMetrics (curl,
// promtool). Names follow Prometheus's conventions: the "kelvara_" prefix,
// base units (seconds, degrees Celsius) as suffixes, counters ending in
// "_total". Pure: no clock, no I/O.
#pragma once

#include "acquisition/Snapshot.h"

#include <string>
#include <string_view>

namespace kelvara {

enum class TExposition { OpenMetrics, Text };

// The format a scraper asks for with its Accept header.
TExposition ExpositionFor(std::string_view accept);
// The Content-Type of a page in that format.
const char* ContentTypeOf(TExposition format);

// The page for snapshot. A channel's temperature is served only while its
// last scan had one: a silent slave's series leaves the temperature out,
// and its staleness shows in its up gauge and its last good reading's time.
// Each alarm of the latest run's rules is a state set: one series per
// state, 1 for the state it is in.
std::string RenderMetrics(const TSessionSnapshot& snapshot, TExposition format);

// A label value as both formats write it between double quotes: backslash,
// double quote and line feed escaped with a backslash.
std::string EscapeLabelValue(std::string_view value);

// The label value of an exchange outcome: its name in lower case, blanks as
// underscores ("bad_crc", "no_port").
std::string ResultLabel(TExchangeOutcome outcome);

} // namespace kelvara
