// The serial port channel: a blocking wrapper around one serial device.
//
// It opens a device by path, sets the line parameters, writes a buffer and
// waits until the driver has taken it, and reads a requested number of bytes
// with a time-out, holding back bytes that arrive beyond the request for the
// next read. It reports outcomes, not exceptions: every operation records a
// code (LastError) and its text (LastErrorDesc), and callers judge a transfer
// by the count it returns. Only with RaiseExcept set does a nonzero code raise
// EVornSerError.
//
// Every step that one operation takes through another is a virtual member, so
// a derived channel can replace any of them. All operating-system calls go
// through a TSerialPlatform.
#pragma once

#include "base/Errors.h"
#include "serial/SerialPlatform.h"

#include <cstdint>
#include <functional>
#include <string>

namespace kelvara {

// The device-control block: the line settings of a serial device.
struct DCB {
    uint32_t DCBlength = 0;
    uint32_t BaudRate = 0;
    uint32_t Flags = 0; // the dcb_* bits below
    uint16_t wReserved = 0;
    uint16_t XonLim = 0;  // send XON when the input queue falls to this many bytes
    uint16_t XoffLim = 0; // send XOFF when free space in the input queue falls to this
    uint8_t ByteSize = 0; // data bits, 5..8
    uint8_t Parity = 0;   // NOPARITY .. SPACEPARITY
    uint8_t StopBits = 0; // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    uint16_t wReserved1 = 0;

    bool operator==(const DCB&) const = default;
};

inline constexpr uint32_t dcb_Binary = 0x1;                 // always set: no EOF processing
inline constexpr uint32_t dcb_ParityCheck = 0x2;            // check parity of received bytes
inline constexpr uint32_t dcb_OutxCtsFlow = 0x4;            // hold output while CTS is off
inline constexpr uint32_t dcb_OutxDsrFlow = 0x8;            // hold output while DSR is off
inline constexpr uint32_t dcb_DtrControlEnable = 0x10;      // DTR on while open
inline constexpr uint32_t dcb_OutX = 0x100;                 // XON/XOFF on output
inline constexpr uint32_t dcb_InX = 0x200;                  // XON/XOFF on input
inline constexpr uint32_t dcb_RtsControlEnable = 0x1000;    // RTS on while open
inline constexpr uint32_t dcb_RtsControlHandshake = 0x2000; // RTS follows input queue room
inline constexpr uint32_t dcb_RtsControlMask = 0x3000;

inline constexpr uint8_t NOPARITY = 0;
inline constexpr uint8_t ODDPARITY = 1;
inline constexpr uint8_t EVENPARITY = 2;
inline constexpr uint8_t MARKPARITY = 3;
inline constexpr uint8_t SPACEPARITY = 4;
inline constexpr uint8_t ONESTOPBIT = 0;
inline constexpr uint8_t ONE5STOPBITS = 1;
inline constexpr uint8_t TWOSTOPBITS = 2;

// Outcome codes of the channel itself; any other nonzero code is the
// operating system's (an errno value, or a GetLastError() value on Windows).
inline constexpr int ErrAlreadyOwned = 9991;
inline constexpr int ErrAlreadyInUse = 9992;
inline constexpr int ErrWrongParameter = 9993;
inline constexpr int ErrPortNotOpen = 9994;
inline constexpr int ErrNoDeviceAnswer = 9995;
inline constexpr int ErrMaxBuffer = 9996;
inline constexpr int ErrTimeout = 9997;
inline constexpr int ErrNotRead = 9998;
inline constexpr int ErrFrame = 9999;
inline constexpr int ErrOverrun = 10000;
inline constexpr int ErrRxOver = 10001;
inline constexpr int ErrRxParity = 10002;
inline constexpr int ErrTxFull = 10003;

// Raised by an operation that ends with a nonzero code while RaiseExcept is set.
class EVornSerError : public EError {
public:
    EVornSerError(int code, const std::string& description);
    int ErrorCode;
    std::string ErrorMessage;
};

enum THookSerialReason {
    HR_SerialClose, // the device path; CloseSocket, every time
    HR_Connect,     // the device path; Connect, whenever the device was opened
    HR_CanRead,     // empty; CanRead, when it reports data
    HR_CanWrite,    // empty; CanWrite, when it reports readiness
    HR_ReadCount,   // decimal byte count; RecvBuffer, after every read
    HR_WriteCount,  // decimal byte count; SendBuffer, after every write
    HR_Wait,        // decimal milliseconds; ThrottleBandwidth, before it sleeps
};

class TSerialChannel;
using THookSerialStatus =
    std::function<void(TSerialChannel& Sender, THookSerialReason Reason, const std::string& Value)>;

// Milliseconds of the monotonic clock, wrapping at 2^32.
uint32_t TickNow();
// Milliseconds from oldTick to newTick across one wrap of the counter.
uint32_t TickSpan(uint32_t oldTick, uint32_t newTick);

class TSerialChannel {
public:
    TSerialChannel();
    explicit TSerialChannel(TSerialPlatform& platform);
    virtual ~TSerialChannel(); // closes the device
    TSerialChannel(const TSerialChannel&) = delete;
    TSerialChannel& operator=(const TSerialChannel&) = delete;

    // The line settings as last read from or written to the device.
    struct DCB DCB;

    // Opening, configuration, closing.
    virtual void Connect(const std::string& comport);
    virtual void Config(int baud, int bits, char parity, int stop, bool softflow, bool hardflow);
    virtual void CloseSocket();
    virtual void GetCommState();
    virtual void SetCommState();
    // Empties both queues and the held-back bytes.
    virtual void Purge();
    // Empties the input queue and the held-back bytes, leaving output alone:
    // what a request/reply exchange does so that a reply that came too late
    // for the previous request is not taken for the answer to the next one.
    virtual void DiscardInput();
    // Waits until the driver has transmitted its output queue.
    virtual void Flush();

    // Transfers.
    virtual int SendBuffer(const void* buffer, int length);
    virtual int RecvBufferEx(void* buffer, int length, int timeout);
    virtual std::string RecvPacket(int timeout);
    virtual int RecvBuffer(void* buffer, int length);
    virtual int WaitingData();
    virtual bool CanRead(int timeout);

    // Control lines.
    virtual void SetRTS(bool value);
    virtual void SetDTR(bool value);
    virtual bool GetCTS();
    virtual bool GetDSR();

    // Outcome recording.
    virtual void MapLineErrors(uint32_t errors);
    virtual int SerialCheck(int result);
    virtual void SetVornError(int code);
    virtual void RaiseVornError(int code);
    virtual void ExceptCheck();
    static std::string GetErrorDesc(int code);

    // Steps of the operations above.
    virtual bool PreCheckFails();
    virtual bool ControlLinesOk();
    virtual void NotifyStatus(THookSerialReason reason, const std::string& value);
    virtual void ParsePortNumber(const std::string& name);
    virtual uint16_t QueryPortAddress();
    virtual void ThrottleBandwidth(int length, int limit, uint32_t& next);

    // Properties.
    THandle Handle() const { return Fhandle; }
    int Tag() const { return FTag; }
    void SetTag(int value) { FTag = value; }
    const std::string& Device() const { return FDevice; }
    int LastError() const { return FLastError; }
    const std::string& LastErrorDesc() const { return FLastErrorDesc; }
    const std::string& LineBuffer() const { return FBuffer; }
    bool RaiseExcept() const { return FRaiseExcept; }
    void SetRaiseExcept(bool value) { FRaiseExcept = value; }
    int SizeRecvBuffer() const { return FRecvBuffer; }
    int DeadlockTimeout() const { return FDeadlockTimeout; }
    void SetDeadlockTimeout(int ms) { FDeadlockTimeout = ms; }
    bool InstanceActive() const { return FInstanceActive; }
    bool TestDSR() const { return FTestDSR; }
    void SetTestDSR(bool value) { FTestDSR = value; }
    bool TestCTS() const { return FTestCTS; }
    void SetTestCTS(bool value) { FTestCTS = value; }
    int MaxLineLength() const { return FMaxLineLength; }
    void SetMaxLineLength(int value) { FMaxLineLength = value; }
    bool LinuxLock() const { return FLinuxLock; }
    void SetLinuxLock(bool value) { FLinuxLock = value; }
    int MaxSendBandwidth() const { return FMaxSendBandwidth; }
    void SetMaxSendBandwidth(int value) { FMaxSendBandwidth = value; }
    int MaxRecvBandwidth() const { return FMaxRecvBandwidth; }
    void SetMaxRecvBandwidth(int value) { FMaxRecvBandwidth = value; }
    bool ConvertLineEnd() const { return FConvertLineEnd; }
    void SetConvertLineEnd(bool value) { FConvertLineEnd = value; }
    bool ATResult() const { return FATResult; }
    int AtTimeout() const { return FAtTimeout; }
    void SetAtTimeout(int ms) { FAtTimeout = ms; }
    bool InterPacketTimeout() const { return FInterPacketTimeout; }
    void SetInterPacketTimeout(bool value) { FInterPacketTimeout = value; }
    const THookSerialStatus& OnStatus() const { return FOnStatus; }
    void SetOnStatus(THookSerialStatus hook) { FOnStatus = std::move(hook); }
    int ComNr() const { return FComNr; }
    // Called between slices of at most sliceMs of every wait for received
    // bytes, so that a caller on a window's thread can hand out pending
    // events while a slave is silent. The hook must neither close nor
    // reconfigure this channel. None by default: a wait is then one wait.
    void SetIdleHook(std::function<void()> hook, int sliceMs)
    {
        FIdleHook = std::move(hook);
        FIdleSliceMs = sliceMs;
    }
    // Nonzero once the device went away while open (the code it failed with);
    // every transfer then returns 0 at once until CloseSocket.
    int DeviceLost() const { return FDeviceLost; }

protected:
    // Waits for a line event; not virtual, like the platform wait it wraps.
    bool AwaitLineEvent(uint32_t mask, int timeout);
    // Records a device that has gone away; later transfers stop at the pre-check.
    void MarkLost(int code);
    static bool IsDeviceGone(int code);

    TSerialPlatform* FPlatform;

    THookSerialStatus FOnStatus;
    THandle Fhandle = INVALID_HANDLE_VALUE;
    int32_t FTag = 0;
    std::string FDevice;
    int32_t FLastError = 0;
    std::string FLastErrorDesc;
    std::string FBuffer; // received bytes not yet handed to a caller
    bool FRaiseExcept = false;
    int32_t FRecvBuffer = 4096;
    int32_t FSendBuffer = 0;
    int32_t FModemWord = 0;
    bool FRTSToggle = false;
    int32_t FDeadlockTimeout = 30000;
    bool FInstanceActive = false;
    bool FTestDSR = false;
    bool FTestCTS = false;
    bool FLastCR = false;
    bool FLastLF = false;
    int32_t FMaxLineLength = 0;
    bool FLinuxLock = true;
    int32_t FMaxSendBandwidth = 0;
    uint32_t FNextSend = 0;
    int32_t FMaxRecvBandwidth = 0;
    uint32_t FNextRecv = 0;
    bool FConvertLineEnd = false;
    bool FATResult = false;
    int32_t FAtTimeout = 1000;
    bool FInterPacketTimeout = true;
    int32_t FComNr = -1;
    uint16_t FPortAddr = 0;
    int32_t FDeviceLost = 0;
    std::function<void()> FIdleHook;
    int32_t FIdleSliceMs = 0;
};

} // namespace kelvara
