// A serial platform without a device, for what a pseudo-terminal cannot show:
// line errors, modem lines, port names that must not really be opened, and the
// exact calls an operation makes.
#pragma once

#include "serial/SerialChannel.h"

#include <cerrno>
#include <string>
#include <vector>

namespace kelvara::test {

class TFakeSerialPlatform : public TSerialPlatform {
public:
    static constexpr THandle Device = 7;

    std::vector<std::string> Calls; // one entry per call, e.g. "Purge 15"
    std::string OpenedPath;
    int OpenError = 0;            // nonzero: Open fails with it
    DCB State;                    // what GetCommState reports
    DCB Written;                  // what SetCommState was given
    int SetStateError = 0;        // nonzero: SetCommState fails with it
    std::string Input;            // bytes in the input queue
    uint32_t ErrorsAfterRead = 0; // line errors reported by the first look after a read
    uint32_t ModemStatus = 0;

    int LastError() const override { return FLast; }
    void SetLastError(int code) override { FLast = code; }

    THandle Open(const std::string& path) override
    {
        Calls.push_back("Open " + path);
        OpenedPath = path;
        if (OpenError != 0) return (FLast = OpenError, INVALID_HANDLE_VALUE);
        return Device;
    }
    int Close(THandle h) override { return Log("Close", h); }
    int GetCommState(THandle h, DCB& dcb) override
    {
        if (int code = Log("GetCommState", h)) return code;
        dcb = State;
        return 0;
    }
    int SetCommState(THandle h, const DCB& dcb) override
    {
        if (int code = Log("SetCommState", h)) return code;
        Written = dcb;
        return SetStateError ? (FLast = SetStateError) : 0;
    }
    int Purge(THandle h, uint32_t flags) override { return Log("Purge " + std::to_string(flags), h); }
    int EscapeCommFunction(THandle h, uint32_t function) override
    {
        return Log("Escape " + std::to_string(function), h);
    }
    int GetModemStatus(THandle h, uint32_t& status) override
    {
        status = ModemStatus;
        return Log("ModemStatus", h);
    }
    int ClearCommError(THandle h, uint32_t& errors, int32_t* queued) override
    {
        errors = 0;
        if (int code = Check(h)) return code;
        if (queued) *queued = int32_t(Input.size());
        if (FReadSinceLook) {
            errors = ErrorsAfterRead;
            ErrorsAfterRead = 0;
            FReadSinceLook = false;
        }
        return 0;
    }
    int Write(THandle h, const void*, int32_t length, int32_t, int32_t& count) override
    {
        count = 0;
        if (int code = Log("Write " + std::to_string(length), h)) return code;
        count = length;
        return 0;
    }
    int Read(THandle h, void* data, int32_t length, int32_t& count) override
    {
        count = 0;
        if (int code = Log("Read " + std::to_string(length), h)) return code;
        count = std::min<int32_t>(length, int32_t(Input.size()));
        Input.copy(static_cast<char*>(data), size_t(count));
        Input.erase(0, size_t(count));
        FReadSinceLook = true;
        return 0;
    }
    int WaitEvent(THandle h, uint32_t mask, int32_t, uint32_t& events) override
    {
        events = 0;
        if (int code = Log("WaitEvent", h)) return code;
        if ((mask & EV_RXCHAR) && !Input.empty()) events = EV_RXCHAR;
        return 0;
    }
    int Drain(THandle h) override { return Log("Drain", h); }
    void Sleep(uint32_t ms) override { Calls.push_back("Sleep " + std::to_string(ms)); }

    // The calls of one kind, in order ("Purge", "Escape", ...).
    std::vector<std::string> CallsOf(const std::string& prefix) const
    {
        std::vector<std::string> out;
        for (const auto& c : Calls)
            if (c.rfind(prefix, 0) == 0) out.push_back(c);
        return out;
    }

private:
    int Check(THandle h) { return h == Device ? 0 : (FLast = EBADF); }
    int Log(const std::string& call, THandle h)
    {
        Calls.push_back(call);
        return Check(h);
    }

    int FLast = 0;
    bool FReadSinceLook = false;
};

} // namespace kelvara::test
