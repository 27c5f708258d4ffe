#include "support/PtyPeer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace kelvara::test {

namespace {

void MakeRaw(int fd)
{
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
}

} // namespace

TPtyPeer::TPtyPeer(TSlaveSide slave)
{
    int slaveFd = -1;
    char name[128] = {};
    if (::openpty(&fd_, &slaveFd, name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("openpty failed: ") + std::strerror(errno));
    ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slaveFd, F_SETFD, FD_CLOEXEC);
    path_ = name;
    if (slave == TSlaveSide::Held) {
        MakeRaw(slaveFd);
        heldSlave_ = slaveFd;
    } else {
        ::close(slaveFd);
    }
}

TPtyPeer::TPtyPeer(const std::string& path) : path_(path)
{
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    MakeRaw(fd_);
    ::tcflush(fd_, TCIOFLUSH);
}

TPtyPeer::~TPtyPeer()
{
    Stop();
    Close();
}

void TPtyPeer::Close()
{
    if (fd_ >= 0) ::close(fd_);
    if (heldSlave_ >= 0) ::close(heldSlave_);
    fd_ = heldSlave_ = -1;
}

bool TPtyPeer::WriteAll(const uint8_t* data, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd_, data + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            // A terminal opened by path is non-blocking: wait for room.
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, 10000) <= 0) return false;
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

void TPtyPeer::Write(const TBytes& bytes)
{
    if (!WriteAll(bytes.data(), bytes.size())) throw std::runtime_error("write to " + path_ + " failed");
}

void TPtyPeer::Write(std::string_view bytes)
{
    if (!WriteAll(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()))
        throw std::runtime_error("write to " + path_ + " failed");
}

TReceived TPtyPeer::ReadBytes(size_t expected, int quietMs, int limitMs)
{
    TReceived got;
    const auto limit = TTestClock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        const auto now = TTestClock::now();
        if (now >= limit) break;
        const int left = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(limit - now).count());
        const int wait = got.Bytes.size() < expected ? left : std::min(quietMs, left);
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, wait) <= 0 || !(p.revents & POLLIN)) break;
        uint8_t buf[256];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) break;
        const auto at = TTestClock::now();
        for (ssize_t i = 0; i < n; ++i) {
            got.Bytes.push_back(buf[i]);
            got.Times.push_back(at);
        }
    }
    return got;
}

TReceived TPtyPeer::ReadUntilQuiet(int quietMs, int limitMs)
{
    return ReadBytes(0, quietMs, limitMs);
}

void TPtyPeer::Serve(size_t requestLength, std::function<TBytes(const TBytes&)> respond)
{
    Stop();
    requests_.clear();
    running_ = true;
    thread_ = std::thread([this, requestLength, respond] {
        TBytes pending;
        while (running_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) continue;
            if (!(p.revents & POLLIN)) {
                // Hung up while nobody holds the other side: poll would not
                // wait any more, so this thread does.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            uint8_t buf[256];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) continue;
            pending.insert(pending.end(), buf, buf + n);
            while (pending.size() >= requestLength) {
                const TBytes request(pending.begin(), pending.begin() + static_cast<long>(requestLength));
                pending.erase(pending.begin(), pending.begin() + static_cast<long>(requestLength));
                requests_.push_back(request);
                const TBytes reply = respond(request);
                // A line that no longer takes bytes shows in what the code
                // under test receives, not here.
                WriteAll(reply.data(), reply.size());
            }
        }
    });
}

void TPtyPeer::Stop()
{
    running_ = false;
    if (thread_.joinable()) thread_.join();
}

} // namespace kelvara::test
