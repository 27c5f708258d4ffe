// The readings of a run kept for drawing its trend: one sample a scan for
// each of the seven channels, with a min/max reduction by time bucket, so that
// a week at one scan a second draws from a few thousand points a series and a
// one-sample spike or a one-sample gap still shows at every zoom.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

namespace kelvara {

class TTrendStore {
public:
    static constexpr int kChannels = 7;

    // One point of a reduced series. A NaN value breaks the line there: the
    // channel had no reading.
    struct TPoint {
        int64_t TimeMs;
        float Value;
    };
    // Last, minimum, maximum and mean of the readings of a time range; count
    // 0 when there was none (the others are then NaN).
    struct TStats {
        float Last = std::numeric_limits<float>::quiet_NaN();
        float Min = std::numeric_limits<float>::quiet_NaN();
        float Max = std::numeric_limits<float>::quiet_NaN();
        double Mean = std::numeric_limits<double>::quiet_NaN();
        uint64_t Count = 0;
    };

    // A scan: when its first request went out (ms since the epoch, never
    // going back within a run), its second of the run, each channel's
    // temperature (NaN for no reading) and whether it was out of the table.
    // An infinite temperature is taken as out of the table without a
    // reading, so the series, the statistics and the scales built on them
    // see finite readings only.
    void Add(int64_t timeMs, uint32_t second, const std::array<float, kChannels>& values,
             const std::array<bool, kChannels>& outOfRange);
    void Clear();

    size_t Size() const { return times_.size(); }
    bool Empty() const { return times_.empty(); }
    int64_t FirstTimeMs() const { return times_.empty() ? 0 : times_.front(); }
    int64_t LastTimeMs() const { return times_.empty() ? 0 : times_.back(); }
    // The second of the run of the scan nearest to timeMs; 0 when empty.
    uint32_t SecondAt(int64_t timeMs) const;

    // The channel's readings from fromMs to toMs reduced to at most about
    // maxPoints points: each of at most maxPoints / 2 time buckets gives its
    // minimum and its maximum in the order they came, and a NaN point where
    // the bucket had a sample without a reading. Below that density every
    // sample is a point of its own.
    std::vector<TPoint> Series(int channel, int64_t fromMs, int64_t toMs, size_t maxPoints) const;
    // Where the channel was out of the table in that range, at most one mark
    // per bucket of the same reduction.
    std::vector<int64_t> OutOfRangeMarks(int channel, int64_t fromMs, int64_t toMs, size_t maxPoints) const;
    TStats Stats(int channel, int64_t fromMs, int64_t toMs) const;
    TStats RunStats(int channel) const;

    // Bytes held, for the benchmarks.
    size_t MemoryBytes() const;

private:
    // A node summarises kFanOut samples (or nodes of the level below).
    static constexpr size_t kFanOut = 16;
    static constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
    struct TNode {
        float Min = std::numeric_limits<float>::infinity();
        float Max = -std::numeric_limits<float>::infinity();
        double Sum = 0;
        uint32_t Count = 0;                    // samples with a reading
        uint32_t MinAt = kNone, MaxAt = kNone; // sample index
        uint32_t GapAt = kNone;                // first sample without a reading
        uint32_t OutAt = kNone;                // first sample out of the table
    };
    struct TChannel {
        std::vector<float> Values;
        std::vector<bool> Out;
        std::vector<std::vector<TNode>> Levels; // Levels[0] over samples, then over nodes
        TStats Run;
    };

    void Merge(TNode& into, const TNode& from) const;
    TNode SampleNode(const TChannel& c, size_t i) const;
    // The summary of samples [first, last).
    TNode Summary(const TChannel& c, size_t first, size_t last) const;
    void Bucket(const TChannel& c, size_t first, size_t last, std::vector<TPoint>& out) const;
    std::pair<size_t, size_t> Range(int64_t fromMs, int64_t toMs) const;

    std::vector<int64_t> times_;
    std::vector<uint32_t> seconds_;
    std::array<TChannel, kChannels> channels_;
};

// A store that another thread fills, read under that thread's lock:
// read(f) calls f with the store, which stays still until f returns.
using TTrendReader = std::function<void(const std::function<void(const TTrendStore&)>&)>;

} // namespace kelvara
