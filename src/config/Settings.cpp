#include "config/Settings.h"

namespace kelvara {

namespace {
constexpr const char* kSerialSection = "Serial";
constexpr const char* kTimingsSection = "Timings";
} // namespace

TSettings LoadSettings(const TIniFile& ini)
{
    const TSettings defaults;
    TSettings s;
    s.Baud = ini.ReadString(kSerialSection, "baudrate", defaults.Baud);
    s.Parity = ini.ReadString(kSerialSection, "parity", defaults.Parity);
    s.Port = ini.ReadString(kSerialSection, "port", defaults.Port);
    s.Period = ini.ReadString(kTimingsSection, "scan_period", defaults.Period);
    return s;
}

TSettings LoadSettings(const std::string& iniName)
{
    return LoadSettings(TIniFile(iniName));
}

void SaveSettings(TIniFile& ini, const TSettings& settings)
{
    ini.WriteString(kSerialSection, "baudrate", settings.Baud);
    ini.WriteString(kSerialSection, "parity", settings.Parity);
    ini.WriteString(kSerialSection, "port", settings.Port);
    ini.WriteString(kTimingsSection, "scan_period", settings.Period);
}

void SaveSettings(const std::string& iniName, const TSettings& settings)
{
    TIniFile ini(iniName);
    SaveSettings(ini, settings);
}

} // namespace kelvara
