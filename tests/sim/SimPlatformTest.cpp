// The in-process bus as the logger meets it: a real TSerialChannel on a
// TSimPlatform, read through TChannelReader's exchanges.
#include "sim/SimPlatform.h"

#include "acquisition/Transaction.h"
#include "support/Frames.h"
#ifndef _WIN32
#include "support/PtyPeer.h"
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

using namespace kelvara;
using namespace kelvara::sim;
using namespace kelvara::test;

namespace {

// A request frame as the channel table makes it.
TFrame Frame(int slave)
{
    return ReadRequest(slave);
}

// A channel connected to the simulated device of its own bus.
struct TSimLink {
    explicit TSimLink(TSimOptions options = {}) : Bus(options), Ser(Bus), Reader(Ser)
    {
        Ser.Connect(kSimulatedDevice);
        Ser.Config(options.Baud, 8, 'e', 0, false, false);
    }
    TSimPlatform Bus;
    TSerialChannel Ser;
    TChannelReader Reader;
};

} // namespace

// With and without wire timing: each slave's own value, in one exchange each.
// The bus takes parity (Config asks for even), which a pseudo-terminal refuses.
TEST(SimPlatform, SevenSlavesAnswerTheirValues)
{
    const float values[8] = {0, 1.25f, -0.5f, 12.75f, 0.0f, 41.276f, -5.891f, 23.5f};
    for (const bool wire : {false, true}) {
        TSimOptions options;
        options.Baud = 9600;
        options.WireTiming = wire;
        TSimLink link(options);
        ASSERT_TRUE(link.Ser.InstanceActive()) << link.Ser.LastErrorDesc();
        EXPECT_EQ(link.Ser.LastError(), 0) << link.Ser.LastErrorDesc();
        for (int s = 1; s <= 7; ++s) link.Bus.SetValue(s, values[s]);
        for (int s = 1; s <= 7; ++s) {
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(link.Reader.ReadChannel(Frame(s)), values[s]) << "slave " << s << ", wire timing " << wire;
            // At 9600 baud a character takes 1.15 ms: the request's 8, the
            // end-of-frame silence and the reply's 9 cannot take less than 23 ms.
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(wire ? 23 : 0));
            EXPECT_EQ(link.Bus.Counters(s).RepliesSent, 1u);
        }
    }
}

// Each fault as the master's exchange judges it, the slave's neighbours
// unaffected. A timing fault either stays within the 25 ms a byte may take
// or far beyond it.
TEST(SimPlatform, FaultsReachTheMasterAsExchangeOutcomes)
{
    struct {
        TFault Fault;
        TExchangeOutcome Outcome;
    } const cases[] = {
        {{TFaultKind::None, 0}, TExchangeOutcome::Ok},
        {{TFaultKind::Silent, 0}, TExchangeOutcome::Silent},
        {{TFaultKind::Exception, 0}, TExchangeOutcome::Exception},
        {{TFaultKind::BadCrc, 0}, TExchangeOutcome::BadCrc},
        {{TFaultKind::WrongAddress, 0}, TExchangeOutcome::WrongAddress},
        {{TFaultKind::WrongFunction, 0}, TExchangeOutcome::WrongFunction},
        {{TFaultKind::WrongByteCount, 0}, TExchangeOutcome::WrongByteCount},
        {{TFaultKind::Truncate, 4}, TExchangeOutcome::Short},
        {{TFaultKind::Truncate, 0}, TExchangeOutcome::Silent},
        {{TFaultKind::DelayBefore, 5}, TExchangeOutcome::Ok},
        {{TFaultKind::DelayBefore, 500}, TExchangeOutcome::Silent},
        {{TFaultKind::DelayBetween, 2}, TExchangeOutcome::Ok},
        {{TFaultKind::DelayBetween, 500}, TExchangeOutcome::Short},
        {{TFaultKind::Late, 500}, TExchangeOutcome::Silent},
        {{TFaultKind::Garbage, 0}, TExchangeOutcome::BadCrc},
        {{TFaultKind::SignallingNaN, 0}, TExchangeOutcome::NotANumber},
        {{TFaultKind::QuietNaN, 0}, TExchangeOutcome::NotANumber},
        {{TFaultKind::OneRegister, 0}, TExchangeOutcome::Short},
        {{TFaultKind::Echo, 0}, TExchangeOutcome::Short},
    };
    for (const auto& c : cases) {
        const std::string name = FaultKindName(c.Fault.Kind) + "=" + std::to_string(c.Fault.Arg);
        TSimLink link;
        link.Bus.SetFault(4, c.Fault);
        EXPECT_EQ(link.Reader.ReadChannel(Frame(3)), 3.0f) << name;
        const float value = link.Reader.ReadChannel(Frame(4));
        EXPECT_EQ(link.Reader.LastOutcome(), c.Outcome) << name;
        const bool valued = c.Outcome == TExchangeOutcome::Ok;
        EXPECT_TRUE(valued ? value == 4.0f : std::isnan(value)) << name << ": " << value;
        // Slave 5 answers, unless a reply still on its way holds the line.
        if (c.Fault.Arg < 500) {
            EXPECT_EQ(link.Reader.ReadChannel(Frame(5)), 5.0f) << name;
        }
    }
}

// A late reply either arrives before the next exchange purges the input and
// is dropped, or while the next slave is being read and is judged there as a
// reply from the wrong address; never is it taken for that slave's value.
TEST(SimPlatform, LateReplyIsNeverTheNextSlavesAnswer)
{
    struct {
        int LateMs;
        int PauseMs; // before the next slave is read
        TExchangeOutcome Outcome;
    } const cases[] = {
        {300, 0, TExchangeOutcome::WrongAddress},
        {40, 100, TExchangeOutcome::Ok},
    };
    for (const auto& c : cases) {
        TSimLink link;
        link.Bus.SetFault(2, {TFaultKind::Late, c.LateMs});
        const float late = link.Reader.ReadChannel(Frame(2));
        EXPECT_TRUE(std::isnan(late) || late == 2.0f) << late;
        std::this_thread::sleep_for(std::chrono::milliseconds(c.PauseMs));
        // Until the late reply is due, slave 3's reply waits behind it.
        float value = NAN;
        for (int k = 0; k < 100; ++k) {
            value = link.Reader.ReadChannel(Frame(3));
            if (link.Reader.LastOutcome() != TExchangeOutcome::Silent) break;
        }
        EXPECT_EQ(link.Reader.LastOutcome(), c.Outcome) << "late " << c.LateMs;
        EXPECT_TRUE(std::isnan(value) || value == 3.0f) << value;
        EXPECT_EQ(link.Reader.ReadChannel(Frame(3)), 3.0f);
        EXPECT_EQ(link.Bus.Counters(2).RepliesSent, 1u);
    }
}

// Only the simulated device is the bus's own: another path is the fallback
// platform's, with its failures, while the simulated device stays usable.
TEST(SimPlatform, OtherPathsGoToTheFallback)
{
    TSimPlatform bus;
    TSerialChannel sim(bus);
    sim.Connect(kSimulatedDevice);
    ASSERT_TRUE(sim.InstanceActive());
    EXPECT_EQ(sim.Handle(), TSimPlatform::kSimulatedHandle);

    TSerialChannel again(bus);
    again.Connect(kSimulatedDevice);
    EXPECT_FALSE(again.InstanceActive());
    EXPECT_NE(again.LastError(), 0);

    const std::string missing = "kelvara-no-such-port";
    DefaultSerialPlatform().Open(missing);
    const int expected = DefaultSerialPlatform().LastError();
    again.Connect(missing);
    EXPECT_FALSE(again.InstanceActive());
    EXPECT_EQ(again.LastError(), expected);

#ifndef _WIN32
    TPtyPeer peer;
    peer.Serve(8, [](const TBytes& req) { return WithCrc({req[0], 0x04, 0x04, 0x42, 0x28, 0x00, 0x00}); });
    TSerialChannel real(bus);
    real.Connect(peer.Path());
    ASSERT_TRUE(real.InstanceActive()) << real.LastErrorDesc();
    EXPECT_NE(real.Handle(), TSimPlatform::kSimulatedHandle);
    const float fromPeer = TChannelReader(real).ReadChannel(Frame(1));
    EXPECT_TRUE(std::isnan(fromPeer) || fromPeer == 42.0f) << fromPeer;
    EXPECT_EQ(TChannelReader(sim).ReadChannel(Frame(1)), 1.0f);
    real.CloseSocket();
    peer.Stop();
    EXPECT_EQ(peer.Requests().size(), 1u);
    EXPECT_EQ(bus.Counters(1).RequestsSeen, 1u);
#endif
    sim.CloseSocket();
    again.Connect(kSimulatedDevice);
    EXPECT_TRUE(again.InstanceActive()) << again.LastErrorDesc();
}
