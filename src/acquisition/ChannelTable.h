// The channel table: for each of the seven channels a Modbus request frame, a
// name and an offset, plus the log header line. Built once at start-up from the
// fixed channel definition lines and the offsets file; read-only afterwards.
#pragma once

#include "base/Text.h"

#include <array>
#include <string>

namespace kelvara {

// The channel definition lines as the window's layout holds them: slave
// address, function code, start register, value type, channel name.
extern const char* const kChannelDefinitions;

class TChannelTable {
public:
    static constexpr int kSlots = 7; // six thermocouples, then the cold junction
    static constexpr int kAmbient = 6;

    explicit TChannelTable(TLocaleSettings locale = {});

    std::array<std::string, kSlots> chanNames{};
    std::array<float, kSlots> chanOffsets{}; // degrees Celsius
    std::string headerLine;                  // "time" and the names, TAB-separated
    TStringList cmdList;                     // one request frame per definition line
    TStringList devList;                     // the definition lines
    TStringList offsList;                    // every line of the offsets file
    // A copy of cmdList made only when the whole table has been built; the
    // reading list at Run gets one line per entry. Empty after any failure.
    TStringList frameLines;

    // Builds the table from AppPath + "offset.txt" and the definitions text.
    // Catches nothing: a failure leaves what was built before it in place and
    // raises the failure's exception.
    void CreateCmd(const std::string& AppPath, const std::string& definitionsText);
    // The same with the offsets file named directly.
    void CreateCmdFromFile(const std::string& offsetsPath, const std::string& definitionsText);
    // The same with the first offsets file of a search path that exists
    // (LoadFirstTextFile).
    void CreateCmdFromFiles(const TStringList& offsetsPaths, const std::string& definitionsText);

    // The request body for one definition line: address (2 hex digits at
    // least), function (2), start register (4), register count (4).
    std::string PDU(const std::string& aLine) const;
    // line followed by the CRC of the bytes its hex digits stand for, low
    // byte first. An odd last digit takes no part in the CRC.
    static std::string CRC16(const std::string& line);
    // Stores field 5 of line as chanNames[index]; index outside 0..6 is a
    // range error.
    void SetChannelName(const std::string& line, int index);

    const TLocaleSettings& Locale() const { return locale_; }

private:
    TLocaleSettings locale_;
};

} // namespace kelvara
