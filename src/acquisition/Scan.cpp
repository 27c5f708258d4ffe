#include "acquisition/Scan.h"

#include "base/Errors.h"
#include "thermo/TypeK.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

namespace kelvara {

TChannelState StateOf(const TChannelStatus& status)
{
    if (status.OutOfRange) return TChannelState::OutOfRange;
    switch (status.LastOutcome) {
    case TExchangeOutcome::None: return TChannelState::None;
    case TExchangeOutcome::Ok: return TChannelState::Ok;
    case TExchangeOutcome::Silent:
    case TExchangeOutcome::NoPort: return TChannelState::Silent;
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

TScanCycle::TScanCycle(const TChannelTable& table, TChannelReaderBase& reader, TClockField clock, TSleep sleep)
    : table_(table), reader_(reader), clock_(clock), sleep_(std::move(sleep))
{
    if (!sleep_) sleep_ = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    readings.fill(NoReading());
}

void TScanCycle::StartRun(uint16_t newPeriod)
{
    period = newPeriod;
    sec_count = 0;
    moment = 0;
    runClock_.Start();
    listLines_.assign(table_.FrameLines().size(), std::string());
}

void TScanCycle::StopRun()
{
    sec_count = 0;
}

bool TScanCycle::Advance()
{
    ++sec_count;
    return sec_count >= moment;
}

TScanRecord TScanCycle::ScanDue(bool offsetCorrection)
{
    TScanRecord record = ScanAll(offsetCorrection);
    moment += period;
    return record;
}

void TScanCycle::SetLine(int i, const std::string& text)
{
    // A table built only in part has fewer list lines than channels.
    if (static_cast<size_t>(i) < listLines_.size()) listLines_[i] = text;
}

void TScanCycle::MarkRange(int i, bool outOfRange, std::vector<std::string>& notices)
{
    TChannelStatus& s = status_[i];
    if (s.OutOfRange == outOfRange) return;
    s.OutOfRange = outOfRange;
    notices.push_back(table_.ChanNames()[i] +
                      (outOfRange ? ": reading out of the type K table range" : ": reading back in range"));
}

TScanRecord TScanCycle::ScanAll(bool offsetCorrection)
{
    const int64_t began = MonotonicMs();
    sleep_(kSettleMs);
    TScanRecord record;
    record.Second = sec_count;

    // Positions the table has no frame for read NaN.
    readings.fill(NoReading());
    record.StartMs = runClock_.NowMs();
    const std::vector<TFrame>& frames = table_.Frames();
    for (size_t i = 0; i < frames.size(); ++i) {
        const float value = reader_.ReadChannel(frames[i]);
        if (i >= readings.size()) throw ERangeError();
        readings[i] = value;
        TChannelStatus& s = status_[i];
        s.LastOutcome = reader_.LastOutcome();
        s.LastExceptionCode = reader_.LastExceptionCode();
        ++s.Counts[static_cast<size_t>(s.LastOutcome)];
    }

    float ambient = readings[TChannelTable::kAmbient];
    if (offsetCorrection) ambient = ambient - table_.ChanOffsets()[TChannelTable::kAmbient];

    // An ambient outside the cold-junction table (an infinite one included)
    // leaves the thermocouples without compensation: they read NaN, the
    // ambient keeps its value in the log line.
    float cjEmf = NoReading();
    bool ambientOutOfRange = false;
    try {
        cjEmf = CjTempToEmf(ambient);
    } catch (const ERangeError&) {
        ambientOutOfRange = true;
    }

    std::vector<std::string> fields;
    for (int i = 0; i < TChannelTable::kAmbient; ++i) {
        float t = NoReading();
        bool outOfRange = false;
        try {
            t = CompensatedTemp(readings[i], cjEmf);
        } catch (const ERangeError&) {
            outOfRange = true;
        }
        if (offsetCorrection) t = t - table_.ChanOffsets()[i];
        MarkRange(i, outOfRange, record.Notices);
        record.Temperatures[i] = outOfRange ? NoReading() : t;
        record.OutOfRange[i] = outOfRange;
        fields.push_back(FieldFor(i, t, outOfRange));
    }

    MarkRange(TChannelTable::kAmbient, ambientOutOfRange, record.Notices);
    // An infinite ambient is no temperature; a finite one beyond the table
    // is still what the cold junction measured.
    record.Temperatures[TChannelTable::kAmbient] = std::isinf(ambient) ? NoReading() : ambient;
    record.OutOfRange[TChannelTable::kAmbient] = ambientOutOfRange;
    const std::string ambientText = FormatReading(ambient, table_.Locale());
    SetLine(TChannelTable::kAmbient, table_.ChanNames()[TChannelTable::kAmbient] + ": " +
                                         (ambientOutOfRange ? std::string("out of range") : ambientText));
    fields.push_back(ambientText);

    record.Line = LogLine(record.Second, fields, clock_, record.StartMs);
    record.Readings = readings;
    record.Status = status_;
    record.ListLines = listLines_;
    record.DurationMs = MonotonicMs() - began;
    ++scans_;
    return record;
}

std::string TScanCycle::FieldFor(int i, float t, bool outOfRange)
{
    if (outOfRange) {
        SetLine(i, table_.ChanNames()[i] + ": out of range");
        return kNanText;
    }
    if (std::isnan(t)) return kNanText; // the list line keeps the last answer of this run
    const std::string text = FormatReading(t, table_.Locale());
    SetLine(i, table_.ChanNames()[i] + ": " + text);
    return text;
}

} // namespace kelvara
