// The serial devices of Windows, as TSerialPlatform presents them: the Win32
// communications functions on a handle opened for overlapped I/O.
//
// The core's headers come before <windows.h>, whose macros (DCB's constants,
// INVALID_HANDLE_VALUE, PURGE_*, ...) carry the same values but would break
// the core's declarations of those names.
#include "base/Win32Text.h"
#include "serial/SerialChannel.h"
#include "serial/SerialPlatform.h"
#include "serial/Win32Dcb.h"

#include <windows.h>

#include <algorithm>

namespace kelvara {

namespace {

thread_local int tLastError = 0;

// The seam's invalid handle: every bit set, as Win32's is.
constexpr THandle kInvalid = ~THandle(0);

// The input queue the driver is asked for; the channel's default receive
// buffer, whose quarter is also the XON/XOFF limit Config writes.
constexpr DWORD kInputQueue = 4096;

HANDLE Win(THandle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

int Fail(DWORD code)
{
    tLastError = int(code);
    return int(code);
}

int FailLast()
{
    return Fail(GetLastError());
}

// An event for one overlapped call, closed with it.
class TOverlapped {
public:
    TOverlapped() { FRecord.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~TOverlapped()
    {
        if (FRecord.hEvent) CloseHandle(FRecord.hEvent);
    }
    TOverlapped(const TOverlapped&) = delete;
    TOverlapped& operator=(const TOverlapped&) = delete;

    bool Valid() const { return FRecord.hEvent != nullptr; }
    OVERLAPPED* Record() { return &FRecord; }
    HANDLE Event() const { return FRecord.hEvent; }

private:
    OVERLAPPED FRecord{};
};

DWORD WaitMs(int32_t timeoutMs)
{
    return timeoutMs < 0 ? INFINITE : DWORD(timeoutMs);
}

class TWin32SerialPlatform final : public TSerialPlatform {
public:
    int LastError() const override { return tLastError; }
    void SetLastError(int code) override { tLastError = code; }

    THandle Open(const std::string& path) override
    {
        const std::wstring name = WidenUtf8(path);
        // Share mode 0: the device is this opener's alone until it is closed;
        // another opener gets ERROR_ACCESS_DENIED.
        HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            FailLast();
            return kInvalid;
        }
        // Nothing may be written to what is not a communications device: a
        // file or NUL would swallow the requests without complaint.
        ::DCB state{};
        state.DCBlength = sizeof state;
        if (GetFileType(h) != FILE_TYPE_CHAR || !::GetCommState(h, &state)) {
            const DWORD code = GetLastError();
            CloseHandle(h);
            Fail(code != 0 ? code : ERROR_INVALID_FUNCTION);
            return kInvalid;
        }
        SetCommMask(h, 0);
        SetupComm(h, kInputQueue, 0);
        // A read returns at once with what is queued, even nothing: the
        // channel reads only bytes that ClearCommError has just counted and
        // waits for more with WaitCommEvent. A write has no time limit of its
        // own; Write bounds it with its deadline.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        if (!SetCommTimeouts(h, &timeouts)) {
            const DWORD code = GetLastError();
            CloseHandle(h);
            Fail(code);
            return kInvalid;
        }
        return reinterpret_cast<THandle>(h);
    }

    int Close(THandle handle) override
    {
        if (!CloseHandle(Win(handle))) return FailLast();
        return 0;
    }

    int GetCommState(THandle handle, DCB& dcb) override
    {
        ::DCB win{};
        win.DCBlength = sizeof win;
        if (!::GetCommState(Win(handle), &win)) return FailLast();
        dcb = FromWin32Dcb(win);
        return 0;
    }

    int SetCommState(THandle handle, const DCB& dcb) override
    {
        ::DCB before{};
        before.DCBlength = sizeof before;
        if (!::GetCommState(Win(handle), &before)) return FailLast();
        ::DCB wanted{};
        ToWin32Dcb(dcb, wanted);
        if (!::SetCommState(Win(handle), &wanted)) return FailLast();
        // A driver may take what it cannot do without complaint (Wine on a
        // pseudo-terminal keeps 8 data bits and no parity); what it reports
        // back tells. That is a refusal, and the line goes back to how it was.
        ::DCB applied{};
        applied.DCBlength = sizeof applied;
        if (!::GetCommState(Win(handle), &applied)) return FailLast();
        if (!SameWin32LineSettings(wanted, applied)) {
            ::SetCommState(Win(handle), &before);
            return Fail(ERROR_INVALID_PARAMETER);
        }
        return 0;
    }

    int Purge(THandle handle, uint32_t flags) override
    {
        if (!PurgeComm(Win(handle), flags)) return FailLast();
        return 0;
    }

    int EscapeCommFunction(THandle handle, uint32_t function) override
    {
        if (!::EscapeCommFunction(Win(handle), function)) return FailLast();
        return 0;
    }

    int GetModemStatus(THandle handle, uint32_t& status) override
    {
        DWORD word = 0;
        status = 0;
        if (!GetCommModemStatus(Win(handle), &word)) return FailLast();
        status = word;
        return 0;
    }

    int ClearCommError(THandle handle, uint32_t& errors, int32_t* queued) override
    {
        DWORD word = 0;
        COMSTAT stat{};
        errors = 0;
        if (!::ClearCommError(Win(handle), &word, &stat)) return FailLast();
        errors = word;
        if (queued) *queued = int32_t(std::min<DWORD>(stat.cbInQue, INT32_MAX));
        return 0;
    }

    int Write(THandle handle, const void* data, int32_t length, int32_t timeoutMs, int32_t& count) override
    {
        count = 0;
        if (length < 0) return Fail(ERROR_INVALID_PARAMETER);
        if (length == 0) return 0;
        TOverlapped io;
        if (!io.Valid()) return FailLast();
        DWORD done = 0;
        if (WriteFile(Win(handle), data, DWORD(length), &done, io.Record())) {
            count = int32_t(done);
            return 0;
        }
        if (GetLastError() != ERROR_IO_PENDING) return FailLast();
        const DWORD waited = WaitForSingleObject(io.Event(), WaitMs(timeoutMs));
        if (waited == WAIT_TIMEOUT) {
            // The record lives on this stack: the write is cancelled and its
            // end awaited before it goes, and what went out is counted.
            CancelIoEx(Win(handle), io.Record());
            GetOverlappedResult(Win(handle), io.Record(), &done, TRUE);
            count = int32_t(done);
            return WaitTimedOut;
        }
        if (!GetOverlappedResult(Win(handle), io.Record(), &done, TRUE)) {
            count = int32_t(done);
            return FailLast();
        }
        count = int32_t(done);
        return 0;
    }

    int Read(THandle handle, void* data, int32_t length, int32_t& count) override
    {
        count = 0;
        if (length <= 0) return 0;
        TOverlapped io;
        if (!io.Valid()) return FailLast();
        DWORD done = 0;
        if (!ReadFile(Win(handle), data, DWORD(length), &done, io.Record())) {
            if (GetLastError() != ERROR_IO_PENDING) return FailLast();
            // The time-outs set at Open end the read at once with what is
            // queued; this wait is only for the completion to be posted.
            if (!GetOverlappedResult(Win(handle), io.Record(), &done, TRUE)) return FailLast();
        }
        count = int32_t(done);
        return 0;
    }

    int WaitEvent(THandle handle, uint32_t mask, int32_t timeoutMs, uint32_t& events) override
    {
        events = 0;
        HANDLE h = Win(handle);
        const ULONGLONG deadline = GetTickCount64() + ULONGLONG(timeoutMs < 0 ? 0 : timeoutMs);
        auto left = [&]() -> DWORD {
            if (timeoutMs < 0) return INFINITE;
            const ULONGLONG now = GetTickCount64();
            return now >= deadline ? 0 : DWORD(deadline - now);
        };
        TOverlapped io;
        if (!io.Valid()) return FailLast();
        if (!SetCommMask(h, mask)) return FailLast();
        // The mask stays 0 between waits, so a byte that came after the
        // caller's last look raised no event: look at the queue once more.
        int32_t queued = 0;
        if (int code = Queued(h, mask, queued); code != 0 || queued > 0) return Received(h, code, queued, events);
        DWORD occurred = 0;
        bool endedEarly = false;
        if (!WaitCommEvent(h, &occurred, io.Record())) {
            if (GetLastError() != ERROR_IO_PENDING) {
                const int code = FailLast();
                SetCommMask(h, 0);
                return code;
            }
            endedEarly = WaitForSingleObject(io.Event(), left()) == WAIT_OBJECT_0;
            // A mask of 0 ends a wait still pending, with no events; the
            // record must not go before the wait has ended.
            SetCommMask(h, 0);
            DWORD unused = 0;
            if (!GetOverlappedResult(h, io.Record(), &unused, TRUE)) {
                if (GetLastError() != ERROR_OPERATION_ABORTED) return FailLast();
                occurred = 0;
            }
        } else {
            SetCommMask(h, 0);
        }
        events = occurred;
        if ((events & mask) != 0 || !endedEarly) return 0;
        // The driver ended the wait before its time without the event: Wine
        // does so at once on a pseudo-terminal, where its event watch finds no
        // line counters. The rest of the time is watched by looking at the
        // input queue every millisecond.
        while (left() > 0) {
            ::Sleep(1);
            if (int code = Queued(h, mask, queued); code != 0 || queued > 0) return Received(h, code, queued, events);
        }
        return 0;
    }

    int Drain(THandle handle) override
    {
        // On a communications device this returns once the output queue
        // has been transmitted.
        if (!FlushFileBuffers(Win(handle))) return FailLast();
        return 0;
    }

    void Sleep(uint32_t ms) override { ::Sleep(ms); }

private:
    // Bytes in the input queue, when mask asks for their arrival.
    static int Queued(HANDLE h, uint32_t mask, int32_t& queued)
    {
        queued = 0;
        if (!(mask & EV_RXCHAR)) return 0;
        DWORD word = 0;
        COMSTAT stat{};
        if (!::ClearCommError(h, &word, &stat)) return FailLast();
        queued = int32_t(std::min<DWORD>(stat.cbInQue, INT32_MAX));
        return 0;
    }

    // The end of a wait that found bytes queued, or failed looking.
    static int Received(HANDLE h, int code, int32_t queued, uint32_t& events)
    {
        SetCommMask(h, 0);
        events = code == 0 && queued > 0 ? EV_RXCHAR : 0;
        return code;
    }
};

} // namespace

TSerialPlatform& DefaultSerialPlatform()
{
    static TWin32SerialPlatform platform;
    return platform;
}

std::string NumberedPortPath(int comNr)
{
    // The device namespace reaches every port; a bare "COM10" does not open.
    return "\\\\.\\COM" + std::to_string(comNr + 1);
}

bool IsDeviceGoneCode(int code)
{
    switch (code) {
    // What the calls on an open port answer once a USB adapter has been
    // pulled, depending on its driver, or once Wine's pseudo-terminal has
    // been hung up.
    case ERROR_ACCESS_DENIED:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED: return true;
    default: return false;
    }
}

std::string PlatformErrorText(int code)
{
    return Win32ErrorMessage(DWORD(code));
}

} // namespace kelvara
