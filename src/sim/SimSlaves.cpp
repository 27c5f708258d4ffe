#include "sim/SimSlaves.h"

#include "base/Errors.h"

#include <algorithm>

namespace kelvara::sim {

namespace {

using namespace std::chrono;

void CheckSlave(int slave)
{
    if (slave < 1 || slave > kSlaveCount) throw ERangeError();
}

nanoseconds Ms(double ms)
{
    return duration_cast<nanoseconds>(duration<double, std::milli>(ms));
}

TSimOptions Checked(const TSimOptions& options)
{
    if (options.Baud < 1) throw EError("Invalid baud rate " + std::to_string(options.Baud));
    if (!(options.TurnaroundMs >= 0)) throw EError("Invalid turnaround time");
    if (!options.Profile.empty() && !IsProfileName(options.Profile))
        throw EError("Unknown profile '" + options.Profile + "'");
    return options;
}

} // namespace

TSimSlaves::TSimSlaves(const TSimOptions& options) : options_(Checked(options))
{
    for (int s = 1; s < kSlaveCount; ++s) slaves_[s].Fixed = kDefaultEmfMv[s - 1];
    slaves_[kAmbientSlave].Fixed = kDefaultAmbientC;
    SetProfile(options.Profile);
}

float TSimSlaves::ValueLocked(int slave, TSimClock::time_point now) const
{
    const TSlaveState& s = slaves_[slave];
    if (!s.FollowsProfile || profile_.empty()) return s.Fixed;
    return ProfileValue(profile_, slave, duration<double>(now - profileEpoch_).count());
}

void TSimSlaves::SetValue(int slave, float value)
{
    CheckSlave(slave);
    std::lock_guard guard(lock_);
    slaves_[slave].Fixed = value;
    slaves_[slave].FollowsProfile = false;
}

void TSimSlaves::SetProfile(const std::string& name)
{
    if (!name.empty() && !IsProfileName(name)) throw EError("Unknown profile '" + name + "'");
    std::lock_guard guard(lock_);
    profile_ = name;
    profileEpoch_ = TSimClock::now();
    for (auto& s : slaves_) s.FollowsProfile = !name.empty();
}

float TSimSlaves::CurrentValue(int slave) const
{
    CheckSlave(slave);
    std::lock_guard guard(lock_);
    return ValueLocked(slave, TSimClock::now());
}

void TSimSlaves::SetFault(int slave, TFault fault)
{
    CheckSlave(slave);
    std::lock_guard guard(lock_);
    slaves_[slave].Fault = fault;
}

TSlaveCounters TSimSlaves::Counters(int slave) const
{
    CheckSlave(slave);
    std::lock_guard guard(lock_);
    return slaves_[slave].Counters;
}

void TSimSlaves::ReplySent(int slave)
{
    CheckSlave(slave);
    std::lock_guard guard(lock_);
    ++slaves_[slave].Counters.RepliesSent;
}

std::optional<TScheduledReply> TSimSlaves::Answer(const TFrame& request, TSimClock::time_point at)
{
    // Address 0 is a broadcast, which is never answered; 8..247 are slaves
    // that are not on this bus.
    const int slave = request.empty() ? 0 : request[0];
    if (slave < 1 || slave > kSlaveCount) return std::nullopt;

    TFault fault;
    float value;
    {
        std::lock_guard guard(lock_);
        TSlaveState& s = slaves_[slave];
        ++s.Counters.RequestsSeen;
        fault = s.Fault;
        if (fault.Kind != TFaultKind::None) ++s.Counters.FaultsInjected;
        value = ValueLocked(slave, at);
    }

    TScheduledReply reply;
    reply.Slave = slave;
    reply.Bytes = BuildReply(request, value, fault);
    if (reply.Bytes.empty()) return std::nullopt;

    const nanoseconds character = CharacterTime(options_.Baud);
    reply.Start = at + Ms(options_.TurnaroundMs);
    if (fault.Kind == TFaultKind::DelayBefore) reply.Start += Ms(std::max(fault.Arg, 0));
    if (fault.Kind == TFaultKind::Late) reply.Start += Ms(fault.Arg > 0 ? fault.Arg : 40);

    const nanoseconds between = fault.Kind == TFaultKind::DelayBetween ? Ms(std::max(fault.Arg, 0)) : nanoseconds(0);
    for (size_t i = 0; i < reply.Bytes.size(); ++i) {
        nanoseconds offset = between * static_cast<long>(i);
        if (options_.WireTiming) offset += character * static_cast<long>(i + 1);
        reply.Offsets.push_back(offset);
    }
    return reply;
}

void TReplyLine::Push(TScheduledReply reply)
{
    TOnLine o;
    o.Reply = std::move(reply);
    queue_.push_back(std::move(o));
}

TSimClock::time_point TReplyLine::StartOf(const TOnLine& o) const
{
    return o.Started ? o.ActualStart : std::max(o.Reply.Start, freeFrom_);
}

std::optional<TSimClock::time_point> TReplyLine::NextDue() const
{
    if (queue_.empty()) return std::nullopt;
    const TOnLine& o = queue_.front();
    return StartOf(o) + o.Reply.Offsets[o.Sent];
}

std::span<const uint8_t> TReplyLine::Due(TSimClock::time_point now)
{
    if (queue_.empty()) return {};
    TOnLine& o = queue_.front();
    if (!o.Started) {
        const TSimClock::time_point start = StartOf(o);
        if (now < start) return {};
        o.Started = true;
        o.ActualStart = start;
    }
    size_t n = 0;
    while (o.Sent + n < o.Reply.Bytes.size() && o.ActualStart + o.Reply.Offsets[o.Sent + n] <= now) ++n;
    return {o.Reply.Bytes.data() + o.Sent, n};
}

int TReplyLine::Delivered(size_t n)
{
    TOnLine& o = queue_.front();
    o.Sent += n;
    if (o.Sent < o.Reply.Bytes.size()) return 0;
    freeFrom_ = o.ActualStart + o.Reply.Offsets.back();
    const int slave = o.Reply.Slave;
    queue_.pop_front();
    return slave;
}

void TReplyLine::DropCurrent()
{
    if (!queue_.empty()) queue_.pop_front();
}

} // namespace kelvara::sim
