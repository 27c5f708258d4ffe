// Helpers shared by the simulator's tests: request frames, hex text, and a
// minimal master that drives the simulated bus through the pty's slave side.
#pragma once

#include "sim/Reply.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvara::sim::test {

using TBytes = std::vector<uint8_t>;
using TTestClock = std::chrono::steady_clock;

// "01 04 00 04" (blanks optional) to bytes.
TBytes Hex(const std::string& text);
std::string ToHex(const TBytes& bytes);

// A Read Input Registers request with its CRC.
TBytes ReadRequest(int slave, int start = 4, int count = 2, int function = 0x04);

// Appends the CRC to a body given as hex.
TBytes WithCrc(const std::string& bodyHex);

TBytes Concat(std::initializer_list<TBytes> parts);

struct TReceived {
    TBytes Bytes;
    std::vector<TTestClock::time_point> Times; // arrival time of each byte
};

// The master's end of the line, opened on the pty's slave path in raw mode.
class TPtyMaster {
public:
    explicit TPtyMaster(const std::string& path);
    ~TPtyMaster();
    TPtyMaster(const TPtyMaster&) = delete;
    TPtyMaster& operator=(const TPtyMaster&) = delete;

    void Write(const TBytes& bytes);
    // Reads until the line has been quiet for quietMs, or limitMs have passed.
    TReceived ReadUntilQuiet(int quietMs = 60, int limitMs = 3000);
    // Waits up to limitMs for `expected` bytes, then quietMs more for any
    // bytes beyond them.
    TReceived ReadBytes(size_t expected, int quietMs = 20, int limitMs = 3000);
    void Close();

private:
    int Fd = -1;
};

} // namespace kelvara::sim::test
