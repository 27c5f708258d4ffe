#include "sim/Profiles.h"

#include "base/Errors.h"
#include "sim/Its90.h"

#include <cmath>
#include <numbers>

namespace kelvara::sim {

namespace {

constexpr double kRoomC = 21.5;

double Wave(double seconds, double period, double phase = 0.0)
{
    return std::sin(2.0 * std::numbers::pi * seconds / period + phase);
}

// A heating phase that approaches the peak exponentially, then a cooling phase
// back towards the room, repeated every cycle.
double OvenTemperature(double seconds, double ambient, double peak)
{
    constexpr double kCycle = 600.0, kHeating = 240.0, kHeatTau = 70.0, kCoolTau = 110.0;
    double t = std::fmod(seconds, kCycle);
    if (t < 0) t += kCycle;
    const double atEndOfHeating = ambient + (peak - ambient) * (1.0 - std::exp(-kHeating / kHeatTau));
    if (t < kHeating) return ambient + (peak - ambient) * (1.0 - std::exp(-t / kHeatTau));
    return ambient + (atEndOfHeating - ambient) * std::exp(-(t - kHeating) / kCoolTau);
}

void CheckName(const std::string& name)
{
    if (!IsProfileName(name)) throw EError("Unknown profile '" + name + "'");
}

} // namespace

std::vector<std::string> ProfileNames()
{
    return {"oven", "drift", "sweep"};
}

bool IsProfileName(const std::string& name)
{
    for (const auto& known : ProfileNames())
        if (known == name) return true;
    return false;
}

double ProfileAmbient(const std::string& name, double seconds)
{
    CheckName(name);
    if (name == "drift") return kRoomC + 1.5 * Wave(seconds, 1200.0);
    return kRoomC + 0.4 * Wave(seconds, 900.0);
}

double ProfileHotJunction(const std::string& name, int slave, double seconds)
{
    CheckName(name);
    const double ambient = ProfileAmbient(name, seconds);
    const int ch = slave - 1;
    if (name == "oven") return OvenTemperature(seconds - 4.0 * ch, ambient, 240.0 + 5.0 * ch);
    if (name == "drift") return ambient + 1.0 + 2.0 * ch + 0.5 * Wave(seconds, 300.0, ch);
    // sweep: a triangle from -200 °C to 1350 °C and back, channels a sixth apart.
    constexpr double kPeriod = 300.0, kLow = -200.0, kHigh = 1350.0;
    double phase = std::fmod(seconds / kPeriod + ch / 6.0, 1.0);
    if (phase < 0) phase += 1.0;
    const double up = phase < 0.5 ? phase * 2.0 : (1.0 - phase) * 2.0;
    return kLow + (kHigh - kLow) * up;
}

float ProfileValue(const std::string& name, int slave, double seconds)
{
    const double ambient = ProfileAmbient(name, seconds);
    if (slave == kAmbientSlave) return static_cast<float>(ambient);
    const double hot = ProfileHotJunction(name, slave, seconds);
    return static_cast<float>(Its90TypeKEmf(hot) - Its90TypeKEmf(ambient));
}

} // namespace kelvara::sim
