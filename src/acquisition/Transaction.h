// One channel read: a Modbus RTU Read Input Registers exchange on the serial
// channel, in two timed reads, decoding the big-endian float of the reply.
#pragma once

#include "modbus/ReadInputRegisters.h"

#include <array>
#include <cstdint>
#include <vector>

namespace kelvara {

class TSerialChannel;

// A request frame as it goes on the wire.
using TFrame = std::vector<uint8_t>;

// The quiet NaN that stands for a channel without a usable reply.
float NoReading();

// The source of a scan's readings: one exchange per request frame.
class TChannelReaderBase {
public:
    virtual ~TChannelReaderBase() = default;
    virtual float ReadChannel(const TFrame& frame) = 0;
    virtual TExchangeOutcome LastOutcome() const = 0;
    virtual int LastExceptionCode() const = 0;
};

class TChannelReader : public TChannelReaderBase {
public:
    static constexpr int kReadTimeoutMs = 25; // per further byte, not per call
    static constexpr int kBufferSize = 16;

    explicit TChannelReader(TSerialChannel& Ser) : Ser_(Ser) {}

    // One exchange: stale input is discarded, the frame goes out, the reply
    // is read as five bytes and then, unless it is an exception reply, four
    // more. Returns the value of a whole and right reply, else NaN; a NaN
    // the slave sent is no reading either. Without an open port nothing goes
    // out (outcome NoPort). Raises ERangeError only for a frame too long for
    // txBuf.
    float ReadChannel(const TFrame& frame) override;
    TExchangeOutcome LastOutcome() const override { return outcome_; }
    int LastExceptionCode() const override { return exceptionCode_; }

    const std::array<uint8_t, kBufferSize>& TxBuf() const { return txBuf; }

private:
    TSerialChannel& Ser_;
    std::array<uint8_t, kBufferSize> txBuf{};
    std::array<uint8_t, kBufferSize> rxBuf{};
    TExchangeOutcome outcome_ = TExchangeOutcome::None;
    int exceptionCode_ = 0;
};

} // namespace kelvara
