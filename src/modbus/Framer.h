// Request framing as a Modbus RTU slave does it: a frame is the bytes that
// arrive without a silence longer than 3.5 character times. Within one such
// burst the framer also resynchronises: it skips noise until a run of bytes
// forms a request with a valid CRC, and it separates requests that arrived
// back to back. Nothing here touches a device, so it can be fed from tests and
// fuzzers with made-up timestamps.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kelvara {

using TRtuClock = std::chrono::steady_clock;
using TFrame = std::vector<uint8_t>;

// Longest RTU frame: address, 253 bytes of PDU, CRC.
inline constexpr size_t kMaxRtuFrame = 256;

// Time of one character on the wire: start bit, 8 data bits, parity or a second
// stop bit, stop bit: 11 bits.
std::chrono::nanoseconds CharacterTime(int baud);

// The silence that ends a frame: 3.5 character times, but a fixed 1.75 ms above
// 19200 baud, where the character time gets too short for a UART's timer.
std::chrono::nanoseconds InterFrameSilence(int baud);

// The frames found in one burst of bytes, in order. At each position the
// function code tells the request's length (fixed, or from its byte-count
// field); a function this framer does not know claims the rest of the burst.
// A candidate whose CRC fails costs one byte of resynchronisation, so garbage
// before, between or after requests is skipped and never answered.
std::vector<TFrame> SplitBurst(const uint8_t* data, size_t length);

class TRequestFramer {
public:
    explicit TRequestFramer(int baud);

    // Bytes that arrived at time `at` (timestamps must not go back). When the
    // silence before them was long enough, the burst pending until then is
    // closed first and its frames are returned.
    std::vector<TFrame> Feed(const uint8_t* data, size_t length, TRtuClock::time_point at);

    // Closes the pending burst when the line has been silent long enough by
    // `now`, returning its frames; otherwise returns nothing.
    std::vector<TFrame> Poll(TRtuClock::time_point now);

    // When the pending burst will be complete, if there is one.
    std::optional<TRtuClock::time_point> Deadline() const;

    size_t PendingBytes() const { return burst_.size(); }
    std::chrono::nanoseconds Silence() const { return silence_; }

private:
    std::vector<TFrame> Close();

    std::chrono::nanoseconds silence_;
    std::vector<uint8_t> burst_;
    TRtuClock::time_point lastByte_{};
};

} // namespace kelvara
