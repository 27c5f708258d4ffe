#include "sim/SimPlatform.h"

#include <algorithm>

#ifdef _WIN32
#include <winerror.h>
#else
#include <cerrno>
#endif

namespace kelvara::sim {

namespace {

using namespace std::chrono;

thread_local int tLastError = 0;

// The codes a real port of this platform fails with in the same situations.
#ifdef _WIN32
constexpr int kInUse = ERROR_ACCESS_DENIED;
constexpr int kBadHandle = ERROR_INVALID_HANDLE;
constexpr int kBadParameter = ERROR_INVALID_PARAMETER;
#else
constexpr int kInUse = EBUSY;
constexpr int kBadHandle = EBADF;
constexpr int kBadParameter = EINVAL;
#endif

int Fail(int code)
{
    tLastError = code;
    return code;
}

// A fresh line: the slaves' speed, 8 data bits, no parity, one stop bit.
DCB InitialLine(int baud)
{
    DCB dcb;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = uint32_t(baud);
    dcb.Flags = dcb_Binary;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return dcb;
}

} // namespace

TSimPlatform::TSimPlatform(TSimOptions options, TSerialPlatform& fallback) : fallback_(fallback), slaves_(options) {}

void TSimPlatform::SetValue(int slave, float value)
{
    slaves_.SetValue(slave, value);
}

void TSimPlatform::SetProfile(const std::string& name)
{
    slaves_.SetProfile(name);
}

float TSimPlatform::CurrentValue(int slave) const
{
    return slaves_.CurrentValue(slave);
}

void TSimPlatform::SetFault(int slave, TFault fault)
{
    slaves_.SetFault(slave, fault);
}

TSlaveCounters TSimPlatform::Counters(int slave)
{
    {
        std::lock_guard guard(lock_);
        Advance(TSimClock::now());
    }
    return slaves_.Counters(slave);
}

int TSimPlatform::Forwarded(int code)
{
    if (code != 0) tLastError = fallback_.LastError();
    return code;
}

void TSimPlatform::Advance(TSimClock::time_point now)
{
    for (;;) {
        const std::span<const uint8_t> due = line_.Due(now);
        if (due.empty()) return;
        input_.append(due.begin(), due.end());
        const int slave = line_.Delivered(due.size());
        if (slave == 0) return;
        slaves_.ReplySent(slave);
    }
}

int TSimPlatform::LastError() const
{
    return tLastError;
}

void TSimPlatform::SetLastError(int code)
{
    tLastError = code;
    fallback_.SetLastError(code);
}

THandle TSimPlatform::Open(const std::string& path)
{
    if (path != kSimulatedDevice) {
        const THandle handle = fallback_.Open(path);
        Forwarded(handle == INVALID_HANDLE_VALUE ? -1 : 0);
        return handle;
    }
    std::lock_guard guard(lock_);
    if (open_) {
        Fail(kInUse);
        return INVALID_HANDLE_VALUE;
    }
    open_ = true;
    dcb_ = InitialLine(slaves_.Options().Baud);
    input_.clear();
    line_.Clear();
    txIdleFrom_ = TSimClock::now();
    return kSimulatedHandle;
}

int TSimPlatform::Close(THandle handle)
{
    if (handle != kSimulatedHandle) return Forwarded(fallback_.Close(handle));
    std::lock_guard guard(lock_);
    if (!open_) return Fail(kBadHandle);
    // What was still on its way goes nowhere: nobody listens on the line.
    open_ = false;
    input_.clear();
    line_.Clear();
    changed_.notify_all();
    return 0;
}

int TSimPlatform::GetCommState(THandle handle, DCB& dcb)
{
    if (handle != kSimulatedHandle) return Forwarded(fallback_.GetCommState(handle, dcb));
    std::lock_guard guard(lock_);
    if (!open_) return Fail(kBadHandle);
    dcb = dcb_;
    return 0;
}

int TSimPlatform::SetCommState(THandle handle, const DCB& dcb)
{
    if (handle != kSimulatedHandle) return Forwarded(fallback_.SetCommState(handle, dcb));
    std::lock_guard guard(lock_);
    if (!open_) return Fail(kBadHandle);
    dcb_ = dcb;
    return 0;
}

int TSimPlatform::Purge(THandle handle, uint32_t flags)
{
    if (handle != kSimulatedHandle) return Forwarded(fallback_.Purge(handle, flags));
    std::lock_guard guard(lock_);
    if (!open_) return Fail(kBadHandle);
    const TSimClock::time_point now = TSimClock::now();
    // Only what has arrived is dropped; a reply still on its way arrives
    // after the purge, as on a real line.
    Advance(now);
    if (flags & PURGE_RXCLEAR) input_.clear();
    if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) txIdleFrom_ = std::min(txIdleFrom_, now);
    changed_.notify_all();
    return 0;
}

int TSimPlatform::EscapeCommFunction(THandle handle, uint32_t function)
{
    if (handle != kSimulatedHandle) return Forwarded(fallback_.EscapeCommFunction(handle, function));
    std::lock_guard guard(lock_);
    if (!open_) return Fail(kBadHandle);
    if (function != SETRTS && function != CLRRTS && function != SETDTR && function != CLRDTR)
        return Fail(kBadParameter);
    return 0;
}

int TSimPlatform::GetModemStatus(THandle handle, uint32_t& status)
{
    if (handle != kSimulatedHandle) return Forwarded(fallback_.GetModemStatus(handle, status));
    status = 0;
    std::lock_guard guard(lock_);
    if (!open_) return Fail(kBadHandle);
    status = MS_CTS_ON | MS_DSR_ON;
    return 0;
}

int TSimPlatform::ClearCommError(THandle handle, uint32_t& errors, int32_t* queued)
{
    if (handle != kSimulatedHandle) return Forwarded(fallback_.ClearCommError(handle, errors, queued));
    errors = 0;
    std::lock_guard guard(lock_);
    if (!open_) return Fail(kBadHandle);
    Advance(TSimClock::now());
    if (queued) *queued = int32_t(input_.size());
    return 0;
}

int TSimPlatform::Write(THandle handle, const void* data, int32_t length, int32_t timeoutMs, int32_t& count)
{
    if (handle != kSimulatedHandle) return Forwarded(fallback_.Write(handle, data, length, timeoutMs, count));
    count = 0;
    std::lock_guard guard(lock_);
    if (!open_) return Fail(kBadHandle);
    if (length < 0) return Fail(kBadParameter);
    const TSimOptions& options = slaves_.Options();
    // When the slaves have the burst whole: at once, or once its bytes have
    // crossed the line behind those still going out and the silence that
    // ends a frame has passed.
    TSimClock::time_point at = TSimClock::now();
    if (options.WireTiming) {
        txIdleFrom_ = std::max(txIdleFrom_, at) + CharacterTime(options.Baud) * length;
        at = txIdleFrom_ + InterFrameSilence(options.Baud);
    }
    for (const TFrame& request : SplitBurst(static_cast<const uint8_t*>(data), size_t(length)))
        if (auto reply = slaves_.Answer(request, at)) line_.Push(std::move(*reply));
    count = length;
    changed_.notify_all();
    return 0;
}

int TSimPlatform::Read(THandle handle, void* data, int32_t length, int32_t& count)
{
    if (handle != kSimulatedHandle) return Forwarded(fallback_.Read(handle, data, length, count));
    count = 0;
    std::lock_guard guard(lock_);
    if (!open_) return Fail(kBadHandle);
    if (length <= 0) return 0;
    Advance(TSimClock::now());
    const size_t n = std::min(input_.size(), size_t(length));
    input_.copy(static_cast<char*>(data), n);
    input_.erase(0, n);
    count = int32_t(n);
    return 0;
}

int TSimPlatform::WaitEvent(THandle handle, uint32_t mask, int32_t timeoutMs, uint32_t& events)
{
    if (handle != kSimulatedHandle) return Forwarded(fallback_.WaitEvent(handle, mask, timeoutMs, events));
    events = 0;
    std::unique_lock guard(lock_);
    std::optional<TSimClock::time_point> deadline;
    if (timeoutMs >= 0) deadline = TSimClock::now() + milliseconds(timeoutMs);
    const bool rx = (mask & EV_RXCHAR) != 0;
    for (;;) {
        // Closed, also while waiting.
        if (!open_) return Fail(kBadHandle);
        const TSimClock::time_point now = TSimClock::now();
        Advance(now);
        if (rx && !input_.empty()) {
            events = EV_RXCHAR;
            return 0;
        }
        if (deadline && now >= *deadline) return 0;
        // Asleep until the next byte is due or the time is out; a write, a
        // purge or a close wakes it early to look again.
        std::optional<TSimClock::time_point> wake = deadline;
        if (const auto due = line_.NextDue(); rx && due && (!wake || *due < *wake)) wake = due;
        if (wake)
            changed_.wait_until(guard, *wake);
        else
            changed_.wait(guard);
    }
}

int TSimPlatform::Drain(THandle handle)
{
    if (handle != kSimulatedHandle) return Forwarded(fallback_.Drain(handle));
    std::unique_lock guard(lock_);
    for (;;) {
        if (!open_) return Fail(kBadHandle);
        const TSimClock::time_point idle = txIdleFrom_;
        if (TSimClock::now() >= idle) return 0;
        changed_.wait_until(guard, idle);
    }
}

void TSimPlatform::Sleep(uint32_t ms)
{
    fallback_.Sleep(ms);
}

} // namespace kelvara::sim
