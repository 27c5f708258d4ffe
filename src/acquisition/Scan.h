// The scan cycle: the one-second tick counts the seconds of a run, and when a
// scan is due it polls every channel, converts the six thermocouples against
// the cold junction, refreshes the reading list and appends one log line.
// The cycle reaches its surroundings only through TScanHost, so the window
// and the headless logger are two hosts of one scan.
#pragma once

#include "acquisition/ChannelTable.h"
#include "acquisition/Transaction.h"
#include "base/Clock.h"

#include <array>
#include <cstdint>
#include <string>

namespace kelvara {

class TScanHost {
public:
    virtual ~TScanHost() = default;
    virtual void ShowTime(const std::string& caption) = 0;            // the seconds label
    virtual void SetListLine(int index, const std::string& text) = 0; // replace a reading-list line
    virtual void AppendLogLine(const std::string& line) = 0;          // one new last line of the log
    virtual bool OffsetCorrection() = 0;                              // the "offset corr" switch
    virtual void ProcessMessages() = 0;                               // hand out pending events
    // Whether ProcessMessages hands out anything: a window's host does, and
    // then also gets to inside the waits for a slave's reply.
    virtual bool HandsOutEvents() { return false; }
    virtual void Sleep(int ms) = 0;
    // A channel went out of (or back into) its conversion table; told once
    // per change, not once per tick.
    virtual void Notice(const std::string& text) = 0;
    // The device went away during a run (second of the run, the system's
    // reason), and came back. Hosts that do not run a session ignore them.
    virtual void PortLost(uint32_t /*second*/, const std::string& /*reason*/) {}
    virtual void PortBack(uint32_t /*second*/) {}
    // The run's journal could not be written (told once a run); the run
    // goes on without it.
    virtual void JournalFailed(const std::string& /*text*/) {}
};

// Per-channel record of exchanges, for the window and the logger to show.
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

class TScanCycle {
public:
    static constexpr int kSettleMs = 20; // pause before the first request of a scan

    TScanCycle(const TChannelTable& table, TChannelReaderBase& reader, TScanHost& host);

    // Run start: period, both counters 0, the time label "0", and one empty
    // reading-list line per request frame (the caller empties the list first).
    void StartRun(uint16_t period);
    // Run stop: the count goes back to 0; a scan in progress still completes.
    void StopRun();

    // One tick of the one-second timer. Raises what a due scan raises.
    void Timer1Timer();
    // One scan: polls every frame, updates the reading list, returns the line.
    std::string ScanAll();

    bool Scanning() const { return scanning_; }
    uint32_t sec_count = 0;
    uint16_t period = 0;
    uint32_t moment = 0;
    std::array<float, TChannelTable::kSlots> readings{};
    // The last scan's temperatures in °C (NaN for no reading, and for a
    // thermocouple out of the table; the ambient as read) and which channels
    // were out of the table.
    std::array<float, TChannelTable::kSlots> temperatures{};
    std::array<bool, TChannelTable::kSlots> outOfRange{};
    std::array<TChannelStatus, TChannelTable::kSlots> status{};
    uint64_t scans = 0; // scans completed
    // When the last scan's first request went out, on the run's wall clock
    // (milliseconds since the epoch).
    int64_t scanTimeMs = 0;
    uint64_t ticksInScan = 0; // ticks that arrived while a scan ran

private:
    std::string FieldFor(int i, float t, bool outOfRange);
    void MarkRange(int i, bool outOfRange);
    void SetLine(int i, const std::string& text);

    const TChannelTable& table_;
    TChannelReaderBase& reader_;
    TScanHost& host_;
    size_t listLines_;
    bool scanning_ = false;
    uint64_t runGeneration_ = 0;
    TRunClock runClock_;
};

} // namespace kelvara
