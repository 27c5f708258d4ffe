#include "acquisition/Transaction.h"

#include "base/Errors.h"
#include "base/Text.h"
#include "serial/SerialChannel.h"

#include <cmath>
#include <cstring>

namespace kelvara {

namespace {

// Modbus RTU reply to Read Input Registers for two registers: address,
// function, byte count 4, four value bytes, CRC low, CRC high.
constexpr int kReplyLength = 9;
// An exception reply: address, function | 0x80, exception code, CRC low, CRC high.
constexpr int kExceptionLength = 5;
constexpr uint8_t kExceptionBit = 0x80;

bool CrcHolds(const uint8_t* frame, int length)
{
    // Run over a whole frame including its CRC, the Modbus CRC gives 0.
    return Crc16Modbus(frame, static_cast<size_t>(length)) == 0;
}

} // namespace

const char* OutcomeName(TExchangeOutcome outcome)
{
    switch (outcome) {
    case TExchangeOutcome::None: return "none";
    case TExchangeOutcome::Ok: return "ok";
    case TExchangeOutcome::Silent: return "silent";
    case TExchangeOutcome::Exception: return "exception";
    case TExchangeOutcome::BadCrc: return "bad CRC";
    case TExchangeOutcome::WrongAddress: return "wrong address";
    case TExchangeOutcome::WrongFunction: return "wrong function";
    case TExchangeOutcome::WrongByteCount: return "wrong byte count";
    case TExchangeOutcome::Short: return "short";
    }
    return "?";
}

float NoReading()
{
    const uint32_t bits = 0xFFC00000u;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

float BytesToFloatBE(const uint8_t* p)
{
    const uint32_t bits = static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                          static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

int TChannelReader::String2Bin(const std::string& line, uint8_t* buff)
{
    int written = 0;
    int high = 0;
    for (size_t k = 0; k < line.size(); ++k) {
        const int code = static_cast<unsigned char>(line[k]);
        if (code < '0') throw ERangeError();
        const int value = code <= '9' ? code - '0' : code - 55;
        if (k % 2 == 0) {
            high = 16 * value;
        } else {
            buff[written++] = static_cast<uint8_t>((high + value) % 256);
        }
    }
    return written;
}

float TChannelReader::ReadChannel(const std::string& frame)
{
    exceptionCode_ = 0;
    if (frame.size() / 2 > txBuf.size()) throw ERangeError();
    const int n = String2Bin(frame, txBuf.data());

    // A late reply or line noise from an earlier exchange must never be read
    // as this channel's reply.
    Ser_.DiscardInput();
    Ser_.SendBuffer(txBuf.data(), n);

    rxBuf.fill(0);
    int length = Ser_.RecvBufferEx(rxBuf.data(), kExceptionLength, kReadTimeoutMs);
    // Four more bytes complete a normal reply. None are asked for after an
    // exception reply, whose five bytes are already in, nor after a short
    // first read, which has already waited its time-out for a further byte.
    if (length == kExceptionLength && rxBuf[1] < kExceptionBit)
        length += Ser_.RecvBufferEx(rxBuf.data() + kExceptionLength, kReplyLength - kExceptionLength,
                                    kReadTimeoutMs);
    const uint8_t address = n > 0 ? txBuf[0] : 0;
    const uint8_t function = n > 1 ? txBuf[1] : 0;
    float value = NoReading();
    outcome_ = ClassifyReply(address, function, rxBuf.data(), length, value, exceptionCode_);
    return outcome_ == TExchangeOutcome::Ok ? value : NoReading();
}

TExchangeOutcome ClassifyReply(uint8_t address, uint8_t function, const uint8_t* reply, int length,
                               float& value, int& exceptionCode)
{
    if (length <= 0) return TExchangeOutcome::Silent;
    if (length < 2) return TExchangeOutcome::Short;
    if (reply[1] >= kExceptionBit) {
        if (length < kExceptionLength) return TExchangeOutcome::Short;
        if (!CrcHolds(reply, kExceptionLength)) return TExchangeOutcome::BadCrc;
        if (reply[0] != address) return TExchangeOutcome::WrongAddress;
        if (reply[1] != (function | kExceptionBit)) return TExchangeOutcome::WrongFunction;
        exceptionCode = reply[2];
        return TExchangeOutcome::Exception;
    }
    if (length < kReplyLength) return TExchangeOutcome::Short;
    if (!CrcHolds(reply, kReplyLength)) return TExchangeOutcome::BadCrc;
    if (reply[0] != address) return TExchangeOutcome::WrongAddress;
    if (reply[1] != function) return TExchangeOutcome::WrongFunction;
    if (reply[2] != 4) return TExchangeOutcome::WrongByteCount;
    const float v = BytesToFloatBE(reply + 3);
    // Any NaN the slave sends, signalling or quiet, is no reading; it must
    // not raise on the way through the conversions.
    value = std::isnan(v) ? NoReading() : v;
    return TExchangeOutcome::Ok;
}

} // namespace kelvara
