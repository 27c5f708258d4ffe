// The serial channel over a pseudo-terminal: the cost of handing out bytes
// that are already queued, one request/reply round trip, and how long a
// 25 ms receive wait on a silent line really lasts.
#include "serial/SerialChannel.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using kelvara::TSerialChannel;
using Clock = std::chrono::steady_clock;

// The slave side opened by a channel; the master side is the device.
struct TPtyChannel {
    int Master = -1;
    TSerialChannel Ser;

    TPtyChannel()
    {
        int slave = -1;
        char name[128] = {};
        if (openpty(&Master, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        close(slave);
        Ser.Connect(name);
        Ser.Config(19200, 8, 'n', 0, false, false);
        if (!Ser.InstanceActive())
            throw std::runtime_error("connect failed: " + Ser.LastErrorDesc());
    }
    ~TPtyChannel()
    {
        Ser.CloseSocket();
        if (Master >= 0)
            close(Master);
    }

    void WaitQueued(int n) const
    {
        int queued = 0;
        while (ioctl(int(Ser.Handle()), FIONREAD, &queued) == 0 && queued < n)
            std::this_thread::yield();
    }
};

void BM_RecvBufferExNineQueued(benchmark::State& state)
{
    TPtyChannel pty;
    const char reply[9] = {1, 4, 4, 0x41, 0x20, 0, 0, char(0xAB), char(0xCD)};
    char buf[9];
    for (auto _ : state) {
        if (write(pty.Master, reply, sizeof reply) != ssize_t(sizeof reply))
            state.SkipWithError("write failed");
        pty.WaitQueued(9);
        const auto start = Clock::now();
        const int got = pty.Ser.RecvBufferEx(buf, 5, 25) + pty.Ser.RecvBufferEx(buf + 5, 4, 25);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (got != 9)
            state.SkipWithError("short reply");
        benchmark::DoNotOptimize(buf);
    }
}
BENCHMARK(BM_RecvBufferExNineQueued)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_RoundTripEchoPeer(benchmark::State& state)
{
    TPtyChannel pty;
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        char buf[256];
        while (!stop) {
            pollfd p{pty.Master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t n = read(pty.Master, buf, sizeof buf);
            if (n > 0 && write(pty.Master, buf, size_t(n)) != n)
                break;
        }
    });
    const char request[8] = {1, 4, 0, 4, 0, 2, 0x30, 0x0A};
    char reply[8];
    for (auto _ : state) {
        pty.Ser.SendBuffer(request, 8);
        const int got = pty.Ser.RecvBufferEx(reply, 5, 25) + pty.Ser.RecvBufferEx(reply + 5, 3, 25);
        if (got != 8)
            state.SkipWithError("echo incomplete");
    }
    stop = true;
    peer.join();
}
BENCHMARK(BM_RoundTripEchoPeer)->Unit(benchmark::kMicrosecond);

void BM_SilentWait25ms(benchmark::State& state)
{
    TPtyChannel pty;
    char buf[5];
    double sum = 0;
    double worst = 0;
    int64_t n = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        pty.Ser.RecvBufferEx(buf, 5, 25);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        sum += ms;
        worst = std::max(worst, ms);
        ++n;
        if (pty.Ser.LastError() != kelvara::ErrTimeout)
            state.SkipWithError("expected a time-out");
    }
    state.counters["mean_ms"] = n ? sum / double(n) : 0;
    state.counters["worst_ms"] = worst;
}
BENCHMARK(BM_SilentWait25ms)->Iterations(80)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
