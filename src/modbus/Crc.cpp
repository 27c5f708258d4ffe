#include "modbus/Crc.h"

namespace kelvara {

uint16_t Crc16Modbus(const uint8_t* data, size_t length)
{
    uint16_t crc = 0xFFFF;
    for (size_t k = 0; k < length; ++k) {
        crc ^= data[k];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

void AppendCrc(std::vector<uint8_t>& frame)
{
    const uint16_t crc = Crc16Modbus(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
}

bool RtuCrcOk(const uint8_t* frame, size_t length)
{
    if (length < 4) return false;
    // Run over a whole frame including its CRC, the Modbus CRC gives 0.
    return Crc16Modbus(frame, length) == 0;
}

} // namespace kelvara
