// Built-in value profiles for demos and soak runs: moving temperatures that the
// simulated slaves turn into what a real installation would deliver (the
// thermocouple EMF against a cold junction at ambient, and the ambient itself).
#pragma once

#include <string>
#include <vector>

namespace kelvara::sim {

inline constexpr int kSlaveCount = 7;
inline constexpr int kAmbientSlave = 7;

// The profile names: "oven" (a 10-minute cycle heating to about 250 °C and
// cooling again, the six channels a few seconds apart), "drift" (room
// temperature with slow swings), "sweep" (each channel runs the type K range
// from -200 °C to 1350 °C and back in five minutes).
std::vector<std::string> ProfileNames();
bool IsProfileName(const std::string& name);

// Cold-junction (ambient) temperature in °C at `seconds` into the profile.
double ProfileAmbient(const std::string& name, double seconds);

// Hot-junction temperature of channel 1..6 in °C.
double ProfileHotJunction(const std::string& name, int slave, double seconds);

// What slave 1..7 answers: for 1..6 the EMF in mV of a type K thermocouple
// whose hot junction is at ProfileHotJunction and whose cold junction is at
// ProfileAmbient (so EMF = E(hot) - E(ambient) by the ITS-90 function); for 7
// the ambient in °C. Raises EError for a name that is not a profile.
float ProfileValue(const std::string& name, int slave, double seconds);

} // namespace kelvara::sim
