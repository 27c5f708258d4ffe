// A simulated Modbus RTU bus of seven measuring slaves on a pseudo-terminal.
// Slaves 1..6 deliver a type K EMF in mV, slave 7 the cold-junction
// temperature in °C, each as a big-endian float in input registers 4 and 5
// (function 04). The simulator holds the master side of the pty; a logger
// opens DevicePath() as if it were a serial port and runs its real channel,
// transaction and scan against it. Faults can be switched per slave at any
// time to exercise the logger's handling of bad replies.
#pragma once

#include "sim/SimSlaves.h"

#include <memory>
#include <string>

namespace kelvara::sim {

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
