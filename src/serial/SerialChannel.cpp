#include "serial/SerialChannel.h"

#include "base/Text.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace kelvara {

EVornSerError::EVornSerError(int code, const std::string& description)
    : EError("Communication error " + std::to_string(code) + ": " + description), ErrorCode(code),
      ErrorMessage(description)
{
}

uint32_t TickNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u;
    return uint32_t(ms);
}

uint32_t TickSpan(uint32_t oldTick, uint32_t newTick)
{
    if (newTick == oldTick) return 0;
    if (newTick > oldTick) return newTick - oldTick;
    // A smaller new tick is a wrap only when the counter went from the upper
    // half to the lower half; otherwise the ticks came in the wrong order and
    // the distance between them is what is meant.
    if (oldTick >= 0x80000000u && newTick < 0x80000000u) return newTick - oldTick; // unsigned arithmetic adds the 2^32
    return oldTick - newTick;
}

namespace {

std::string UpperAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return text;
}

int IntOrDefault(const std::string& text, int fallback)
{
    int32_t value = 0;
    return TryStrToInt(text, value) ? value : fallback;
}

} // namespace

TSerialChannel::TSerialChannel() : TSerialChannel(DefaultSerialPlatform()) {}

TSerialChannel::TSerialChannel(TSerialPlatform& platform) : FPlatform(&platform)
{
    SetVornError(0);
}

TSerialChannel::~TSerialChannel()
{
    // A destructor must not throw: with RaiseExcept set, a device that has
    // gone away makes the purge in CloseSocket raise; the device is closed
    // all the same.
    try {
        CloseSocket();
    } catch (...) {
    }
}

// ---- outcome recording ----------------------------------------------------

std::string TSerialChannel::GetErrorDesc(int code)
{
    switch (code) {
    case 0: return "OK";
    case ErrAlreadyOwned: return "Port owned by other process";
    case ErrAlreadyInUse: return "Instance already in use";
    case ErrWrongParameter: return "Wrong parameter at call";
    case ErrPortNotOpen: return "Instance not yet connected";
    case ErrNoDeviceAnswer: return "No device answer detected";
    case ErrMaxBuffer: return "Maximal buffer length exceeded";
    case ErrTimeout: return "Timeout during operation";
    case ErrNotRead: return "Reading of data failed";
    case ErrFrame: return "Receive framing error";
    case ErrOverrun: return "Receive Overrun Error";
    case ErrRxOver: return "Receive Queue overflow";
    case ErrRxParity: return "Receive Parity Error";
    case ErrTxFull: return "Tranceive Queue is full";
    default: return PlatformErrorText(code);
    }
}

void TSerialChannel::SetVornError(int code)
{
    FLastError = code;
    FLastErrorDesc = GetErrorDesc(code);
}

int TSerialChannel::SerialCheck(int result)
{
    const int code = result == -1 ? FPlatform->LastError() : 0;
    SetVornError(code);
    return code;
}

void TSerialChannel::RaiseVornError(int code)
{
    SetVornError(code);
    ExceptCheck();
}

void TSerialChannel::ExceptCheck()
{
    if (FRaiseExcept && FLastError != 0) throw EVornSerError(FLastError, GetErrorDesc(FLastError));
}

void TSerialChannel::MapLineErrors(uint32_t errors)
{
    // Later rows win; the description is deliberately left as it was.
    if (errors & CE_FRAME) FLastError = ErrFrame;
    if (errors & CE_OVERRUN) FLastError = ErrOverrun;
    if (errors & CE_RXOVER) FLastError = ErrRxOver;
    if (errors & CE_RXPARITY) FLastError = ErrRxParity;
    if (errors & CE_TXFULL) FLastError = ErrTxFull;
}

void TSerialChannel::NotifyStatus(THookSerialReason reason, const std::string& value)
{
    if (FOnStatus) FOnStatus(*this, reason, value);
}

bool TSerialChannel::IsDeviceGone(int code)
{
    return IsDeviceGoneCode(code);
}

void TSerialChannel::MarkLost(int code)
{
    FDeviceLost = code;
    SetVornError(code);
}

// ---- opening and closing ----------------------------------------------------

void TSerialChannel::ParsePortNumber(const std::string& name)
{
    FComNr = -1;
    const std::string upper = UpperAscii(name);
    if (upper.rfind("COM", 0) == 0) FComNr = IntOrDefault(name.substr(3), 0) - 1;
    if (upper.rfind("/DEV/TTYS", 0) == 0) FComNr = IntOrDefault(name.substr(9), -2);
}

uint16_t TSerialChannel::QueryPortAddress()
{
    return 0; // port I/O addresses are not available to a user process
}

void TSerialChannel::Connect(const std::string& comport)
{
    if (FInstanceActive) {
        RaiseVornError(ErrAlreadyInUse);
        return;
    }
    FBuffer.clear();
    FDevice = comport;
    ParsePortNumber(comport);
    FPlatform->SetLastError(0);
    // A numbered port (COM3, /dev/ttyS2) names the platform's serial device
    // with that number. A name that carries no usable number is opened as
    // given: /dev/ttySAC0 or /dev/ttyS-something are real device names on
    // Linux, \\.\COM12 a full device path on Windows.
    if (FComNr >= 0) FDevice = NumberedPortPath(FComNr);
    Fhandle = FPlatform->Open(FDevice);
    SerialCheck(Fhandle == INVALID_HANDLE_VALUE ? -1 : 0);
    ExceptCheck();
    if (FLastError != 0) return;
    // The queue sizes and read time-outs of the device are fixed by Open:
    // raw mode with reads that return what is queued.
    FDeviceLost = 0;
    FPortAddr = QueryPortAddress();
    SetVornError(0);
    if (ControlLinesOk()) {
        FInstanceActive = true;
        SetRTS(true);
        SetDTR(true);
        Purge();
    } else {
        SetVornError(ErrNoDeviceAnswer);
        FPlatform->Close(Fhandle);
        Fhandle = INVALID_HANDLE_VALUE;
        FComNr = -1;
    }
    ExceptCheck();
    NotifyStatus(HR_Connect, FDevice);
}

void TSerialChannel::CloseSocket()
{
    if (Fhandle != INVALID_HANDLE_VALUE) {
        const THandle handle = Fhandle;
        // The device is released and the channel closed even when a step
        // before that raises (RaiseExcept set and the device gone).
        struct TRelease {
            TSerialChannel& Channel;
            THandle Handle;
            ~TRelease()
            {
                Channel.FPlatform->Close(Handle);
                Channel.FInstanceActive = false;
                Channel.Fhandle = INVALID_HANDLE_VALUE;
                Channel.FComNr = -1;
                Channel.FDeviceLost = 0;
            }
        } release{*this, handle};
        Purge();
        SetRTS(false);
        SetDTR(false);
    }
    FInstanceActive = false;
    Fhandle = INVALID_HANDLE_VALUE;
    FComNr = -1;
    FDeviceLost = 0;
    SetVornError(0);
    NotifyStatus(HR_SerialClose, FDevice);
}

// ---- line settings ----------------------------------------------------------

void TSerialChannel::GetCommState()
{
    SetVornError(0);
    if (FPlatform->GetCommState(Fhandle, DCB) != 0) SerialCheck(-1);
    ExceptCheck();
}

void TSerialChannel::SetCommState()
{
    SetVornError(0);
    if (FPlatform->SetCommState(Fhandle, DCB) != 0) SerialCheck(-1);
    ExceptCheck();
}

void TSerialChannel::Config(int baud, int bits, char parity, int stop, bool softflow, bool hardflow)
{
    DCB = {};
    GetCommState();
    DCB.DCBlength = sizeof(struct DCB);
    DCB.BaudRate = uint32_t(baud);
    DCB.ByteSize = uint8_t(bits);
    DCB.StopBits = uint8_t(stop);
    switch (parity) {
    case 'N':
    case 'n': DCB.Parity = NOPARITY; break;
    case 'O':
    case 'o': DCB.Parity = ODDPARITY; break;
    case 'E':
    case 'e': DCB.Parity = EVENPARITY; break;
    case 'M':
    case 'm': DCB.Parity = MARKPARITY; break;
    case 'S':
    case 's': DCB.Parity = SPACEPARITY; break;
    default: break; // the device's present parity
    }
    DCB.XonChar = 0x11;
    DCB.XoffChar = 0x13;
    DCB.XonLim = uint16_t(FRecvBuffer / 4);
    DCB.XoffLim = uint16_t(FRecvBuffer / 4);
    uint32_t flags = dcb_Binary;
    if (softflow) flags |= dcb_OutX | dcb_InX;
    if (hardflow)
        flags |= dcb_OutxCtsFlow | dcb_RtsControlHandshake;
    else
        flags |= dcb_RtsControlEnable;
    flags |= dcb_DtrControlEnable;
    if (DCB.Parity != NOPARITY) flags |= dcb_ParityCheck;
    DCB.Flags = flags;
    SetCommState();
}

void TSerialChannel::Purge()
{
    SetVornError(0);
    if (FPlatform->Purge(Fhandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) != 0) SerialCheck(-1);
    FBuffer.clear();
    ExceptCheck();
}

void TSerialChannel::DiscardInput()
{
    SetVornError(0);
    if (FPlatform->Purge(Fhandle, PURGE_RXCLEAR) != 0) SerialCheck(-1);
    FBuffer.clear();
    ExceptCheck();
}

void TSerialChannel::Flush()
{
    SetVornError(0);
    if (FPlatform->Drain(Fhandle) != 0) SerialCheck(-1);
    ExceptCheck();
}

// ---- control lines ----------------------------------------------------------

void TSerialChannel::SetRTS(bool value)
{
    // A line the driver does not have (a pseudo-terminal has none) is no fault.
    FPlatform->EscapeCommFunction(Fhandle, value ? SETRTS : CLRRTS);
}

void TSerialChannel::SetDTR(bool value)
{
    FPlatform->EscapeCommFunction(Fhandle, value ? SETDTR : CLRDTR);
}

bool TSerialChannel::GetCTS()
{
    uint32_t status = 0;
    FPlatform->GetModemStatus(Fhandle, status);
    FModemWord = int32_t(status);
    return (status & MS_CTS_ON) != 0;
}

bool TSerialChannel::GetDSR()
{
    uint32_t status = 0;
    FPlatform->GetModemStatus(Fhandle, status);
    FModemWord = int32_t(status);
    return (status & MS_DSR_ON) != 0;
}

bool TSerialChannel::ControlLinesOk()
{
    if (FTestDSR && !GetDSR()) return false;
    if (FTestCTS && !GetCTS()) return false;
    return true;
}

bool TSerialChannel::PreCheckFails()
{
    if (!FInstanceActive) {
        RaiseVornError(ErrPortNotOpen);
        return true;
    }
    if (FDeviceLost != 0) {
        RaiseVornError(FDeviceLost);
        return true;
    }
    if (!ControlLinesOk()) {
        RaiseVornError(ErrNoDeviceAnswer);
        return true;
    }
    return false;
}

// ---- transfers --------------------------------------------------------------

void TSerialChannel::ThrottleBandwidth(int length, int limit, uint32_t& next)
{
    if (limit <= 0) return;
    const uint32_t now = TickNow();
    if (now < next) {
        const uint32_t wait = next - now;
        if (wait > 0) {
            NotifyStatus(HR_Wait, std::to_string(wait));
            FPlatform->Sleep(wait);
        }
    }
    next = uint32_t(int64_t(length) / limit * 1000) + TickNow();
}

int TSerialChannel::SendBuffer(const void* buffer, int length)
{
    int32_t count = 0;
    if (PreCheckFails()) return 0;
    ThrottleBandwidth(length, FMaxSendBandwidth, FNextSend);
    if (FRTSToggle) {
        Flush();
        SetRTS(true);
    }
    SetVornError(0);
    const int code = FPlatform->Write(Fhandle, buffer, length, FDeadlockTimeout, count);
    if (code == TSerialPlatform::WaitTimedOut) {
        FPlatform->Purge(Fhandle, PURGE_TXABORT);
        SetVornError(ErrTimeout);
    } else if (IsDeviceGone(code)) {
        MarkLost(code);
    } else {
        SetVornError(code);
    }
    uint32_t errors = 0;
    if (FDeviceLost == 0 && FPlatform->ClearCommError(Fhandle, errors, nullptr) == 0 && errors != 0)
        MapLineErrors(errors);
    if (FRTSToggle) {
        // Flush returns once the transmitter is empty, so RTS can drop at once.
        Flush();
        SetRTS(false);
    }
    ExceptCheck();
    NotifyStatus(HR_WriteCount, std::to_string(count));
    return count;
}

int TSerialChannel::RecvBuffer(void* buffer, int length)
{
    int32_t count = 0;
    if (PreCheckFails()) return 0;
    ThrottleBandwidth(length, FMaxRecvBandwidth, FNextRecv);
    SetVornError(0);
    // Reads take only queued bytes, so unlike a write there is never a
    // pending read to wait for or abort.
    const int code = FPlatform->Read(Fhandle, buffer, std::max(length, 0), count);
    if (IsDeviceGone(code))
        MarkLost(code);
    else
        SetVornError(code);
    uint32_t errors = 0;
    if (FDeviceLost == 0 && FPlatform->ClearCommError(Fhandle, errors, nullptr) == 0 && errors != 0)
        MapLineErrors(errors);
    ExceptCheck();
    NotifyStatus(HR_ReadCount, std::to_string(count));
    return count;
}

int TSerialChannel::WaitingData()
{
    int result = 0;
    if (FDeviceLost != 0) {
        SetVornError(FDeviceLost);
    } else {
        uint32_t errors = 0; // reset and dropped: only a transfer maps line errors
        int32_t queued = 0;
        if (FPlatform->ClearCommError(Fhandle, errors, &queued) == 0) {
            SetVornError(0);
            result = queued;
        } else {
            SerialCheck(-1);
            if (FInstanceActive && IsDeviceGone(FLastError)) MarkLost(FLastError);
        }
    }
    ExceptCheck();
    return result;
}

bool TSerialChannel::AwaitLineEvent(uint32_t mask, int timeout)
{
    if (FDeviceLost != 0) {
        SetVornError(FDeviceLost);
        return false;
    }
    SetVornError(0);
    if (mask == EV_RXCHAR && WaitingData() > 0) return true;
    if (FDeviceLost != 0) return false;
    const uint32_t start = TickNow();
    int left = timeout;
    for (;;) {
        const bool sliced = FIdleHook && FIdleSliceMs > 0 && (left < 0 || left > FIdleSliceMs);
        uint32_t events = 0;
        const int code = FPlatform->WaitEvent(Fhandle, mask, sliced ? FIdleSliceMs : left, events);
        if (code != 0) {
            if (FInstanceActive && IsDeviceGone(code)) MarkLost(code);
            return false;
        }
        if ((events & mask) == mask) return true;
        if (!sliced) return false;
        FIdleHook();
        if (!FInstanceActive || FDeviceLost != 0) return false;
        if (timeout >= 0) {
            left = timeout - int(TickSpan(start, TickNow()));
            if (left <= 0) return false;
        }
    }
}

bool TSerialChannel::CanRead(int timeout)
{
    bool result = WaitingData() > 0;
    if (!result) {
        result = AwaitLineEvent(EV_RXCHAR, timeout);
        if (!result) result = WaitingData() > 0;
    }
    if (result) NotifyStatus(HR_CanRead, "");
    return result;
}

std::string TSerialChannel::RecvPacket(int timeout)
{
    std::string result;
    if (PreCheckFails()) return result;
    SetVornError(0);
    auto readQueued = [&](int n) {
        result.resize(size_t(n));
        const int got = RecvBuffer(result.data(), n);
        result.resize(size_t(std::clamp(got, 0, n)));
    };
    if (!FBuffer.empty()) {
        result.swap(FBuffer);
    } else {
        FPlatform->Sleep(0);
        int n = WaitingData();
        if (n > 0) {
            readQueued(n);
        } else if (CanRead(timeout)) {
            n = WaitingData();
            if (n > 0)
                readQueued(n);
            else if (FDeviceLost == 0)
                SetVornError(ErrTimeout);
        } else if (FDeviceLost == 0) {
            SetVornError(ErrTimeout);
        }
    }
    ExceptCheck();
    return result;
}

int TSerialChannel::RecvBufferEx(void* buffer, int length, int timeout)
{
    int received = 0;
    if (PreCheckFails()) return 0;
    SetVornError(0);
    std::string packet;
    size_t take = 0;
    for (;;) {
        const uint32_t start = TickNow();
        packet = RecvPacket(timeout);
        take = std::min(packet.size(), size_t(std::max(length - received, 0)));
        if (take > 0) std::memcpy(static_cast<char*>(buffer) + received, packet.data(), take);
        received += int(take);
        if (FLastError != 0 || received >= length) break;
        if (FInterPacketTimeout) continue;
        timeout -= int(TickSpan(start, TickNow()));
        if (timeout <= 0) {
            SetVornError(ErrTimeout);
            break;
        }
    }
    FBuffer = packet.substr(take);
    return received;
}

} // namespace kelvara
