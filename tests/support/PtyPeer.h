// The far end of a pseudo-terminal, driven by a test: it plays the slaves'
// side of the line. The test keeps the slave side open itself as well, so
// reads on the master never see a hang-up between two opens of the channel.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kelvara::test {

using TBytes = std::vector<uint8_t>;

class TPtyPeer {
public:
    TPtyPeer()
    {
        char name[128] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) {
            path_ = name;
            termios t{};
            tcgetattr(slave_, &t);
            cfmakeraw(&t);
            tcsetattr(slave_, TCSANOW, &t);
        }
    }
    ~TPtyPeer()
    {
        Stop();
        if (master_ >= 0) close(master_);
        if (slave_ >= 0) close(slave_);
    }
    TPtyPeer(const TPtyPeer&) = delete;
    TPtyPeer& operator=(const TPtyPeer&) = delete;

    const std::string& Path() const { return path_; }
    int Master() const { return master_; }

    void Write(const TBytes& bytes) const
    {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }

    // Reads what arrives within timeoutMs of silence.
    TBytes Read(int timeoutMs) const
    {
        TBytes out;
        pollfd p{master_, POLLIN, 0};
        while (poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN)) {
            uint8_t buf[256];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

    // Answers every request of `requestLength` bytes with what respond()
    // returns for it, on a thread of its own, until Stop().
    void Serve(size_t requestLength, std::function<TBytes(const TBytes&)> respond)
    {
        Stop();
        requests.clear();
        running_ = true;
        thread_ = std::thread([this, requestLength, respond] {
            TBytes pending;
            while (running_) {
                pollfd p{master_, POLLIN, 0};
                if (poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) continue;
                uint8_t buf[256];
                const ssize_t n = ::read(master_, buf, sizeof buf);
                if (n <= 0) continue;
                pending.insert(pending.end(), buf, buf + n);
                while (pending.size() >= requestLength) {
                    const TBytes request(pending.begin(), pending.begin() + requestLength);
                    pending.erase(pending.begin(), pending.begin() + requestLength);
                    requests.push_back(request);
                    Write(respond(request));
                }
            }
        });
    }
    void Stop()
    {
        running_ = false;
        if (thread_.joinable()) thread_.join();
    }

    std::vector<TBytes> requests; // read only after Stop()

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

} // namespace kelvara::test
