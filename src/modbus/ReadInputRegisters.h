// Modbus function 04, Read Input Registers, as the logger uses it: the
// request, the replies a slave gives, and the judgement of a reply that came
// back. Byte work only, shared by the logger's read transaction and the
// simulated slaves.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvara {

inline constexpr uint8_t kReadInputRegisters = 0x04;
// A slave answers a request it cannot serve with the function code's high
// bit set and an exception code.
inline constexpr uint8_t kExceptionBit = 0x80;
inline constexpr uint8_t kIllegalFunction = 0x01;
inline constexpr uint8_t kIllegalDataAddress = 0x02;
inline constexpr uint8_t kIllegalDataValue = 0x03;
inline constexpr uint8_t kServerDeviceFailure = 0x04;

// Reply to a two-register read: address, function, byte count 4, four value
// bytes, CRC low, CRC high.
inline constexpr int kValueReplyLength = 9;
// An exception reply: address, function | 0x80, exception code, CRC.
inline constexpr int kExceptionReplyLength = 5;

// Address, function 04, start register and register count (both high byte
// first), CRC.
std::vector<uint8_t> ReadInputRegistersRequest(uint8_t address, uint16_t start, uint16_t count);
// Address, function 04, byte count, the registers high byte first, CRC.
std::vector<uint8_t> ReadInputRegistersReply(uint8_t address, const std::vector<uint16_t>& registers);
// Address, function | 0x80, code, CRC.
std::vector<uint8_t> ExceptionReply(uint8_t address, uint8_t function, uint8_t code);

// A 32-bit float as two registers: bits 31..16 first.
std::array<uint16_t, 2> FloatRegisters(uint32_t bits);
// The four bytes are the float's bits 31..24, 23..16, 15..8 and 7..0.
float BytesToFloatBE(const uint8_t* p);

// A request frame written as hexadecimal text turned into the bytes that go
// on the wire: one byte per pair of characters, length / 2 in all; an odd
// last character is left out. A digit above "9" counts from "A" = 10, so
// only uppercase hexadecimal converts exactly; a character below "0" raises
// ERangeError. buff must hold length / 2 bytes.
int String2Bin(const std::string& line, uint8_t* buff);
// The same into a vector of its own.
std::vector<uint8_t> FrameBytes(const std::string& hexText);

// What the exchange of one channel came to. Only Ok carries a value.
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
    // Whole and right, but the value is a NaN: the slave answered and has
    // nothing to tell (a broken sensor, a value it could not make). Never a
    // reading.
    NotANumber,
    // No request went out: no port is open (not chosen, or lost and not
    // back yet).
    NoPort,
};
inline constexpr int kOutcomeCount = 11;
const char* OutcomeName(TExchangeOutcome outcome);

// Judges the bytes of a reply to a two-register read request: the request's
// address and function, byte count 4, CRC correct. `length` is how many reply
// bytes came in (9 for a whole reply, 5 for an exception reply). Sets value
// (the float as sent, a NaN included) only for Ok, exceptionCode only for
// Exception.
TExchangeOutcome ClassifyReply(uint8_t address, uint8_t function, const uint8_t* reply, int length, float& value,
                               int& exceptionCode);

} // namespace kelvara
