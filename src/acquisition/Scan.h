// The scan cycle: the one-second tick counts the seconds of a run, and when a
// scan is due it polls every channel, converts the six thermocouples against
// the cold junction, and makes the scan's record: the readings, the reading
// list and the log line. It runs on the session's thread and reaches nothing
// but the channel table and the reader.
#pragma once

#include "acquisition/ChannelTable.h"
#include "acquisition/ScanRecord.h"
#include "acquisition/Transaction.h"
#include "base/Clock.h"
#include "logfile/LogFormat.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kelvara {

class TScanCycle {
public:
    static constexpr int kSettleMs = 20; // pause before the first request of a scan
    using TSleep = std::function<void(int ms)>;

    // sleep waits the settle time; none is a plain sleep of the thread.
    TScanCycle(const TChannelTable& table, TChannelReaderBase& reader, TClockField clock = TClockField::None,
               TSleep sleep = {});

    // Run start: the period, both counters 0, and one empty reading-list
    // line per request frame.
    void StartRun(uint16_t period);
    // Run stop: the count goes back to 0.
    void StopRun();

    // The tick's first half: the count advances. True when a scan is due.
    bool Advance();
    // The tick's second half, when a scan is due: the scan, after which the
    // next due moment is the period further on the grid. Raises what the
    // scan raises, and the moment then stays, so the next tick retries.
    TScanRecord ScanDue(bool offsetCorrection);
    // One scan: polls every frame and makes the record.
    TScanRecord ScanAll(bool offsetCorrection);

    uint32_t SecCount() const { return sec_count; }
    uint16_t Period() const { return period; }
    uint32_t Moment() const { return moment; }
    uint64_t Scans() const { return scans_; }
    const std::array<TChannelStatus, TChannelTable::kSlots>& Status() const { return status_; }
    const std::vector<std::string>& ListLines() const { return listLines_; }

private:
    std::string FieldFor(int i, float t, bool outOfRange);
    void MarkRange(int i, bool outOfRange, std::vector<std::string>& notices);
    void SetLine(int i, const std::string& text);

    const TChannelTable& table_;
    TChannelReaderBase& reader_;
    TClockField clock_;
    TSleep sleep_;
    // The run counters. The count is wider than 16 bits, so a run goes on
    // past 65535 seconds (18 h 12 min) and its time field grows a digit.
    uint32_t sec_count = 0;
    uint16_t period = 0;
    uint32_t moment = 0;
    std::array<float, TChannelTable::kSlots> readings{};
    std::array<TChannelStatus, TChannelTable::kSlots> status_{};
    std::vector<std::string> listLines_;
    uint64_t scans_ = 0;
    TRunClock runClock_;
};

} // namespace kelvara
