// Modbus RTU frames as tests write them: hex text both ways, requests and
// bodies with their CRC, frames end to end. The CRC is the core's own; a test
// that checks the CRC itself uses published values instead.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara::test {

using TBytes = std::vector<uint8_t>;

// "01 04 00 04" (blanks optional) to bytes.
TBytes Hex(std::string_view text);
// Bytes as "01 04 00 04".
std::string ToHex(const TBytes& bytes);

// The body with its CRC appended, low byte first as on the wire.
TBytes WithCrc(TBytes body);
TBytes WithCrc(std::string_view bodyHex);

// A read request (function 04 unless another is given) with its CRC: slave
// address, function, start register and register count high byte first.
TBytes ReadRequest(int slave, int start = 4, int count = 2, int function = 0x04);

TBytes Concat(std::initializer_list<TBytes> parts);

} // namespace kelvara::test
