#include "support/Frames.h"

#include "modbus/Crc.h"

#include <cstdio>

namespace kelvara::test {

TBytes Hex(std::string_view text)
{
    TBytes out;
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

std::string ToHex(const TBytes& bytes)
{
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        if (i) out += ' ';
        out += buf;
    }
    return out;
}

TBytes WithCrc(TBytes body)
{
    AppendCrc(body);
    return body;
}

TBytes WithCrc(std::string_view bodyHex)
{
    return WithCrc(Hex(bodyHex));
}

TBytes ReadRequest(int slave, int start, int count, int function)
{
    return WithCrc(TBytes{static_cast<uint8_t>(slave), static_cast<uint8_t>(function), static_cast<uint8_t>(start >> 8),
                          static_cast<uint8_t>(start & 0xFF), static_cast<uint8_t>(count >> 8),
                          static_cast<uint8_t>(count & 0xFF)});
}

TBytes Concat(std::initializer_list<TBytes> parts)
{
    TBytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

} // namespace kelvara::test
