#include "sim/Reply.h"

#include "base/Errors.h"
#include "modbus/Crc.h"
#include "modbus/ReadInputRegisters.h"

#include <algorithm>
#include <bit>
#include <cctype>

namespace kelvara::sim {

namespace {

struct TFaultName {
    TFaultKind Kind;
    const char* Name;
};

constexpr TFaultName kFaultNames[] = {
    {TFaultKind::None, "none"},
    {TFaultKind::Silent, "silent"},
    {TFaultKind::Exception, "exception"},
    {TFaultKind::BadCrc, "bad-crc"},
    {TFaultKind::WrongAddress, "wrong-address"},
    {TFaultKind::WrongFunction, "wrong-function"},
    {TFaultKind::WrongByteCount, "wrong-byte-count"},
    {TFaultKind::Truncate, "truncate"},
    {TFaultKind::DelayBefore, "delay-before"},
    {TFaultKind::DelayBetween, "delay-between"},
    {TFaultKind::Late, "late"},
    {TFaultKind::Garbage, "garbage"},
    {TFaultKind::SignallingNaN, "signalling-nan"},
    {TFaultKind::QuietNaN, "quiet-nan"},
    {TFaultKind::OneRegister, "one-register"},
    {TFaultKind::Echo, "echo"},
};

std::string Squash(const std::string& name)
{
    std::string out;
    for (unsigned char c : name)
        if (c != '-' && c != '_') out += static_cast<char>(std::tolower(c));
    return out;
}

constexpr uint32_t kSignallingNaNBits = 0x7F800001u;
constexpr uint32_t kQuietNaNBits = 0x7FC00000u;

void Recrc(std::vector<uint8_t>& reply)
{
    reply.resize(reply.size() - 2);
    AppendCrc(reply);
}

bool IsNormalReadReply(const std::vector<uint8_t>& reply)
{
    return reply.size() >= 5 && reply[1] == 0x04;
}

} // namespace

TFaultKind ParseFaultKindName(const std::string& name)
{
    const std::string key = Squash(name);
    if (key == "snan") return TFaultKind::SignallingNaN;
    if (key == "qnan") return TFaultKind::QuietNaN;
    for (const auto& entry : kFaultNames)
        if (Squash(entry.Name) == key) return entry.Kind;
    throw EError("Unknown fault kind '" + name + "'");
}

std::string FaultKindName(TFaultKind kind)
{
    for (const auto& entry : kFaultNames)
        if (entry.Kind == kind) return entry.Name;
    return "?";
}

std::vector<TFaultKind> AllFaultKinds()
{
    std::vector<TFaultKind> kinds;
    for (const auto& entry : kFaultNames) kinds.push_back(entry.Kind);
    return kinds;
}

std::vector<uint8_t> BuildNormalReply(const std::vector<uint8_t>& request, uint32_t valueBits)
{
    if (request.size() < 4) return {};
    const uint8_t address = request[0];
    const uint8_t function = request[1];
    if (function != kReadInputRegisters) return ExceptionReply(address, function, kIllegalFunction);
    if (request.size() != 8) return ExceptionReply(address, function, kIllegalDataValue);

    const int start = request[2] << 8 | request[3];
    const int count = request[4] << 8 | request[5];
    if (count < 1 || count > 125) return ExceptionReply(address, function, kIllegalDataValue);
    if (start < kValueRegister || start + count > kValueRegister + 2)
        return ExceptionReply(address, function, kIllegalDataAddress);

    const auto value = FloatRegisters(valueBits);
    std::vector<uint16_t> registers;
    for (int r = start; r < start + count; ++r) registers.push_back(value[r - kValueRegister]);
    return ReadInputRegistersReply(address, registers);
}

std::vector<uint8_t> BuildReply(const std::vector<uint8_t>& request, float value, const TFault& fault)
{
    uint32_t bits = std::bit_cast<uint32_t>(value);
    if (fault.Kind == TFaultKind::SignallingNaN) bits = kSignallingNaNBits;
    if (fault.Kind == TFaultKind::QuietNaN) bits = kQuietNaNBits;

    std::vector<uint8_t> reply = BuildNormalReply(request, bits);
    if (reply.empty()) return reply;
    const int arg = fault.Arg;

    switch (fault.Kind) {
    case TFaultKind::Silent: reply.clear(); break;
    case TFaultKind::Exception:
        reply = ExceptionReply(request[0], request[1], static_cast<uint8_t>(arg != 0 ? arg : kServerDeviceFailure));
        break;
    case TFaultKind::BadCrc:
        reply[reply.size() - 2] ^= 0xFF;
        reply[reply.size() - 1] ^= 0xFF;
        break;
    case TFaultKind::WrongAddress:
        reply[0] = static_cast<uint8_t>(arg != 0 ? arg : reply[0] % 247 + 1);
        Recrc(reply);
        break;
    case TFaultKind::WrongFunction: {
        const uint8_t plain = reply[1] & 0x7F;
        reply[1] = static_cast<uint8_t>(arg != 0 ? arg : (reply[1] & 0x80) | (plain == 0x03 ? 0x04 : 0x03));
        Recrc(reply);
        break;
    }
    case TFaultKind::WrongByteCount:
        if (IsNormalReadReply(reply)) {
            reply[2] = static_cast<uint8_t>(arg != 0 ? arg : 2 * reply[2]);
            Recrc(reply);
        }
        break;
    case TFaultKind::Truncate: reply.resize(std::min(reply.size(), static_cast<size_t>(std::max(arg, 0)))); break;
    case TFaultKind::Garbage: {
        // Noise that varies byte to byte (a small linear congruential sequence)
        // but is the same on every run, so a failing test can be replayed.
        const int count = arg != 0 ? arg : 3;
        std::vector<uint8_t> noise;
        uint32_t state = 0x2545F491u ^ request[0];
        for (int k = 0; k < count; ++k) {
            state = state * 1664525u + 1013904223u;
            noise.push_back(static_cast<uint8_t>(state >> 24));
        }
        reply.insert(reply.begin(), noise.begin(), noise.end());
        break;
    }
    case TFaultKind::OneRegister:
        if (IsNormalReadReply(reply) && reply[2] > 2) {
            reply.resize(5);
            reply[2] = 2;
            AppendCrc(reply);
        }
        break;
    case TFaultKind::Echo: reply = request; break;
    case TFaultKind::None:
    case TFaultKind::DelayBefore:
    case TFaultKind::DelayBetween:
    case TFaultKind::Late:
    case TFaultKind::SignallingNaN:
    case TFaultKind::QuietNaN: break;
    }
    return reply;
}

} // namespace kelvara::sim
