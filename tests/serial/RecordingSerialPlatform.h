// The operating system's serial platform with a record of what the channel
// asks of it. Over a real pseudo-terminal a test can then tell how many waits
// a transfer made and how each one ended, which the time a call takes cannot
// show reliably on a loaded machine.
#pragma once

#include "serial/SerialPlatform.h"

#include <functional>
#include <string>
#include <vector>

namespace kelvara::test {

class TRecordingSerialPlatform : public TSerialPlatform {
public:
    struct TWait {
        int32_t TimeoutMs;
        int Code;
        uint32_t Events; // 0 with code 0: the time ran out
    };
    struct TWrite {
        int32_t TimeoutMs;
        int Code;
        int32_t Count;
    };

    std::vector<std::string> Calls; // every call by name: "Open", "Read", "WaitEvent", ...
    std::vector<TWait> Waits;
    std::vector<TWrite> Writes;
    // Runs just before each wait is handed to the system: lets a test play
    // the device in step with the channel instead of racing it.
    std::function<void()> BeforeWait;

    void Clear()
    {
        Calls.clear();
        Waits.clear();
        Writes.clear();
    }

    int LastError() const override { return FSystem.LastError(); }
    void SetLastError(int code) override { FSystem.SetLastError(code); }

    THandle Open(const std::string& path) override
    {
        Calls.push_back("Open");
        return FSystem.Open(path);
    }
    int Close(THandle handle) override
    {
        Calls.push_back("Close");
        return FSystem.Close(handle);
    }
    int GetCommState(THandle handle, DCB& dcb) override
    {
        Calls.push_back("GetCommState");
        return FSystem.GetCommState(handle, dcb);
    }
    int SetCommState(THandle handle, const DCB& dcb) override
    {
        Calls.push_back("SetCommState");
        return FSystem.SetCommState(handle, dcb);
    }
    int Purge(THandle handle, uint32_t flags) override
    {
        Calls.push_back("Purge");
        return FSystem.Purge(handle, flags);
    }
    int EscapeCommFunction(THandle handle, uint32_t function) override
    {
        Calls.push_back("EscapeCommFunction");
        return FSystem.EscapeCommFunction(handle, function);
    }
    int GetModemStatus(THandle handle, uint32_t& status) override
    {
        Calls.push_back("GetModemStatus");
        return FSystem.GetModemStatus(handle, status);
    }
    int ClearCommError(THandle handle, uint32_t& errors, int32_t* queued) override
    {
        Calls.push_back("ClearCommError");
        return FSystem.ClearCommError(handle, errors, queued);
    }
    int Write(THandle handle, const void* data, int32_t length, int32_t timeoutMs, int32_t& count) override
    {
        Calls.push_back("Write");
        const int code = FSystem.Write(handle, data, length, timeoutMs, count);
        Writes.push_back({timeoutMs, code, count});
        return code;
    }
    int Read(THandle handle, void* data, int32_t length, int32_t& count) override
    {
        Calls.push_back("Read");
        return FSystem.Read(handle, data, length, count);
    }
    int WaitEvent(THandle handle, uint32_t mask, int32_t timeoutMs, uint32_t& events) override
    {
        Calls.push_back("WaitEvent");
        if (BeforeWait) BeforeWait();
        const int code = FSystem.WaitEvent(handle, mask, timeoutMs, events);
        Waits.push_back({timeoutMs, code, events});
        return code;
    }
    int Drain(THandle handle) override
    {
        Calls.push_back("Drain");
        return FSystem.Drain(handle);
    }
    void Sleep(uint32_t ms) override
    {
        Calls.push_back("Sleep");
        FSystem.Sleep(ms);
    }

private:
    TSerialPlatform& FSystem = DefaultSerialPlatform();
};

} // namespace kelvara::test
