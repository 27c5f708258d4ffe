#include "modbus/Framer.h"

#include "support/Frames.h"

#include <gtest/gtest.h>

#include <random>

using namespace kelvara;
using namespace kelvara::test;
using namespace std::chrono;

namespace {

struct TArrival {
    long AtUs;
    TBytes Bytes;
};

std::vector<TFrame> FeedAll(int baud, const std::vector<TArrival>& arrivals)
{
    TRequestFramer framer(baud);
    const auto base = TRtuClock::now();
    std::vector<TFrame> frames;
    long last = 0;
    for (const auto& a : arrivals) {
        auto got = framer.Feed(a.Bytes.data(), a.Bytes.size(), base + microseconds(a.AtUs));
        frames.insert(frames.end(), got.begin(), got.end());
        last = a.AtUs;
    }
    auto rest = framer.Poll(base + microseconds(last) + seconds(1));
    frames.insert(frames.end(), rest.begin(), rest.end());
    return frames;
}

TBytes Slice(const TBytes& b, size_t from, size_t to)
{
    return TBytes(b.begin() + from, b.begin() + to);
}

} // namespace

TEST(Framer, SilenceRuleByBaudRate)
{
    EXPECT_EQ(InterFrameSilence(19200), nanoseconds(3500LL * 11 * 1000000 / 19200));
    EXPECT_EQ(InterFrameSilence(9600), nanoseconds(3500LL * 11 * 1000000 / 9600));
    EXPECT_EQ(InterFrameSilence(38400), microseconds(1750));
    EXPECT_EQ(InterFrameSilence(115200), microseconds(1750));
    EXPECT_EQ(CharacterTime(9600), nanoseconds(11LL * 1000000000 / 9600));
}

TEST(Framer, FindsExactlyTheWellFormedRequests)
{
    const TBytes r1 = ReadRequest(1), r2 = ReadRequest(2), r3 = ReadRequest(3);
    TBytes bad1 = r1;
    bad1[7] ^= 0x01;
    const TBytes noise = Hex("FF 00 13 04 A5");
    const TBytes write16 = WithCrc("01 10 00 04 00 02 04 AA BB CC DD");
    const TBytes unknownFn = WithCrc("05 41 01 02");

    struct {
        const char* Name;
        int Baud;
        std::vector<TArrival> Arrivals;
        std::vector<TBytes> Expected;
    } const cases[] = {
        {"one request", 19200, {{0, r1}}, {r1}},
        {"split within the silence", 19200, {{0, Slice(r1, 0, 3)}, {1900, Slice(r1, 3, 8)}}, {r1}},
        {"split past the silence", 19200, {{0, Slice(r1, 0, 3)}, {2100, Slice(r1, 3, 8)}}, {}},
        {"split at 9600, gap just under 3.5 characters", 9600, {{0, Slice(r1, 0, 5)}, {3900, Slice(r1, 5, 8)}}, {r1}},
        {"fixed 1.75 ms above 19200", 115200, {{0, Slice(r1, 0, 2)}, {1700, Slice(r1, 2, 8)}}, {r1}},
        {"fixed 1.75 ms above 19200, broken", 115200, {{0, Slice(r1, 0, 2)}, {1800, Slice(r1, 2, 8)}}, {}},
        {"one byte at a time",
         19200,
         {{0, {r1[0]}}, {500, {r1[1]}}, {1000, Slice(r1, 2, 6)}, {1500, Slice(r1, 6, 8)}},
         {r1}},
        {"garbage before", 19200, {{0, Concat({noise, r1})}}, {r1}},
        {"garbage after", 19200, {{0, Concat({r1, noise})}}, {r1}},
        {"a false header before", 19200, {{0, Concat({Hex("01 04 00"), r1})}}, {r1}},
        {"back to back", 19200, {{0, Concat({r1, r2, r3})}}, {r1, r2, r3}},
        {"bad CRC", 19200, {{0, bad1}}, {}},
        {"bad CRC then good, one burst", 19200, {{0, Concat({bad1, r2})}}, {r2}},
        {"garbage between", 19200, {{0, Concat({r1, noise, r2, noise})}}, {r1, r2}},
        {"two bursts", 19200, {{0, r1}, {5000, r2}}, {r1, r2}},
        {"variable length write, then a read", 19200, {{0, Concat({write16, r2})}}, {write16, r2}},
        {"unknown function claims the burst", 19200, {{0, unknownFn}}, {unknownFn}},
        {"too short to be a frame", 19200, {{0, Hex("01 04 00")}}, {}},
        {"a burst of nothing but noise", 19200, {{0, noise}, {10000, noise}}, {}},
    };
    for (const auto& c : cases) {
        const auto frames = FeedAll(c.Baud, c.Arrivals);
        std::vector<TBytes> got(frames.begin(), frames.end());
        EXPECT_EQ(got, c.Expected) << c.Name;
    }
}

TEST(Framer, ClosesABurstOnlyAfterTheSilence)
{
    TRequestFramer framer(19200);
    const TBytes r1 = ReadRequest(1);
    const auto t0 = TRtuClock::now();
    EXPECT_FALSE(framer.Deadline());
    EXPECT_TRUE(framer.Feed(r1.data(), r1.size(), t0).empty());
    ASSERT_TRUE(framer.Deadline());
    EXPECT_EQ(*framer.Deadline(), t0 + framer.Silence() + nanoseconds(1));
    EXPECT_TRUE(framer.Poll(t0 + framer.Silence()).empty());
    EXPECT_EQ(framer.Poll(*framer.Deadline()).size(), 1u);
    EXPECT_FALSE(framer.Deadline());
    EXPECT_EQ(framer.PendingBytes(), 0u);
}

// Random noise mixed with random well-formed requests, in random pieces: every
// request is found, in order, and nothing else. The seed is fixed so that a
// failure can be replayed.
TEST(Framer, ResynchronisesThroughRandomNoise)
{
    std::mt19937 rng(20240611);
    auto byte = [&] { return static_cast<uint8_t>(rng() & 0xFF); };
    for (int round = 0; round < 300; ++round) {
        TBytes burst;
        std::vector<TBytes> expected;
        const int parts = 1 + static_cast<int>(rng() % 6);
        for (int p = 0; p < parts; ++p) {
            const int noise = static_cast<int>(rng() % 9);
            for (int k = 0; k < noise; ++k) burst.push_back(byte());
            TBytes request = rng() % 4 == 0
                                 ? WithCrc("11 10 00 00 00 01 02" + ToHex({byte(), byte()}))
                                 : ReadRequest(1 + static_cast<int>(rng() % 247), static_cast<int>(rng() % 65536),
                                               1 + static_cast<int>(rng() % 125));
            burst.insert(burst.end(), request.begin(), request.end());
            expected.push_back(request);
        }
        // Deliver the burst in pieces that never pause long enough to end it.
        std::vector<TArrival> arrivals;
        long at = 0;
        for (size_t i = 0; i < burst.size();) {
            const size_t n = std::min(burst.size() - i, size_t{1} + rng() % 12);
            arrivals.push_back({at, Slice(burst, i, i + n)});
            at += static_cast<long>(rng() % 1500);
            i += n;
        }
        const auto frames = FeedAll(19200, arrivals);
        EXPECT_EQ(std::vector<TBytes>(frames.begin(), frames.end()), expected)
            << "round " << round << ": " << ToHex(burst);
    }
}

TEST(Framer, AnEndlessBurstStaysBounded)
{
    TRequestFramer framer(19200);
    std::mt19937 rng(7);
    const auto t0 = TRtuClock::now();
    TBytes noise(100);
    for (int k = 0; k < 100; ++k) {
        for (auto& b : noise) b = static_cast<uint8_t>(rng());
        framer.Feed(noise.data(), noise.size(), t0 + microseconds(100 * k));
        ASSERT_LE(framer.PendingBytes(), 4 * kMaxRtuFrame);
    }
    const TBytes r1 = ReadRequest(1);
    framer.Feed(r1.data(), r1.size(), t0 + seconds(1));
    const auto frames = framer.Poll(t0 + seconds(2));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], r1);
}
