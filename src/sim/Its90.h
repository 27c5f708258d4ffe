// The ITS-90 reference function of the type K thermocouple, evaluated from
// its published polynomial coefficients. The simulator computes its EMFs with
// it so that the logger's table-based conversion is checked against a source
// that shares no code with it.
#pragma once

namespace kelvara::sim {

// Lowest and highest temperature the reference function is defined for, °C.
inline constexpr double kIts90TypeKMinC = -270.0;
inline constexpr double kIts90TypeKMaxC = 1372.0;

// EMF of a type K thermocouple in mV with its reference junction at 0 °C.
// Returns NaN outside -270 °C .. 1372 °C, where the function is not defined.
double Its90TypeKEmf(double tC);

} // namespace kelvara::sim
