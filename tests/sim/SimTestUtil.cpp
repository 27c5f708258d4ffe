#include "SimTestUtil.h"
#include "modbus/Crc.h"

#include "base/Errors.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace kelvara::sim::test {

TBytes Hex(const std::string& text)
{
    TBytes out;
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
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

TBytes ReadRequest(int slave, int start, int count, int function)
{
    TBytes frame{static_cast<uint8_t>(slave), static_cast<uint8_t>(function), static_cast<uint8_t>(start >> 8),
                 static_cast<uint8_t>(start & 0xFF), static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count & 0xFF)};
    AppendCrc(frame);
    return frame;
}

TBytes WithCrc(const std::string& bodyHex)
{
    TBytes frame = Hex(bodyHex);
    AppendCrc(frame);
    return frame;
}

TBytes Concat(std::initializer_list<TBytes> parts)
{
    TBytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

TPtyMaster::TPtyMaster(const std::string& path)
{
    Fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Fd < 0) throw std::runtime_error("cannot open " + path + ": " + SysErrorMessage(errno));
    termios raw{};
    ::tcgetattr(Fd, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(Fd, TCSANOW, &raw);
    ::tcflush(Fd, TCIOFLUSH);
}

TPtyMaster::~TPtyMaster() { Close(); }

void TPtyMaster::Close()
{
    if (Fd >= 0) ::close(Fd);
    Fd = -1;
}

void TPtyMaster::Write(const TBytes& bytes)
{
    if (::write(Fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("short write to the pty");
}

TReceived TPtyMaster::ReadUntilQuiet(int quietMs, int limitMs) { return ReadBytes(0, quietMs, limitMs); }

TReceived TPtyMaster::ReadBytes(size_t expected, int quietMs, int limitMs)
{
    TReceived got;
    const auto limit = TTestClock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        const auto now = TTestClock::now();
        if (now >= limit) break;
        const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(limit - now).count());
        pollfd p{Fd, POLLIN, 0};
        const int wait = got.Bytes.size() < expected ? left : std::min(quietMs, left);
        if (::poll(&p, 1, wait) <= 0) break;
        uint8_t buf[256];
        const ssize_t n = ::read(Fd, buf, sizeof buf);
        if (n <= 0) break;
        const auto at = TTestClock::now();
        for (ssize_t i = 0; i < n; ++i) {
            got.Bytes.push_back(buf[i]);
            got.Times.push_back(at);
        }
    }
    return got;
}

} // namespace kelvara::sim::test
