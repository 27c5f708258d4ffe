// What the alarms cost, against the same run without them:
//
//   alarm_bench scan
//     a session on the in-process simulated bus, scanning back to
//     back, with and without rules for every channel, in alternating
//     rounds: the time per scan from one scan's record to the next, which
//     holds the alarms' work on the session's thread;
//
//   alarm_bench idle SECONDS KELVARA_LOG
//     CPU per hour of two loggers with period 60, each on a simulated bus
//     of its own, one with --alarms.
#include "BenchReport.h"

#include "acquisition/Session.h"
#include "sim/SimBus.h"
#include "support/ChildProcess.h"
#include "support/RecordingListener.h"
#include "support/TempDir.h"

#include <csignal>
#include <string>
#include <thread>
#include <vector>

using kbench::Fmt;
using kbench::Median;
using kbench::NowMs;
using kbench::Ratio;
using kbench::Row;
using kbench::Say;
using kelvara::test::TChildProcess;
using kelvara::test::TTempDir;

namespace {

// Every kind of alarm on every channel, none of them raised by the bus's
// values, so each scan walks every rule.
constexpr const char* kRules = "[all]\nlow=-100\nhigh=1000\nhysteresis=1\ndelay=5\nsilent_scans=3\nport_lost=yes\n";

// Milliseconds per scan over `scans` scans after a warm-up.
double ScanTime(const TTempDir& dir, bool alarms, size_t scans)
{
    kelvara::TSessionConfig config;
    config.OffsetsPaths = {dir.File("offset.txt")};
    config.TickMs = 1; // every tick is late: the scans follow each other at once
    config.TimeEvents = false;
    config.Simulated = true;
    if (alarms) config.AlarmsFile = dir.File("alarms.ini");
    kelvara::TSession session(config);
    session.CreateCmd();
    kelvara::test::TRecordingListener events;
    session.Connect({kelvara::TSession::kSimulatedPort, "19200", "no"});
    events.ConnectResult(session);
    session.Start("0");
    events.Scans(session, 3);
    const double from = NowMs();
    events.Scans(session, scans);
    const double ms = (NowMs() - from) / double(scans);
    session.Stop();
    if (alarms != !session.Alarms().Alarms.empty()) Say("alarm_bench: the rules were not what was asked for\n");
    return ms;
}

int Scan()
{
    TTempDir dir("kelvara-alarm-bench");
    dir.Write("offset.txt", "0\n0\n0\n0\n0\n0\n0\n");
    dir.Write("alarms.ini", kRules);
    const int rounds = kbench::Quick() ? 4 : 10;
    const size_t scans = 40;
    std::vector<double> off, on;
    for (int r = 0; r < rounds; ++r) {
        off.push_back(ScanTime(dir, false, scans));
        on.push_back(ScanTime(dir, true, scans));
        Say("alarm_bench scan: round %d: %.3f ms without, %.3f ms with alarms\n", r + 1, off.back(), on.back());
    }
    Row("8a", "Alarms: a session's scan with rules on every channel (median of rounds)", Fmt(Median(on), "ms", 3),
        Fmt(Median(off), "ms", 3) + " (the same run without alarms)", Ratio(Median(on), Median(off)),
        std::to_string(rounds) + " alternating rounds of " + std::to_string(scans) +
            " back-to-back scans on the in-process simulated bus");
    return 0;
}

int Idle(double seconds, const std::string& logger)
{
    TTempDir dir("kelvara-alarm-bench");
    const std::string rules = dir.Write("alarms.ini", kRules);
    kelvara::sim::TSimBus plainBus, alarmBus;
    plainBus.Start();
    alarmBus.Start();
    TChildProcess plain, alarms;
    const std::vector<std::string> common = {"--baud", "19200", "--parity", "no", "--period", "60"};
    std::vector<std::string> a = {logger, "--port", plainBus.DevicePath()};
    a.insert(a.end(), common.begin(), common.end());
    plain.Start(a);
    a = {logger, "--port", alarmBus.DevicePath(), "--alarms", rules};
    a.insert(a.end(), common.begin(), common.end());
    alarms.Start(a);
    // As proc_bench's idle: from 0.5 s on, a multiple of 60 s holds one scan
    // a minute.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto plainBefore = kbench::ThreadCpuSeconds(plain.Pid());
    const auto alarmsBefore = kbench::ThreadCpuSeconds(alarms.Pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(long(seconds * 1000)));
    const double plainH = kbench::CpuBetween(plainBefore, kbench::ThreadCpuSeconds(plain.Pid())) / seconds * 3600;
    const double alarmsH = kbench::CpuBetween(alarmsBefore, kbench::ThreadCpuSeconds(alarms.Pid())) / seconds * 3600;
    for (TChildProcess* child : {&plain, &alarms}) {
        child->Signal(SIGTERM);
        child->Wait(std::chrono::seconds(10));
    }
    Say("alarm_bench idle: %.4f s/h without, %.4f s/h with alarms\n", plainH, alarmsH);
    Row("8b", "Alarms: idle logger, period 60, CPU per hour with rules on every channel", Fmt(alarmsH, "s", 3),
        Fmt(plainH, "s", 3) + " (the same logger without alarms)", Ratio(alarmsH, plainH),
        "measured over " + Fmt(seconds, "s", 0) + " side by side, each on a simulated bus of its own");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> a(argv, argv + argc);
    if (a.size() == 2 && a[1] == "scan") return Scan();
    if (a.size() == 4 && a[1] == "idle") return Idle(std::stod(a[2]), a[3]);
    std::fprintf(stderr, "usage: alarm_bench scan | idle SECONDS KELVARA_LOG\n");
    return 2;
}
