// What one simulated slave answers to one request: the Modbus reply built from
// the request and the slave's value, then bent by the fault the slave is told
// to show. Pure byte work, so every fault can be checked without a device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvara::sim {

// The faults a slave can show. Arg is given per kind below; 0 selects the
// stated default.
enum class TFaultKind {
    None,
    Silent,         // no reply at all
    Exception,      // exception reply with code Arg (default 04, server device failure)
    BadCrc,         // the normal reply with both CRC bytes inverted
    WrongAddress,   // the reply from address Arg (default: own address + 1), valid CRC
    WrongFunction,  // function code Arg (default: 03 for 04), valid CRC
    WrongByteCount, // byte count Arg (default: twice the real count), data unchanged, valid CRC
    Truncate,       // only the first Arg bytes of the reply (0: nothing goes out)
    DelayBefore,    // a slow slave: Arg ms more before the reply starts
    DelayBetween,   // Arg ms of silence between two bytes of the reply
    Late,           // the reply starts Arg ms late (default 40), past the logger's 25 ms
                    // read window, so the master reads it in the next slave's exchange
    Garbage,        // Arg noise bytes (default 3) right before the reply
    SignallingNaN,  // the value 7F 80 00 01
    QuietNaN,       // the value 7F C0 00 00
    OneRegister,    // a reply with only the first requested register
    Echo,           // the request bytes sent back unchanged
};

struct TFault {
    TFaultKind Kind = TFaultKind::None;
    int Arg = 0;
};

// The value lives in input registers 4 (high half) and 5 (low half).
inline constexpr int kValueRegister = 4;

// Names for options and reports: "silent", "exception", "bad-crc", ... Parsing
// ignores case, '-' and '_', so "BadCrc" and "bad_crc" work too; "snan" and
// "qnan" are accepted for the NaNs. An unknown name raises EError.
TFaultKind ParseFaultKindName(const std::string& name);
std::string FaultKindName(TFaultKind kind);
std::vector<TFaultKind> AllFaultKinds();

// The reply as a correct slave sends it: function 04 reading within registers
// 4..5 gets the value's registers, big endian; another function gets exception
// 01, a register outside 4..5 exception 02, a register count of 0 or above 125
// exception 03. The request must be a complete frame with a valid CRC,
// addressed to this slave.
std::vector<uint8_t> BuildNormalReply(const std::vector<uint8_t>& request, uint32_t valueBits);

// The reply with the fault applied to its bytes. The timing faults
// (DelayBefore, DelayBetween, Late) leave the bytes alone: the bus applies
// them when it sends. An empty result means that nothing is sent.
std::vector<uint8_t> BuildReply(const std::vector<uint8_t>& request, float value, const TFault& fault);

} // namespace kelvara::sim
