#include "trend/TrendStore.h"

#include <algorithm>
#include <cmath>

namespace kelvara {

namespace {

// Spans of the reduction levels in samples: 16, 256, 4096, 65536 and 1048576
// (twelve days at one scan a second; a longer run has several top nodes).
constexpr int kLevels = 5;

constexpr size_t Span(int level)
{
    size_t span = 16;
    for (int k = 0; k < level; ++k) span *= 16;
    return span;
}

} // namespace

void TTrendStore::Clear()
{
    times_.clear();
    seconds_.clear();
    for (TChannel& c : channels_) c = TChannel{};
}

namespace {

// Grows a vector by an eighth at a time, not by doubling: a long run's store
// then holds at most an eighth more than it uses.
template <typename T>
void Reserve(std::vector<T>& v)
{
    if (v.size() == v.capacity()) v.reserve(v.capacity() + std::max<size_t>(4096, v.capacity() / 8));
}

} // namespace

void TTrendStore::Add(int64_t timeMs, uint32_t second, const std::array<float, kChannels>& values,
                      const std::array<bool, kChannels>& outOfRange)
{
    const size_t i = times_.size();
    Reserve(times_);
    times_.push_back(timeMs);
    Reserve(seconds_);
    seconds_.push_back(second);
    for (int ch = 0; ch < kChannels; ++ch) {
        TChannel& c = channels_[ch];
        // An infinite reading is no temperature: it would hold the minimum,
        // the maximum and the mean for the rest of the run. It is kept as
        // out of the table, without a value.
        const bool infinite = std::isinf(values[ch]);
        const float v = infinite ? std::numeric_limits<float>::quiet_NaN() : values[ch];
        Reserve(c.Values);
        c.Values.push_back(v);
        c.Out.push_back(outOfRange[ch] || infinite);
        if (c.Levels.empty()) c.Levels.resize(kLevels);
        const TNode sample = SampleNode(c, i);
        for (int k = 0; k < kLevels; ++k) {
            const size_t index = i / Span(k);
            if (index == c.Levels[k].size()) {
                Reserve(c.Levels[k]);
                c.Levels[k].emplace_back();
            }
            Merge(c.Levels[k][index], sample);
        }
        if (!std::isnan(v)) {
            TStats& run = c.Run;
            run.Last = v;
            run.Min = run.Count ? std::min(run.Min, v) : v;
            run.Max = run.Count ? std::max(run.Max, v) : v;
            run.Mean = (run.Count ? run.Mean * double(run.Count) + v : v) / double(run.Count + 1);
            ++run.Count;
        }
    }
}

TTrendStore::TNode TTrendStore::SampleNode(const TChannel& c, size_t i) const
{
    TNode n;
    const float v = c.Values[i];
    const auto at = static_cast<uint32_t>(i);
    if (std::isnan(v)) {
        n.GapAt = at;
    } else {
        n.Min = n.Max = v;
        n.Sum = v;
        n.Count = 1;
        n.MinAt = n.MaxAt = at;
    }
    if (c.Out[i]) n.OutAt = at;
    return n;
}

void TTrendStore::Merge(TNode& into, const TNode& from) const
{
    if (from.Count) {
        if (!into.Count || from.Min < into.Min) {
            into.Min = from.Min;
            into.MinAt = from.MinAt;
        }
        if (!into.Count || from.Max > into.Max) {
            into.Max = from.Max;
            into.MaxAt = from.MaxAt;
        }
        into.Sum += from.Sum;
        into.Count += from.Count;
    }
    into.GapAt = std::min(into.GapAt, from.GapAt);
    into.OutAt = std::min(into.OutAt, from.OutAt);
}

TTrendStore::TNode TTrendStore::Summary(const TChannel& c, size_t first, size_t last) const
{
    TNode summary;
    size_t i = first;
    while (i < last) {
        int level = kLevels - 1;
        while (level >= 0 && (i % Span(level) != 0 || i + Span(level) > last)) --level;
        if (level < 0) {
            Merge(summary, SampleNode(c, i));
            ++i;
        } else {
            Merge(summary, c.Levels[level][i / Span(level)]);
            i += Span(level);
        }
    }
    return summary;
}

std::pair<size_t, size_t> TTrendStore::Range(int64_t fromMs, int64_t toMs) const
{
    const auto first = std::lower_bound(times_.begin(), times_.end(), fromMs);
    const auto last = std::upper_bound(first, times_.end(), toMs);
    return {size_t(first - times_.begin()), size_t(last - times_.begin())};
}

void TTrendStore::Bucket(const TChannel& c, size_t first, size_t last, std::vector<TPoint>& out) const
{
    const TNode n = Summary(c, first, last);
    uint32_t at[3] = {kNone, kNone, kNone};
    int k = 0;
    if (n.Count) {
        at[k++] = n.MinAt;
        if (n.MaxAt != n.MinAt) at[k++] = n.MaxAt;
    }
    if (n.GapAt != kNone) at[k++] = n.GapAt;
    std::sort(at, at + k);
    for (int j = 0; j < k; ++j) out.push_back({times_[at[j]], c.Values[at[j]]});
}

std::vector<TTrendStore::TPoint> TTrendStore::Series(int channel, int64_t fromMs, int64_t toMs, size_t maxPoints) const
{
    std::vector<TPoint> out;
    if (channel < 0 || channel >= kChannels) return out;
    const TChannel& c = channels_[channel];
    const auto [first, last] = Range(fromMs, toMs);
    const size_t n = last - first;
    if (n <= maxPoints) {
        for (size_t i = first; i < last; ++i) out.push_back({times_[i], c.Values[i]});
        return out;
    }
    const size_t buckets = std::max<size_t>(1, maxPoints / 2);
    out.reserve(2 * buckets);
    for (size_t b = 0; b < buckets; ++b) Bucket(c, first + n * b / buckets, first + n * (b + 1) / buckets, out);
    return out;
}

std::vector<int64_t> TTrendStore::OutOfRangeMarks(int channel, int64_t fromMs, int64_t toMs, size_t maxPoints) const
{
    std::vector<int64_t> marks;
    if (channel < 0 || channel >= kChannels) return marks;
    const TChannel& c = channels_[channel];
    const auto [first, last] = Range(fromMs, toMs);
    const size_t n = last - first;
    const size_t buckets = std::max<size_t>(1, std::min(n, std::max<size_t>(1, maxPoints / 2)));
    for (size_t b = 0; b < buckets && n; ++b) {
        const TNode node = Summary(c, first + n * b / buckets, first + n * (b + 1) / buckets);
        if (node.OutAt != kNone) marks.push_back(times_[node.OutAt]);
    }
    return marks;
}

TTrendStore::TStats TTrendStore::Stats(int channel, int64_t fromMs, int64_t toMs) const
{
    TStats stats;
    if (channel < 0 || channel >= kChannels) return stats;
    const TChannel& c = channels_[channel];
    const auto [first, last] = Range(fromMs, toMs);
    const TNode n = Summary(c, first, last);
    if (!n.Count) return stats;
    stats.Min = n.Min;
    stats.Max = n.Max;
    stats.Mean = n.Sum / double(n.Count);
    stats.Count = n.Count;
    for (size_t i = last; i > first; --i)
        if (!std::isnan(c.Values[i - 1])) {
            stats.Last = c.Values[i - 1];
            break;
        }
    return stats;
}

TTrendStore::TStats TTrendStore::RunStats(int channel) const
{
    return channel < 0 || channel >= kChannels ? TStats{} : channels_[channel].Run;
}

uint32_t TTrendStore::SecondAt(int64_t timeMs) const
{
    if (times_.empty()) return 0;
    const auto it = std::lower_bound(times_.begin(), times_.end(), timeMs);
    size_t i = size_t(it - times_.begin());
    if (i == times_.size() || (i > 0 && timeMs - times_[i - 1] < times_[i] - timeMs)) --i;
    return seconds_[i];
}

size_t TTrendStore::MemoryBytes() const
{
    size_t bytes = times_.capacity() * sizeof(int64_t) + seconds_.capacity() * sizeof(uint32_t);
    for (const TChannel& c : channels_) {
        bytes += c.Values.capacity() * sizeof(float) + c.Out.capacity() / 8;
        for (const auto& level : c.Levels) bytes += level.capacity() * sizeof(TNode);
    }
    return bytes;
}

} // namespace kelvara
