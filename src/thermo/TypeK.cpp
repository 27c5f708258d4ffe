#include "thermo/TypeK.h"

#include "base/Errors.h"

#include <cmath>

namespace kelvara {

// Every value is the 32-bit float nearest to the decimal written; comparisons
// and arithmetic start from those floats.
constexpr TTempToEmfTable tempToEmfTab = {
    // xs (°C)
    {-50.05f, -30.0f, -15.0f, 0.0f, 25.0f, 58.5f, 100.05f, 0.0f},
    // invSpan (1/°C)
    {0.04988f, 0.06667f, 0.06667f, 0.04f, 0.02985f, 0.02407f, -0.01f, 0.0f},
    // ys (mV)
    {-1.89116f, -1.156f, -0.586f, 0.0f, 1.0f, 2.3745f, 4.09862f, 0.0f},
    // curv
    {0.023f, 0.013f, 0.01f, 0.012f, 0.01f, 0.0f, 0.0f, 0.0f},
};

constexpr TEmfToTempTable emfToTempTab = {
    18,
    // xs (mV)
    {-5.965f, -4.411f, -3.554f, -2.587f, -1.709f, -0.968f, 0.0f, 1.203f, 2.436f, 4.427f, 6.861f, 9.747f, 14.713f,
     22.35f, 31.462f, 41.12f, 48.838f, 54.751f},
    // invSpan (1/mV)
    {0.6435f, 1.166861f, 1.034126f, 1.138952f, 1.349528f, 1.033058f, 0.831255f, 0.81103f, 0.50226f, 0.410846f, 0.3465f,
     0.201369f, 0.130941f, 0.109745f, 0.103541f, 0.129567f, 0.169119f, -0.018265f},
    // ys (°C)
    {-205.0f, -130.0f, -100.0f, -70.0f, -45.0f, -25.0f, 0.0f, 29.998f, 60.0f, 108.0f, 168.0f, 240.03f, 360.0f, 540.0f,
     756.0f, 996.0f, 1200.0f, 1368.0f},
    // curv
    {-0.31f, -0.067f, -0.05f, -0.034f, -0.023f, -0.0215f, -0.015f, -0.007f, 0.002f, 0.015f, -0.006f, -0.017f, -0.008f,
     0.015f, 0.029f, 0.033f, 0.037f, 0.0f},
};

namespace {

constexpr bool Ascending(const float* xs, int n)
{
    for (int i = 1; i < n; ++i)
        if (!(xs[i - 1] < xs[i])) return false;
    return true;
}

static_assert(Ascending(tempToEmfTab.xs.data(), 7), "temperature breakpoints must ascend");
static_assert(tempToEmfTab.xs[7] == 0.0f && tempToEmfTab.xs[7] < tempToEmfTab.xs[6],
              "the end row's zero must lie below the top breakpoint, so walks pass it");
static_assert(emfToTempTab.count == TEmfToTempTable::kSize, "count must match the arrays");
static_assert(Ascending(emfToTempTab.xs.data(), emfToTempTab.count), "EMF breakpoints must ascend");

// Absolute zero, the answer for any EMF at or below the table's bottom.
constexpr float kAbsoluteZero = -273.15f;

// One segment of a table, k counted from 0 (segment k runs from xs[k] to
// xs[k+1]). The result rests on six 32-bit roundings, one after each step;
// inside a step the arithmetic runs in long double (x87 extended precision,
// 64-bit significand, on x86-64), and only the step's result is rounded to
// float. At the bottom of a segment u = 0 and the result is ys[k] exactly;
// at the top it is ys[k+1] only as nearly as the stored invSpan brings u to 1.
float InterpolateSegment(float x, const float* xs, const float* invSpan, const float* ys, const float* curv, int k)
{
    using Ext = long double;
    const float d = static_cast<float>(Ext(x) - Ext(xs[k]));
    const float u = static_cast<float>(Ext(d) * Ext(invSpan[k]));
    const float v = static_cast<float>((Ext(u) - 1.0L) * Ext(curv[k]) + 1.0L);
    const float w = static_cast<float>(Ext(v) * Ext(u));
    // The rise of the segment is not rounded to float on its own.
    const float z = static_cast<float>((Ext(ys[k + 1]) - Ext(ys[k])) * Ext(w));
    return static_cast<float>(Ext(ys[k]) + Ext(z));
}

} // namespace

float CjTempToEmf(float t)
{
    if (std::isnan(t)) return t;
    const TTempToEmfTable& tab = tempToEmfTab;
    // k = how many breakpoints lie at or below t. The walk runs over all
    // eight rows: from 100.05 upward it passes the top breakpoint and then the
    // end row's zero too, so k = 8 and the top breakpoint starts no segment.
    int k = 0;
    while (k < TTempToEmfTable::kSize && !(tab.xs[k] > t)) ++k;
    // k = 0: below -50.05 (or -infinity). k >= 7: at or above 100.05 (or
    // +infinity); k = 7 cannot come from an ascending walk, but would name the
    // unusable top row.
    if (k == 0 || k >= 7) throw ERangeError();
    return InterpolateSegment(t, tab.xs.data(), tab.invSpan.data(), tab.ys.data(), tab.curv.data(), k - 1);
}

float EmfToTemp(float e)
{
    if (std::isnan(e)) return e;
    const TEmfToTempTable& tab = emfToTempTab;
    // k = how many breakpoints lie strictly below e.
    int k = 0;
    while (k < tab.count && !(e <= tab.xs[k])) ++k;
    if (k == 0) return kAbsoluteZero;        // at or below -5.965 mV, -infinity included
    if (k == tab.count) throw ERangeError(); // above 54.751 mV, +infinity included
    return InterpolateSegment(e, tab.xs.data(), tab.invSpan.data(), tab.ys.data(), tab.curv.data(), k - 1);
}

float CompensatedTemp(float emf, float cjEmf)
{
    // The sum is rounded to float first: that float, not the exact sum, is
    // what the table sees.
    const float sum = emf + cjEmf;
    return EmfToTemp(sum);
}

} // namespace kelvara
