// What one scan came to, as the session hands it to the journal, the trend,
// the alarms, the metrics and the front end: made once, on the session's
// thread, and read everywhere else.
#pragma once

#include "acquisition/ChannelTable.h"
#include "modbus/ReadInputRegisters.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvara {

// A channel's record of exchanges over the run so far.
struct TChannelStatus {
    TExchangeOutcome LastOutcome = TExchangeOutcome::None;
    int LastExceptionCode = 0;
    bool OutOfRange = false;
    std::array<uint64_t, kOutcomeCount> Counts{};
};

// What a channel's last scan came to, at a glance: a reading, a silent
// slave, a reply that was wrong or an exception, or a reading outside the
// type K table.
enum class TChannelState { None, Ok, Silent, BadReply, OutOfRange };
TChannelState StateOf(const TChannelStatus& status);

// "ok 12 silent 3 exception 1": the outcomes that occurred, with their counts.
std::string DescribeCounts(const TChannelStatus& status);
// The last outcome ("silent", "exception 02", ...) and the counts, for a tooltip.
std::string DescribeStatus(const TChannelStatus& status);

struct TScanRecord {
    static constexpr int kSlots = TChannelTable::kSlots;

    uint64_t Run = 0;       // the run that began the scan, counted from 1 in a session
    uint32_t Second = 0;    // the second of the run whose tick scanned
    int64_t StartMs = 0;    // when the first request went out, on the run's wall clock
    int64_t DurationMs = 0; // from the settle's start to the last reply
    // As the slaves sent them: EMF in mV, the ambient in °C; NaN for none.
    std::array<float, kSlots> Readings{};
    // In °C as logged, after offsets: NaN for no reading and for a
    // thermocouple out of the type K table; the ambient as read, unless it
    // is infinite.
    std::array<float, kSlots> Temperatures{};
    std::array<bool, kSlots> OutOfRange{};
    // Each channel's outcome of this scan, and its counts since the session
    // began (they never go back, across runs too).
    std::array<TChannelStatus, kSlots> Status{};
    // The reading list after the scan, one line per request frame: a channel
    // that gave no reading keeps the line of its last reading in this run.
    std::vector<std::string> ListLines;
    // A channel went out of, or back into, its conversion table.
    std::vector<std::string> Notices;
    // The log line, with the clock field when the session logs one.
    std::string Line;
};

} // namespace kelvara
