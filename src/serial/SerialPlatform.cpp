// The serial devices of a Linux system, as TSerialPlatform presents them.
#include "serial/SerialPlatform.h"

#include "base/Errors.h"
#include "serial/SerialChannel.h"
#include "serial/TermiosIoctl.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <map>
#include <mutex>
#include <thread>

namespace kelvara {

namespace {

thread_local int tLastError = 0;

// What Open changed and Close must give back, per open descriptor.
struct TDeviceState {
    TTermiosFields Saved;
    bool HasCounters = false; // the driver keeps line-error counters
    serial_icounter_struct Counters{};
};

class TPosixSerialPlatform final : public TSerialPlatform {
public:
    int LastError() const override { return tLastError; }
    void SetLastError(int code) override { tLastError = code; }

    THandle Open(const std::string& path) override
    {
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return FailOpen(errno);
        // Nothing may be written to what is not a terminal: a regular file or
        // /dev/null would swallow the requests without complaint.
        if (!isatty(fd)) return FailOpen(errno == 0 || errno == EINVAL ? ENOTTY : errno, fd);
        // TIOCEXCL keeps other users out but not root; the lock keeps out
        // every other opener that locks, including another channel of this
        // process (the lock belongs to the open file description).
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) return FailOpen(errno == EWOULDBLOCK ? EBUSY : errno, fd);
        ioctl(fd, TIOCEXCL);
        TDeviceState state;
        if (int code = ReadTermios(fd, state.Saved); code != 0) return FailOpen(code, fd);
        TTermiosFields raw = state.Saved;
        MakeRawLine(raw);
        if (int code = WriteTermios(fd, raw); code != 0) return FailOpen(code, fd);
        state.HasCounters = ioctl(fd, TIOCGICOUNT, &state.Counters) == 0;
        std::lock_guard lock(FMutex);
        FDevices[fd] = state;
        return THandle(fd);
    }

    int Close(THandle handle) override
    {
        const int fd = Fd(handle);
        if (fd < 0) return Fail(EBADF);
        TDeviceState state;
        bool known = false;
        {
            std::lock_guard lock(FMutex);
            if (auto it = FDevices.find(fd); it != FDevices.end()) {
                state = it->second;
                known = true;
                FDevices.erase(it);
            }
        }
        if (known) WriteTermios(fd, state.Saved);
        ioctl(fd, TIOCNXCL);
        if (close(fd) != 0) return Fail(errno);
        return 0;
    }

    int GetCommState(THandle handle, DCB& dcb) override
    {
        const int fd = Fd(handle);
        TTermiosFields t;
        if (fd < 0) return Fail(EBADF);
        if (int code = ReadTermios(fd, t); code != 0) return Fail(code);
        dcb = TermiosToDcb(t);
        return 0;
    }

    int SetCommState(THandle handle, const DCB& dcb) override
    {
        const int fd = Fd(handle);
        if (fd < 0) return Fail(EBADF);
        TTermiosFields before;
        if (int code = ReadTermios(fd, before); code != 0) return Fail(code);
        TTermiosFields wanted = before;
        if (int code = DcbToTermios(dcb, wanted); code != 0) return Fail(code);
        if (int code = WriteTermios(fd, wanted); code != 0) return Fail(code);
        // A driver may quietly drop what it cannot do (a pseudo-terminal drops
        // parity); that is a refusal, and the line goes back to how it was.
        TTermiosFields applied;
        if (int code = ReadTermios(fd, applied); code != 0) return Fail(code);
        if (!SameLineSettings(wanted, applied)) {
            WriteTermios(fd, before);
            return Fail(EINVAL);
        }
        return 0;
    }

    int Purge(THandle handle, uint32_t flags) override
    {
        const int fd = Fd(handle);
        if (fd < 0) return Fail(EBADF);
        // Aborting a write discards what the driver still holds of it. There is
        // never a pending read to abort: reads take only queued bytes.
        const bool output = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
        const bool input = (flags & PURGE_RXCLEAR) != 0;
        if (!output && !input) return 0;
        const int queue = output && input ? TCIOFLUSH : output ? TCOFLUSH : TCIFLUSH;
        if (tcflush(fd, queue) != 0) return Fail(errno);
        return 0;
    }

    int EscapeCommFunction(THandle handle, uint32_t function) override
    {
        const int fd = Fd(handle);
        if (fd < 0) return Fail(EBADF);
        int bits = 0;
        unsigned long request = 0;
        switch (function) {
        case SETRTS:
            bits = TIOCM_RTS;
            request = TIOCMBIS;
            break;
        case CLRRTS:
            bits = TIOCM_RTS;
            request = TIOCMBIC;
            break;
        case SETDTR:
            bits = TIOCM_DTR;
            request = TIOCMBIS;
            break;
        case CLRDTR:
            bits = TIOCM_DTR;
            request = TIOCMBIC;
            break;
        default: return Fail(EINVAL);
        }
        if (ioctl(fd, request, &bits) != 0) return Fail(errno);
        return 0;
    }

    int GetModemStatus(THandle handle, uint32_t& status) override
    {
        status = 0;
        const int fd = Fd(handle);
        if (fd < 0) return Fail(EBADF);
        int lines = 0;
        if (ioctl(fd, TIOCMGET, &lines) != 0) return Fail(errno);
        if (lines & TIOCM_CTS) status |= MS_CTS_ON;
        if (lines & TIOCM_DSR) status |= MS_DSR_ON;
        if (lines & TIOCM_RI) status |= MS_RING_ON;
        if (lines & TIOCM_CD) status |= MS_RLSD_ON;
        return 0;
    }

    int ClearCommError(THandle handle, uint32_t& errors, int32_t* queued) override
    {
        errors = 0;
        const int fd = Fd(handle);
        if (fd < 0) return Fail(EBADF);
        if (queued) {
            int n = 0;
            if (ioctl(fd, FIONREAD, &n) != 0) return Fail(errno);
            *queued = n;
        }
        errors = CountedLineErrors(fd);
        return 0;
    }

    int Write(THandle handle, const void* data, int32_t length, int32_t timeoutMs, int32_t& count) override
    {
        count = 0;
        const int fd = Fd(handle);
        if (fd < 0) return Fail(EBADF);
        if (length < 0) return Fail(EINVAL);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        const char* bytes = static_cast<const char*>(data);
        while (count < length) {
            const ssize_t n = write(fd, bytes + count, size_t(length - count));
            if (n > 0) {
                count += int32_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return Fail(errno);
            // The output queue is full: wait for room, within the deadline.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return WaitTimedOut;
            pollfd p{fd, POLLOUT, 0};
            const int r = poll(&p, 1, int(std::min<int64_t>(left.count(), INT_MAX)));
            if (r < 0 && errno != EINTR) return Fail(errno);
            if (r > 0 && (p.revents & POLLNVAL)) return Fail(EBADF);
            if (r > 0 && (p.revents & (POLLHUP | POLLERR))) return Fail(EIO);
        }
        return 0;
    }

    int Read(THandle handle, void* data, int32_t length, int32_t& count) override
    {
        count = 0;
        const int fd = Fd(handle);
        if (fd < 0) return Fail(EBADF);
        if (length <= 0) return 0;
        for (;;) {
            const ssize_t n = read(fd, data, size_t(length));
            if (n > 0) {
                count = int32_t(n);
                return 0;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return Fail(errno);
            // Raw mode without minimum or timer reads 0 bytes both from an empty
            // queue and from a hung-up line; only the latter polls as hung up.
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR))) return Fail(EIO);
            return 0;
        }
    }

    int WaitEvent(THandle handle, uint32_t mask, int32_t timeoutMs, uint32_t& events) override
    {
        events = 0;
        const int fd = Fd(handle);
        if (fd < 0) return Fail(EBADF);
        // Only the arrival of a character can be waited for; a mask without it
        // just sleeps out the time unless the line hangs up.
        pollfd p{fd, short((mask & EV_RXCHAR) ? POLLIN : 0), 0};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int wait = -1;
            if (timeoutMs >= 0) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                wait = int(std::max<int64_t>(std::min<int64_t>(left.count(), INT_MAX), 0));
            }
            const int r = poll(&p, 1, wait);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return Fail(errno);
            if (r == 0) return 0;
            if (p.revents & POLLNVAL) return Fail(EBADF);
            if (p.revents & (POLLHUP | POLLERR)) return Fail(EIO);
            if (p.revents & POLLIN) events |= EV_RXCHAR;
            return 0;
        }
    }

    int Drain(THandle handle) override
    {
        const int fd = Fd(handle);
        if (fd < 0) return Fail(EBADF);
        if (tcdrain(fd) != 0) return Fail(errno);
        return 0;
    }

    void Sleep(uint32_t ms) override
    {
        if (ms == 0)
            sched_yield();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

private:
    static int Fd(THandle handle) { return handle <= THandle(INT_MAX) ? int(handle) : -1; }

    static int Fail(int code)
    {
        tLastError = code;
        return code;
    }

    static THandle FailOpen(int code, int fd = -1)
    {
        if (fd >= 0) close(fd);
        tLastError = code;
        return INVALID_HANDLE_VALUE;
    }

    // Line errors the driver counted since the previous look, as CE_* bits.
    uint32_t CountedLineErrors(int fd)
    {
        std::lock_guard lock(FMutex);
        auto it = FDevices.find(fd);
        if (it == FDevices.end() || !it->second.HasCounters) return 0;
        serial_icounter_struct now{};
        if (ioctl(fd, TIOCGICOUNT, &now) != 0) return 0;
        const serial_icounter_struct& was = it->second.Counters;
        uint32_t errors = 0;
        if (now.frame != was.frame) errors |= CE_FRAME;
        if (now.overrun != was.overrun) errors |= CE_OVERRUN;
        if (now.buf_overrun != was.buf_overrun) errors |= CE_RXOVER;
        if (now.parity != was.parity) errors |= CE_RXPARITY;
        if (now.brk != was.brk) errors |= CE_BREAK;
        it->second.Counters = now;
        return errors;
    }

    std::mutex FMutex;
    std::map<int, TDeviceState> FDevices;
};

} // namespace

TSerialPlatform& DefaultSerialPlatform()
{
    static TPosixSerialPlatform platform;
    return platform;
}

std::string NumberedPortPath(int comNr)
{
    return "/dev/ttyS" + std::to_string(comNr);
}

bool IsDeviceGoneCode(int code)
{
    // What a tty answers once it has been hung up (the far end of a
    // pseudo-terminal closed, a USB adapter pulled).
    return code == EIO || code == ENXIO || code == ENODEV;
}

std::string PlatformErrorText(int code)
{
    return SysErrorMessage(code);
}

} // namespace kelvara
