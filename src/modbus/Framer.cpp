#include "modbus/Framer.h"

#include "modbus/Crc.h"

namespace kelvara {

namespace {

// A burst that never pauses is cut here so a babbling line cannot grow memory
// without bound; no master sends that much without a pause.
constexpr size_t kMaxBurst = 4 * kMaxRtuFrame;

constexpr long kUnknownLength = 0;
constexpr long kTooShortToTell = -1;

// Length of the request (address to CRC) that starts at p, from its function
// code and, for the variable-length writes, from its byte-count field.
long RequestLength(const uint8_t* p, size_t avail)
{
    if (avail < 2) return kTooShortToTell;
    auto withCount = [&](size_t countAt, long fixed) -> long {
        return avail > countAt ? fixed + p[countAt] : kTooShortToTell;
    };
    switch (p[1]) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x06:
    case 0x08: return 8;
    case 0x07:
    case 0x0B:
    case 0x0C:
    case 0x11: return 4;
    case 0x0F:
    case 0x10: return withCount(6, 9);
    case 0x14:
    case 0x15: return withCount(2, 5);
    case 0x16: return 10;
    case 0x17: return withCount(10, 13);
    case 0x18: return 6;
    default: return kUnknownLength;
    }
}

} // namespace

std::chrono::nanoseconds CharacterTime(int baud)
{
    if (baud <= 0) baud = 19200;
    return std::chrono::nanoseconds(11LL * 1000000000LL / baud);
}

std::chrono::nanoseconds InterFrameSilence(int baud)
{
    if (baud > 19200) return std::chrono::microseconds(1750);
    if (baud <= 0) baud = 19200;
    return std::chrono::nanoseconds(35LL * 11 * 100000000 / baud);
}

std::vector<TFrame> SplitBurst(const uint8_t* data, size_t length)
{
    std::vector<TFrame> frames;
    size_t i = 0;
    while (length - i >= 4) {
        const size_t rest = length - i;
        long need = RequestLength(data + i, rest);
        if (need == kUnknownLength) need = static_cast<long>(rest);
        if (need >= 4 && static_cast<size_t>(need) <= rest && static_cast<size_t>(need) <= kMaxRtuFrame &&
            RtuCrcOk(data + i, static_cast<size_t>(need))) {
            frames.emplace_back(data + i, data + i + need);
            i += static_cast<size_t>(need);
        } else {
            ++i;
        }
    }
    return frames;
}

TRequestFramer::TRequestFramer(int baud) : silence_(InterFrameSilence(baud)) {}

std::vector<TFrame> TRequestFramer::Feed(const uint8_t* data, size_t length, TRtuClock::time_point at)
{
    std::vector<TFrame> frames;
    if (length == 0) return frames;
    if (!burst_.empty() && at - lastByte_ > silence_) frames = Close();
    burst_.insert(burst_.end(), data, data + length);
    lastByte_ = at;
    if (burst_.size() >= kMaxBurst) {
        auto more = Close();
        frames.insert(frames.end(), more.begin(), more.end());
    }
    return frames;
}

std::vector<TFrame> TRequestFramer::Poll(TRtuClock::time_point now)
{
    if (burst_.empty() || now - lastByte_ <= silence_) return {};
    return Close();
}

std::optional<TRtuClock::time_point> TRequestFramer::Deadline() const
{
    if (burst_.empty()) return std::nullopt;
    // Poll wants strictly more than the silence; one nanosecond past it.
    return lastByte_ + silence_ + std::chrono::nanoseconds(1);
}

std::vector<TFrame> TRequestFramer::Close()
{
    auto frames = SplitBurst(burst_.data(), burst_.size());
    burst_.clear();
    return frames;
}

} // namespace kelvara
