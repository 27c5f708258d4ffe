// The simulator's request framing: arbitrary bytes arriving in chunks at
// arbitrary (non-decreasing) times. Every frame it hands on passes its CRC
// and is bytes that really arrived in one burst; after a silence a valid
// request is always framed on its own.
#include "FuzzCheck.h"
#include "modbus/Crc.h"

#include "base/Text.h"
#include "modbus/Framer.h"

#include <algorithm>
#include <vector>

using namespace kelvara;
using namespace std::chrono;

namespace {

// The bytes of the current burst as the test sees them, to check that each
// frame is a stretch of them, taken in order.
struct TBurstModel {
    std::vector<uint8_t> Bytes;
    size_t SearchFrom = 0;

    void Take(const std::vector<TFrame>& frames)
    {
        for (const TFrame& f : frames) {
            FUZZ_CHECK(f.size() >= 4 && f.size() <= kMaxRtuFrame);
            FUZZ_CHECK(RtuCrcOk(f.data(), f.size()));
            FUZZ_CHECK(Crc16Modbus(f.data(), f.size()) == 0);
            auto at = std::search(Bytes.begin() + static_cast<long>(SearchFrom), Bytes.end(), f.begin(), f.end());
            FUZZ_CHECK(at != Bytes.end());
            SearchFrom = static_cast<size_t>(at - Bytes.begin()) + f.size();
        }
    }
};

std::vector<uint8_t> ValidRequest(uint8_t address, uint8_t function, uint16_t reg)
{
    std::vector<uint8_t> f{address, function, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg), 0, 2};
    AppendCrc(f);
    return f;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    // Baud rates from the silly to the fast, including 0 and negatives.
    const int baud = static_cast<int>(static_cast<int8_t>(data[0])) * 1200 + static_cast<int>(data[1]) * 37;
    data += 2;
    size -= 2;
    FUZZ_CHECK(CharacterTime(baud).count() > 0);
    FUZZ_CHECK(InterFrameSilence(baud).count() > 0);

    TRequestFramer framer(baud);
    const nanoseconds silence = framer.Silence();
    TRtuClock::time_point now{};
    TBurstModel burst;
    TRtuClock::time_point lastByte{};
    size_t fed = 0;

    // Chunks: [gap][length][bytes...]; the gap is in units of a tenth of the
    // end-of-frame silence, so both sides of the limit come up often.
    size_t p = 0;
    while (p + 2 <= size) {
        const uint8_t gap = data[p];
        const size_t length = std::min<size_t>(data[p + 1] % 64, size - p - 2);
        p += 2;
        now += silence * gap / 10 + nanoseconds(gap & 1);
        if (gap == 0xFF) {
            // A poll instead of bytes.
            const bool due = burst.Bytes.size() > 0 && now - lastByte > silence;
            const auto frames = framer.Poll(now);
            if (!due) FUZZ_CHECK(frames.empty());
            burst.Take(frames);
            if (due) {
                FUZZ_CHECK(framer.PendingBytes() == 0);
                burst = TBurstModel{};
            }
            continue;
        }
        if (length == 0) continue;
        const bool closes = !burst.Bytes.empty() && now - lastByte > silence;
        auto frames = framer.Feed(data + p, length, now);
        if (closes) {
            // What Feed returns then is the framing of the burst that the
            // silence ended; the new bytes open the next one.
            burst.Take(frames);
            burst = TBurstModel{};
            burst.Bytes.assign(data + p, data + p + length);
        } else {
            burst.Bytes.insert(burst.Bytes.end(), data + p, data + p + length);
            burst.Take(frames);
            // A burst that grew too long was cut and framed.
            if (framer.PendingBytes() == 0) burst = TBurstModel{};
        }
        FUZZ_CHECK(framer.PendingBytes() == burst.Bytes.size());
        FUZZ_CHECK(framer.PendingBytes() < 4 * kMaxRtuFrame);
        lastByte = now;
        fed += length;
        p += length;

        const auto deadline = framer.Deadline();
        FUZZ_CHECK(deadline.has_value() == (framer.PendingBytes() > 0));
        if (deadline) FUZZ_CHECK(*deadline > now && *deadline - now <= silence + nanoseconds(1));
    }

    // Just before its deadline the pending burst stays open; at it, it closes.
    if (auto deadline = framer.Deadline()) {
        FUZZ_CHECK(framer.Poll(*deadline - nanoseconds(1)).empty());
        FUZZ_CHECK(framer.PendingBytes() > 0);
        burst.Take(framer.Poll(*deadline));
        FUZZ_CHECK(framer.PendingBytes() == 0);
        now = *deadline;
    }
    FUZZ_CHECK(!framer.Deadline().has_value());

    // After any of that and a silence, a lone valid request is one frame.
    const auto request = ValidRequest(size > 0 ? data[0] : 1, 0x04, static_cast<uint16_t>(fed));
    now += silence + nanoseconds(1);
    FUZZ_CHECK(framer.Feed(request.data(), request.size(), now).empty());
    const auto frames = framer.Poll(now + silence + nanoseconds(1));
    FUZZ_CHECK(frames.size() == 1 && frames[0] == request);

    // The whole input as one burst: frames are stretches of it, in order.
    TBurstModel whole;
    whole.Bytes.assign(data, data + size);
    whole.Take(SplitBurst(data, size));
    return 0;
}
