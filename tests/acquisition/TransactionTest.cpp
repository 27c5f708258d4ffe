#include "acquisition/ChannelTable.h"
#include "acquisition/Transaction.h"
#include "base/Errors.h"
#include "base/Text.h"
#include "serial/SerialChannel.h"
#include "support/PtyPeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>

using namespace kelvara;
using kelvara::test::TBytes;
using kelvara::test::TPtyPeer;

namespace {

uint32_t Bits(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

TBytes WithCrc(TBytes frame)
{
    const uint16_t crc = Crc16Modbus(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF)); // low byte first on the wire
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

const std::string kTc1 = "010400040002300A";

struct TLink {
    TPtyPeer peer;
    TSerialChannel Ser;
    TChannelReader reader{Ser};
    TLink()
    {
        Ser.Connect(peer.Path());
        Ser.Config(19200, 8, 'n', 0, false, false);
    }
};

} // namespace

TEST(String2Bin, PairsOfDigitsBecomeBytes)
{
    struct Case {
        std::string text;
        TBytes bytes;
    } cases[] = {
        {kTc1, {0x01, 0x04, 0x00, 0x04, 0x00, 0x02, 0x30, 0x0A}},
        {"ABC", {0xAB}},
        {"0a", {0x2A}}, // lowercase digits count from "A" = 10: only uppercase converts exactly
        {"", {}},
        {"FF00", {0xFF, 0x00}},
    };
    for (const Case& c : cases) {
        uint8_t buf[16] = {};
        const int n = TChannelReader::String2Bin(c.text, buf);
        EXPECT_EQ(TBytes(buf, buf + n), c.bytes) << c.text;
    }
    uint8_t buf[4];
    EXPECT_THROW(TChannelReader::String2Bin(" 1", buf), ERangeError);
}

TEST(ReadChannel, RepliesAndTheirOutcomes)
{
    const TBytes good = {0x01, 0x04, 0x04, 0x41, 0xC8, 0x00, 0x00, 0x6E, 0x46};
    ASSERT_EQ(WithCrc({0x01, 0x04, 0x04, 0x41, 0xC8, 0x00, 0x00}), good);
    struct Case {
        const char* what;
        TBytes reply;
        TExchangeOutcome outcome;
        float value; // NaN: no reading
    } cases[] = {
        {"whole and right", good, TExchangeOutcome::Ok, 25.0f},
        {"exception", WithCrc({0x01, 0x84, 0x02}), TExchangeOutcome::Exception, NAN},
        {"wrong CRC", {0x01, 0x04, 0x04, 0x41, 0xC8, 0x00, 0x00, 0x00, 0x00}, TExchangeOutcome::BadCrc, NAN},
        {"wrong address", WithCrc({0x02, 0x04, 0x04, 0x41, 0xC8, 0x00, 0x00}), TExchangeOutcome::WrongAddress, NAN},
        {"wrong function", WithCrc({0x01, 0x03, 0x04, 0x41, 0xC8, 0x00, 0x00}), TExchangeOutcome::WrongFunction, NAN},
        {"wrong byte count", WithCrc({0x01, 0x04, 0x02, 0x41, 0xC8, 0x00, 0x00}), TExchangeOutcome::WrongByteCount, NAN},
        {"one-register reply", WithCrc({0x01, 0x04, 0x02, 0x41, 0xC8}), TExchangeOutcome::Short, NAN},
        {"cut after three bytes", {0x01, 0x04, 0x04}, TExchangeOutcome::Short, NAN},
        {"exception from another slave", WithCrc({0x02, 0x84, 0x02}), TExchangeOutcome::WrongAddress, NAN},
        {"quiet NaN", WithCrc({0x01, 0x04, 0x04, 0x7F, 0xC0, 0x00, 0x00}), TExchangeOutcome::Ok, NAN},
        {"signalling NaN", WithCrc({0x01, 0x04, 0x04, 0x7F, 0x80, 0x00, 0x01}), TExchangeOutcome::Ok, NAN},
        {"silence", {}, TExchangeOutcome::Silent, NAN},
    };
    TLink link;
    ASSERT_TRUE(link.Ser.InstanceActive()) << link.Ser.LastErrorDesc();
    for (const Case& c : cases) {
        link.peer.Serve(8, [&](const TBytes&) { return c.reply; });
        float v = 0;
        ASSERT_NO_THROW(v = link.reader.ReadChannel(kTc1)) << c.what;
        link.peer.Stop();
        EXPECT_EQ(link.reader.LastOutcome(), c.outcome) << c.what;
        if (std::isnan(c.value)) {
            // Every unusable reply reads the one NaN that stands for no reading.
            EXPECT_EQ(Bits(v), 0xFFC00000u) << c.what;
        } else {
            EXPECT_EQ(v, c.value) << c.what;
        }
        ASSERT_EQ(link.peer.requests.size(), 1u) << c.what;
        EXPECT_EQ(link.peer.requests[0], (TBytes{0x01, 0x04, 0x00, 0x04, 0x00, 0x02, 0x30, 0x0A}));
    }
    // The exception code is kept for the window and the logger.
    link.peer.Serve(8, [&](const TBytes&) { return WithCrc({0x01, 0x84, 0x02}); });
    link.reader.ReadChannel(kTc1);
    link.peer.Stop();
    EXPECT_EQ(link.reader.LastExceptionCode(), 2);
}

TEST(ReadChannel, SilentSlaveCostsOneWait)
{
    TLink link;
    const auto t0 = std::chrono::steady_clock::now();
    const float v = link.reader.ReadChannel(kTc1);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - t0)
                        .count();
    EXPECT_EQ(Bits(v), 0xFFC00000u);
    EXPECT_GE(ms, 20);
    // Not two waits of 25 ms and more: a generous bound against a second read.
    EXPECT_LT(ms, 48);
}

TEST(ReadChannel, StaleBytesAreNeverTakenForTheNextChannelsReply)
{
    TLink link;
    // Slave 1 answers too late: its reply is on the line before slave 2 is asked.
    link.peer.Write(WithCrc({0x01, 0x04, 0x04, 0x41, 0xC8, 0x00, 0x00}));
    link.peer.Serve(8, [](const TBytes& req) {
        return WithCrc({req[0], 0x04, 0x04, 0x42, 0x28, 0x00, 0x00}); // 42.0
    });
    const float v = link.reader.ReadChannel("0204000400023039");
    link.peer.Stop();
    EXPECT_EQ(v, 42.0f);
    EXPECT_EQ(link.reader.LastOutcome(), TExchangeOutcome::Ok);
}

TEST(ReadChannel, ClosedPortReadsNanAtOnce)
{
    TSerialChannel Ser;
    TChannelReader reader(Ser);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(std::isnan(reader.ReadChannel(kTc1)));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(20));
    EXPECT_EQ(reader.LastOutcome(), TExchangeOutcome::Silent);
    // A frame longer than the transmit buffer is refused before anything is sent.
    EXPECT_THROW(reader.ReadChannel(std::string(34, '0')), ERangeError);
}
