#include "config/Settings.h"

namespace kelvara {

namespace {
constexpr const char* SerialSection = "Serial";
constexpr const char* TimingsSection = "Timings";
} // namespace

TSettings LoadSettings(const TIniFile& ini)
{
    const TSettings defaults;
    TSettings s;
    s.Baud = ini.ReadString(SerialSection, "baudrate", defaults.Baud);
    s.Parity = ini.ReadString(SerialSection, "parity", defaults.Parity);
    s.Port = ini.ReadString(SerialSection, "port", defaults.Port);
    s.Period = ini.ReadString(TimingsSection, "scan_period", defaults.Period);
    return s;
}

TSettings LoadSettings(const std::string& iniName)
{
    return LoadSettings(TIniFile(iniName));
}

void SaveSettings(TIniFile& ini, const TSettings& settings)
{
    ini.WriteString(SerialSection, "baudrate", settings.Baud);
    ini.WriteString(SerialSection, "parity", settings.Parity);
    ini.WriteString(SerialSection, "port", settings.Port);
    ini.WriteString(TimingsSection, "scan_period", settings.Period);
}

void SaveSettings(const std::string& iniName, const TSettings& settings)
{
    TIniFile ini(iniName);
    SaveSettings(ini, settings);
}

} // namespace kelvara
