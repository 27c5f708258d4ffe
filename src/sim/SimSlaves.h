// The seven simulated slaves and the slaves' side of their line, apart from
// any device: what each slave answers to a framed request, when each byte of
// that reply is due, and the order in which replies share the one line. The
// pseudo-terminal bus (TSimBus) and the in-process bus (TSimPlatform) both
// serve these, so the two answer alike, faults and timing included.
#pragma once

#include "modbus/Framer.h"
#include "sim/Profiles.h"
#include "sim/Reply.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kelvara::sim {

using TSimClock = TRtuClock;

struct TSlaveCounters {
    uint64_t RequestsSeen = 0;   // requests with a valid CRC addressed to the slave
    uint64_t RepliesSent = 0;    // replies whose last byte went out
    uint64_t FaultsInjected = 0; // requests met while a fault other than None was set
};

struct TSimOptions {
    int Baud = 19200;        // sets the end-of-frame silence, and the pace under WireTiming
    bool WireTiming = false; // send each reply byte when it would have crossed the wire
    double TurnaroundMs = 0; // the slave's pause between request and reply
    std::string Profile;     // "" = fixed values, or one of ProfileNames()
};

// Values a fresh bus answers: distinct EMFs so a channel mix-up shows.
inline constexpr float kDefaultEmfMv[6] = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f};
inline constexpr float kDefaultAmbientC = 21.5f;

// One reply on its way to the master.
struct TScheduledReply {
    int Slave = 0;
    std::vector<uint8_t> Bytes;
    TSimClock::time_point Start;                   // the earliest moment it may start
    std::vector<std::chrono::nanoseconds> Offsets; // when each byte is due, from the actual start
};

// The slaves' values, faults and counters. Thread-safe: faults and values may
// be switched from any thread while a bus serves requests on another.
class TSimSlaves {
public:
    // Raises EError for a baud rate below 1, a negative turnaround or an
    // unknown profile.
    explicit TSimSlaves(const TSimOptions& options);

    const TSimOptions& Options() const { return options_; }

    // Slave numbers are 1..7; others raise ERangeError.
    void SetValue(int slave, float value);    // a fixed value; ends the profile for that slave
    void SetProfile(const std::string& name); // moving values for all slaves; "" = the fixed values
    float CurrentValue(int slave) const;      // what the slave would answer now
    void SetFault(int slave, TFault fault);   // takes effect at the next request
    TSlaveCounters Counters(int slave) const;

    // The reply to one request that passed the framer (whole, CRC valid) and
    // that the slaves had entire at `at`, with the slave's value and fault of
    // that moment. Nothing for a broadcast, an address that is not on this
    // bus, or a fault that sends nothing. Counts the request.
    std::optional<TScheduledReply> Answer(const TFrame& request, TSimClock::time_point at);
    // Counts a reply whose last byte has gone out.
    void ReplySent(int slave);

private:
    struct TSlaveState {
        float Fixed = 0.0f;
        bool FollowsProfile = false;
        TFault Fault;
        TSlaveCounters Counters;
    };

    float ValueLocked(int slave, TSimClock::time_point now) const;

    const TSimOptions options_;
    mutable std::mutex lock_;
    std::array<TSlaveState, kSlaveCount + 1> slaves_;
    std::string profile_;
    TSimClock::time_point profileEpoch_ = TSimClock::now();
};

// The line from the slaves to the master. It carries one reply at a time, in
// the order of the requests: a reply that is due while an earlier one is still
// going out waits for it, so a late reply always precedes the replies to later
// requests. Not thread-safe; its bus guards it.
class TReplyLine {
public:
    void Push(TScheduledReply reply);
    void Clear() { queue_.clear(); }
    bool Empty() const { return queue_.empty(); }

    // When the next byte is due; nothing while no reply is on its way.
    std::optional<TSimClock::time_point> NextDue() const;
    // The bytes of the current reply that are due by now and not yet taken.
    std::span<const uint8_t> Due(TSimClock::time_point now);
    // The first n of those bytes went out. Returns the slave whose reply that
    // completed, 0 while it goes on.
    int Delivered(size_t n);
    // Gives up the current reply: the line cannot carry it.
    void DropCurrent();

private:
    struct TOnLine {
        TScheduledReply Reply;
        bool Started = false;
        TSimClock::time_point ActualStart{};
        size_t Sent = 0;
    };

    TSimClock::time_point StartOf(const TOnLine& o) const;

    std::deque<TOnLine> queue_;
    TSimClock::time_point freeFrom_{}; // when the last reply's last byte went out
};

} // namespace kelvara::sim
