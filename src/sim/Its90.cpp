#include "sim/Its90.h"

#include <cmath>
#include <iterator>
#include <limits>

namespace kelvara::sim {

namespace {

// -270 °C .. 0 °C: a plain polynomial of degree 10.
constexpr double kBelowZero[] = {
    0.000000000000E+00,  0.394501280250E-01,  0.236223735980E-04,  -0.328589067840E-06,
    -0.499048287770E-08, -0.675090591730E-10, -0.574103274280E-12, -0.310888728940E-14,
    -0.104516093650E-16, -0.198892668780E-19, -0.163226974860E-22,
};

// 0 °C .. 1372 °C: a polynomial of degree 9 plus a Gaussian term centred near
// 127 °C that models the type K's magnetic (Curie) anomaly of the nickel leg.
constexpr double kAboveZero[] = {
    -0.176004136860E-01, 0.389212049750E-01, 0.185587700320E-04,  -0.994575928740E-07, 0.318409457190E-09,
    -0.560728448890E-12, 0.560750590590E-15, -0.320207200030E-18, 0.971511471520E-22,  -0.121047212750E-25,
};
constexpr double A0 = 0.118597600000E+00;
constexpr double A1 = -0.118343200000E-03;
constexpr double A2 = 0.126968600000E+03;

template <size_t N>
double Horner(const double (&c)[N], double t)
{
    double sum = 0.0;
    for (size_t i = N; i-- > 0;) sum = sum * t + c[i];
    return sum;
}

} // namespace

double Its90TypeKEmf(double tC)
{
    if (!(tC >= kIts90TypeKMinC && tC <= kIts90TypeKMaxC)) return std::numeric_limits<double>::quiet_NaN();
    if (tC < 0.0) return Horner(kBelowZero, tC);
    const double d = tC - A2;
    return Horner(kAboveZero, tC) + A0 * std::exp(A1 * d * d);
}

} // namespace kelvara::sim
