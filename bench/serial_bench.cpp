// The serial channel over a pseudo-terminal: the cost of handing out bytes
// that are already queued, one request/reply round trip, and how long a
// 25 ms receive wait on a silent line really lasts.
#include "serial/SerialChannel.h"
#include "support/PtyPeer.h"

#include <benchmark/benchmark.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using kelvara::TSerialChannel;
using kelvara::test::TBytes;
using kelvara::test::TPtyPeer;
using Clock = std::chrono::steady_clock;

// The slave side opened by a channel; the master side is the device.
struct TPtyChannel {
    TPtyPeer Device{TPtyPeer::TSlaveSide::Released};
    TSerialChannel Ser;

    TPtyChannel()
    {
        Ser.Connect(Device.Path());
        Ser.Config(19200, 8, 'n', 0, false, false);
        if (!Ser.InstanceActive()) throw std::runtime_error("connect failed: " + Ser.LastErrorDesc());
    }
    ~TPtyChannel() { Ser.CloseSocket(); }

    void WaitQueued(int n) const
    {
        int queued = 0;
        while (ioctl(int(Ser.Handle()), FIONREAD, &queued) == 0 && queued < n) std::this_thread::yield();
    }
};

void BM_RecvBufferExNineQueued(benchmark::State& state)
{
    TPtyChannel pty;
    const TBytes reply = {1, 4, 4, 0x41, 0x20, 0, 0, 0xAB, 0xCD};
    char buf[9];
    for (auto _ : state) {
        pty.Device.Write(reply);
        pty.WaitQueued(9);
        const auto start = Clock::now();
        const int got = pty.Ser.RecvBufferEx(buf, 5, 25) + pty.Ser.RecvBufferEx(buf + 5, 4, 25);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (got != 9) state.SkipWithError("short reply");
        benchmark::DoNotOptimize(buf);
    }
}
BENCHMARK(BM_RecvBufferExNineQueued)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_RoundTripEchoPeer(benchmark::State& state)
{
    TPtyChannel pty;
    pty.Device.Serve(8, [](const TBytes& request) { return request; });
    const char request[8] = {1, 4, 0, 4, 0, 2, 0x30, 0x0A};
    char reply[8];
    for (auto _ : state) {
        pty.Ser.SendBuffer(request, 8);
        const int got = pty.Ser.RecvBufferEx(reply, 5, 25) + pty.Ser.RecvBufferEx(reply + 5, 3, 25);
        if (got != 8) state.SkipWithError("echo incomplete");
    }
    pty.Device.Stop();
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
        if (pty.Ser.LastError() != kelvara::ErrTimeout) state.SkipWithError("expected a time-out");
    }
    state.counters["mean_ms"] = n ? sum / double(n) : 0;
    state.counters["worst_ms"] = worst;
}
BENCHMARK(BM_SilentWait25ms)->Iterations(80)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
