#include "acquisition/Scan.h"

#include "base/Errors.h"
#include "thermo/TypeK.h"

#include <cmath>
#include <cstdio>

namespace kelvara {

namespace {

// Clears a flag when the scan ends, also when it ends with an exception.
class TScanGuard {
public:
    explicit TScanGuard(bool& flag) : flag_(flag) { flag_ = true; }
    ~TScanGuard() { flag_ = false; }
    TScanGuard(const TScanGuard&) = delete;
    TScanGuard& operator=(const TScanGuard&) = delete;

private:
    bool& flag_;
};

std::string TimeField(uint32_t seconds)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%.4u", seconds);
    return buf;
}

} // namespace

TChannelState StateOf(const TChannelStatus& status)
{
    if (status.OutOfRange) return TChannelState::OutOfRange;
    switch (status.LastOutcome) {
    case TExchangeOutcome::None: return TChannelState::None;
    case TExchangeOutcome::Ok: return TChannelState::Ok;
    case TExchangeOutcome::Silent: return TChannelState::Silent;
    default: return TChannelState::BadReply;
    }
}

std::string DescribeCounts(const TChannelStatus& status)
{
    std::string text;
    for (int k = 1; k < kOutcomeCount; ++k) {
        if (!status.Counts[k]) continue;
        if (!text.empty()) text += ' ';
        text += OutcomeName(static_cast<TExchangeOutcome>(k));
        text += ' ' + std::to_string(status.Counts[k]);
    }
    return text;
}

std::string DescribeStatus(const TChannelStatus& status)
{
    if (status.LastOutcome == TExchangeOutcome::None) return "no exchange yet";
    std::string text = std::string("last exchange: ") + OutcomeName(status.LastOutcome);
    if (status.LastOutcome == TExchangeOutcome::Exception) {
        char code[8];
        std::snprintf(code, sizeof code, " %02X", status.LastExceptionCode & 0xFF);
        text += code;
    }
    return text + "; " + DescribeCounts(status);
}

TScanCycle::TScanCycle(const TChannelTable& table, TChannelReaderBase& reader, TScanHost& host)
    : table_(table), reader_(reader), host_(host), listLines_(table.frameLines.size())
{
    readings.fill(NoReading());
}

void TScanCycle::StartRun(uint16_t newPeriod)
{
    period = newPeriod;
    sec_count = 0;
    moment = 0;
    ++runGeneration_;
    runClock_.Start();
    host_.ShowTime(std::to_string(sec_count));
    listLines_ = table_.frameLines.size();
    for (size_t i = 0; i < listLines_; ++i) host_.SetListLine(static_cast<int>(i), "");
}

void TScanCycle::SetLine(int i, const std::string& text)
{
    // A table built only in part has fewer list lines than channels.
    if (static_cast<size_t>(i) < listLines_) host_.SetListLine(i, text);
}

void TScanCycle::StopRun()
{
    sec_count = 0;
}

void TScanCycle::Timer1Timer()
{
    ++sec_count;
    host_.ShowTime(std::to_string(sec_count));
    // A tick that arrives while a scan hands out events is counted but starts
    // no scan of its own: the scan in progress owns the channel and the
    // buffers. The next due scan runs at the first tick after it, on the grid.
    if (scanning_) {
        ++ticksInScan;
        return;
    }
    if (sec_count < moment) return;
    const uint64_t generation = runGeneration_;
    const std::string line = ScanAll();
    host_.AppendLogLine(line);
    // A run restarted from inside the scan has its own grid from 0.
    if (generation == runGeneration_) moment += period;
}

void TScanCycle::MarkRange(int i, bool outOfRange)
{
    TChannelStatus& s = status[i];
    if (s.OutOfRange == outOfRange) return;
    s.OutOfRange = outOfRange;
    host_.Notice(table_.chanNames[i] +
                 (outOfRange ? ": reading out of the type K table range" : ": reading back in range"));
}

std::string TScanCycle::ScanAll()
{
    TScanGuard guard(scanning_);
    host_.Sleep(kSettleMs);
    std::string line = TimeField(sec_count);

    // Positions the table has no frame for read NaN.
    readings.fill(NoReading());
    scanTimeMs = runClock_.NowMs();
    for (size_t i = 0; i < table_.cmdList.size(); ++i) {
        const float value = reader_.ReadChannel(table_.cmdList[i]);
        if (i >= readings.size()) throw ERangeError();
        readings[i] = value;
        TChannelStatus& s = status[i];
        s.LastOutcome = reader_.LastOutcome();
        s.LastExceptionCode = reader_.LastExceptionCode();
        ++s.Counts[static_cast<size_t>(s.LastOutcome)];
        host_.ProcessMessages();
    }

    // From here to the end no event runs, so the switch has one state for the
    // whole conversion.
    const bool correct = host_.OffsetCorrection();
    float ambient = readings[TChannelTable::kAmbient];
    if (correct) ambient = ambient - table_.chanOffsets[TChannelTable::kAmbient];

    // An ambient outside the cold-junction table leaves the thermocouples
    // without compensation: they read NaN, the ambient keeps its value.
    float cjEmf = NoReading();
    bool ambientOutOfRange = false;
    try {
        cjEmf = CjTempToEmf(ambient);
    } catch (const ERangeError&) {
        ambientOutOfRange = true;
    }

    for (int i = 0; i < TChannelTable::kAmbient; ++i) {
        float t = NoReading();
        bool outOfRange = false;
        try {
            t = CompensatedTemp(readings[i], cjEmf);
        } catch (const ERangeError&) {
            outOfRange = true;
        }
        if (correct) t = t - table_.chanOffsets[i];
        MarkRange(i, outOfRange);
        temperatures[i] = outOfRange ? NoReading() : t;
        this->outOfRange[i] = outOfRange;
        line += '\t';
        line += FieldFor(i, t, outOfRange);
    }

    MarkRange(TChannelTable::kAmbient, ambientOutOfRange);
    temperatures[TChannelTable::kAmbient] = ambient;
    outOfRange[TChannelTable::kAmbient] = ambientOutOfRange;
    const std::string ambientText = FormatReading(ambient, table_.Locale());
    SetLine(TChannelTable::kAmbient, table_.chanNames[TChannelTable::kAmbient] + ": " +
                                         (ambientOutOfRange ? std::string("out of range") : ambientText));
    line += '\t';
    line += ambientText;
    ++scans;
    return line;
}

std::string TScanCycle::FieldFor(int i, float t, bool outOfRange)
{
    if (outOfRange) {
        SetLine(i, table_.chanNames[i] + ": out of range");
        return "NAN";
    }
    if (std::isnan(t)) return "NAN"; // the list line keeps the last answer of this run
    const std::string text = FormatReading(t, table_.Locale());
    SetLine(i, table_.chanNames[i] + ": " + text);
    return text;
}

} // namespace kelvara
