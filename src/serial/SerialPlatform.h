// The one place where the serial channel meets the operating system.
//
// TSerialChannel never makes a system call itself: it asks a TSerialPlatform.
// The POSIX implementation drives a Linux tty, the Win32 one a Windows
// communications device; the build picks one. Tests substitute a fake where a
// pseudo-terminal cannot produce the case (a parity error, a port name that
// must not really be opened).
//
// Codes are the system's: errno values on POSIX, GetLastError() values on
// Windows. A call that fails returns its code and also leaves it in
// LastError(), the way the channel's outcome recording expects to find "the
// reason of the call that just failed".
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kelvara {

struct DCB;

// Handle of an open device: the file descriptor, widened to pointer size. The
// invalid value has every bit set.
using THandle = std::uintptr_t;
inline constexpr THandle INVALID_HANDLE_VALUE = ~THandle(0);

// Purge flags: abort the pending write / read, empty the output / input queue.
inline constexpr uint32_t PURGE_TXABORT = 0x1;
inline constexpr uint32_t PURGE_RXABORT = 0x2;
inline constexpr uint32_t PURGE_TXCLEAR = 0x4;
inline constexpr uint32_t PURGE_RXCLEAR = 0x8;

// Control-line functions.
inline constexpr uint32_t SETRTS = 3;
inline constexpr uint32_t CLRRTS = 4;
inline constexpr uint32_t SETDTR = 5;
inline constexpr uint32_t CLRDTR = 6;

// Line-error bits as ClearCommError reports them.
inline constexpr uint32_t CE_RXOVER = 0x1;   // input queue overflow
inline constexpr uint32_t CE_OVERRUN = 0x2;  // character lost in the receiver
inline constexpr uint32_t CE_RXPARITY = 0x4; // parity error
inline constexpr uint32_t CE_FRAME = 0x8;    // framing error
inline constexpr uint32_t CE_BREAK = 0x10;   // break condition
inline constexpr uint32_t CE_TXFULL = 0x100; // output queue full

// Modem-status bits.
inline constexpr uint32_t MS_CTS_ON = 0x10;
inline constexpr uint32_t MS_DSR_ON = 0x20;
inline constexpr uint32_t MS_RING_ON = 0x40;
inline constexpr uint32_t MS_RLSD_ON = 0x80;

// Line event: a character was received.
inline constexpr uint32_t EV_RXCHAR = 0x1;

class TSerialPlatform {
public:
    // Write() returns this instead of an errno value when the deadline passed
    // before the driver took every byte.
    static constexpr int WaitTimedOut = -1;

    virtual ~TSerialPlatform() = default;

    // The code of the most recent call that failed on this thread.
    virtual int LastError() const = 0;
    virtual void SetLastError(int code) = 0;

    // Opens a terminal device for exclusive use, in raw mode, so that a read
    // never blocks. Returns INVALID_HANDLE_VALUE on failure (a path that is not
    // a terminal: ENOTTY; in use by another opener: EBUSY; on Windows a path
    // that is not a communications device, or ERROR_ACCESS_DENIED in use).
    virtual THandle Open(const std::string& path) = 0;
    // Gives up the device. On POSIX it first gives the tty back the line
    // settings it had before Open (raw mode is this program's); a Windows
    // port, which has no cooked mode, is left as it was last configured.
    virtual int Close(THandle handle) = 0;

    // The line settings in the device-control block's terms. SetCommState
    // fails with EINVAL (ERROR_INVALID_PARAMETER on Windows) when the driver
    // did not apply every setting asked for, and leaves the line as it was.
    virtual int GetCommState(THandle handle, DCB& dcb) = 0;
    virtual int SetCommState(THandle handle, const DCB& dcb) = 0;

    // PURGE_* flags.
    virtual int Purge(THandle handle, uint32_t flags) = 0;
    // SETRTS, CLRRTS, SETDTR, CLRDTR.
    virtual int EscapeCommFunction(THandle handle, uint32_t function) = 0;
    // MS_* bits.
    virtual int GetModemStatus(THandle handle, uint32_t& status) = 0;
    // The CE_* line errors since the previous call (reading resets them) and,
    // when queued is given, the number of bytes waiting in the input queue.
    virtual int ClearCommError(THandle handle, uint32_t& errors, int32_t* queued) = 0;

    // Hands every byte to the driver, waiting while its output queue is full
    // for at most timeoutMs in all; count is what the driver took.
    virtual int Write(THandle handle, const void* data, int32_t length, int32_t timeoutMs, int32_t& count) = 0;
    // Takes at most length bytes that are already queued; never waits.
    virtual int Read(THandle handle, void* data, int32_t length, int32_t& count) = 0;
    // Waits up to timeoutMs (negative: no limit) for one of the EV_* events in
    // mask; events is what occurred, 0 when the time ran out.
    virtual int WaitEvent(THandle handle, uint32_t mask, int32_t timeoutMs, uint32_t& events) = 0;
    // Waits until the output queue has been transmitted.
    virtual int Drain(THandle handle) = 0;

    // Milliseconds; 0 gives up the rest of the time slice.
    virtual void Sleep(uint32_t ms) = 0;
};

// The operating system's serial devices; what a channel uses unless told
// otherwise. Safe to share between channels and threads.
TSerialPlatform& DefaultSerialPlatform();

// The rules of this build's platform that the channel applies to codes and
// names, whichever TSerialPlatform it drives.
//
// The device path of the numbered serial port comNr, counted from 0: what
// "COM1" and "/dev/ttyS0" both name (/dev/ttyS0 on Linux, \\.\COM1 on
// Windows, where only COM1 to COM9 can be opened without that prefix).
std::string NumberedPortPath(int comNr);
// True when code, from a call on an open device, says the device has gone
// away (a USB adapter pulled, the far end of a pseudo-terminal closed).
bool IsDeviceGoneCode(int code);
// The system's text for one of its codes.
std::string PlatformErrorText(int code);

#ifndef _WIN32
// The part of a Linux termios record that the line settings live in, without
// the C library's or the kernel's header (the two clash). Flag values are the
// kernel's, which the C library uses unchanged.
struct TTermiosFields {
    uint32_t c_iflag = 0;
    uint32_t c_oflag = 0;
    uint32_t c_cflag = 0;
    uint32_t c_lflag = 0;
    uint8_t c_line = 0;
    std::array<uint8_t, 19> c_cc{};
    uint32_t c_ispeed = 0; // bits per second, meaningful with BOTHER
    uint32_t c_ospeed = 0;
};

// Writes the DCB's baud rate, data bits, parity, stop bits, parity checking and
// flow control into t, leaving every other field as it was. Returns 0, or
// EINVAL for a setting a termios line cannot express (baud 0, data bits
// outside 5..8, an unknown parity or stop-bit value). One and a half stop bits
// have no termios form and become two.
int DcbToTermios(const DCB& dcb, TTermiosFields& t);
// The DCB that describes t's line settings.
DCB TermiosToDcb(const TTermiosFields& t);
// Raw mode: no input or output processing, no echo, no signals, 8 data bits,
// receiver on, modem lines ignored, and a read that returns what is queued.
void MakeRawLine(TTermiosFields& t);
// True when the line settings of applied are those of wanted: the speed within
// the 2 % a UART divisor may round by, the rest exactly.
bool SameLineSettings(const TTermiosFields& wanted, const TTermiosFields& applied);
// The speed of t in bits per second, 0 when it has none.
uint32_t TermiosBaud(const TTermiosFields& t);
#endif

} // namespace kelvara
