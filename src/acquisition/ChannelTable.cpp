#include "acquisition/ChannelTable.h"
#include "modbus/Crc.h"

#include "base/Errors.h"

#include <cstdio>

namespace kelvara {

const char* const kChannelDefinitions = "01,04,0x004,FLOAT_BE,TC_1\n"
                                        "02,04,0x004,FLOAT_BE,TC_2\n"
                                        "03,04,0x004,FLOAT_BE,TC_3\n"
                                        "04,04,0x004,FLOAT_BE,TC_4\n"
                                        "05,04,0x004,FLOAT_BE,TC_5\n"
                                        "06,04,0x004,FLOAT_BE,TC_6\n"
                                        "07,04,0x004,FLOAT_BE,T__A";

namespace {

const std::string& Field(const TStringList& fields, size_t index)
{
    if (index >= fields.size()) throw EStringListError(static_cast<long>(index));
    return fields[index];
}

// Uppercase hexadecimal with at least minDigits digits; a value that needs
// more keeps all of them. Negative values are written as their 32-bit pattern.
std::string Hex(int32_t value, int minDigits)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", minDigits, static_cast<uint32_t>(value));
    return buf;
}

} // namespace

TChannelTable::TChannelTable(TLocaleSettings locale) : locale_(std::move(locale)) {}

void TChannelTable::CreateCmd(const std::string& AppPath, const std::string& definitionsText)
{
    CreateCmdFromFiles({AppPath + "offset.txt"}, definitionsText);
}

void TChannelTable::CreateCmdFromFiles(const TStringList& offsetsPaths, const std::string& definitionsText)
{
    offsList = LoadFirstTextFile(offsetsPaths);
    devList = SplitTextLines(definitionsText);
    cmdList.clear();
    frames.clear();
    headerLine = "time";
    for (size_t i = 0; i < devList.size(); ++i) {
        cmdList.push_back(CRC16(PDU(devList[i])));
        frames.push_back(FrameBytes(cmdList.back()));
        SetChannelName(devList[i], static_cast<int>(i));
        headerLine += '\t' + chanNames[i];
        if (i >= offsList.size()) throw EStringListError(static_cast<long>(i));
        chanOffsets[i] = StrToFloat32(offsList[i], locale_);
    }
    frameLines = cmdList;
}

std::string TChannelTable::PDU(const std::string& aLine) const
{
    const TStringList fields = SplitCommaText(aLine);
    std::string body = Hex(StrToInt(Field(fields, 0)), 2);
    body += Hex(StrToInt(Field(fields, 1)), 2);
    body += Hex(StrToInt(Field(fields, 2)), 4);
    const std::string type = locale_.LowerCase(Field(fields, 3));
    body += (type == "float_be" || type == "float_mle") ? "0002" : "0001";
    return body;
}

std::string TChannelTable::CRC16(const std::string& line)
{
    std::vector<uint8_t> bytes;
    for (size_t k = 0; k + 1 < line.size(); k += 2) {
        std::string digits = "$";
        digits += line.substr(k, 2);
        bytes.push_back(static_cast<uint8_t>(StrToInt(digits)));
    }
    const uint16_t crc = Crc16Modbus(bytes.data(), bytes.size());
    char tail[8];
    // Modbus sends the CRC low byte first.
    std::snprintf(tail, sizeof tail, "%02X%02X", crc & 0xFF, crc >> 8);
    return line + tail;
}

void TChannelTable::ReleaseStartLists()
{
    TStringList().swap(devList);
    TStringList().swap(offsList);
}

void TChannelTable::SetChannelName(const std::string& line, int index)
{
    const TStringList fields = SplitCommaText(line);
    const std::string& name = Field(fields, 4);
    if (index < 0 || index >= kSlots) throw ERangeError();
    chanNames[index] = name;
}

} // namespace kelvara
