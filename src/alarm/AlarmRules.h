// The alarm rules of a run, as the file alarms.ini holds them and as the
// window's dialog edits them. The file follows the INI rules of the settings
// file (names without regard to ASCII case, blanks and one pair of quotes
// around a value dropped) and is stricter about what it accepts, since a
// rule mistyped must not pass unseen:
//
//   ; comment lines begin with ';' or '#'
//   [all]              what every channel has unless its own section says
//   silent_scans=3     otherwise, and port_lost, which only [all] may hold
//   port_lost=yes
//   [TC_3]             a section per channel, named as the channel is
//   low=20             °C as logged (after offsets); '.' is the decimal point
//   high=250
//   hysteresis=2       how far back a crossed limit must come to clear, °C
//   delay=10           seconds a crossing must last before it is raised
//   silent_scans=none  "none" turns off what [all] gives
//
// A key with an empty value counts as not given. Any other line, an unknown
// section or key, a section or key given twice, a value that is not what its
// key takes, or a low above a high is an error that names the file and the
// line.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara {

// The keys of a section, in the order the file and the dialog show them.
enum class TAlarmKey { Low, High, Hysteresis, Delay, SilentScans };
inline constexpr int kAlarmKeys = 5;
// "low", "high", "hysteresis", "delay", "silent_scans".
std::string_view AlarmKeyName(TAlarmKey key);

// A section's values as written, each empty when not given, and the line
// of each in the file (0 when not from a file).
struct TAlarmSection {
    std::array<std::string, kAlarmKeys> Values;
    std::array<int, kAlarmKeys> Lines{};

    std::string& operator[](TAlarmKey key) { return Values[size_t(key)]; }
    const std::string& operator[](TAlarmKey key) const { return Values[size_t(key)]; }
};

// The rules as written: [all], a section per channel in the table's order,
// and port_lost ("yes", "no" or empty).
struct TAlarmTexts {
    TAlarmSection All;
    std::vector<TAlarmSection> Channels;
    std::string PortLost;
    int PortLostLine = 0;
};

// One channel's rules with what [all] gives filled in.
struct TChannelAlarmRule {
    float Low = NAN;  // NaN: no such limit
    float High = NAN; // NaN: no such limit
    float Hysteresis = 0;
    uint32_t Delay = 0;       // seconds
    uint32_t SilentScans = 0; // 0: no alarm for a silent channel
};

struct TAlarmRules {
    std::vector<TChannelAlarmRule> Channels;
    bool PortLost = false;

    // Whether any alarm is asked for at all.
    bool Any() const;
};

// The name of the section for all channels.
inline constexpr std::string_view kAllSection = "all";

// Reads the text of a rules file; names are the channels' names, which name
// their sections. Raises EError naming fileName and the line for a line,
// section or key that does not belong; the values are judged by RulesOf.
TAlarmTexts ParseAlarmTexts(std::string_view text, const std::string& fileName, const std::vector<std::string>& names);

// The rules the texts give. Raises EError for a value that is not one: with
// the file and line when it came from a file, else with the channel and key.
TAlarmRules RulesOf(const TAlarmTexts& texts, const std::vector<std::string>& names, const std::string& fileName = {});

// The rules of a file. Raises EFOpenError when it cannot be read, and what
// the two steps above raise.
TAlarmRules ReadAlarmRules(const std::string& path, const std::vector<std::string>& names);

// The texts of a file for editing: none when it does not exist. Raises as
// ReadAlarmRules does, except for values, which are left to the editor.
TAlarmTexts LoadAlarmTexts(const std::string& path, const std::vector<std::string>& names);

// The file's text for the texts: only the sections and keys given.
std::string AlarmFileText(const TAlarmTexts& texts, const std::vector<std::string>& names);

// Judges the texts as RulesOf does, then replaces the file with them as a
// whole: a crash leaves the old file or the new one. Raises what RulesOf
// raises, or EFCreateError when the file cannot be written.
void SaveAlarmTexts(const std::string& path, const TAlarmTexts& texts, const std::vector<std::string>& names);

} // namespace kelvara
