// A pseudo-terminal whose slave side the channel opens by path while the test
// plays the device on the master side.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>

namespace kelvara::test {

class TPtyPair {
public:
    TPtyPair()
    {
        int slave = -1;
        char name[128] = {};
        if (openpty(&FMaster, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        // The channel opens its own descriptor; ours would only keep the line
        // alive after a hang-up test closed the master.
        close(slave);
        FPath = name;
    }
    ~TPtyPair() { CloseMaster(); }
    TPtyPair(const TPtyPair&) = delete;
    TPtyPair& operator=(const TPtyPair&) = delete;

    const std::string& Path() const { return FPath; }
    int Master() const { return FMaster; }

    // The device answers.
    void Send(const std::string& bytes)
    {
        if (write(FMaster, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
            throw std::runtime_error("write to pty master failed");
    }

    // Whatever the channel wrote, waiting up to timeoutMs for want bytes.
    std::string Receive(size_t want, int timeoutMs = 1000)
    {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < want) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{FMaster, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0)
                break;
            char buf[256];
            const ssize_t n = read(FMaster, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, size_t(n));
        }
        return got;
    }

    // The device goes away: the slave side is hung up.
    void CloseMaster()
    {
        if (FMaster >= 0)
            close(FMaster);
        FMaster = -1;
    }

private:
    int FMaster = -1;
    std::string FPath;
};

} // namespace kelvara::test
