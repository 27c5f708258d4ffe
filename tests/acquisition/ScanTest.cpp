#include "acquisition/Scan.h"
#include "base/Errors.h"
#include "support/TempDir.h"
#include "thermo/TypeK.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <functional>
#include <map>

using namespace kelvara;
using kelvara::test::TTempDir;

namespace {

// Readings by frame, as a slave bus would give them; NaN stands for silence.
class TFakeReader : public TChannelReaderBase {
public:
    std::map<std::string, float> values;
    std::function<void()> duringRead; // runs inside an exchange
    int reads = 0;

    float ReadChannel(const std::string& frame) override
    {
        ++reads;
        if (duringRead) duringRead();
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

class TRecordingHost : public TScanHost {
public:
    std::string time;
    std::vector<std::string> list;
    std::vector<std::string> log;
    std::vector<std::string> notices;
    bool offsets = false;
    int sleptMs = 0;
    std::function<void()> pump;

    void ShowTime(const std::string& caption) override { time = caption; }
    void SetListLine(int index, const std::string& text) override
    {
        if (index >= static_cast<int>(list.size())) list.resize(index + 1);
        list[index] = text;
    }
    void AppendLogLine(const std::string& line) override { log.push_back(line); }
    bool OffsetCorrection() override { return offsets; }
    void ProcessMessages() override
    {
        if (pump) pump();
    }
    void Sleep(int ms) override { sleptMs += ms; }
    void Notice(const std::string& text) override { notices.push_back(text); }
};

struct TRig {
    TTempDir dir;
    TChannelTable table;
    TFakeReader reader;
    TRecordingHost host;
    TScanCycle scan{table, reader, host};

    explicit TRig(const std::string& offsets = "0\n0\n0\n0\n0\n0\n0\n")
    {
        dir.Write("offset.txt", offsets);
        table.CreateCmd(dir.Dir(), kChannelDefinitions);
    }
    // Slave 1..7 answers with value.
    void Set(int slave, float value) { reader.values[table.cmdList[slave - 1]] = value; }
    void SetAll(float emf, float ambient)
    {
        for (int s = 1; s <= 6; ++s) Set(s, emf);
        Set(7, ambient);
    }
    std::vector<std::string> Fields(size_t line) const
    {
        std::vector<std::string> out;
        std::string f;
        for (char c : host.log.at(line) + '\t') {
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
        for (int k = 0; k < n; ++k) scan.Timer1Timer();
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
    };
    for (const Case& c : cases) {
        TRig rig;
        rig.SetAll(0, 20);
        rig.scan.StartRun(c.period);
        EXPECT_EQ(rig.host.time, "0");
        EXPECT_EQ(rig.host.list, std::vector<std::string>(7, ""));
        rig.Ticks(c.ticks);
        std::vector<std::string> times;
        for (size_t k = 0; k < rig.host.log.size(); ++k) times.push_back(rig.Fields(k)[0]);
        EXPECT_EQ(times, c.times) << "period " << c.period;
        EXPECT_EQ(rig.host.time, std::to_string(c.ticks));
        if (c.period == 0) {
            EXPECT_EQ(rig.scan.moment, 0u);
        }
    }
}

TEST(ScanCycle, LogLineAndListFromCompensatedReadings)
{
    TRig rig;
    rig.SetAll(0, 21.8f);
    rig.Set(2, 1.0f);
    rig.scan.StartRun(1);
    rig.scan.Timer1Timer();
    ASSERT_EQ(rig.host.log.size(), 1u);
    const float cj = CjTempToEmf(21.8f);
    const std::string zero = Reading(CompensatedTemp(0, cj));
    const std::string one = Reading(CompensatedTemp(1.0f, cj));
    EXPECT_EQ(rig.host.log[0],
              "0001\t" + zero + "\t" + one + "\t" + zero + "\t" + zero + "\t" + zero + "\t" + zero + "\t21.80");
    EXPECT_EQ(zero, "21.80");
    EXPECT_EQ(rig.host.list[1], "TC_2: " + one);
    EXPECT_EQ(rig.host.list[6], "T__A: 21.80");
    EXPECT_EQ(rig.host.sleptMs, TScanCycle::kSettleMs);
    EXPECT_EQ(rig.reader.reads, 7);
}

TEST(ScanCycle, FiveDigitTimeFieldAndRunsPast65535Seconds)
{
    TRig rig;
    rig.SetAll(0, 20);
    rig.scan.StartRun(1);
    rig.scan.sec_count = 12344;
    rig.scan.moment = 12344;
    rig.scan.Timer1Timer();
    EXPECT_EQ(rig.Fields(0)[0], "12345");

    // The counters are 32 bits wide: no overflow, no wrap at 65535.
    rig.scan.sec_count = 65534;
    rig.scan.moment = 65534;
    rig.Ticks(3);
    EXPECT_EQ(rig.Fields(1)[0], "65535");
    EXPECT_EQ(rig.Fields(2)[0], "65536");
    EXPECT_EQ(rig.Fields(3)[0], "65537");
    EXPECT_EQ(rig.scan.moment, 65537u);

    TRig sixty;
    sixty.SetAll(0, 20);
    sixty.scan.StartRun(60);
    sixty.scan.sec_count = 65519;
    sixty.scan.moment = 65520;
    sixty.Ticks(61);
    ASSERT_EQ(sixty.host.log.size(), 2u);
    EXPECT_EQ(sixty.Fields(0)[0], "65520");
    EXPECT_EQ(sixty.Fields(1)[0], "65580");
}

TEST(ScanCycle, OffsetCorrectionAppliesToAmbientFirstThenEachChannel)
{
    TRig rig("0.5\n1\n0\n0\n0\n0\n0.5\n");
    rig.SetAll(0, 22.3f);
    rig.host.offsets = true;
    rig.scan.StartRun(1);
    rig.scan.Timer1Timer();
    const float ambient = 22.3f - 0.5f;
    const float cj = CjTempToEmf(ambient);
    const auto f = rig.Fields(0);
    EXPECT_EQ(f[7], "21.80");
    EXPECT_EQ(rig.host.list[6], "T__A: 21.80");
    EXPECT_EQ(f[1], Reading(CompensatedTemp(0, cj) - 0.5f));
    EXPECT_EQ(f[2], Reading(CompensatedTemp(0, cj) - 1.0f));
    EXPECT_EQ(f[3], Reading(CompensatedTemp(0, cj)));
}

TEST(ScanCycle, SilentChannelsReadNanAndKeepTheirListLines)
{
    TRig rig;
    rig.SetAll(0, 20);
    rig.scan.StartRun(1);
    rig.scan.Timer1Timer();
    const std::string before = rig.host.list[1];
    ASSERT_NE(before, "");

    rig.reader.values.erase(rig.table.cmdList[1]); // TC_2 falls silent
    rig.scan.Timer1Timer();
    EXPECT_EQ(rig.Fields(1)[2], "NAN");
    EXPECT_EQ(rig.host.list[1], before);
    EXPECT_EQ(rig.scan.status[1].LastOutcome, TExchangeOutcome::Silent);

    rig.reader.values.erase(rig.table.cmdList[6]); // and the ambient too
    rig.scan.Timer1Timer();
    const auto f = rig.Fields(2);
    for (int k = 1; k <= 7; ++k) EXPECT_EQ(f[k], "NAN") << k;
    EXPECT_EQ(rig.host.list[0], "TC_1: 20.00");
    EXPECT_EQ(rig.host.list[6], "T__A: NAN");

    // A silent channel right after Run leaves its fresh empty line.
    rig.scan.StartRun(1);
    rig.scan.Timer1Timer();
    EXPECT_EQ(rig.host.list[1], "");
}

TEST(ScanCycle, OutOfTableChannelsReadNanWhileTheScanIsLogged)
{
    TRig rig;
    rig.SetAll(0, 20);
    rig.Set(3, -10.0f); // far below the EMF table: absolute zero
    rig.Set(4, 60.0f);  // beyond 54.751 mV
    rig.scan.StartRun(1);
    rig.scan.Timer1Timer();
    ASSERT_EQ(rig.host.log.size(), 1u);
    auto f = rig.Fields(0);
    EXPECT_EQ(f[3], "-273.15");
    EXPECT_EQ(f[4], "NAN");
    EXPECT_EQ(f[1], "20.00");
    EXPECT_EQ(rig.host.list[3], "TC_4: out of range");
    EXPECT_EQ(rig.scan.moment, 1u);
    ASSERT_EQ(rig.host.notices.size(), 1u);
    EXPECT_NE(rig.host.notices[0].find("TC_4"), std::string::npos);

    // Told once per change, not once per tick.
    rig.Ticks(3);
    EXPECT_EQ(rig.host.notices.size(), 1u);
    EXPECT_EQ(rig.host.log.size(), 4u);

    // An ambient outside the cold-junction table: six NANs and its own value.
    rig.Set(4, 0.0f);
    rig.Set(7, 100.05f);
    rig.scan.Timer1Timer();
    f = rig.Fields(4);
    for (int k = 1; k <= 6; ++k) EXPECT_EQ(f[k], "NAN") << k;
    EXPECT_EQ(f[7], "100.05");
    EXPECT_EQ(rig.host.list[6], "T__A: out of range");
    EXPECT_EQ(rig.host.notices.size(), 3u); // TC_4 back in range, T__A out

    rig.Set(7, -50.06f);
    rig.scan.Timer1Timer();
    EXPECT_EQ(rig.Fields(5)[7], "-50.06");
    rig.Set(7, 20.0f);
    rig.scan.Timer1Timer();
    EXPECT_EQ(rig.Fields(6)[1], "20.00");
    EXPECT_EQ(rig.host.list[6], "T__A: 20.00");
}

TEST(ScanCycle, TickInsideAScanIsCountedButStartsNoScan)
{
    TRig rig;
    rig.SetAll(0, 20);
    rig.scan.StartRun(0);
    int nested = 0;
    // Two ticks arrive while the first scan hands out events.
    rig.host.pump = [&] {
        if (nested < 2) {
            ++nested;
            rig.scan.Timer1Timer();
        }
    };
    rig.scan.Timer1Timer();
    EXPECT_EQ(rig.host.log.size(), 1u);
    EXPECT_EQ(rig.reader.reads, 7);
    EXPECT_EQ(rig.host.time, "3");
    EXPECT_EQ(rig.scan.ticksInScan, 2u);
    // The first tick after the scan is due again and scans.
    rig.scan.Timer1Timer();
    EXPECT_EQ(rig.host.log.size(), 2u);
    EXPECT_EQ(rig.Fields(1)[0], "0004");
    EXPECT_FALSE(rig.scan.Scanning());
}

TEST(ScanCycle, StopAndRestartInsideAScan)
{
    TRig rig;
    rig.SetAll(0, 20);
    rig.scan.StartRun(5);
    bool once = false;
    rig.host.pump = [&] {
        if (!once) {
            once = true;
            rig.scan.StopRun();
        }
    };
    rig.scan.Timer1Timer();
    // The scan in progress completes and is logged.
    EXPECT_EQ(rig.host.log.size(), 1u);
    EXPECT_EQ(rig.scan.sec_count, 0u);

    once = false;
    rig.host.pump = [&] {
        if (!once) {
            once = true;
            rig.scan.StartRun(5);
        }
    };
    rig.scan.StartRun(5);
    rig.scan.Timer1Timer();
    // A run restarted from inside the scan keeps its own grid: its first
    // tick is due.
    EXPECT_EQ(rig.scan.moment, 0u);
    rig.host.pump = nullptr;
    rig.scan.Timer1Timer();
    EXPECT_EQ(rig.host.log.size(), 3u);
}

TEST(ScanCycle, ShortTableReadsNanForUnreadPositions)
{
    TTempDir dir;
    dir.Write("offset.txt", "0\n0\n0\n");
    TChannelTable table;
    EXPECT_THROW(table.CreateCmd(dir.Dir(), kChannelDefinitions), EStringListError);
    ASSERT_EQ(table.cmdList.size(), 4u);
    TFakeReader reader;
    for (const std::string& f : table.cmdList) reader.values[f] = 0;
    TRecordingHost host;
    TScanCycle scan(table, reader, host);
    scan.StartRun(1);
    EXPECT_TRUE(host.list.empty()); // no complete table, no list lines
    scan.Timer1Timer();
    ASSERT_EQ(host.log.size(), 1u);
    EXPECT_EQ(host.log[0], "0001\tNAN\tNAN\tNAN\tNAN\tNAN\tNAN\tNAN");
    EXPECT_EQ(reader.reads, 4);
}

TEST(ScanCycle, EighthFrameFailsTheScanAfterItsExchange)
{
    TTempDir dir;
    dir.Write("offset.txt", "0\n0\n0\n0\n0\n0\n0\n0\n");
    TChannelTable table;
    EXPECT_THROW(table.CreateCmd(dir.Dir(), std::string(kChannelDefinitions) + "\n08,04,4,FLOAT_BE,X"), ERangeError);
    TFakeReader reader;
    TRecordingHost host;
    TScanCycle scan(table, reader, host);
    scan.StartRun(1);
    EXPECT_THROW(scan.Timer1Timer(), ERangeError);
    EXPECT_EQ(reader.reads, 8);
    EXPECT_TRUE(host.log.empty());
    EXPECT_EQ(scan.moment, 0u);
    EXPECT_FALSE(scan.Scanning());
}
