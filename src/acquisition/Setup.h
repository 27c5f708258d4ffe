// Where a copy of the program keeps its files, decided once at start for
// both front ends: the settings file and the offsets file beside the
// executable (a portable copy) or in the user's configuration directory (an
// installed one), and the journals of the runs in the user's state
// directory, those of the demo apart from the real runs'.
#pragma once

#include "acquisition/Session.h"
#include "config/Settings.h"
#include "serial/PortList.h"

#include <string>

namespace kelvara {

class TAppFiles {
public:
    // exePath is the program's path; empty means the running program.
    // journals overrides the journal directory when not empty.
    static TAppFiles Of(const std::string& exePath = {}, bool demo = false, const std::string& journals = {});

    // The executable's directory, or the user's configuration directory for
    // an installed copy, with its final separator.
    const std::string& AppPath() const { return appPath_; }
    // The settings file.
    const std::string& IniName() const { return iniName_; }
    // Where the offsets file is looked for, in order.
    const TStringList& OffsetsPaths() const { return offsetsPaths_; }
    // Where the runs keep their journals; empty when there is no such place.
    const std::string& JournalDir() const { return journalDir_; }
    // The alarm rules, alarms.ini beside the settings file.
    std::string AlarmsName() const { return appPath_ + "alarms.ini"; }

    // The four settings, each with its default; never raises.
    TSettings LoadSettings() const;
    // Writes the four settings; raises EIniFileError at the first that fails.
    void SaveSettings(const TSettings& settings) const;

    // A session's configuration with these files; the alarm rules when
    // the file exists.
    TSessionConfig SessionConfig(TLocaleSettings locale) const;

private:
    std::string appPath_;
    std::string iniName_;
    TStringList offsetsPaths_;
    std::string journalDir_;
};

// The serial ports the system reports, in the port box's order.
std::vector<TPortInfo> SystemPorts();

} // namespace kelvara
