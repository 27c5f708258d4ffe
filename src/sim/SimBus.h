// A simulated Modbus RTU bus of seven measuring slaves on a pseudo-terminal.
// Slaves 1..6 deliver a type K EMF in mV, slave 7 the cold-junction
// temperature in °C, each as a big-endian float in input registers 4 and 5
// (function 04). The simulator holds the master side of the pty; a logger
// opens DevicePath() as if it were a serial port and runs its real channel,
// transaction and scan against it. Faults can be switched per slave at any
// time to exercise the logger's handling of bad replies.
#pragma once

#include "modbus/Framer.h"
#include "sim/Its90.h"
#include "sim/Profiles.h"
#include "sim/Reply.h"

#include <cstdint>
#include <memory>
#include <string>

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

class TSimBus {
public:
    // Raises EError for a baud rate below 1, a negative turnaround or an
    // unknown profile.
    explicit TSimBus(TSimOptions options = {});
    ~TSimBus(); // stops and closes

    TSimBus(const TSimBus&) = delete;
    TSimBus& operator=(const TSimBus&) = delete;

    // Opens the pty pair and starts the serving thread; raises EError when the
    // system has no pty to give. Does nothing while already running.
    void Start();
    // Stops the serving thread and closes the pty; replies still pending are
    // dropped. Idempotent. A master that holds the device open sees it hang
    // up, as when a USB adapter is pulled; Start then serves a new pty, with
    // the slaves' values, faults and counters as they were.
    void Stop();
    bool Running() const;

    // The slave side, e.g. "/dev/pts/5": what a master opens. Empty while
    // not running.
    std::string DevicePath() const;

    // Slave numbers are 1..7; others raise ERangeError.
    void SetValue(int slave, float value);    // a fixed value; ends the profile for that slave
    void SetProfile(const std::string& name); // moving values for all slaves; "" = the fixed values
    float CurrentValue(int slave) const;      // what the slave would answer now
    void SetFault(int slave, TFault fault);   // thread-safe, takes effect at the next request
    TSlaveCounters Counters(int slave) const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> impl_;
};

} // namespace kelvara::sim
