#include "sim/SimBus.h"

#include "base/Errors.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace kelvara::sim {

namespace {

using namespace std::chrono;

struct TSlaveState {
    float Fixed = 0.0f;
    bool FollowsProfile = false;
    TFault Fault;
    TSlaveCounters Counters;
};

// One reply on its way out. The line carries one reply at a time, in the order
// of the requests: a reply that is due while an earlier one is still going out
// waits, so a late reply always precedes the replies to later requests.
struct TOutgoing {
    int Slave = 0;
    std::vector<uint8_t> Bytes;
    std::vector<nanoseconds> Offsets; // when each byte is due, from the start
    TSimClock::time_point Start;      // earliest start
    TSimClock::time_point ActualStart;
    bool Started = false;
    size_t Sent = 0;
};

void CheckSlave(int slave)
{
    if (slave < 1 || slave > kSlaveCount) throw ERangeError();
}

nanoseconds Ms(double ms)
{
    return duration_cast<nanoseconds>(duration<double, std::milli>(ms));
}

void CloseFd(int& fd)
{
    if (fd >= 0) ::close(fd);
    fd = -1;
}

} // namespace

struct TSimBus::TImpl {
    TSimOptions Options;

    mutable std::mutex Lock; // guards Slaves, Profile and ProfileEpoch
    std::array<TSlaveState, kSlaveCount + 1> Slaves;
    std::string Profile;
    TSimClock::time_point ProfileEpoch = TSimClock::now();

    int MasterFd = -1;
    int HeldSlaveFd = -1;
    int WakeFd = -1;
    std::string Path;
    std::thread Thread;
    std::atomic<bool> Stopping{false};
    bool Running = false;

    std::deque<TOutgoing> Out; // serving thread only

    float ValueLocked(int slave, TSimClock::time_point now) const
    {
        const TSlaveState& s = Slaves[slave];
        if (!s.FollowsProfile || Profile.empty()) return s.Fixed;
        return ProfileValue(Profile, slave, duration<double>(now - ProfileEpoch).count());
    }

    void Serve();
    void Handle(const TFrame& request, TSimClock::time_point now);
    bool SendDue(TSimClock::time_point now);
    std::optional<TSimClock::time_point> NextSend() const;
};

TSimBus::TSimBus(TSimOptions options) : impl_(std::make_unique<TImpl>())
{
    if (options.Baud < 1) throw EError("Invalid baud rate " + std::to_string(options.Baud));
    if (!(options.TurnaroundMs >= 0)) throw EError("Invalid turnaround time");
    if (!options.Profile.empty() && !IsProfileName(options.Profile))
        throw EError("Unknown profile '" + options.Profile + "'");
    impl_->Options = options;
    for (int s = 1; s < kSlaveCount; ++s) impl_->Slaves[s].Fixed = kDefaultEmfMv[s - 1];
    impl_->Slaves[kAmbientSlave].Fixed = kDefaultAmbientC;
    SetProfile(options.Profile);
}

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
    m.Out.clear();
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
    CheckSlave(slave);
    std::lock_guard guard(impl_->Lock);
    impl_->Slaves[slave].Fixed = value;
    impl_->Slaves[slave].FollowsProfile = false;
}

void TSimBus::SetProfile(const std::string& name)
{
    if (!name.empty() && !IsProfileName(name)) throw EError("Unknown profile '" + name + "'");
    std::lock_guard guard(impl_->Lock);
    impl_->Profile = name;
    impl_->ProfileEpoch = TSimClock::now();
    for (auto& s : impl_->Slaves) s.FollowsProfile = !name.empty();
}

float TSimBus::CurrentValue(int slave) const
{
    CheckSlave(slave);
    std::lock_guard guard(impl_->Lock);
    return impl_->ValueLocked(slave, TSimClock::now());
}

void TSimBus::SetFault(int slave, TFault fault)
{
    CheckSlave(slave);
    std::lock_guard guard(impl_->Lock);
    impl_->Slaves[slave].Fault = fault;
}

TSlaveCounters TSimBus::Counters(int slave) const
{
    CheckSlave(slave);
    std::lock_guard guard(impl_->Lock);
    return impl_->Slaves[slave].Counters;
}

void TSimBus::TImpl::Handle(const TFrame& request, TSimClock::time_point now)
{
    // Address 0 is a broadcast, which is never answered; 8..247 are slaves
    // that are not on this bus.
    const int slave = request[0];
    if (slave < 1 || slave > kSlaveCount) return;

    TFault fault;
    float value;
    {
        std::lock_guard guard(Lock);
        TSlaveState& s = Slaves[slave];
        ++s.Counters.RequestsSeen;
        fault = s.Fault;
        if (fault.Kind != TFaultKind::None) ++s.Counters.FaultsInjected;
        value = ValueLocked(slave, now);
    }

    TOutgoing out;
    out.Slave = slave;
    out.Bytes = BuildReply(request, value, fault);
    if (out.Bytes.empty()) return;

    const nanoseconds character = CharacterTime(Options.Baud);
    // The framer saw the request the moment it was written; on a real line its
    // last byte would have arrived only after its own transmission time.
    out.Start = now + Ms(Options.TurnaroundMs);
    if (Options.WireTiming) out.Start += character * static_cast<long>(request.size());
    if (fault.Kind == TFaultKind::DelayBefore) out.Start += Ms(std::max(fault.Arg, 0));
    if (fault.Kind == TFaultKind::Late) out.Start += Ms(fault.Arg > 0 ? fault.Arg : 40);

    const nanoseconds between = fault.Kind == TFaultKind::DelayBetween ? Ms(std::max(fault.Arg, 0)) : nanoseconds(0);
    for (size_t i = 0; i < out.Bytes.size(); ++i) {
        nanoseconds at = between * static_cast<long>(i);
        if (Options.WireTiming) at += character * static_cast<long>(i + 1);
        out.Offsets.push_back(at);
    }
    Out.push_back(std::move(out));
}

// Writes every byte that is due by now. Returns false when the pty would not
// take more (nobody is reading the slave side), so the caller waits for room.
bool TSimBus::TImpl::SendDue(TSimClock::time_point now)
{
    while (!Out.empty()) {
        TOutgoing& o = Out.front();
        if (!o.Started) {
            if (now < o.Start) return true;
            o.Started = true;
            o.ActualStart = now;
        }
        size_t n = 0;
        while (o.Sent + n < o.Bytes.size() && o.ActualStart + o.Offsets[o.Sent + n] <= now) ++n;
        if (n == 0) return true;
        const ssize_t w = ::write(MasterFd, o.Bytes.data() + o.Sent, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return false;
            Out.pop_front(); // the line is gone; this reply cannot be delivered
            continue;
        }
        o.Sent += static_cast<size_t>(w);
        if (o.Sent == o.Bytes.size()) {
            {
                std::lock_guard guard(Lock);
                ++Slaves[o.Slave].Counters.RepliesSent;
            }
            Out.pop_front();
            continue;
        }
        if (static_cast<size_t>(w) < n) return false;
        return true;
    }
    return true;
}

std::optional<TSimClock::time_point> TSimBus::TImpl::NextSend() const
{
    if (Out.empty()) return std::nullopt;
    const TOutgoing& o = Out.front();
    if (!o.Started) return o.Start;
    return o.ActualStart + o.Offsets[o.Sent];
}

void TSimBus::TImpl::Serve()
{
    TRequestFramer framer(Options.Baud);
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
            if (auto send = NextSend(); send && (!wake || *send < *wake)) wake = send;
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
