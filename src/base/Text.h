// Text and number rules shared by the channel table, the scan and the
// settings: comma text, integer and decimal number text, text files, and the
// formatting of readings. Nothing here reads the process locale: the caller
// captures it once at start-up into a TLocaleSettings and passes it in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara {

using TStringList = std::vector<std::string>;

// The two things the logger takes from the user's regional settings: the
// decimal separator (offsets file, readings) and linguistic lower-casing
// (value types of channel definitions).
struct TLocaleSettings {
    std::string DecimalSeparator = ".";
    std::string LocaleName = "C"; // the locale whose casing rules LowerCase applies

    // Reads the environment's locale (LC_ALL, LC_NUMERIC, LC_CTYPE, LANG) once.
    static TLocaleSettings Capture();
    // A fixed locale by name, for tests and tools ("C", "de_DE.UTF-8", ...).
    // Falls back to "C" rules when the system does not have the locale.
    static TLocaleSettings Named(const std::string& name);

    std::string LowerCase(std::string_view utf8) const;
};

// Splits comma text: fields end at a comma or at any character from 1 to 32,
// which are also skipped before each field; a field that begins with a double
// quote runs to the next lone double quote ("" inside stands for one); a comma
// at the very end adds an empty last field. Empty text gives no field.
TStringList SplitCommaText(std::string_view text);

// Joins items into comma text, quoting an item that holds a blank, a control
// character, a comma or a double quote (inner quotes doubled); a list of one
// empty item gives "".
std::string JoinCommaText(const TStringList& items);

// Integer text: leading blanks, optional sign, then decimal digits or
// hexadecimal digits behind "$", "x", "X", "0x" or "0X"; nothing may follow,
// and there is no octal ("010" is ten). Decimal values must fit a signed
// 32-bit integer; hexadecimal values up to FFFFFFFF are taken as their 32-bit
// two's complement. Anything else raises EConvertError.
int32_t StrToInt(std::string_view text);
bool TryStrToInt(std::string_view text, int32_t& value);

// Decimal number text in the given locale: optional blanks, optional sign,
// digits with the locale's decimal separator (no grouping), optional exponent
// ("E"/"e", optional sign, digits), optional blanks. Raises EConvertError for
// anything else and EOverflow when the value is beyond a 32-bit float.
float StrToFloat32(std::string_view text, const TLocaleSettings& locale);

// How the log, the list and the saved file write a channel without a reading.
inline constexpr const char* kNanText = "NAN";

// A reading as the log and the list show it: fixed point with exactly two
// decimals after rounding (half away from zero) to at most seven significant
// digits, the locale's decimal separator, no grouping, no "-0.00"; NaN reads
// "NAN".
std::string FormatReading(float value, const TLocaleSettings& locale);

// The lines of a text file's bytes: a UTF-8 or UTF-16 (LE or BE) byte-order
// mark selects that encoding, otherwise the bytes are taken as UTF-8 with
// invalid sequences replaced by U+FFFD. Lines end at CR, LF or CR LF; a final
// line break adds no line. The lines are returned as UTF-8.
TStringList SplitTextLines(std::string_view bytes);

// Reads a text file as SplitTextLines does; a file that cannot be opened
// raises EFOpenError with the path and the system's reason.
TStringList LoadTextFile(const std::string& path);

// The first of paths that exists, read as LoadTextFile reads it. A file that
// exists but cannot be read raises for that path; when none exists, the
// EFOpenError names every path tried, one line each.
TStringList LoadFirstTextFile(const TStringList& paths);

// Decodes bytes as UTF-8, replacing every invalid sequence by U+FFFD.
std::string SanitizeUtf8(std::string_view bytes);
// True when SanitizeUtf8 would return bytes unchanged.
bool IsValidUtf8(std::string_view bytes);

} // namespace kelvara
