#include "thermo/TypeK.h"

#include "base/Errors.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

using namespace kelvara;

namespace {

constexpr float Inf = std::numeric_limits<float>::infinity();

// The reading that stands for a silent channel: a quiet NaN, 0xFFC00000.
const float SilentReading = std::bit_cast<float>(0xFFC00000u);

// Distance from |y| to the next float away from zero.
float Ulp(float y)
{
    const float a = std::fabs(y);
    return std::nextafter(a, Inf) - a;
}

// tol 0: the result must be exactly this float.
struct TPoint {
    float arg;
    float want;
    float tol;
    const char* why;
};

void ExpectPoints(const char* routine, float (*fn)(float), const TPoint* points, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        const TPoint& p = points[i];
        SCOPED_TRACE(std::string(routine) + "(" + std::to_string(p.arg) + "): " + p.why);
        const float got = fn(p.arg);
        if (p.tol == 0.0f)
            EXPECT_EQ(got, p.want);
        else
            EXPECT_NEAR(got, p.want, p.tol);
    }
}

} // namespace

TEST(TypeK, ColdJunctionEmfAtTableEdgesAndInside)
{
    const TPoint points[] = {
        {0.0f, 0.0f, 0, "start of a segment: u = 0 gives the breakpoint value"},
        {25.0f, 1.0f, 0, "start of a segment"},
        {-50.05f, -1.89116f, 0, "the lowest breakpoint belongs to the table"},
        {100.04f, 4.09839f, 5e-6f, "just under the top breakpoint"},
        // The temperature reciprocals have only four digits: 0.02407 against
        // 1/41.55 = 0.0240674 carries u to 1.0001 at the top, 0.0002 mV over.
        {std::nextafter(100.05f, 0.0f), 4.09862f, 3e-4f, "the last float below the top"},
        {21.8f, 0.870661f, 5e-7f, "a typical room temperature"},
    };
    ExpectPoints("CjTempToEmf", CjTempToEmf, points, std::size(points));
}

TEST(TypeK, TemperatureAtTableEdgesAndInside)
{
    const TPoint points[] = {
        {-5.965f, -273.15f, 0, "the lowest breakpoint counts as below the table"},
        {-100.0f, -273.15f, 0, "far below the table"},
        {-Inf, -273.15f, 0, "minus infinity is below the table too"},
        {std::nextafter(-5.965f, 0.0f), -205.0f, 1e-3f, "the first float inside the table"},
        {-5.96f, -204.684f, 5e-4f, "inside the lowest segment"},
        {54.751f, 1368.0f, 0, "top breakpoint, reached at the top of the last segment"},
        {1.203f, 29.998f, 5e-4f, "a breakpoint is reached from the segment below it"},
    };
    ExpectPoints("EmfToTemp", EmfToTemp, points, std::size(points));
}

TEST(TypeK, OutsideTheTablesIsARangeError)
{
    struct TCase {
        const char* what;
        std::function<float()> call;
    };
    const TCase cases[] = {
        {"CjTempToEmf(-50.06)", [] { return CjTempToEmf(-50.06f); }},
        {"CjTempToEmf(just below -50.05)", [] { return CjTempToEmf(std::nextafter(-50.05f, -Inf)); }},
        // The top breakpoint starts no segment: the walk passes it and the
        // end row's zero, and finds nothing to interpolate in.
        {"CjTempToEmf(100.05)", [] { return CjTempToEmf(100.05f); }},
        {"CjTempToEmf(1000)", [] { return CjTempToEmf(1000.0f); }},
        {"CjTempToEmf(+inf)", [] { return CjTempToEmf(Inf); }},
        {"CjTempToEmf(-inf)", [] { return CjTempToEmf(-Inf); }},
        {"EmfToTemp(54.752)", [] { return EmfToTemp(54.752f); }},
        {"EmfToTemp(just above 54.751)", [] { return EmfToTemp(std::nextafter(54.751f, Inf)); }},
        {"EmfToTemp(+inf)", [] { return EmfToTemp(Inf); }},
        {"CompensatedTemp(+inf, 0)", [] { return CompensatedTemp(Inf, 0.0f); }},
        {"CompensatedTemp(54, 1)", [] { return CompensatedTemp(54.0f, 1.0f); }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            const float r = c.call();
            ADD_FAILURE() << "returned " << r << " instead of raising";
        } catch (const ERangeError& e) {
            EXPECT_STREQ(e.what(), "Range check error");
        }
    }
}

TEST(TypeK, NanPassesThroughEveryConversion)
{
    const uint32_t silentBits = std::bit_cast<uint32_t>(SilentReading);
    // The single-argument conversions hand the very NaN back.
    EXPECT_EQ(std::bit_cast<uint32_t>(CjTempToEmf(SilentReading)), silentBits);
    EXPECT_EQ(std::bit_cast<uint32_t>(EmfToTemp(SilentReading)), silentBits);

    const float cjEmf = CjTempToEmf(21.8f);
    // A silent ambient channel spoils every compensated channel; a silent
    // thermocouple spoils only its own.
    EXPECT_TRUE(std::isnan(CompensatedTemp(1.0f, CjTempToEmf(SilentReading))));
    EXPECT_TRUE(std::isnan(CompensatedTemp(SilentReading, cjEmf)));
    EXPECT_TRUE(std::isnan(CompensatedTemp(SilentReading, SilentReading)));
    EXPECT_FALSE(std::isnan(CompensatedTemp(1.0f, cjEmf)));
}

TEST(TypeK, CompensationAddsTheColdJunctionEmf)
{
    struct TCase {
        float emf;
        float cjEmf;
        float want;
        float tol;
        const char* why;
    };
    const TCase cases[] = {
        {0.0f, CjTempToEmf(21.8f), 21.8007f, 5e-5f, "a channel reading zero EMF is at the cold-junction temperature"},
        // 500 °C against a 25 °C cold junction: the channel sees
        // E(500) - E(25) = 20.644 - 1.000 mV.
        {19.644f, CjTempToEmf(25.0f), 500.0f, 0.11f, "hot junction well above ambient"},
        {-6.689f, CjTempToEmf(20.0f), -200.0f, 0.93f, "hot junction far below ambient"},
        {-7.0f, CjTempToEmf(20.0f), -273.15f, 0, "a sum below the table"},
        {-Inf, 1.0f, -273.15f, 0, "minus infinity stays below the table"},
        // The sum is rounded to float before the table sees it: exactly
        // summed, these would lie just outside the bottom and top breakpoint.
        {54.751f, 1e-6f, 1368.0f, 0, "the rounded sum is the top breakpoint"},
        {-5.965f, 1e-7f, -273.15f, 0, "the rounded sum is the bottom breakpoint"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.why);
        const float got = CompensatedTemp(c.emf, c.cjEmf);
        if (c.tol == 0.0f)
            EXPECT_EQ(got, c.want);
        else
            EXPECT_NEAR(got, c.want, c.tol);
    }
}

TEST(TypeK, TemperatureBreakpointsAreExactFromAbove)
{
    // Temperature segments include their lower breakpoint, where d and so u
    // are exactly 0 and the result is the stored breakpoint value, bit for bit.
    const TTempToEmfTable& tab = tempToEmfTab;
    for (int k = 0; k < 6; ++k) {
        SCOPED_TRACE("breakpoint " + std::to_string(tab.xs[k]));
        EXPECT_EQ(CjTempToEmf(tab.xs[k]), tab.ys[k]);
    }
}

TEST(TypeK, EmfBreakpointsAreReachedFromBelowWithinTheStoredReciprocal)
{
    // EMF segments include their upper breakpoint, so EmfToTemp(xs[j]) is the
    // top of segment j-1, where u = span * invSpan. invSpan is the span's
    // reciprocal written to six significant digits, not recomputed, so u
    // misses 1 by up to 5e-6 (relative), and the result misses ys[j] by up to
    // that much of the segment's rise, stretched by (1 + |curv|) <= 1.31,
    // plus the float roundings of u, w and the sum. It is not exact and not
    // within 1 ulp: at 22.35 mV (540 °C) it is 13 ulps low. Rise * 1e-5
    // covers all that; a wrong digit in a breakpoint value or a reciprocal
    // does not fit in it.
    const TEmfToTempTable& tab = emfToTempTab;
    ASSERT_EQ(tab.count, 18);
    for (int j = 1; j < tab.count; ++j) {
        SCOPED_TRACE("breakpoint " + std::to_string(tab.xs[j]) + " mV");
        const float rise = tab.ys[j] - tab.ys[j - 1];
        EXPECT_NEAR(EmfToTemp(tab.xs[j]), tab.ys[j], std::fabs(rise) * 1e-5f + Ulp(tab.ys[j]));
    }

    // 0 mV closes the -25..0 °C segment, whose invSpan (1.033058 against
    // 1/0.968 = 1.0330578...) leaves u a hair above 1. Opening the 0..30 °C
    // segment instead would give exactly 0.
    const float atZero = EmfToTemp(0.0f);
    EXPECT_NE(atZero, 0.0f);
    EXPECT_NEAR(atZero, 0.0f, 1e-5f);
}

TEST(TypeK, EmfToTempFollowsTheItsReferenceTable)
{
    // Published ITS-90 type K values (°C, mV rounded to 0.001), one or more in
    // every EMF segment. Swept against the reference function itself, the
    // table is within 0.085 °C of it from -130 °C up, but only within 0.9 °C
    // in its lowest segment (-205 to -130 °C, worst near -147 °C), where one
    // parabola cannot follow the curve. The 0.0005 mV rounding of the
    // published EMF adds up to 0.02 °C above -130 °C and 0.035 °C below,
    // where the Seebeck coefficient falls to 15 uV/K.
    const TPoint points[] = {
        {-5.891f, -200.0f, 0.93f, "lowest segment"},
        {-4.913f, -150.0f, 0.93f, "lowest segment"},
        {-4.138f, -120.0f, 0.11f, ""},
        {-3.243f, -90.0f, 0.11f, ""},
        {-2.243f, -60.0f, 0.11f, ""},
        {-1.527f, -40.0f, 0.11f, ""},
        {-1.156f, -30.0f, 0.11f, ""},
        {-0.392f, -10.0f, 0.11f, ""},
        {0.397f, 10.0f, 0.11f, ""},
        {1.612f, 40.0f, 0.11f, ""},
        {3.267f, 80.0f, 0.11f, ""},
        {4.096f, 100.0f, 0.11f, ""},
        {6.138f, 150.0f, 0.11f, ""},
        {8.138f, 200.0f, 0.11f, ""},
        {12.209f, 300.0f, 0.11f, ""},
        {16.397f, 400.0f, 0.11f, ""},
        {20.644f, 500.0f, 0.11f, ""},
        {24.905f, 600.0f, 0.11f, ""},
        {29.129f, 700.0f, 0.11f, ""},
        {33.275f, 800.0f, 0.11f, ""},
        {37.326f, 900.0f, 0.11f, ""},
        {41.276f, 1000.0f, 0.11f, ""},
        {45.119f, 1100.0f, 0.11f, ""},
        {52.410f, 1300.0f, 0.11f, ""},
    };
    ExpectPoints("EmfToTemp", EmfToTemp, points, std::size(points));
}

TEST(TypeK, ColdJunctionEmfFollowsTheItsReferenceTable)
{
    // One or more published values in every temperature segment. Swept
    // against the reference function the table is within 0.00053 mV of it
    // over -50..100 °C; the published values add their own 0.0005 mV rounding.
    const TPoint points[] = {
        {-40.0f, -1.527f, 0.0011f, ""}, {-20.0f, -0.778f, 0.0011f, ""}, {-10.0f, -0.392f, 0.0011f, ""},
        {-5.0f, -0.197f, 0.0011f, ""},  {10.0f, 0.397f, 0.0011f, ""},   {20.0f, 0.798f, 0.0011f, ""},
        {40.0f, 1.612f, 0.0011f, ""},   {50.0f, 2.023f, 0.0011f, ""},   {80.0f, 3.267f, 0.0011f, ""},
        {90.0f, 3.682f, 0.0011f, ""},
    };
    ExpectPoints("CjTempToEmf", CjTempToEmf, points, std::size(points));
}

TEST(TypeK, ZeroEmfChannelReadsTheColdJunctionAcrossItsRange)
{
    // Over the whole cold-junction range the two tables are each within about
    // 0.013 °C of the reference function; the round trip through both was
    // measured at 0.025 °C worst (near 100 °C).
    float worst = 0.0f;
    for (float t = -50.05f; t < 100.05f; t += 0.01f)
        worst = std::fmax(worst, std::fabs(CompensatedTemp(0.0f, CjTempToEmf(t)) - t));
    EXPECT_LT(worst, 0.03f);
}

TEST(TypeK, EveryInterpolationStepIsRoundedToFloat)
{
    // Expected values computed independently with exact rational arithmetic
    // from the tables' float values, rounded to the nearest float after each
    // of the six steps (d, u, v, w, z, result). These arguments were chosen
    // where the roundings show: carrying the whole formula in double and
    // rounding once, or rounding after every single float operation, lands on
    // a neighbouring float.
    const TPoint cj[] = {
        {-26.1605549f, -1.01150513f, 0, ""}, {14.5111351f, 0.577523112f, 0, ""}, {3.55083466f, 0.140571073f, 0, ""},
        {3.72021103f, 0.147288471f, 0, ""},  {36.0534477f, 1.45047116f, 0, ""},
    };
    ExpectPoints("CjTempToEmf", CjTempToEmf, cj, std::size(cj));
    const TPoint emf[] = {
        {-3.93024158f, -112.675629f, 0, ""},
        {-5.40456676f, -172.591125f, 0, ""},
        {4.84428978f, 118.158669f, 0, ""},
        {-3.85553193f, -110.097f, 0, ""},
    };
    ExpectPoints("EmfToTemp", EmfToTemp, emf, std::size(emf));
}
