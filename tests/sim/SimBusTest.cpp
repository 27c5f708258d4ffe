#include "sim/SimBus.h"
#include "modbus/Crc.h"

#include "base/Errors.h"
#include "support/Frames.h"
#include "support/PtyPeer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <future>
#include <sys/resource.h>
#include <thread>

using namespace kelvara;
using namespace kelvara::sim;
using namespace kelvara::test;
using namespace std::chrono;

namespace {

long Ms(TTestClock::duration d)
{
    return static_cast<long>(duration_cast<milliseconds>(d).count());
}

TBytes ValueReply(int slave, float value)
{
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    TBytes reply{static_cast<uint8_t>(slave),
                 0x04,
                 0x04,
                 static_cast<uint8_t>(bits >> 24),
                 static_cast<uint8_t>(bits >> 16),
                 static_cast<uint8_t>(bits >> 8),
                 static_cast<uint8_t>(bits)};
    AppendCrc(reply);
    return reply;
}

TSimOptions Options(int baud, bool wireTiming = false, double turnaroundMs = 0, std::string profile = "")
{
    TSimOptions options;
    options.Baud = baud;
    options.WireTiming = wireTiming;
    options.TurnaroundMs = turnaroundMs;
    options.Profile = std::move(profile);
    return options;
}

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

TEST(SimBus, AllSevenSlavesAnswerTheirValues)
{
    TSimBus bus;
    bus.Start();
    ASSERT_EQ(bus.DevicePath().rfind("/dev/pts/", 0), 0u) << bus.DevicePath();
    const float values[8] = {0, 1.25f, -0.5f, 12.75f, 0.0f, 41.276f, -5.891f, 23.5f};
    for (int s = 1; s <= 7; ++s) bus.SetValue(s, values[s]);

    TPtyPeer master(bus.DevicePath());
    for (int s = 1; s <= 7; ++s) {
        EXPECT_EQ(bus.CurrentValue(s), values[s]);
        master.Write(ReadRequest(s));
        EXPECT_EQ(ToHex(master.ReadBytes(9).Bytes), ToHex(ValueReply(s, values[s]))) << "slave " << s;
        const TSlaveCounters c = bus.Counters(s);
        EXPECT_EQ(c.RequestsSeen, 1u);
        EXPECT_EQ(c.RepliesSent, 1u);
        EXPECT_EQ(c.FaultsInjected, 0u);
    }
}

TEST(SimBus, DefaultsAndArgumentChecks)
{
    TSimBus bus;
    for (int s = 1; s <= 6; ++s) EXPECT_EQ(bus.CurrentValue(s), kDefaultEmfMv[s - 1]);
    EXPECT_EQ(bus.CurrentValue(7), 21.5f);
    EXPECT_EQ(bus.DevicePath(), "");
    EXPECT_THROW(bus.SetValue(0, 1.0f), kelvara::ERangeError);
    EXPECT_THROW(bus.SetFault(8, {}), kelvara::ERangeError);
    EXPECT_THROW(bus.Counters(-1), kelvara::ERangeError);
    EXPECT_THROW(bus.SetProfile("lava"), kelvara::EError);
    EXPECT_THROW(TSimBus(Options(0)), kelvara::EError);
    EXPECT_THROW(TSimBus(Options(19200, false, 0, "lava")), kelvara::EError);
    EXPECT_EQ(ParseFaultKindName("late"), TFaultKind::Late);
}

TEST(SimBus, ProfilesMoveUntilAValueIsFixed)
{
    TSimBus bus(Options(19200, false, 0, "sweep"));
    // The sweep starts at -200 °C, far from any fixed default.
    EXPECT_LT(bus.CurrentValue(1), -5.0f);
    EXPECT_GT(bus.CurrentValue(7), 15.0f);
    bus.SetValue(2, 9.5f);
    EXPECT_EQ(bus.CurrentValue(2), 9.5f);
    EXPECT_LT(bus.CurrentValue(3), 40.0f); // the others still follow the profile
    EXPECT_NE(bus.CurrentValue(3), kDefaultEmfMv[2]);
    bus.SetProfile("");
    EXPECT_EQ(bus.CurrentValue(1), kDefaultEmfMv[0]);
    EXPECT_EQ(bus.CurrentValue(2), 9.5f);
}

// Requests that a real slave ignores get no answer at all; the line keeps
// working afterwards.
TEST(SimBus, IgnoresOtherAddressesBroadcastsAndBadCrc)
{
    TSimBus bus;
    bus.Start();
    TPtyPeer master(bus.DevicePath());
    TBytes badCrc = ReadRequest(1);
    badCrc[6] ^= 0x80;
    for (const TBytes& request : {ReadRequest(8), ReadRequest(0), ReadRequest(247), badCrc, Hex("01 04 00 04")}) {
        master.Write(request);
        EXPECT_EQ(ToHex(master.ReadUntilQuiet(40).Bytes), "") << ToHex(request);
    }
    EXPECT_EQ(bus.Counters(1).RequestsSeen, 0u);
    master.Write(ReadRequest(1));
    EXPECT_EQ(ToHex(master.ReadBytes(9).Bytes), ToHex(ValueReply(1, kDefaultEmfMv[0])));
}

TEST(SimBus, AnswersOnlyWellFormedRequestsInABurst)
{
    TSimBus bus;
    bus.Start();
    TPtyPeer master(bus.DevicePath());
    TBytes bad3 = ReadRequest(3);
    bad3[2] ^= 0x01;
    const TBytes noise = Hex("00 FF 55 04 01");
    master.Write(Concat({noise, ReadRequest(1), ReadRequest(2), bad3, noise, ReadRequest(4, 0, 2), ReadRequest(7)}));
    EXPECT_EQ(ToHex(master.ReadBytes(32).Bytes),
              ToHex(Concat({ValueReply(1, 1.0f), ValueReply(2, 2.0f), WithCrc("04 84 02"), ValueReply(7, 21.5f)})));
    EXPECT_EQ(bus.Counters(3).RequestsSeen, 0u);
}

TEST(SimBus, SplitRequestsJoinWithinTheSilenceOnly)
{
    const TBytes request = ReadRequest(5);
    {
        // At 300 baud 3.5 characters last 128 ms, ample for a 3 ms pause.
        TSimBus bus(Options(300));
        bus.Start();
        TPtyPeer master(bus.DevicePath());
        master.Write(TBytes(request.begin(), request.begin() + 3));
        std::this_thread::sleep_for(milliseconds(3));
        master.Write(TBytes(request.begin() + 3, request.end()));
        EXPECT_EQ(ToHex(master.ReadBytes(9).Bytes), ToHex(ValueReply(5, 5.0f)));
    }
    {
        TSimBus bus;
        bus.Start();
        TPtyPeer master(bus.DevicePath());
        master.Write(TBytes(request.begin(), request.begin() + 3));
        std::this_thread::sleep_for(milliseconds(50));
        master.Write(TBytes(request.begin() + 3, request.end()));
        EXPECT_EQ(ToHex(master.ReadUntilQuiet().Bytes), "");
        EXPECT_EQ(bus.Counters(5).RequestsSeen, 0u);
    }
}

// Every fault over the real pty: the bytes the master receives, and for the
// timing faults when they arrive (lower bounds only: a busy machine can only
// make the reader later). The fault is switched at run time, and switching it
// off brings the normal reply back.
TEST(SimBus, FaultsReachTheMaster)
{
    TSimBus bus;
    bus.Start();
    bus.SetValue(3, 25.0f);
    TPtyPeer master(bus.DevicePath());
    const TBytes request = ReadRequest(3);
    const TBytes normal = WithCrc("03 04 04 41 C8 00 00");
    TBytes badCrc = normal;
    badCrc[7] ^= 0xFF;
    badCrc[8] ^= 0xFF;

    struct {
        TFault Fault;
        TBytes Expected;
        long MinFirstByteMs = 0; // from the request to the first byte
        long MinLastByteMs = 0;  // from the request to the last byte
    } const cases[] = {
        {{TFaultKind::Silent, 0}, {}},
        {{TFaultKind::Exception, 2}, WithCrc("03 84 02")},
        {{TFaultKind::BadCrc, 0}, badCrc},
        {{TFaultKind::WrongAddress, 0}, WithCrc("04 04 04 41 C8 00 00")},
        {{TFaultKind::WrongFunction, 0}, WithCrc("03 03 04 41 C8 00 00")},
        {{TFaultKind::WrongByteCount, 9}, WithCrc("03 04 09 41 C8 00 00")},
        {{TFaultKind::Truncate, 4}, Hex("03 04 04 41")},
        {{TFaultKind::DelayBefore, 40}, normal, 40},
        {{TFaultKind::DelayBetween, 6}, normal, 0, 8 * 6},
        {{TFaultKind::Garbage, 2}, BuildReply(request, 25.0f, {TFaultKind::Garbage, 2})},
        {{TFaultKind::SignallingNaN, 0}, WithCrc("03 04 04 7F 80 00 01")},
        {{TFaultKind::QuietNaN, 0}, WithCrc("03 04 04 7F C0 00 00")},
        {{TFaultKind::OneRegister, 0}, WithCrc("03 04 02 41 C8")},
        {{TFaultKind::Echo, 0}, request},
    };
    uint64_t faults = 0;
    for (const auto& c : cases) {
        const std::string name = FaultKindName(c.Fault.Kind);
        bus.SetFault(3, c.Fault);
        const auto sent = TTestClock::now();
        master.Write(request);
        const TReceived got = master.ReadBytes(c.Expected.size(), 40);
        EXPECT_EQ(ToHex(got.Bytes), ToHex(c.Expected)) << name;
        EXPECT_EQ(bus.Counters(3).FaultsInjected, ++faults) << name;
        if (!got.Bytes.empty()) {
            EXPECT_GE(Ms(got.Times.front() - sent), c.MinFirstByteMs) << name;
            EXPECT_GE(Ms(got.Times.back() - sent), c.MinLastByteMs) << name;
        }
        bus.SetFault(3, {});
        master.Write(request);
        EXPECT_EQ(ToHex(master.ReadBytes(normal.size()).Bytes), ToHex(normal)) << "after " << name;
    }
    const TSlaveCounters c = bus.Counters(3);
    EXPECT_EQ(c.RequestsSeen, 2 * std::size(cases));
    // Silent and truncation to nothing send no reply; every other one does.
    EXPECT_EQ(c.RepliesSent, 2 * std::size(cases) - 1);
}

// A reply that comes after the master has given up is what the master reads
// first in its next exchange, ahead of the next slave's own reply.
TEST(SimBus, LateReplyLandsInTheNextSlavesSlot)
{
    TSimBus bus;
    bus.Start();
    bus.SetFault(1, {TFaultKind::Late, 150});
    TPtyPeer master(bus.DevicePath());
    master.Write(ReadRequest(1));
    EXPECT_EQ(ToHex(master.ReadUntilQuiet(25, 25).Bytes), "");
    master.Write(ReadRequest(2));
    EXPECT_EQ(ToHex(master.ReadBytes(18, 40).Bytes), ToHex(Concat({ValueReply(1, 1.0f), ValueReply(2, 2.0f)})));
}

TEST(SimBus, WireTimingPacesTheRequestTurnaroundAndReply)
{
    // 9600 baud: 1.146 ms a character. The request's 8 characters, the
    // turnaround and the reply's 9 characters add up to about 24.5 ms.
    TSimBus bus(Options(9600, true, 5));
    bus.Start();
    TPtyPeer master(bus.DevicePath());
    const auto sent = TTestClock::now();
    master.Write(ReadRequest(6));
    const TReceived got = master.ReadBytes(9, 40);
    ASSERT_EQ(ToHex(got.Bytes), ToHex(ValueReply(6, 6.0f)));
    // Without pacing of the reply bytes the last one would come at 14 ms.
    // Lower bounds only: a busy machine can only make the bytes later. The
    // character time itself is the framer's, checked there.
    EXPECT_GE(Ms(got.Times.front() - sent), 14);
    EXPECT_GE(Ms(got.Times.back() - sent), 24);
}

TEST(SimBus, StopDropsAPendingReplyAndRestartWorks)
{
    TSimBus bus;
    bus.Start();
    bus.SetFault(1, {TFaultKind::Late, 3600 * 1000}); // due in an hour
    {
        TPtyPeer master(bus.DevicePath());
        master.Write(ReadRequest(1));
        // The request has been taken in: its reply is pending.
        for (int k = 0; k < 10000 && bus.Counters(1).RequestsSeen == 0; ++k)
            std::this_thread::sleep_for(milliseconds(1));
        ASSERT_EQ(bus.Counters(1).RequestsSeen, 1u);
    }
    // A Stop that waited for the reply would not return for an hour. It runs
    // on a thread of its own so that such a Stop fails here after 30 s
    // instead of stalling the suite: a hang detector, not a speed limit.
    std::promise<void> stopped;
    std::thread stopper([&] {
        bus.Stop();
        stopped.set_value();
    });
    if (stopped.get_future().wait_for(seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "Stop is waiting for the pending reply";
        std::abort(); // the stopper cannot be joined, and the bus cannot be left behind
    }
    stopper.join();
    EXPECT_EQ(bus.Counters(1).RepliesSent, 0u);
    bus.Stop();

    bus.SetFault(1, {});
    bus.Start();
    TPtyPeer master(bus.DevicePath());
    master.Write(ReadRequest(1));
    EXPECT_EQ(ToHex(master.ReadBytes(9).Bytes), ToHex(ValueReply(1, 1.0f)));
}

// When a master closes the port, the serving thread must go back to sleep: a
// poll loop that keeps seeing a hang-up would burn a whole core. The measure is
// the processor time this process used over a stretch of idle time: a sleeping
// thread uses next to none of it, sanitizers and a loaded machine included
// (time spent waiting for a processor is not processor time), while a spinning
// one takes all the processor it is given, far more than a tenth of one.
TEST(SimBus, IdlesAfterTheMasterClosesItsSide)
{
    TSimBus bus;
    bus.Start();
    {
        TPtyPeer master(bus.DevicePath());
        master.Write(ReadRequest(1));
        master.ReadBytes(9);
    }
    const double cpuBefore = CpuSeconds();
    const auto wallBefore = TTestClock::now();
    std::this_thread::sleep_for(milliseconds(300));
    const double cpu = CpuSeconds() - cpuBefore;
    const double wall = duration<double>(TTestClock::now() - wallBefore).count();
    EXPECT_LT(cpu, 0.1 * wall) << cpu << " s of processor time in " << wall << " s";

    TPtyPeer again(bus.DevicePath());
    again.Write(ReadRequest(2));
    EXPECT_EQ(ToHex(again.ReadBytes(9).Bytes), ToHex(ValueReply(2, 2.0f)));
}
