#include "acquisition/Scan.h"
#include "base/Errors.h"
#include "support/TempDir.h"
#include "thermo/TypeK.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>

using namespace kelvara;
using kelvara::test::TTempDir;

namespace {

// Readings by frame, as a slave bus would give them; NaN stands for silence.
class TFakeReader : public TChannelReaderBase {
public:
    std::map<TFrame, float> values;
    int reads = 0;

    float ReadChannel(const TFrame& frame) override
    {
        ++reads;
        const auto it = values.find(frame);
        const float v = it == values.end() ? NoReading() : it->second;
        last_ = std::isnan(v) ? TExchangeOutcome::Silent : TExchangeOutcome::Ok;
        return v;
    }
    TExchangeOutcome LastOutcome() const override { return last_; }
    int LastExceptionCode() const override { return 0; }

private:
    TExchangeOutcome last_ = TExchangeOutcome::None;
};

// A scan cycle over the real channel table and a fake reader; each tick's
// record, when it scanned, is kept.
struct TRig {
    TTempDir dir;
    TChannelTable table;
    TFakeReader reader;
    int sleptMs = 0;
    bool offsets = false;
    TScanCycle scan{table, reader, TClockField::None, [this](int ms) { sleptMs += ms; }};
    std::vector<TScanRecord> records;

    explicit TRig(const std::string& offsets = "0\n0\n0\n0\n0\n0\n0\n")
    {
        dir.Write("offset.txt", offsets);
        table.CreateCmd(dir.Dir(), kChannelDefinitions);
    }
    // Slave 1..7 answers with value.
    void Set(int slave, float value) { reader.values[table.Frames()[slave - 1]] = value; }
    void Silence(int slave) { reader.values.erase(table.Frames()[slave - 1]); }
    void SetAll(float emf, float ambient)
    {
        for (int s = 1; s <= 6; ++s) Set(s, emf);
        Set(7, ambient);
    }
    const TScanRecord& Last() const { return records.back(); }
    std::vector<std::string> Fields(size_t k) const
    {
        std::vector<std::string> out;
        std::string f;
        for (char c : records.at(k).Line + '\t') {
            if (c == '\t') {
                out.push_back(f);
                f.clear();
            } else {
                f += c;
            }
        }
        return out;
    }
    void Ticks(int n)
    {
        for (int k = 0; k < n; ++k)
            if (scan.Advance()) records.push_back(scan.ScanDue(offsets));
    }
};

std::string Reading(float t)
{
    return FormatReading(t, TLocaleSettings{});
}

} // namespace

TEST(ScanCycle, ScheduleFollowsThePeriodGrid)
{
    struct Case {
        uint16_t period;
        int ticks;
        std::vector<std::string> times;
    } cases[] = {
        {5, 15, {"0001", "0005", "0010", "0015"}},
        {0, 3, {"0001", "0002", "0003"}},
        {1, 3, {"0001", "0002", "0003"}},
        {60, 125, {"0001", "0060", "0120"}},
        // A run goes past 65535 seconds on its grid, and the time field
        // grows a fifth digit.
        {60, 65580, {"65520", "65580"}},
    };
    for (const Case& c : cases) {
        TRig rig;
        rig.SetAll(0, 20);
        rig.scan.StartRun(c.period);
        EXPECT_EQ(rig.scan.ListLines(), std::vector<std::string>(7, ""));
        rig.Ticks(c.ticks);
        std::vector<std::string> times;
        for (size_t k = 0; k < rig.records.size(); ++k) times.push_back(rig.Fields(k)[0]);
        if (times.size() > c.times.size()) times.erase(times.begin(), times.end() - long(c.times.size()));
        EXPECT_EQ(times, c.times) << "period " << c.period;
        EXPECT_EQ(rig.scan.SecCount(), uint32_t(c.ticks));
        if (c.period == 0) {
            EXPECT_EQ(rig.scan.Moment(), 0u);
        }
    }
}

TEST(ScanCycle, LogLineAndListFromCompensatedReadings)
{
    TRig rig;
    rig.SetAll(0, 21.8f);
    rig.Set(2, 1.0f);
    rig.scan.StartRun(1);
    rig.Ticks(1);
    ASSERT_EQ(rig.records.size(), 1u);
    const float cj = CjTempToEmf(21.8f);
    const std::string zero = Reading(CompensatedTemp(0, cj));
    const std::string one = Reading(CompensatedTemp(1.0f, cj));
    EXPECT_EQ(rig.Last().Line,
              "0001\t" + zero + "\t" + one + "\t" + zero + "\t" + zero + "\t" + zero + "\t" + zero + "\t21.80");
    EXPECT_EQ(zero, "21.80");
    EXPECT_EQ(rig.Last().ListLines[1], "TC_2: " + one);
    EXPECT_EQ(rig.Last().ListLines[6], "T__A: 21.80");
    EXPECT_FLOAT_EQ(rig.Last().Temperatures[1], CompensatedTemp(1.0f, cj));
    EXPECT_EQ(rig.sleptMs, TScanCycle::kSettleMs);
    EXPECT_EQ(rig.reader.reads, 7);
}

TEST(ScanCycle, OffsetCorrectionAppliesToAmbientFirstThenEachChannel)
{
    TRig rig("0.5\n1\n0\n0\n0\n0\n0.5\n");
    rig.SetAll(0, 22.3f);
    rig.offsets = true;
    rig.scan.StartRun(1);
    rig.Ticks(1);
    const float ambient = 22.3f - 0.5f;
    const float cj = CjTempToEmf(ambient);
    const auto f = rig.Fields(0);
    EXPECT_EQ(f[7], "21.80");
    EXPECT_EQ(rig.Last().ListLines[6], "T__A: 21.80");
    EXPECT_EQ(f[1], Reading(CompensatedTemp(0, cj) - 0.5f));
    EXPECT_EQ(f[2], Reading(CompensatedTemp(0, cj) - 1.0f));
    EXPECT_EQ(f[3], Reading(CompensatedTemp(0, cj)));
}

TEST(ScanCycle, SilentChannelsReadNanAndKeepTheirListLines)
{
    TRig rig;
    rig.SetAll(0, 20);
    rig.scan.StartRun(1);
    rig.Ticks(1);
    const std::string before = rig.Last().ListLines[1];
    ASSERT_NE(before, "");

    rig.Silence(2);
    rig.Ticks(1);
    EXPECT_EQ(rig.Fields(1)[2], "NAN");
    EXPECT_EQ(rig.Last().ListLines[1], before);
    EXPECT_EQ(rig.Last().Status[1].LastOutcome, TExchangeOutcome::Silent);
    EXPECT_EQ(rig.Last().Status[1].Counts[size_t(TExchangeOutcome::Ok)], 1u);

    rig.Silence(7); // and the ambient too
    rig.Ticks(1);
    const auto f = rig.Fields(2);
    for (int k = 1; k <= 7; ++k) EXPECT_EQ(f[k], "NAN") << k;
    EXPECT_EQ(rig.Last().ListLines[0], "TC_1: 20.00");
    EXPECT_EQ(rig.Last().ListLines[6], "T__A: NAN");

    // A silent channel right after Run leaves its fresh empty line.
    rig.scan.StartRun(1);
    rig.Ticks(1);
    EXPECT_EQ(rig.Last().ListLines[1], "");
}

TEST(ScanCycle, OutOfTableChannelsReadNanWhileTheScanIsLogged)
{
    TRig rig;
    rig.SetAll(0, 20);
    rig.Set(3, -10.0f); // far below the EMF table: absolute zero
    rig.Set(4, 60.0f);  // beyond 54.751 mV
    rig.scan.StartRun(1);
    rig.Ticks(1);
    ASSERT_EQ(rig.records.size(), 1u);
    auto f = rig.Fields(0);
    EXPECT_EQ(f[3], "-273.15");
    EXPECT_EQ(f[4], "NAN");
    EXPECT_EQ(f[1], "20.00");
    EXPECT_EQ(rig.Last().ListLines[3], "TC_4: out of range");
    EXPECT_TRUE(rig.Last().OutOfRange[3]);
    EXPECT_EQ(rig.scan.Moment(), 1u);
    ASSERT_EQ(rig.Last().Notices.size(), 1u);
    EXPECT_NE(rig.Last().Notices[0].find("TC_4"), std::string::npos);

    // Told once per change, not once per tick.
    rig.Ticks(3);
    EXPECT_TRUE(rig.Last().Notices.empty());
    EXPECT_EQ(rig.records.size(), 4u);

    // An ambient outside the cold-junction table: six NANs and its own
    // value; an infinite one is no temperature at all.
    rig.Set(4, 0.0f);
    struct Ambient {
        float value;
        std::string field;
    } ambients[] = {{100.05f, "100.05"}, {-50.06f, "-50.06"}, {INFINITY, "INF"}};
    for (const Ambient& a : ambients) {
        rig.Set(7, a.value);
        rig.Ticks(1);
        f = rig.Fields(rig.records.size() - 1);
        for (int k = 1; k <= 6; ++k) EXPECT_EQ(f[k], "NAN") << k;
        EXPECT_EQ(f[7], a.field);
        EXPECT_EQ(rig.Last().ListLines[6], "T__A: out of range");
        EXPECT_TRUE(rig.Last().OutOfRange[6]);
        EXPECT_EQ(std::isinf(a.value), std::isnan(rig.Last().Temperatures[6])) << a.field;
    }
    rig.Set(7, 20.0f);
    rig.Ticks(1);
    EXPECT_EQ(rig.Fields(rig.records.size() - 1)[1], "20.00");
    EXPECT_EQ(rig.Last().ListLines[6], "T__A: 20.00");
}

TEST(ScanCycle, ShortTableReadsNanForUnreadPositions)
{
    TTempDir dir;
    dir.Write("offset.txt", "0\n0\n0\n");
    TChannelTable table;
    EXPECT_THROW(table.CreateCmd(dir.Dir(), kChannelDefinitions), EStringListError);
    ASSERT_EQ(table.Frames().size(), 4u);
    TFakeReader reader;
    for (const TFrame& f : table.Frames()) reader.values[f] = 0;
    TScanCycle scan(table, reader, TClockField::None, [](int) {});
    scan.StartRun(1);
    EXPECT_TRUE(scan.ListLines().empty()); // no complete table, no list lines
    ASSERT_TRUE(scan.Advance());
    EXPECT_EQ(scan.ScanDue(false).Line, "0001\tNAN\tNAN\tNAN\tNAN\tNAN\tNAN\tNAN");
    EXPECT_EQ(reader.reads, 4);
}

TEST(ScanCycle, EighthFrameFailsTheScanAfterItsExchange)
{
    TTempDir dir;
    dir.Write("offset.txt", "0\n0\n0\n0\n0\n0\n0\n0\n");
    TChannelTable table;
    EXPECT_THROW(table.CreateCmd(dir.Dir(), std::string(kChannelDefinitions) + "\n08,04,4,FLOAT_BE,X"), ERangeError);
    TFakeReader reader;
    TScanCycle scan(table, reader, TClockField::None, [](int) {});
    scan.StartRun(1);
    ASSERT_TRUE(scan.Advance());
    EXPECT_THROW(scan.ScanDue(false), ERangeError);
    EXPECT_EQ(reader.reads, 8);
    // The moment stays: the next tick retries.
    EXPECT_EQ(scan.Moment(), 0u);
    EXPECT_TRUE(scan.Advance());
}
