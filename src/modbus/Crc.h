// The CRC of the Modbus serial line (RTU): reflected polynomial 0xA001,
// initial value 0xFFFF, no final XOR. On the wire the low byte goes first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvara {

uint16_t Crc16Modbus(const uint8_t* data, size_t length);

// Appends the CRC of frame, low byte first.
void AppendCrc(std::vector<uint8_t>& frame);

// True when the last two of length bytes (at least four in all: address,
// function, CRC) are the CRC of the bytes before them.
bool RtuCrcOk(const uint8_t* frame, size_t length);

} // namespace kelvara
