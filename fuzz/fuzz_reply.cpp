// Reply decoding: ClassifyReply on arbitrary reply bytes and lengths, and
// String2Bin on arbitrary frame text. A value is only ever accepted from a
// reply that is whole and right, and decoding never reads past what came in.
#include "FuzzCheck.h"

#include "acquisition/Transaction.h"
#include "base/Errors.h"
#include "base/Text.h"
#include "modbus/Crc.h"
#include "modbus/ReadInputRegisters.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace kelvara;

namespace {

uint32_t Bits(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

bool CrcHolds(const uint8_t* p, int n)
{
    return Crc16Modbus(p, static_cast<size_t>(n)) == 0;
}

// The reply bytes live in a buffer of exactly `length` bytes, so AddressSanitizer
// stops any read beyond what the serial line delivered.
TExchangeOutcome Classify(uint8_t address, uint8_t function, const std::vector<uint8_t>& reply, float& value, int& code)
{
    std::unique_ptr<uint8_t[]> exact(new uint8_t[reply.size() + (reply.empty() ? 1 : 0)]);
    if (!reply.empty()) std::memcpy(exact.get(), reply.data(), reply.size());
    return ClassifyReply(address, function, exact.get(), static_cast<int>(reply.size()), value, code);
}

void CheckArbitraryReply(uint8_t address, uint8_t function, const std::vector<uint8_t>& reply)
{
    const float sentinel = 12345.5f;
    float value = sentinel;
    int code = -7;
    const TExchangeOutcome outcome = Classify(address, function, reply, value, code);
    const int n = static_cast<int>(reply.size());

    FUZZ_CHECK((outcome == TExchangeOutcome::Silent) == (n == 0));
    FUZZ_CHECK(outcome != TExchangeOutcome::None);
    if (outcome != TExchangeOutcome::Ok) FUZZ_CHECK(Bits(value) == Bits(sentinel));
    if (outcome != TExchangeOutcome::Exception) FUZZ_CHECK(code == -7);

    if (outcome == TExchangeOutcome::Ok) {
        FUZZ_CHECK(n >= 9);
        FUZZ_CHECK(reply[0] == address);
        FUZZ_CHECK(reply[1] == function);
        FUZZ_CHECK(reply[1] < 0x80);
        FUZZ_CHECK(reply[2] == 4);
        FUZZ_CHECK(CrcHolds(reply.data(), 9));
        // The value exactly as sent, a NaN with its payload included; the
        // read transaction, not the decoding, turns a NaN into no reading.
        FUZZ_CHECK(Bits(value) == Bits(BytesToFloatBE(reply.data() + 3)));
    }
    if (outcome == TExchangeOutcome::Exception) {
        FUZZ_CHECK(n >= 5);
        FUZZ_CHECK(reply[0] == address);
        FUZZ_CHECK(reply[1] == (function | 0x80));
        FUZZ_CHECK(CrcHolds(reply.data(), 5));
        FUZZ_CHECK(code == reply[2]);
    }
    if (outcome == TExchangeOutcome::WrongAddress) FUZZ_CHECK(n >= 5 && reply[0] != address);
    if (outcome == TExchangeOutcome::BadCrc) FUZZ_CHECK(n >= 5);
    // A reply of fewer than five bytes can never be judged as anything but short.
    if (n > 0 && n < 5) FUZZ_CHECK(outcome == TExchangeOutcome::Short);
}

// A whole and right reply built from the input's value bytes is accepted with
// exactly that value; the same reply with any one byte changed is refused,
// because the CRC sees every error confined to one byte.
void CheckBuiltReply(uint8_t address, uint8_t function, const uint8_t* valueBytes, uint8_t flipAt, uint8_t flipMask)
{
    function &= 0x7F;
    std::vector<uint8_t> reply{address, function, 4, valueBytes[0], valueBytes[1], valueBytes[2], valueBytes[3]};
    AppendCrc(reply);
    float value = 0;
    int code = 0;
    FUZZ_CHECK(Classify(address, function, reply, value, code) == TExchangeOutcome::Ok);
    FUZZ_CHECK(Bits(value) == Bits(BytesToFloatBE(valueBytes)));

    if (flipMask != 0) {
        std::vector<uint8_t> bent = reply;
        bent[flipAt % bent.size()] ^= flipMask;
        float v2 = 0;
        FUZZ_CHECK(Classify(address, function, bent, v2, code) != TExchangeOutcome::Ok);
    }
    // Cut short anywhere, it is no reading.
    for (size_t cut = 0; cut < reply.size(); ++cut) {
        std::vector<uint8_t> shortReply(reply.begin(), reply.begin() + static_cast<long>(cut));
        float v3 = 0;
        const TExchangeOutcome o = Classify(address, function, shortReply, v3, code);
        FUZZ_CHECK(o != TExchangeOutcome::Ok);
    }

    // The matching exception reply.
    std::vector<uint8_t> ex{address, static_cast<uint8_t>(function | 0x80), valueBytes[0]};
    AppendCrc(ex);
    code = -1;
    FUZZ_CHECK(Classify(address, function, ex, value, code) == TExchangeOutcome::Exception);
    FUZZ_CHECK(code == valueBytes[0]);
}

// String2Bin writes exactly length / 2 bytes and refuses characters below "0";
// uppercase hexadecimal text converts exactly.
void CheckString2Bin(const std::string& text)
{
    const size_t want = text.size() / 2;
    std::unique_ptr<uint8_t[]> out(new uint8_t[want + (want == 0 ? 1 : 0)]);
    bool below = false;
    for (char c : text)
        if (static_cast<unsigned char>(c) < '0') below = true;
    try {
        const int n = String2Bin(text, out.get());
        FUZZ_CHECK(!below);
        FUZZ_CHECK(n == static_cast<int>(want));
        bool upperHex = true;
        for (char c : text)
            if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) upperHex = false;
        if (upperHex) {
            for (size_t k = 0; k < want; ++k) {
                char pair[3];
                std::snprintf(pair, sizeof pair, "%02X", out[k]);
                FUZZ_CHECK(text.compare(2 * k, 2, pair) == 0);
            }
        }
    } catch (const ERangeError&) {
        FUZZ_CHECK(below);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    const uint8_t address = data[0];
    const uint8_t function = data[1];
    const size_t length = data[2] % 17; // a receive buffer holds 16 bytes
    const uint8_t flip = data[3];
    data += 4;
    size -= 4;

    std::vector<uint8_t> reply(data, data + std::min(size, length));
    CheckArbitraryReply(address, function, reply);

    uint8_t valueBytes[4] = {};
    std::memcpy(valueBytes, data, std::min<size_t>(size, 4));
    CheckBuiltReply(address, function, valueBytes, flip >> 4, static_cast<uint8_t>(flip & 0x0F) | (flip & 0x80));

    CheckString2Bin(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
