// The channel table: for each of the seven channels a Modbus request frame, a
// name and an offset, plus the log header line. Built once at start-up from the
// fixed channel definition lines and the offsets file; read-only afterwards.
#pragma once

#include "acquisition/Transaction.h"
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

    // Builds the table from AppPath + "offset.txt" and the definitions text.
    // Catches nothing: a failure leaves what was built before it in place and
    // raises the failure's exception.
    void CreateCmd(const std::string& AppPath, const std::string& definitionsText);
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
    // The definition and offsets lines serve only the build; the window
    // lets them go when it closes.
    void ReleaseStartLists();

    const std::array<std::string, kSlots>& ChanNames() const { return chanNames; }
    const std::array<float, kSlots>& ChanOffsets() const { return chanOffsets; } // degrees Celsius
    // "time" and the names, TAB-separated.
    const std::string& HeaderLine() const { return headerLine; }
    // One request frame per definition line, as hexadecimal text.
    const TStringList& CmdList() const { return cmdList; }
    // The same frames as the bytes that go on the wire, made once here.
    const std::vector<TFrame>& Frames() const { return frames; }
    const TStringList& DevList() const { return devList; }
    const TStringList& OffsList() const { return offsList; }
    // A copy of cmdList made only when the whole table has been built; the
    // reading list at Run gets one line per entry. Empty after any failure.
    const TStringList& FrameLines() const { return frameLines; }
    const TLocaleSettings& Locale() const { return locale_; }

private:
    std::array<std::string, kSlots> chanNames{};
    std::array<float, kSlots> chanOffsets{};
    std::string headerLine;
    TStringList cmdList;
    std::vector<TFrame> frames;
    TStringList devList;
    TStringList offsList;
    TStringList frameLines;
    TLocaleSettings locale_;
};

} // namespace kelvara
