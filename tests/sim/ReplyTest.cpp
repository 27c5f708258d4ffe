#include "sim/Reply.h"
#include "modbus/Crc.h"

#include "base/Errors.h"
#include "modbus/Framer.h"
#include "support/Frames.h"

#include <gtest/gtest.h>

using namespace kelvara;
using namespace kelvara::sim;
using namespace kelvara::test;

TEST(Reply, CorrectSlaveAnswersAndExceptions)
{
    struct {
        const char* Name;
        TBytes Request;
        float Value;
        TBytes Expected;
    } const cases[] = {
        // A reply that the logger's own tests decode as 25.0, CRC included.
        {"two registers", Hex("01 04 00 04 00 02 30 0A"), 25.0f, Hex("01 04 04 41 C8 00 00 6E 46")},
        {"register 4 alone", ReadRequest(1, 4, 1), 25.0f, WithCrc("01 04 02 41 C8")},
        {"register 5 alone", ReadRequest(7, 5, 1), -1.5f, WithCrc("07 04 02 00 00")},
        {"negative value", ReadRequest(3), -1.5f, WithCrc("03 04 04 BF C0 00 00")},
        {"holding registers", ReadRequest(1, 4, 2, 0x03), 25.0f, WithCrc("01 83 01")},
        {"write single register", WithCrc("02 06 00 04 12 34"), 25.0f, WithCrc("02 86 01")},
        {"register 0", ReadRequest(1, 0, 2), 25.0f, WithCrc("01 84 02")},
        {"registers 5 and 6", ReadRequest(1, 5, 2), 25.0f, WithCrc("01 84 02")},
        {"register 6", ReadRequest(1, 6, 1), 25.0f, WithCrc("01 84 02")},
        {"register 65535", ReadRequest(1, 65535, 1), 25.0f, WithCrc("01 84 02")},
        {"no register", ReadRequest(1, 4, 0), 25.0f, WithCrc("01 84 03")},
        {"126 registers", ReadRequest(1, 4, 126), 25.0f, WithCrc("01 84 03")},
    };
    for (const auto& c : cases) EXPECT_EQ(ToHex(BuildReply(c.Request, c.Value, {})), ToHex(c.Expected)) << c.Name;
}

TEST(Reply, EachFaultBendsTheReplyAsNamed)
{
    const TBytes request = ReadRequest(1);
    const TBytes normal = Hex("01 04 04 41 C8 00 00 6E 46");
    const TBytes badCrc = Hex("01 04 04 41 C8 00 00 91 B9");
    const TBytes exceptionRequest = ReadRequest(1, 0, 2);

    struct {
        const char* Name;
        TBytes Request;
        TFault Fault;
        TBytes Expected;
    } const cases[] = {
        {"silent", request, {TFaultKind::Silent, 0}, {}},
        {"exception, default code", request, {TFaultKind::Exception, 0}, WithCrc("01 84 04")},
        {"exception 0B", request, {TFaultKind::Exception, 0x0B}, WithCrc("01 84 0B")},
        {"bad CRC", request, {TFaultKind::BadCrc, 0}, badCrc},
        {"bad CRC on an exception", exceptionRequest, {TFaultKind::BadCrc, 0}, Hex("01 84 02 3D 3E")},
        {"wrong address, default", request, {TFaultKind::WrongAddress, 0}, WithCrc("02 04 04 41 C8 00 00")},
        {"wrong address 9", request, {TFaultKind::WrongAddress, 9}, WithCrc("09 04 04 41 C8 00 00")},
        {"wrong function, default", request, {TFaultKind::WrongFunction, 0}, WithCrc("01 03 04 41 C8 00 00")},
        {"wrong function 84", request, {TFaultKind::WrongFunction, 0x84}, WithCrc("01 84 04 41 C8 00 00")},
        {"wrong byte count, default", request, {TFaultKind::WrongByteCount, 0}, WithCrc("01 04 08 41 C8 00 00")},
        {"wrong byte count 3", request, {TFaultKind::WrongByteCount, 3}, WithCrc("01 04 03 41 C8 00 00")},
        {"truncate to nothing", request, {TFaultKind::Truncate, 0}, {}},
        {"truncate after 5", request, {TFaultKind::Truncate, 5}, Hex("01 04 04 41 C8")},
        {"truncate beyond the end", request, {TFaultKind::Truncate, 50}, normal},
        {"signalling NaN", request, {TFaultKind::SignallingNaN, 0}, WithCrc("01 04 04 7F 80 00 01")},
        {"quiet NaN", request, {TFaultKind::QuietNaN, 0}, WithCrc("01 04 04 7F C0 00 00")},
        {"one register", request, {TFaultKind::OneRegister, 0}, WithCrc("01 04 02 41 C8")},
        {"one register of an exception", exceptionRequest, {TFaultKind::OneRegister, 0}, WithCrc("01 84 02")},
        {"echo", request, {TFaultKind::Echo, 0}, request},
        {"delay before leaves the bytes", request, {TFaultKind::DelayBefore, 30}, normal},
        {"delay between leaves the bytes", request, {TFaultKind::DelayBetween, 5}, normal},
        {"late leaves the bytes", request, {TFaultKind::Late, 0}, normal},
    };
    for (const auto& c : cases) EXPECT_EQ(ToHex(BuildReply(c.Request, 25.0f, c.Fault)), ToHex(c.Expected)) << c.Name;

    // Garbage: the normal reply, preceded by the given number of bytes that do
    // not themselves start a valid reply.
    for (int count : {0, 1, 7}) {
        const TBytes got = BuildReply(request, 25.0f, {TFaultKind::Garbage, count});
        const size_t noise = count == 0 ? 3 : static_cast<size_t>(count);
        ASSERT_EQ(got.size(), normal.size() + noise) << count;
        EXPECT_EQ(TBytes(got.begin() + static_cast<long>(noise), got.end()), normal) << count;
        EXPECT_FALSE(RtuCrcOk(got.data(), got.size())) << count;
    }
}

TEST(Reply, FaultKindNames)
{
    for (TFaultKind kind : AllFaultKinds())
        EXPECT_EQ(ParseFaultKindName(FaultKindName(kind)), kind) << FaultKindName(kind);
    EXPECT_EQ(AllFaultKinds().size(), 16u);
    EXPECT_EQ(ParseFaultKindName("BadCrc"), TFaultKind::BadCrc);
    EXPECT_EQ(ParseFaultKindName("wrong_byte_count"), TFaultKind::WrongByteCount);
    EXPECT_EQ(ParseFaultKindName("SNAN"), TFaultKind::SignallingNaN);
    EXPECT_EQ(ParseFaultKindName("qnan"), TFaultKind::QuietNaN);
    EXPECT_THROW(ParseFaultKindName("sometimes"), kelvara::EError);
    EXPECT_THROW(ParseFaultKindName(""), kelvara::EError);
}
