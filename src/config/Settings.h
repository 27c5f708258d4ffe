// The four settings the window keeps between runs: the line's baud rate and
// parity, the port name and the scan period, all as the texts of their
// controls. They are taken and stored without any check; the port and the
// period are judged only when the operator connects or presses Run.
#pragma once

#include "config/IniFile.h"

#include <string>

namespace kelvara {

struct TSettings {
    std::string Baud = "19200";
    std::string Parity = "even";
    std::string Port = "Com22";
    std::string Period = "1";

    bool operator==(const TSettings&) const = default;
};

// Reads "Serial"/"baudrate", "Serial"/"parity", "Serial"/"port" and
// "Timings"/"scan_period", each with its default. A missing or unreadable
// file gives the defaults; this never raises.
TSettings LoadSettings(const TIniFile& ini);
TSettings LoadSettings(const std::string& iniName);

// Writes the four values in the order above, each unchanged (empty, "None" or
// not a number included). The first write that fails raises EIniFileError
// with the settings path, and the later ones are not attempted.
void SaveSettings(TIniFile& ini, const TSettings& settings);
void SaveSettings(const std::string& iniName, const TSettings& settings);

} // namespace kelvara
