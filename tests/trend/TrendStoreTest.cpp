#include "trend/TrendStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace kelvara {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr int64_t kStart = 1796817781000;

// A week-like run at one scan a second: a slow wave on every channel, with a
// one-sample spike, a one-sample gap, an out-of-range sample and an infinite
// one (no temperature: out of range too) at places that fall anywhere in a
// bucket.
struct TRun {
    TTrendStore store;
    std::vector<std::array<float, 7>> values;
    static constexpr size_t kScans = 200000;
    static constexpr size_t kSpike = 123457, kGap = 77777, kOut = 150001, kInf = 99999;

    TRun()
    {
        for (size_t i = 0; i < kScans; ++i) {
            std::array<float, 7> v{};
            std::array<bool, 7> out{};
            for (int ch = 0; ch < 7; ++ch) v[ch] = float(20 + 10 * std::sin(double(i) / 5000.0 + ch));
            if (i == kSpike) v[2] = 500.0f;
            if (i == kGap) v[4] = kNaN;
            if (i == kInf) v[6] = -INFINITY;
            if (i == kOut) {
                v[5] = kNaN;
                out[5] = true;
            }
            store.Add(kStart + int64_t(i) * 1000, uint32_t(i + 1), v, out);
            values.push_back(v);
        }
    }
    int64_t Time(size_t i) const { return kStart + int64_t(i) * 1000; }
};

const TRun& SharedRun()
{
    static const TRun run;
    return run;
}

TEST(TrendStore, ASpikeAndAGapShowAtEveryZoom)
{
    const TRun& r = SharedRun();
    // From the whole run down to a few minutes around each event.
    for (const int64_t half : {int64_t(TRun::kScans) * 1000, int64_t(3600000), int64_t(120000)}) {
        for (const size_t maxPoints : {size_t(400), size_t(3000)}) {
            SCOPED_TRACE(std::to_string(half) + " " + std::to_string(maxPoints));
            const auto spike = r.store.Series(2, r.Time(TRun::kSpike) - half, r.Time(TRun::kSpike) + half, maxPoints);
            EXPECT_LE(spike.size(), maxPoints + maxPoints / 2);
            EXPECT_TRUE(std::any_of(spike.begin(), spike.end(), [](auto& p) { return p.Value == 500.0f; }));

            const auto gap = r.store.Series(4, r.Time(TRun::kGap) - half, r.Time(TRun::kGap) + half, maxPoints);
            const auto nan = std::find_if(gap.begin(), gap.end(), [](auto& p) { return std::isnan(p.Value); });
            ASSERT_NE(nan, gap.end()) << "the gap vanished";
            EXPECT_EQ(std::count_if(gap.begin(), gap.end(), [](auto& p) { return std::isnan(p.Value); }), 1);
            EXPECT_NE(nan, gap.begin());
            EXPECT_NE(nan + 1, gap.end()) << "the line goes on after the gap";

            const auto marks =
                r.store.OutOfRangeMarks(5, r.Time(TRun::kOut) - half, r.Time(TRun::kOut) + half, maxPoints);
            EXPECT_EQ(marks, std::vector<int64_t>{r.Time(TRun::kOut)});
            const auto inf =
                r.store.OutOfRangeMarks(6, r.Time(TRun::kInf) - half, r.Time(TRun::kInf) + half, maxPoints);
            EXPECT_EQ(inf, std::vector<int64_t>{r.Time(TRun::kInf)});
            // Time runs forward through a series.
            for (size_t k = 1; k < spike.size(); ++k) ASSERT_LE(spike[k - 1].TimeMs, spike[k].TimeMs);
        }
    }
    // Close up, every sample is a point of its own.
    const auto close = r.store.Series(2, r.Time(TRun::kSpike - 10), r.Time(TRun::kSpike + 10), 3000);
    ASSERT_EQ(close.size(), 21u);
    EXPECT_EQ(close[10].Value, 500.0f);
}

TEST(TrendStore, StatisticsAgreeWithADirectComputation)
{
    const TRun& r = SharedRun();
    std::mt19937 rng(7);
    for (int k = 0; k < 40; ++k) {
        const size_t a = rng() % TRun::kScans, b = rng() % TRun::kScans;
        const size_t first = std::min(a, b), last = std::max(a, b);
        for (int ch : {2, 4, 6}) {
            double sum = 0;
            uint64_t count = 0;
            float lo = INFINITY, hi = -INFINITY, lastValue = kNaN;
            for (size_t i = first; i <= last; ++i) {
                const float v = r.values[i][ch];
                if (!std::isfinite(v)) continue;
                sum += v;
                ++count;
                lo = std::min(lo, v);
                hi = std::max(hi, v);
                lastValue = v;
            }
            const TTrendStore::TStats s = r.store.Stats(ch, r.Time(first), r.Time(last));
            EXPECT_EQ(s.Count, count);
            EXPECT_EQ(s.Min, lo);
            EXPECT_EQ(s.Max, hi);
            EXPECT_EQ(s.Last, lastValue);
            EXPECT_NEAR(s.Mean, sum / double(count), 1e-9 * std::abs(sum / double(count)));
        }
    }
    const TTrendStore::TStats whole = r.store.RunStats(4);
    EXPECT_EQ(whole.Count, TRun::kScans - 1);
    const TTrendStore::TStats withInf = r.store.RunStats(6);
    EXPECT_TRUE(std::isfinite(withInf.Min) && std::isfinite(withInf.Mean)) << withInf.Min << " " << withInf.Mean;
    EXPECT_EQ(r.store.Stats(4, 0, r.Time(TRun::kScans)).Max, whole.Max);
    EXPECT_EQ(r.store.SecondAt(r.Time(5) + 400), 6u);
    EXPECT_EQ(r.store.Stats(1, r.Time(TRun::kScans) + 1, r.Time(TRun::kScans) + 9).Count, 0u);
}

} // namespace
} // namespace kelvara
