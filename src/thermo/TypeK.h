// Type K thermocouple conversion: EMF (mV, reference junction at 0 °C) to
// temperature (°C) and back, by constant piecewise tables whose breakpoints
// follow the ITS-90 type K reference function, plus cold-junction
// compensation. The tables, not the reference function, define the results.
//
// All three routines are pure: no state, no allocation, no other input. A NaN
// argument comes back as NaN; an argument outside a table raises ERangeError.
#pragma once

#include <array>
#include <cstdint>

namespace kelvara {

// A segment table: four parallel arrays of 32-bit floats. Segment k runs from
// xs[k] to xs[k+1] and interpolates
//     ys[k] + (ys[k+1] - ys[k]) * (u + curv[k] * u * (u - 1)),
//     u = (x - xs[k]) * invSpan[k],
// a parabola through both breakpoints whose sag is set by curv (0 is a
// straight line). invSpan is a stored constant, never recomputed from xs: its
// rounding is part of the table, and u at the top of a segment is only close
// to 1.

// Temperature (°C) to EMF (mV). Entries 0..6 are the breakpoints, so six
// segments are in use; the last entry is 0 in every array and marks the end.
// The invSpan and curv of the top breakpoint belong to no segment.
struct TTempToEmfTable {
    static constexpr int kSize = 8;
    std::array<float, kSize> xs;
    std::array<float, kSize> invSpan;
    std::array<float, kSize> ys;
    std::array<float, kSize> curv;
};

// EMF (mV) to temperature (°C). count breakpoints, count - 1 segments; the
// invSpan and curv of the top breakpoint belong to no segment.
struct TEmfToTempTable {
    static constexpr int kSize = 18;
    int32_t count;
    std::array<float, kSize> xs;
    std::array<float, kSize> invSpan;
    std::array<float, kSize> ys;
    std::array<float, kSize> curv;
};

// -50.05 °C to 100.05 °C (top excluded): the cold-junction range.
extern const TTempToEmfTable tempToEmfTab;
// -5.965 mV to 54.751 mV (bottom excluded): -205 °C to 1368 °C.
extern const TEmfToTempTable emfToTempTab;

// The EMF of a type K junction at cold-junction temperature t (°C), in mV.
// Temperature segments include their lower breakpoint: t = -50.05 is in the
// table, t = 100.05 is not. Raises ERangeError for t < -50.05, t >= 100.05 and
// for either infinity.
float CjTempToEmf(float t);

// The temperature (°C) of a type K junction giving EMF e (mV). EMF segments
// include their upper breakpoint: e = 54.751 gives 1368, while e <= -5.965
// (the lowest breakpoint itself and -infinity included) is below the table and
// gives absolute zero, -273.15. Raises ERangeError for e > 54.751 and
// +infinity.
float EmfToTemp(float e);

// The temperature of the measuring junction: emf is the EMF measured on the
// channel, cjEmf the CjTempToEmf of the cold-junction temperature. The sum is
// rounded to a 32-bit float before it is converted back.
float CompensatedTemp(float emf, float cjEmf);

} // namespace kelvara
