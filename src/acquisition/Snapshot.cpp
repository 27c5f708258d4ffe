#include "acquisition/Snapshot.h"

namespace kelvara {

void TSessionSnapshot::SetTable(const TChannelTable& table)
{
    for (int i = 0; i < kSlots; ++i) {
        Channels[i].Name = table.ChanNames()[i];
        // A frame's first byte is the slave's address.
        const auto& frames = table.Frames();
        Channels[i].Slave = size_t(i) < frames.size() && !frames[i].empty() ? frames[i][0] : 0;
    }
}

void TSessionSnapshot::Add(const TScanRecord& record)
{
    for (int i = 0; i < kSlots; ++i) {
        TChannelSnapshot& channel = Channels[i];
        // An infinite ambient is logged as read but is no temperature.
        channel.Temperature = std::isfinite(record.Temperatures[i]) ? record.Temperatures[i] : NAN;
        channel.Status = record.Status[i];
        if (record.Status[i].LastOutcome == TExchangeOutcome::Ok) channel.LastGoodMs = record.StartMs;
    }
    ++Scans;
    LastScanMs = record.StartMs;
    LastScanDurationMs = record.DurationMs;
    LastScanSecond = record.Second;
}

} // namespace kelvara
