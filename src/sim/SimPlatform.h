// The simulated bus of seven slaves inside the process, behind the serial
// platform seam: where there are no pseudo-terminals (Windows), or none is
// wanted, a TSerialChannel opens kSimulatedDevice on a TSimPlatform and runs
// its real exchanges against the same slaves, profiles and faults as the
// pseudo-terminal bus serves. Every other device name, and every call on a
// handle that is not the simulated one, goes to the fallback platform, so one
// channel on this platform reaches either the simulated bus or a real port.
//
// The simulated device behaves as a line does. A write is one burst of
// bytes: the requests in it that the framer accepts (whole, CRC valid) and
// that are addressed to slaves 1..7 are answered. Reply bytes arrive in the
// input queue when they are due; reads take what has arrived, a purge of the
// input drops what has arrived and nothing that is still on its way, and a
// reply that comes late is read as stale input by whoever reads next. Without
// wire timing a reply is due at once, save for the faults that delay it; with
// it, each byte is due when it would have crossed the line at the options'
// baud rate, after the request's own bytes and the end-of-frame silence. The
// line accepts any settings, parity included, and keeps them for reading
// back; they do not change the pace, which is the slaves'. DSR and CTS are on.
#pragma once

#include "serial/SerialChannel.h"
#include "serial/SerialPlatform.h"
#include "sim/SimSlaves.h"

#include <condition_variable>
#include <mutex>
#include <string>

namespace kelvara::sim {

// The device name under which the in-process bus is opened.
inline constexpr const char* kSimulatedDevice = "simulated";

class TSimPlatform final : public TSerialPlatform {
public:
    // The handle Open gives for kSimulatedDevice: above every file
    // descriptor, odd where Windows handles are multiples of four, and none
    // of the pseudo-handles at the top of the range.
    static constexpr THandle kSimulatedHandle = ~THandle(0) - 0xFE;

    // Raises EError for options that TSimBus refuses too.
    explicit TSimPlatform(TSimOptions options = {}, TSerialPlatform& fallback = DefaultSerialPlatform());
    TSimPlatform(const TSimPlatform&) = delete;
    TSimPlatform& operator=(const TSimPlatform&) = delete;

    // The slaves, as on TSimBus: numbers 1..7, others raise ERangeError.
    // Safe to call from any thread while a channel works on another.
    void SetValue(int slave, float value);    // a fixed value; ends the profile for that slave
    void SetProfile(const std::string& name); // moving values for all slaves; "" = the fixed values
    float CurrentValue(int slave) const;      // what the slave would answer now
    void SetFault(int slave, TFault fault);   // takes effect at the next request
    // Not const: a reply counts as sent once its last byte is due, which the
    // line notes whenever someone looks.
    TSlaveCounters Counters(int slave);

    // The seam. A second Open of kSimulatedDevice while it is open fails as
    // a port in use does (EBUSY; ERROR_ACCESS_DENIED on Windows); a call on
    // the simulated handle while it is closed fails as on a closed descriptor
    // (EBADF; ERROR_INVALID_HANDLE).
    int LastError() const override;
    void SetLastError(int code) override;
    THandle Open(const std::string& path) override;
    int Close(THandle handle) override;
    int GetCommState(THandle handle, DCB& dcb) override;
    int SetCommState(THandle handle, const DCB& dcb) override;
    int Purge(THandle handle, uint32_t flags) override;
    int EscapeCommFunction(THandle handle, uint32_t function) override;
    int GetModemStatus(THandle handle, uint32_t& status) override;
    int ClearCommError(THandle handle, uint32_t& errors, int32_t* queued) override;
    int Write(THandle handle, const void* data, int32_t length, int32_t timeoutMs, int32_t& count) override;
    int Read(THandle handle, void* data, int32_t length, int32_t& count) override;
    int WaitEvent(THandle handle, uint32_t mask, int32_t timeoutMs, uint32_t& events) override;
    int Drain(THandle handle) override;
    void Sleep(uint32_t ms) override;

private:
    // Takes a failed call of the fallback's code as this platform's own.
    int Forwarded(int code);
    // Moves the reply bytes due by now from the line into the input queue.
    void Advance(TSimClock::time_point now);

    TSerialPlatform& fallback_;
    TSimSlaves slaves_;

    mutable std::mutex lock_; // guards what follows
    std::condition_variable changed_;
    bool open_ = false;
    DCB dcb_;
    std::string input_; // arrived and not yet read
    TReplyLine line_;
    TSimClock::time_point txIdleFrom_; // when the last written byte has crossed the line
};

} // namespace kelvara::sim
