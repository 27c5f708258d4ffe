#include "sim/Its90.h"
#include "base/Errors.h"
#include "sim/Profiles.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace kelvara::sim;

// Values of the published ITS-90 type K table (reference junction at 0 °C),
// rounded there to the microvolt.
TEST(Its90TypeK, MatchesThePublishedTable)
{
    struct {
        double TempC, EmfMv;
    } const table[] = {
        {-270, -6.458}, {-200, -5.891}, {-100, -3.554}, {-50, -1.889},  {0, 0.000},     {25, 1.000},    {50, 2.023},
        {100, 4.096},   {200, 8.138},   {300, 12.209},  {400, 16.397},  {500, 20.644},  {600, 24.905},  {700, 29.129},
        {800, 33.275},  {900, 37.326},  {1000, 41.276}, {1100, 45.119}, {1200, 48.838}, {1300, 52.410}, {1372, 54.886},
    };
    for (const auto& row : table) EXPECT_NEAR(Its90TypeKEmf(row.TempC), row.EmfMv, 0.0006) << row.TempC << " °C";
}

TEST(Its90TypeK, IsContinuousAtZeroAndUndefinedOutsideItsRange)
{
    // The two branches meet at 0 °C (to a few nanovolts, as published); the
    // exponential term must be included for the upper branch to start there.
    EXPECT_NEAR(Its90TypeKEmf(-1e-9), Its90TypeKEmf(1e-9), 1e-6);
    EXPECT_NEAR(Its90TypeKEmf(0.0), 0.0, 1e-6);
    EXPECT_TRUE(std::isnan(Its90TypeKEmf(-270.1)));
    EXPECT_TRUE(std::isnan(Its90TypeKEmf(1372.1)));
    EXPECT_TRUE(std::isnan(Its90TypeKEmf(NAN)));
}

TEST(Profiles, StayWithinTheTypeKRangeAndMoveAsDescribed)
{
    for (const auto& name : ProfileNames()) {
        for (double t = 0; t <= 1200; t += 2.5) {
            const double ambient = ProfileValue(name, kAmbientSlave, t);
            EXPECT_GT(ambient, 15.0) << name;
            EXPECT_LT(ambient, 30.0) << name;
            for (int slave = 1; slave <= 6; ++slave) {
                const float emf = ProfileValue(name, slave, t);
                ASSERT_TRUE(std::isfinite(emf)) << name << " slave " << slave << " at " << t << " s";
                // The thermocouple sees its hot junction against the cold
                // junction at ambient.
                EXPECT_NEAR(emf, Its90TypeKEmf(ProfileHotJunction(name, slave, t)) - Its90TypeKEmf(ambient), 1e-4);
            }
        }
    }
    // The oven heats well above 200 °C and cools back near the room.
    EXPECT_GT(ProfileHotJunction("oven", 1, 230), 200.0);
    EXPECT_LT(ProfileHotJunction("oven", 1, 590), 60.0);
    EXPECT_LT(ProfileHotJunction("oven", 1, 0), 25.0);
    // The sweep covers the range.
    EXPECT_LT(ProfileHotJunction("sweep", 1, 0), -150.0);
    EXPECT_GT(ProfileHotJunction("sweep", 1, 150), 1300.0);
    EXPECT_THROW(ProfileValue("lava", 1, 0), kelvara::EError);
}
