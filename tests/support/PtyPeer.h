// The test's end of a pseudo-terminal. Either the test makes a new pty and
// plays the device on its master side while the code under test opens
// Path(), or it opens a terminal that someone else made (the simulator's
// slave side) and plays the bus master there. Both ends read and write alike.
#pragma once

#include "support/Frames.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kelvara::test {

using TTestClock = std::chrono::steady_clock;

struct TReceived {
    TBytes Bytes;
    std::vector<TTestClock::time_point> Times; // arrival time of each byte
    std::string Text() const { return std::string(Bytes.begin(), Bytes.end()); }
};

class TPtyPeer {
public:
    // What the test does with the slave side of a pty it makes.
    enum class TSlaveSide {
        // Held open in raw mode: the master never reads a hang-up while the
        // code under test closes the path and opens it again, and nothing
        // written in between is echoed back.
        Held,
        // Closed at once: the code under test holds the only slave
        // descriptor, so Close() hangs the line up under it, and the line
        // keeps the pty's cooked defaults until the code under test sets it.
        Released,
    };

    // A new pty; the test holds its master side. Throws when none is left.
    explicit TPtyPeer(TSlaveSide slave = TSlaveSide::Held);
    // Opens the terminal at path in raw mode with both queues flushed.
    // Throws when it cannot be opened.
    explicit TPtyPeer(const std::string& path);
    ~TPtyPeer();
    TPtyPeer(const TPtyPeer&) = delete;
    TPtyPeer& operator=(const TPtyPeer&) = delete;

    // The path the code under test opens, or the one this end opened.
    const std::string& Path() const { return path_; }
    int Fd() const { return fd_; }

    // Writes all of the bytes; throws when the line takes them no longer.
    void Write(const TBytes& bytes);
    void Write(std::string_view bytes);

    // Waits up to limitMs for `expected` bytes, then quietMs more for any
    // bytes beyond them (none with quietMs 0). Ends early at a hang-up.
    TReceived ReadBytes(size_t expected, int quietMs = 20, int limitMs = 3000);
    // Reads until the line has been quiet for quietMs, or limitMs have passed.
    TReceived ReadUntilQuiet(int quietMs = 60, int limitMs = 3000);

    // This end goes away: a pty made here hangs up under the code under test.
    void Close();

    // Answers every request of `requestLength` bytes with what respond()
    // returns for it, on a thread of its own, until Stop().
    void Serve(size_t requestLength, std::function<TBytes(const TBytes&)> respond);
    void Stop();
    // The requests Serve() answered; read only after Stop().
    const std::vector<TBytes>& Requests() const { return requests_; }

private:
    bool WriteAll(const uint8_t* data, size_t length);

    int fd_ = -1;
    int heldSlave_ = -1;
    std::string path_;
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::vector<TBytes> requests_;
};

} // namespace kelvara::test
