#include "sim/SimBus.h"

#include "base/Errors.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <span>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace kelvara::sim {

namespace {

using namespace std::chrono;

void CloseFd(int& fd)
{
    if (fd >= 0) ::close(fd);
    fd = -1;
}

} // namespace

struct TSimBus::TImpl {
    explicit TImpl(const TSimOptions& options) : Slaves(options) {}

    TSimSlaves Slaves;

    int MasterFd = -1;
    int HeldSlaveFd = -1;
    int WakeFd = -1;
    std::string Path;
    std::thread Thread;
    std::atomic<bool> Stopping{false};
    bool Running = false;

    TReplyLine Line; // serving thread only

    void Serve();
    void Handle(const TFrame& request, TSimClock::time_point now);
    bool SendDue(TSimClock::time_point now);
};

TSimBus::TSimBus(TSimOptions options) : impl_(std::make_unique<TImpl>(options)) {}

TSimBus::~TSimBus()
{
    Stop();
}

void TSimBus::Start()
{
    TImpl& m = *impl_;
    if (m.Running) return;

    auto fail = [&m](const std::string& what) {
        const int code = errno;
        CloseFd(m.MasterFd);
        CloseFd(m.HeldSlaveFd);
        CloseFd(m.WakeFd);
        m.Path.clear();
        throw EError(what + ": " + SysErrorMessage(code));
    };

    m.MasterFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m.MasterFd < 0) fail("Cannot open a pseudo-terminal");
    if (::grantpt(m.MasterFd) != 0 || ::unlockpt(m.MasterFd) != 0) fail("Cannot unlock the pseudo-terminal");
    char name[128];
    if (::ptsname_r(m.MasterFd, name, sizeof name) != 0) fail("Cannot name the pseudo-terminal");
    m.Path = name;

    // Holding one slave-side descriptor for our whole lifetime keeps the pty
    // alive between masters: without it, the master side reports a hang-up the
    // moment the logger closes its port, and poll() would return at once
    // forever. It is never read, and never locked, so the logger can take the
    // port for itself.
    m.HeldSlaveFd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m.HeldSlaveFd < 0) fail("Cannot open " + m.Path);
    termios raw{};
    if (::tcgetattr(m.HeldSlaveFd, &raw) != 0) fail("Cannot read the line settings of " + m.Path);
    ::cfmakeraw(&raw);
    if (::tcsetattr(m.HeldSlaveFd, TCSANOW, &raw) != 0) fail("Cannot set raw mode on " + m.Path);

    const int flags = ::fcntl(m.MasterFd, F_GETFL);
    if (flags < 0 || ::fcntl(m.MasterFd, F_SETFL, flags | O_NONBLOCK) != 0)
        fail("Cannot configure the pseudo-terminal");
    m.WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m.WakeFd < 0) fail("Cannot create the wake-up event");

    m.Stopping = false;
    m.Line.Clear();
    m.Thread = std::thread([&m] { m.Serve(); });
    m.Running = true;
}

void TSimBus::Stop()
{
    TImpl& m = *impl_;
    if (!m.Running) return;
    m.Stopping = true;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(m.WakeFd, &one, sizeof one);
    m.Thread.join();
    CloseFd(m.MasterFd);
    CloseFd(m.HeldSlaveFd);
    CloseFd(m.WakeFd);
    m.Path.clear();
    m.Running = false;
}

std::string TSimBus::DevicePath() const
{
    return impl_->Path;
}

bool TSimBus::Running() const
{
    return impl_->Running;
}

void TSimBus::SetValue(int slave, float value)
{
    impl_->Slaves.SetValue(slave, value);
}

void TSimBus::SetProfile(const std::string& name)
{
    impl_->Slaves.SetProfile(name);
}

float TSimBus::CurrentValue(int slave) const
{
    return impl_->Slaves.CurrentValue(slave);
}

void TSimBus::SetFault(int slave, TFault fault)
{
    impl_->Slaves.SetFault(slave, fault);
}

TSlaveCounters TSimBus::Counters(int slave) const
{
    return impl_->Slaves.Counters(slave);
}

void TSimBus::TImpl::Handle(const TFrame& request, TSimClock::time_point now)
{
    // The framer saw the request the moment it was written; on a real line its
    // last byte would have arrived only after its own transmission time.
    TSimClock::time_point at = now;
    if (Slaves.Options().WireTiming) at += CharacterTime(Slaves.Options().Baud) * static_cast<long>(request.size());
    if (auto reply = Slaves.Answer(request, at)) Line.Push(std::move(*reply));
}

// Writes every byte that is due by now. Returns false when the pty would not
// take more (nobody is reading the slave side), so the caller waits for room.
bool TSimBus::TImpl::SendDue(TSimClock::time_point now)
{
    for (;;) {
        const std::span<const uint8_t> due = Line.Due(now);
        if (due.empty()) return true;
        const ssize_t w = ::write(MasterFd, due.data(), due.size());
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return false;
            Line.DropCurrent(); // the line is gone; this reply cannot be delivered
            continue;
        }
        if (const int slave = Line.Delivered(static_cast<size_t>(w))) {
            Slaves.ReplySent(slave);
            continue;
        }
        return static_cast<size_t>(w) == due.size();
    }
}

void TSimBus::TImpl::Serve()
{
    TRequestFramer framer(Slaves.Options().Baud);
    uint8_t buffer[512];
    bool hungUp = false;

    auto handleAll = [this](const std::vector<TFrame>& frames, TSimClock::time_point at) {
        for (const auto& frame : frames) Handle(frame, at);
    };

    while (!Stopping) {
        TSimClock::time_point now = TSimClock::now();
        const bool roomToWrite = SendDue(now);

        std::optional<TSimClock::time_point> wake = framer.Deadline();
        if (roomToWrite) {
            if (auto send = Line.NextDue(); send && (!wake || *send < *wake)) wake = send;
        }
        timespec timeout{};
        timespec* timeoutPtr = nullptr;
        if (hungUp && (!wake || *wake > now + milliseconds(10))) wake = now + milliseconds(10);
        if (wake) {
            const auto left = std::max(nanoseconds(0), duration_cast<nanoseconds>(*wake - now));
            timeout.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            timeout.tv_nsec = static_cast<long>(left.count() % 1000000000);
            timeoutPtr = &timeout;
        }

        // A hung-up master side reports POLLHUP whatever we ask for, so it is
        // left out of the set for the back-off pause.
        pollfd fds[2] = {{WakeFd, POLLIN, 0}, {hungUp ? -1 : MasterFd, 0, 0}};
        fds[1].events = static_cast<short>(POLLIN | (roomToWrite ? 0 : POLLOUT));
        if (::ppoll(fds, 2, timeoutPtr, nullptr) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            [[maybe_unused]] ssize_t ignored = ::read(WakeFd, &count, sizeof count);
            continue;
        }

        now = TSimClock::now();
        hungUp = false;
        if (fds[1].revents & POLLIN) {
            for (;;) {
                const ssize_t got = ::read(MasterFd, buffer, sizeof buffer);
                if (got > 0) {
                    handleAll(framer.Feed(buffer, static_cast<size_t>(got), now), now);
                    continue;
                }
                if (got < 0 && errno == EINTR) continue;
                // EIO means no slave-side descriptor is open; with ours held
                // that should not happen, but back off rather than spin.
                if (got < 0 && errno != EAGAIN) hungUp = true;
                break;
            }
        } else if (fds[1].revents & (POLLHUP | POLLERR)) {
            hungUp = true;
        }
        handleAll(framer.Poll(now), now);
    }
}

} // namespace kelvara::sim
