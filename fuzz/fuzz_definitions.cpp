// Channel definition lines: comma text, integer text, and the request frame
// that PDU and CRC16 make of an arbitrary line.
#include "FuzzCheck.h"
#include "modbus/Crc.h"

#include "acquisition/ChannelTable.h"
#include "base/Errors.h"
#include "base/Text.h"
#include "modbus/Framer.h"

#include <cstdlib>
#include <string>

using namespace kelvara;

namespace {

bool IsUpperHex(const std::string& s)
{
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

// An independent reading of integer text: blanks, sign, then decimal digits,
// or hexadecimal digits behind $, x, X, 0x or 0X; decimal within 32 bits
// signed, hexadecimal up to FFFFFFFF as its two's complement pattern.
bool ExpectedInt(const std::string& text, int32_t& value)
{
    size_t p = text.find_first_not_of(' ');
    if (p == std::string::npos) return false;
    bool negative = false;
    if (text[p] == '+' || text[p] == '-') negative = text[p++] == '-';
    int base = 10;
    if (p < text.size() && (text[p] == '$' || text[p] == 'x' || text[p] == 'X')) {
        base = 16;
        ++p;
    } else if (text.compare(p, 2, "0x") == 0 || text.compare(p, 2, "0X") == 0) {
        base = 16;
        p += 2;
    }
    const std::string digits = text.substr(p);
    if (digits.empty()) return false;
    for (char c : digits) {
        const bool dec = c >= '0' && c <= '9';
        const bool hex = dec || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (base == 10 ? !dec : !hex) return false;
    }
    const std::string significant = digits.substr(std::min(digits.find_first_not_of('0'), digits.size()));
    if (significant.size() > 10) return false;
    const unsigned long long m = significant.empty() ? 0 : std::strtoull(significant.c_str(), nullptr, base);
    long long v;
    if (base == 16) {
        if (m > 0xFFFFFFFFull) return false;
        v = static_cast<int32_t>(static_cast<uint32_t>(m));
    } else {
        if (m > (negative ? 0x80000000ull : 0x7FFFFFFFull)) return false;
        v = static_cast<long long>(m);
    }
    value = static_cast<int32_t>(static_cast<uint32_t>(negative ? -v : v));
    return true;
}

void CheckInt(const std::string& text)
{
    int32_t got = 0x5A5A5A5A;
    const bool ok = TryStrToInt(text, got);
    int32_t want = 0;
    const bool expected = ExpectedInt(text, want);
    FUZZ_CHECK(ok == expected);
    if (ok) FUZZ_CHECK(got == want);
    try {
        const int32_t v = StrToInt(text);
        FUZZ_CHECK(ok && v == got);
    } catch (const EConvertError&) {
        FUZZ_CHECK(!ok);
    }
}

void CheckCommaText(const std::string& text)
{
    const TStringList items = SplitCommaText(text);
    for (const std::string& item : items) FUZZ_CHECK(item.find('\0') == std::string::npos);
    // Whatever comma text gives, joining and splitting it again gives back.
    const std::string joined = JoinCommaText(items);
    FUZZ_CHECK(SplitCommaText(joined) == items);
    // Joining is a fixed point once the text has been through it.
    FUZZ_CHECK(JoinCommaText(SplitCommaText(joined)) == joined);

    // Arbitrary items (cut at 0xFF bytes) survive a join and a split as long
    // as none holds a NUL, which ends comma text.
    TStringList raw;
    raw.emplace_back();
    bool nul = false;
    for (char c : text) {
        if (static_cast<unsigned char>(c) == 0xFF)
            raw.emplace_back();
        else
            raw.back() += c;
        nul = nul || c == '\0';
    }
    if (!nul) FUZZ_CHECK(SplitCommaText(JoinCommaText(raw)) == raw);
}

void CheckFrame(const TChannelTable& table, const std::string& line)
{
    std::string pdu;
    try {
        pdu = table.PDU(line);
    } catch (const EConvertError&) {
        return;
    } catch (const EStringListError&) {
        FUZZ_CHECK(SplitCommaText(line).size() < 4);
        return;
    }
    const TStringList fields = SplitCommaText(line);
    FUZZ_CHECK(fields.size() >= 4);
    FUZZ_CHECK(IsUpperHex(pdu));
    FUZZ_CHECK(pdu.size() >= 12);
    const std::string count = pdu.substr(pdu.size() - 4);
    FUZZ_CHECK(count == "0001" || count == "0002");
    // Addresses and functions of one byte give the two digits of a byte.
    const int32_t address = StrToInt(fields[0]);
    if (address >= 0 && address <= 0xFF) {
        char two[3];
        std::snprintf(two, sizeof two, "%02X", static_cast<unsigned>(address));
        FUZZ_CHECK(pdu.compare(0, 2, two) == 0);
    }

    const std::string frame = TChannelTable::CRC16(pdu);
    FUZZ_CHECK(frame.size() == pdu.size() + 4 && frame.compare(0, pdu.size(), pdu) == 0);
    FUZZ_CHECK(IsUpperHex(frame));
    if (pdu.size() % 2 == 0) {
        std::vector<uint8_t> bytes;
        for (size_t k = 0; k + 1 < frame.size(); k += 2)
            bytes.push_back(static_cast<uint8_t>(std::strtoul(frame.substr(k, 2).c_str(), nullptr, 16)));
        // A framed request always passes its CRC, and a slave's framer takes
        // an eight-byte read request as exactly one frame.
        FUZZ_CHECK(RtuCrcOk(bytes.data(), bytes.size()));
        if (bytes.size() == 8 && bytes[1] >= 1 && bytes[1] <= 4) {
            const auto frames = SplitBurst(bytes.data(), bytes.size());
            FUZZ_CHECK(frames.size() == 1 && frames[0] == bytes);
        }
    }
}

void CheckCrc16(const std::string& line)
{
    std::string framed;
    try {
        framed = TChannelTable::CRC16(line);
    } catch (const EConvertError&) {
        FUZZ_CHECK(!IsUpperHex(line));
        return;
    }
    FUZZ_CHECK(framed.size() == line.size() + 4 && framed.compare(0, line.size(), line) == 0);
    FUZZ_CHECK(IsUpperHex(framed.substr(line.size())));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    static const TChannelTable table;

    CheckCommaText(text);
    CheckInt(text);
    for (const std::string& field : SplitCommaText(text)) CheckInt(field);
    CheckFrame(table, text);
    CheckCrc16(text);

    TChannelTable names;
    const int index = size > 0 ? data[0] % 9 - 1 : 0; // -1..7: two outside the table
    try {
        names.SetChannelName(text, index);
        FUZZ_CHECK(index >= 0 && index < TChannelTable::kSlots);
        FUZZ_CHECK(names.ChanNames()[static_cast<size_t>(index)] == SplitCommaText(text).at(4));
    } catch (const EStringListError&) {
        FUZZ_CHECK(SplitCommaText(text).size() < 5);
    } catch (const ERangeError&) {
        FUZZ_CHECK(index < 0 || index >= TChannelTable::kSlots);
    }
    return 0;
}
