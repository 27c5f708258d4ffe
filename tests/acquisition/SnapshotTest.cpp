#include "acquisition/Snapshot.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kelvara {
namespace {

// Three scans: all answer; slave 3 silent and the ambient read as infinite;
// all answer again. What is served follows the last scan, while the time of
// the last good reading stays with the scan that had it.
TEST(SessionSnapshot, HoldsOnlyTheLastScansTemperaturesAndEachSlavesLastGoodReading)
{
    using O = TExchangeOutcome;
    const struct {
        O Third;
        float ThirdTemperature, Ambient;
        int64_t ThirdGoodMs;
    } scans[] = {
        {O::Ok, 25.5f, 21.0f, 1000},
        {O::Silent, NAN, INFINITY, 1000},
        {O::Ok, 26.0f, 21.5f, 3000},
    };
    TSessionSnapshot s;
    for (uint32_t k = 0; k < 3; ++k) {
        TScanRecord record;
        record.Second = k + 1;
        record.StartMs = (k + 1) * 1000;
        record.DurationMs = 90 + k;
        record.Temperatures.fill(20.0f);
        record.Temperatures[2] = scans[k].ThirdTemperature;
        record.Temperatures[6] = scans[k].Ambient;
        for (TChannelStatus& status : record.Status) status.LastOutcome = O::Ok;
        record.Status[2].LastOutcome = scans[k].Third;
        s.Add(record);

        EXPECT_EQ(s.Channels[0].Temperature, 20.0f);
        EXPECT_EQ(s.Channels[2].Status.LastOutcome, scans[k].Third);
        EXPECT_THAT(s.Channels[2].Temperature, testing::NanSensitiveFloatEq(scans[k].ThirdTemperature)) << k;
        EXPECT_EQ(s.Channels[2].LastGoodMs, scans[k].ThirdGoodMs);
        EXPECT_EQ(std::isnan(s.Channels[6].Temperature), std::isinf(scans[k].Ambient)) << k;
        EXPECT_EQ(s.Scans, k + 1);
        EXPECT_EQ(s.LastScanSecond, k + 1);
        EXPECT_EQ(s.LastScanMs, (k + 1) * 1000);
        EXPECT_EQ(s.LastScanDurationMs, 90 + k);
    }
}

} // namespace
} // namespace kelvara
