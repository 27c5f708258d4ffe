#include "modbus/ReadInputRegisters.h"

#include "modbus/Crc.h"

#include "base/Errors.h"

#include <bit>

namespace kelvara {

std::vector<uint8_t> ReadInputRegistersRequest(uint8_t address, uint16_t start, uint16_t count)
{
    std::vector<uint8_t> frame{address,
                               kReadInputRegisters,
                               static_cast<uint8_t>(start >> 8),
                               static_cast<uint8_t>(start & 0xFF),
                               static_cast<uint8_t>(count >> 8),
                               static_cast<uint8_t>(count & 0xFF)};
    AppendCrc(frame);
    return frame;
}

std::vector<uint8_t> ReadInputRegistersReply(uint8_t address, const std::vector<uint16_t>& registers)
{
    std::vector<uint8_t> frame{address, kReadInputRegisters, static_cast<uint8_t>(2 * registers.size())};
    for (uint16_t r : registers) {
        frame.push_back(static_cast<uint8_t>(r >> 8));
        frame.push_back(static_cast<uint8_t>(r & 0xFF));
    }
    AppendCrc(frame);
    return frame;
}

std::vector<uint8_t> ExceptionReply(uint8_t address, uint8_t function, uint8_t code)
{
    std::vector<uint8_t> frame{address, static_cast<uint8_t>(function | kExceptionBit), code};
    AppendCrc(frame);
    return frame;
}

std::array<uint16_t, 2> FloatRegisters(uint32_t bits)
{
    return {static_cast<uint16_t>(bits >> 16), static_cast<uint16_t>(bits & 0xFFFF)};
}

float BytesToFloatBE(const uint8_t* p)
{
    const uint32_t bits = static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                          static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
    return std::bit_cast<float>(bits);
}

int String2Bin(const std::string& line, uint8_t* buff)
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

std::vector<uint8_t> FrameBytes(const std::string& hexText)
{
    std::vector<uint8_t> bytes(hexText.size() / 2);
    String2Bin(hexText, bytes.data());
    return bytes;
}

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
    case TExchangeOutcome::NotANumber: return "no number";
    case TExchangeOutcome::NoPort: return "no port";
    }
    return "?";
}

TExchangeOutcome ClassifyReply(uint8_t address, uint8_t function, const uint8_t* reply, int length, float& value,
                               int& exceptionCode)
{
    if (length <= 0) return TExchangeOutcome::Silent;
    if (length < 2) return TExchangeOutcome::Short;
    if (reply[1] >= kExceptionBit) {
        if (length < kExceptionReplyLength) return TExchangeOutcome::Short;
        if (!RtuCrcOk(reply, kExceptionReplyLength)) return TExchangeOutcome::BadCrc;
        if (reply[0] != address) return TExchangeOutcome::WrongAddress;
        if (reply[1] != (function | kExceptionBit)) return TExchangeOutcome::WrongFunction;
        exceptionCode = reply[2];
        return TExchangeOutcome::Exception;
    }
    if (length < kValueReplyLength) return TExchangeOutcome::Short;
    if (!RtuCrcOk(reply, kValueReplyLength)) return TExchangeOutcome::BadCrc;
    if (reply[0] != address) return TExchangeOutcome::WrongAddress;
    if (reply[1] != function) return TExchangeOutcome::WrongFunction;
    if (reply[2] != 4) return TExchangeOutcome::WrongByteCount;
    value = BytesToFloatBE(reply + 3);
    return TExchangeOutcome::Ok;
}

} // namespace kelvara
