// What a look at a run from outside sees (the metrics endpoint): the session
// keeps one under its lock, brings it up to date after each scan and each
// change of the port, and hands out copies, so that a reader never waits for
// a scan and a scan never waits for a reader longer than a copy takes.
#pragma once

#include "acquisition/ChannelTable.h"
#include "acquisition/ScanRecord.h"
#include "alarm/AlarmMachine.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <string>

namespace kelvara {

struct TChannelSnapshot {
    std::string Name;
    int Slave = 0; // the slave address the channel is polled at
    // In °C as the last scan logged it. NaN when the last scan had no
    // temperature for the channel (a silent slave, a wrong reply, a port
    // away, a thermocouple out of its table), so that an older value never
    // passes for a current one.
    float Temperature = NAN;
    TChannelStatus Status;
    // When the last scan that read a value from the slave began, in ms since
    // the epoch; 0 for never.
    int64_t LastGoodMs = 0;
};

struct TSessionSnapshot {
    static constexpr int kSlots = TChannelTable::kSlots;

    std::array<TChannelSnapshot, kSlots> Channels{};
    bool PortUp = false;
    uint64_t Scans = 0;             // scans completed since the session began
    int64_t LastScanMs = 0;         // when the last scan began (ms since the epoch), 0 before the first
    int64_t LastScanDurationMs = 0; // its duration
    uint32_t LastScanSecond = 0;    // the second of the run it logged
    TAlarmSnapshot Alarms;          // the latest run's alarms, as the session keeps them

    // The channels' names and slave addresses, from a built table.
    void SetTable(const TChannelTable& table);
    // A scan came to record.
    void Add(const TScanRecord& record);
};

} // namespace kelvara
