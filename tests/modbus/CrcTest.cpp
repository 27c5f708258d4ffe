#include "modbus/Crc.h"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

TEST(Crc, ModbusReferenceValues)
{
    const uint8_t body[] = {0x01, 0x04, 0x00, 0x04, 0x00, 0x02};
    EXPECT_EQ(Crc16Modbus(body, sizeof body), 0x0A30); // sent as 30 0A
    const uint8_t frame[] = {0x01, 0x04, 0x00, 0x04, 0x00, 0x02, 0x30, 0x0A};
    EXPECT_EQ(Crc16Modbus(frame, sizeof frame), 0);
    // The common check value of CRC-16/MODBUS over "123456789".
    EXPECT_EQ(Crc16Modbus(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x4B37);
}

} // namespace
} // namespace kelvara
