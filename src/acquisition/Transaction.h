// One channel read: a Modbus RTU Read Input Registers exchange on the serial
// channel, in two timed reads, decoding the big-endian float of the reply.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kelvara {

class TSerialChannel;

// What the last exchange of a channel came to. Only Ok carries a value; every
// other outcome reads NaN.
enum class TExchangeOutcome : uint8_t {
    None,           // no exchange yet
    Ok,             // whole and right (the value may still be a NaN the slave sent)
    Silent,         // not a byte came back (or the port is not open)
    Exception,      // a Modbus exception reply; its code is kept
    BadCrc,         // the right length, but the CRC does not match
    WrongAddress,   // a reply from another slave address
    WrongFunction,  // a function code other than the request's
    WrongByteCount, // a byte count other than 4
    Short,          // fewer bytes than a reply has
};
constexpr int kOutcomeCount = 9;
const char* OutcomeName(TExchangeOutcome outcome);

// The quiet NaN that stands for a channel without a usable reply.
float NoReading();

// The four bytes are the float's bits 31..24, 23..16, 15..8 and 7..0.
float BytesToFloatBE(const uint8_t* p);

// Judges the bytes of a reply to a two-register Read Input Registers
// request: the request's address and function, byte count 4, CRC correct.
// `length` is how many reply bytes came in (9 for a whole reply, 5 for an
// exception reply). Sets value only for Ok; exceptionCode only for Exception.
TExchangeOutcome ClassifyReply(uint8_t address, uint8_t function, const uint8_t* reply, int length,
                               float& value, int& exceptionCode);

// The source of a scan's readings: one exchange per request frame.
class TChannelReaderBase {
public:
    virtual ~TChannelReaderBase() = default;
    virtual float ReadChannel(const std::string& frame) = 0;
    virtual TExchangeOutcome LastOutcome() const = 0;
    virtual int LastExceptionCode() const = 0;
};

class TChannelReader : public TChannelReaderBase {
public:
    static constexpr int kReadTimeoutMs = 25; // per further byte, not per call
    static constexpr int kBufferSize = 16;

    explicit TChannelReader(TSerialChannel& Ser) : Ser_(Ser) {}

    // Writes one byte per pair of characters of line into buff and returns
    // the count (length / 2). Digits above "9" count from "A" = 10, so only
    // uppercase hexadecimal converts exactly; a character below "0" is a
    // range error. buff must hold length / 2 bytes.
    static int String2Bin(const std::string& line, uint8_t* buff);

    // One exchange: stale input is discarded, the frame goes out, the reply
    // is read as five bytes and then, unless it is an exception reply, four
    // more. Returns the value of a whole and right reply, else NaN. Raises
    // only for a frame that is not hexadecimal text or too long for txBuf.
    float ReadChannel(const std::string& frame) override;
    TExchangeOutcome LastOutcome() const override { return outcome_; }
    int LastExceptionCode() const override { return exceptionCode_; }

    const std::array<uint8_t, kBufferSize>& TxBuf() const { return txBuf; }
    const std::array<uint8_t, kBufferSize>& RxBuf() const { return rxBuf; }

private:
    TSerialChannel& Ser_;
    std::array<uint8_t, kBufferSize> txBuf{};
    std::array<uint8_t, kBufferSize> rxBuf{};
    TExchangeOutcome outcome_ = TExchangeOutcome::None;
    int exceptionCode_ = 0;
};

} // namespace kelvara
