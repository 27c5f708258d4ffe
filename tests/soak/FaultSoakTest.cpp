// The fault soak: the session, as both front ends run it, against the
// simulated bus on a pseudo-terminal while faults of every kind switch on and
// off at random times on random slaves, ending with the far end hanging up.
// The session's clock ticks every 50 ms instead of every second, so that
// thousands of faulted exchanges pass in minutes; nothing else differs from a
// user's run. Every scan's line must be whole, one per scan, and every value
// either "NAN" or exactly what that channel's slave delivers; a value in
// another channel's column is counted as misattributed.
//
// KELVARA_SOAK_SECONDS sets the length (120 by default; hours for a long
// soak), KELVARA_SOAK_SEED repeats a run.
#include "support/RecordingListener.h"
#include "support/TempDir.h"

#include "acquisition/Session.h"
#include "base/Text.h"
#include "sim/SimBus.h"
#include "thermo/TypeK.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

namespace kelvara {
namespace {

using namespace std::chrono;
using sim::TFault;
using sim::TFaultKind;

constexpr int kSlaves = 7;
// Distinct EMFs (mV) and a cold-junction temperature (°C): every channel's
// temperature text differs from every other's, so a mix-up shows.
constexpr std::array<float, 6> kEmf = {0.512f, 1.734f, 2.958f, 4.181f, 5.406f, 6.627f};
constexpr float kAmbient = 23.45f;

constexpr int kTickMs = 50;
// The session's processor time, after the far end hung up, as a share of the
// wall time that passed, at most. A session that looks for its port once a
// tick and logs NAN uses a few hundredths of one core at the very most, and
// a loaded machine does not add to that (time spent waiting for a processor
// is not processor time). A loop that spins takes all the processor it is
// given, which on two busy cores is still far above a tenth of one.
constexpr double kMaxCpuShare = 0.1;

double ProcessCpuSeconds()
{
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
           1e-6 * double(use.ru_utime.tv_usec + use.ru_stime.tv_usec);
}

long EnvNumber(const char* name, long fallback)
{
    const char* v = std::getenv(name);
    if (!v || !*v) return fallback;
    return std::strtol(v, nullptr, 10);
}

std::vector<std::string> Split(const std::string& text, char sep)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, sep)) parts.push_back(part);
    return parts;
}

// The log texts the scan must produce from the slaves' values, computed with
// the core's own conversions in the logger's locale ("C").
std::array<std::string, kSlaves> ExpectedTexts()
{
    const TLocaleSettings c = TLocaleSettings::Named("C");
    std::array<std::string, kSlaves> texts;
    const float cjEmf = CjTempToEmf(kAmbient);
    for (int i = 0; i < 6; ++i) texts[i] = FormatReading(CompensatedTemp(kEmf[i], cjEmf), c);
    texts[6] = FormatReading(kAmbient, c);
    return texts;
}

// A wrong address for slave `slave`'s reply that a master can always tell
// from a real answer. A reply that carries the address of a slave asked later
// in the same scan, and is late enough to arrive after that slave's request
// went out (the simulator or the logger held up for more than one 25 ms read
// window, as happens on a loaded machine), is byte for byte that slave's
// answer: no master can reject it. So the address is an earlier slave's (asked
// again only a second later) or one no slave on this bus has.
int WrongAddressFor(int slave, std::mt19937& rng)
{
    const int earlier = slave - 1;     // addresses 1 .. slave-1
    const int foreign = 247 - kSlaves; // addresses 8 .. 247
    const int n = std::uniform_int_distribution<int>(0, earlier + foreign - 1)(rng);
    return n < earlier ? n + 1 : n - earlier + kSlaves + 1;
}

// An argument that makes each fault kind bite in its own way; 0 picks the
// simulator's default.
int ArgFor(TFaultKind kind, int slave, std::mt19937& rng)
{
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    switch (kind) {
    case TFaultKind::Exception: return pick(0, 255);
    // Often a neighbour's: the slave asked just before.
    case TFaultKind::WrongAddress: return slave > 1 && pick(0, 1) ? slave - 1 : WrongAddressFor(slave, rng);
    case TFaultKind::WrongFunction: return pick(0, 1) ? 0 : pick(1, 0x7F);
    case TFaultKind::WrongByteCount: return pick(0, 8);
    case TFaultKind::Truncate: return pick(0, 8);
    case TFaultKind::DelayBefore: return pick(0, 60); // on both sides of the 25 ms read window
    case TFaultKind::DelayBetween: return pick(0, 40);
    case TFaultKind::Late: return pick(0, 1) ? 0 : pick(26, 90);
    case TFaultKind::Garbage: return pick(0, 12);
    default: return 0;
    }
}

struct TSoakFigures {
    long scans = 0;
    long lines = 0;
    long values = 0;
    long nanValues = 0;
    long misattributed = 0; // another channel's value in this column
    long wrong = 0;         // a value no channel delivers
    long faultsSwitchedOn = 0;
    uint64_t faultedRequests = 0;
};

TEST(FaultSoak, EveryLoggedValueIsNanOrItsOwnChannelsValue)
{
    const long runSeconds = std::max(20L, EnvNumber("KELVARA_SOAK_SECONDS", 120));
    const unsigned seed = static_cast<unsigned>(
        EnvNumber("KELVARA_SOAK_SEED", static_cast<long>(steady_clock::now().time_since_epoch().count() & 0x7FFFFFFF)));
    std::printf("soak: %ld s, seed %u (KELVARA_SOAK_SEED=%u repeats it)\n", runSeconds, seed, seed);
    std::mt19937 rng(seed);

    // The far end hangs up for the last seconds: long enough to see many
    // scans run against a dead line.
    const long hangupAfter = runSeconds - std::min(10L, runSeconds / 6);

    sim::TSimBus bus;
    for (int s = 1; s <= 6; ++s) bus.SetValue(s, kEmf[s - 1]);
    bus.SetValue(7, kAmbient);
    bus.Start();
    ASSERT_FALSE(bus.DevicePath().empty());

    test::TTempDir dir;
    TSessionConfig config;
    config.Locale = TLocaleSettings::Named("C");
    config.OffsetsPaths = {dir.Write("offset.txt", "0\n0\n0\n0\n0\n0\n0\n")};
    config.TickMs = kTickMs;
    config.TimeEvents = false;
    TSession session(config);
    session.CreateCmd();
    test::TRecordingListener events;
    // Through a name of the test's own, which goes before the line does: the
    // session looks for a lost port again by that name, and the pty's
    // number, once free, may be another program's line.
    const std::string link = dir.File("bus");
    ASSERT_EQ(symlink(bus.DevicePath().c_str(), link.c_str()), 0);
    session.Connect({link, "19200", "no"});
    ASSERT_EQ(events.ConnectResult(session).Kind, TConnectResult::Opened);
    session.Start("0");

    // Faults: each slave alternates between a fault (1 to 3 s) and health
    // (0.5 to 2 s). Kinds come from a shuffled deck, so every kind comes up
    // within each round of the deck.
    const std::vector<TFaultKind> kinds = [] {
        std::vector<TFaultKind> k;
        for (TFaultKind kind : sim::AllFaultKinds())
            if (kind != TFaultKind::None) k.push_back(kind);
        return k;
    }();
    std::vector<TFaultKind> deck;
    auto draw = [&] {
        if (deck.empty()) {
            deck = kinds;
            std::shuffle(deck.begin(), deck.end(), rng);
        }
        const TFaultKind k = deck.back();
        deck.pop_back();
        return k;
    };
    struct TSlaveFault {
        bool on = false;
        TFaultKind kind = TFaultKind::None;
        steady_clock::time_point next;
        uint64_t seenAtStart = 0;
    };
    std::array<TSlaveFault, kSlaves + 1> slaves{};
    std::map<TFaultKind, uint64_t> requestsPerKind;
    TSoakFigures fig;

    const auto start = steady_clock::now();
    for (int s = 1; s <= kSlaves; ++s)
        slaves[s].next = start + milliseconds(std::uniform_int_distribution<int>(0, 2000)(rng));
    auto endFault = [&](int s) {
        TSlaveFault& f = slaves[s];
        if (!f.on) return;
        requestsPerKind[f.kind] += bus.Counters(s).RequestsSeen - f.seenAtStart;
        f.on = false;
    };

    steady_clock::time_point hungUpAt;
    double cpuAtHangUp = 0;
    size_t scansAtHangUp = 0;
    for (auto now = start; now - start < std::chrono::seconds(runSeconds); now = steady_clock::now()) {
        session.WaitAndDeliver(events, 50);
        if (now - start >= std::chrono::seconds(hangupAfter)) {
            if (scansAtHangUp) continue;
            for (int s = 1; s <= kSlaves; ++s) endFault(s);
            for (int s = 1; s <= kSlaves; ++s) fig.faultedRequests += bus.Counters(s).FaultsInjected;
            // The far end goes away for good: the pty's master side closes,
            // and the session's descriptor reads as hung up from then on.
            unlink(link.c_str());
            bus.Stop();
            hungUpAt = steady_clock::now();
            cpuAtHangUp = ProcessCpuSeconds();
            scansAtHangUp = events.Records.size() + 1;
            continue;
        }
        for (int s = 1; s <= kSlaves; ++s) {
            TSlaveFault& f = slaves[s];
            if (now < f.next) continue;
            auto ms = [&](int lo, int hi) { return milliseconds(std::uniform_int_distribution<int>(lo, hi)(rng)); };
            if (f.on) {
                endFault(s);
                bus.SetFault(s, TFault{});
                f.next = now + ms(500, 2000);
            } else {
                f.kind = draw();
                f.seenAtStart = bus.Counters(s).RequestsSeen;
                bus.SetFault(s, TFault{f.kind, ArgFor(f.kind, s, rng)});
                f.on = true;
                ++fig.faultsSwitchedOn;
                f.next = now + ms(1000, 3000);
            }
        }
    }
    session.Stop();
    ASSERT_TRUE(events.Until(session, [&] { return !events.Starting("stopped").empty(); }));
    const double hungUpCpu = ProcessCpuSeconds() - cpuAtHangUp;
    const double hungUpWall = duration<double>(steady_clock::now() - hungUpAt).count();
    // A session that spun on the hung-up line would have burnt a core.
    EXPECT_LT(hungUpCpu, kMaxCpuShare * hungUpWall)
        << hungUpCpu << " s of processor time in the " << hungUpWall << " s after the far end hung up";

    // One record a scan, each of its own second, each line whole.
    const std::array<std::string, kSlaves> expected = ExpectedTexts();
    for (int i = 0; i < kSlaves; ++i)
        for (int j = 0; j < i; ++j) ASSERT_NE(expected[i], expected[j]) << "the soak's values must differ";
    std::array<long, kSlaves> valuesPerChannel{};
    fig.scans = long(events.Records.size());
    for (size_t n = 0; n < events.Records.size(); ++n) {
        const TScanRecord& record = events.Records[n];
        const std::vector<std::string> fields = Split(record.Line, '\t');
        ASSERT_EQ(fields.size(), 8u) << "scan " << n + 1 << ": " << record.Line;
        ++fig.lines;
        EXPECT_EQ(record.Second, n + 1) << "scan " << n + 1 << " is not the scan of its second";
        for (int i = 0; i < kSlaves; ++i) {
            const std::string& v = fields[static_cast<size_t>(i) + 1];
            ++fig.values;
            if (v == "NAN") {
                ++fig.nanValues;
                continue;
            }
            if (v == expected[i]) {
                ++valuesPerChannel[i];
                continue;
            }
            const bool other = std::find(expected.begin(), expected.end(), v) != expected.end();
            (other ? fig.misattributed : fig.wrong)++;
            ADD_FAILURE() << "scan " << n + 1 << " column " << i + 1 << ": " << v << " (expected " << expected[i]
                          << " or NAN)" << (other ? ", another channel's value" : "");
        }
    }
    // After the hang-up nothing can come back: those scans are all NAN, and
    // no slave was asked.
    ASSERT_GT(events.Records.size(), scansAtHangUp + 3);
    for (size_t n = scansAtHangUp + 1; n < events.Records.size(); ++n)
        EXPECT_EQ(events.Records[n].Line.substr(events.Records[n].Line.find('\t')),
                  "\tNAN\tNAN\tNAN\tNAN\tNAN\tNAN\tNAN")
            << "scan " << n + 1 << " after the far end hung up";

    // The counts: per channel one outcome per scan, and no more answered
    // exchanges than values logged.
    const TScanRecord& last = events.Records.back();
    for (int i = 0; i < kSlaves; ++i) {
        uint64_t total = 0;
        for (uint64_t n : last.Status[i].Counts) total += n;
        EXPECT_EQ(total, uint64_t(fig.scans)) << i;
        EXPECT_GE(last.Status[i].Counts[size_t(TExchangeOutcome::Ok)], uint64_t(valuesPerChannel[i]))
            << i << ": more values logged than answers";
    }

    // Every kind of fault was on while its slave was asked.
    for (TFaultKind kind : kinds)
        EXPECT_GT(requestsPerKind[kind], 0u) << "fault " << sim::FaultKindName(kind) << " never met a request";

    std::printf("soak: scans %ld, lines %ld, values %ld (NAN %ld), faults switched on %ld, "
                "faulted requests %llu, misattributed values %ld, wrong values %ld\n",
                fig.scans, fig.lines, fig.values, fig.nanValues, fig.faultsSwitchedOn,
                static_cast<unsigned long long>(fig.faultedRequests), fig.misattributed, fig.wrong);
    std::printf("soak: %.2f s of processor time in the %.1f s after the hang-up\n", hungUpCpu, hungUpWall);
    for (int i = 0; i < kSlaves; ++i)
        std::printf("soak: channel %d: %s\n", i + 1, DescribeCounts(last.Status[i]).c_str());
    EXPECT_EQ(fig.misattributed, 0);
    EXPECT_EQ(fig.wrong, 0);
}

} // namespace
} // namespace kelvara
