#include "acquisition/Transaction.h"
#include "acquisition/ChannelTable.h"
#include "base/Errors.h"
#include "base/Text.h"
#include "serial/SerialChannel.h"
#include "support/Frames.h"
#include "support/PtyPeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <unistd.h>

using namespace kelvara;
using kelvara::test::TBytes;
using kelvara::test::TPtyPeer;
using kelvara::test::WithCrc;

namespace {

uint32_t Bits(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

const std::string kTc1Text = "010400040002300A";
const TFrame kTc1 = FrameBytes(kTc1Text);

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

// Waits until the channel's input queue holds n bytes, so that "already on
// the line" does not depend on the scheduler. The limit only stops a hang.
bool WaitQueued(TSerialChannel& Ser, int n)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Ser.WaitingData() < n) {
        if (std::chrono::steady_clock::now() > limit) return false;
        usleep(1000);
    }
    return true;
}

} // namespace

TEST(String2Bin, PairsOfDigitsBecomeBytes)
{
    struct Case {
        std::string text;
        TBytes bytes;
    } cases[] = {
        {kTc1Text, {0x01, 0x04, 0x00, 0x04, 0x00, 0x02, 0x30, 0x0A}},
        {"ABC", {0xAB}},
        {"0a", {0x2A}}, // lowercase digits count from "A" = 10: only uppercase converts exactly
        {"", {}},
        {"FF00", {0xFF, 0x00}},
    };
    for (const Case& c : cases) {
        uint8_t buf[16] = {};
        const int n = String2Bin(c.text, buf);
        EXPECT_EQ(TBytes(buf, buf + n), c.bytes) << c.text;
    }
    uint8_t buf[4];
    EXPECT_THROW(String2Bin(" 1", buf), ERangeError);
}

// A channel whose line is a script: what SendBuffer writes is recorded, and
// each RecvBufferEx hands out the next bytes of the reply, never more than
// asked. It replaces the transfer steps of a closed channel, so the
// transaction runs without a device and without timing.
class TScriptedChannel : public TSerialChannel {
public:
    // Open as far as the transaction can tell.
    TScriptedChannel() { FInstanceActive = true; }
    ~TScriptedChannel() override { FInstanceActive = false; }

    TBytes reply;
    std::vector<std::string> calls; // "discard", "send 8", "recv 5 25", ...
    TBytes sent;

    void DiscardInput() override { calls.push_back("discard"); }
    int SendBuffer(const void* buffer, int length) override
    {
        calls.push_back("send " + std::to_string(length));
        const auto* p = static_cast<const uint8_t*>(buffer);
        sent.assign(p, p + length);
        return length;
    }
    int RecvBufferEx(void* buffer, int length, int timeout) override
    {
        calls.push_back("recv " + std::to_string(length) + " " + std::to_string(timeout));
        const int n = std::min<int>(length, static_cast<int>(reply.size() - at_));
        if (n > 0) std::memcpy(buffer, reply.data() + at_, n);
        at_ += n;
        return n;
    }

private:
    size_t at_ = 0;
};

TEST(ReadChannel, RepliesTheirOutcomesAndTheReadsTheyCost)
{
    const TBytes good = {0x01, 0x04, 0x04, 0x41, 0xC8, 0x00, 0x00, 0x6E, 0x46};
    ASSERT_EQ(WithCrc({0x01, 0x04, 0x04, 0x41, 0xC8, 0x00, 0x00}), good);
    const std::vector<std::string> two = {"discard", "send 8", "recv 5 25", "recv 4 25"};
    const std::vector<std::string> one = {"discard", "send 8", "recv 5 25"};
    struct Case {
        const char* what;
        TBytes reply;
        TExchangeOutcome outcome;
        float value; // NaN: no reading
        std::vector<std::string> calls;
    } cases[] = {
        {"whole and right", good, TExchangeOutcome::Ok, 25.0f, two},
        {"exception", WithCrc({0x01, 0x84, 0x02}), TExchangeOutcome::Exception, NAN, one},
        {"wrong CRC", {0x01, 0x04, 0x04, 0x41, 0xC8, 0x00, 0x00, 0x00, 0x00}, TExchangeOutcome::BadCrc, NAN, two},
        {"wrong address", WithCrc({0x02, 0x04, 0x04, 0x41, 0xC8, 0x00, 0x00}), TExchangeOutcome::WrongAddress, NAN,
         two},
        {"wrong function", WithCrc({0x01, 0x03, 0x04, 0x41, 0xC8, 0x00, 0x00}), TExchangeOutcome::WrongFunction, NAN,
         two},
        {"wrong byte count", WithCrc({0x01, 0x04, 0x02, 0x41, 0xC8, 0x00, 0x00}), TExchangeOutcome::WrongByteCount, NAN,
         two},
        {"one-register reply", WithCrc({0x01, 0x04, 0x02, 0x41, 0xC8}), TExchangeOutcome::Short, NAN, two},
        {"cut after three bytes", {0x01, 0x04, 0x04}, TExchangeOutcome::Short, NAN, one},
        {"exception from another slave", WithCrc({0x02, 0x84, 0x02}), TExchangeOutcome::WrongAddress, NAN, one},
        {"exception with a bad CRC", {0x01, 0x84, 0x02, 0x00, 0x00}, TExchangeOutcome::BadCrc, NAN, one},
        // A NaN the slave sends is its answer, but no reading.
        {"quiet NaN", WithCrc({0x01, 0x04, 0x04, 0x7F, 0xC0, 0x00, 0x00}), TExchangeOutcome::NotANumber, NAN, two},
        {"signalling NaN", WithCrc({0x01, 0x04, 0x04, 0x7F, 0x80, 0x00, 0x01}), TExchangeOutcome::NotANumber, NAN, two},
        {"negative NaN", WithCrc({0x01, 0x04, 0x04, 0xFF, 0x80, 0x00, 0x05}), TExchangeOutcome::NotANumber, NAN, two},
        {"silence: one wait, no second read", {}, TExchangeOutcome::Silent, NAN, one},
    };
    for (const Case& c : cases) {
        TScriptedChannel ch;
        ch.reply = c.reply;
        TChannelReader reader(ch);
        float v = 0;
        ASSERT_NO_THROW(v = reader.ReadChannel(kTc1)) << c.what;
        EXPECT_EQ(reader.LastOutcome(), c.outcome) << c.what;
        if (std::isnan(c.value)) {
            // Every unusable reply reads the one NaN that stands for no reading.
            EXPECT_EQ(Bits(v), 0xFFC00000u) << c.what;
        } else {
            EXPECT_EQ(v, c.value) << c.what;
        }
        // Stale input goes before the request; the reads keep their timing.
        EXPECT_EQ(ch.calls, c.calls) << c.what;
        EXPECT_EQ(ch.sent, (TBytes{0x01, 0x04, 0x00, 0x04, 0x00, 0x02, 0x30, 0x0A}));
        EXPECT_EQ(reader.TxBuf()[7], 0x0A);
        EXPECT_EQ(reader.LastExceptionCode(), c.outcome == TExchangeOutcome::Exception ? 2 : 0);
    }
}

TEST(ReadChannel, OverARealLineASilentSlaveCostsOneWait)
{
    TLink link;
    ASSERT_TRUE(link.Ser.InstanceActive()) << link.Ser.LastErrorDesc();
    const auto t0 = std::chrono::steady_clock::now();
    const float v = link.reader.ReadChannel(kTc1);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(Bits(v), 0xFFC00000u);
    EXPECT_EQ(link.reader.LastOutcome(), TExchangeOutcome::Silent);
    EXPECT_GE(ms, 24);
    // The request went out as eight bytes.
    EXPECT_EQ(link.peer.ReadUntilQuiet(50).Bytes, (TBytes{0x01, 0x04, 0x00, 0x04, 0x00, 0x02, 0x30, 0x0A}));
}

TEST(ReadChannel, OverARealLineAStaleReplyFromTheSameSlaveIsNeverTakenForItsAnswer)
{
    // Slave 2 answers 42.0. Before the request, a reply of slave 2 from an
    // earlier exchange (25.0) already waits in the input queue: whole, with
    // the right address, function, byte count and CRC, so nothing in the reply
    // itself gives it away. Only emptying the input before the request keeps
    // it from being read as the answer. On a loaded machine the answer may
    // miss its 25 ms and read NaN, so a few tries are allowed, each on a line
    // of its own so that a late answer cannot blur the next try: but 25.0
    // must never appear.
    const TBytes stale = WithCrc({0x02, 0x04, 0x04, 0x41, 0xC8, 0x00, 0x00});
    int ok = 0;
    for (int k = 0; k < 5 && ok < 2; ++k) {
        TLink link;
        ASSERT_TRUE(link.Ser.InstanceActive()) << link.Ser.LastErrorDesc();
        link.peer.Serve(8, [](const TBytes& req) { return WithCrc({req[0], 0x04, 0x04, 0x42, 0x28, 0x00, 0x00}); });
        link.peer.Write(stale);
        ASSERT_TRUE(WaitQueued(link.Ser, static_cast<int>(stale.size())));
        const float v = link.reader.ReadChannel(FrameBytes("0204000400023039"));
        link.peer.Stop();
        EXPECT_TRUE(std::isnan(v) || v == 42.0f) << "try " << k << " read " << v;
        ok += v == 42.0f;
    }
    EXPECT_GE(ok, 1);
}

TEST(ReadChannel, WithoutAPortNothingGoesOutAndTheOutcomeSaysSo)
{
    TSerialChannel Ser;
    TChannelReader reader(Ser);
    EXPECT_TRUE(std::isnan(reader.ReadChannel(kTc1)));
    // Not "silent": no slave was asked.
    EXPECT_EQ(reader.LastOutcome(), TExchangeOutcome::NoPort);
    // A frame longer than the transmit buffer is refused before anything is sent.
    EXPECT_THROW(reader.ReadChannel(TFrame(17, 0)), ERangeError);
}
