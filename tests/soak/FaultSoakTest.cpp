// The fault soak: the built kelvara-log against the simulated bus while faults
// of every kind switch on and off at random times on random slaves, ending
// with the far end hanging up. Every line the logger writes must be whole, one
// per scan, and every value either "NAN" or exactly what that channel's slave
// delivers; a value in another channel's column is counted as misattributed.
//
// KELVARA_SOAK_SECONDS sets the length (120 by default; hours for a long
// soak), KELVARA_SOAK_SEED repeats a run.
#include "support/ChildProcess.h"
#include "support/TempDir.h"

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

// The logger's processor time as a share of the wall time that passed, at
// most. A logger that waits for the line and the clock uses a few hundredths
// of one core at the very most, under the sanitizers and with its own exit
// counted, and a loaded machine does not add to that (time spent waiting for
// a processor is not processor time). A loop that spins takes all the
// processor it is given, which on two busy cores is still far above a tenth
// of one.
constexpr double kMaxCpuShare = 0.1;

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

    // The far end hangs up for the last scans: long enough to see several
    // scans run against a dead line.
    const long hangupAfter = runSeconds - std::min(10L, runSeconds / 6);

    sim::TSimBus bus;
    for (int s = 1; s <= 6; ++s) bus.SetValue(s, kEmf[s - 1]);
    bus.SetValue(7, kAmbient);
    bus.Start();
    ASSERT_FALSE(bus.DevicePath().empty());

    test::TTempDir dir;
    const std::string offsets = dir.Write("offset.txt", "0\n0\n0\n0\n0\n0\n0\n");

    test::TChildProcess logger;
    ASSERT_TRUE(
        logger.Start({std::string(KELVARA_BIN_DIR) + "/kelvara-log", "--port", bus.DevicePath(), "--baud", "19200",
                      "--parity", "no", "--period", "0", "--scans", std::to_string(runSeconds), "--offsets", offsets},
                     {"LC_ALL=C", "LANG=C"}));

    // Faults: each slave alternates between a fault (1 to 3 s) and health
    // (1 to 4 s). Kinds come from a shuffled deck, so every kind comes up
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

    bool hungUp = false;
    steady_clock::time_point hungUpAt;
    double cpuAtHangUp = -1;
    while (!logger.Wait(milliseconds(0))) {
        const auto now = steady_clock::now();
        if (!hungUp && now - start >= std::chrono::seconds(hangupAfter)) {
            for (int s = 1; s <= kSlaves; ++s) endFault(s);
            for (int s = 1; s <= kSlaves; ++s) fig.faultedRequests += bus.Counters(s).FaultsInjected;
            // The far end goes away for good: the pty's master side closes,
            // and the logger's descriptor reads as hung up from then on.
            bus.Stop();
            hungUp = true;
            hungUpAt = steady_clock::now();
            cpuAtHangUp = logger.CpuSeconds();
        }
        if (!hungUp) {
            for (int s = 1; s <= kSlaves; ++s) {
                TSlaveFault& f = slaves[s];
                if (now < f.next) continue;
                auto ms = [&](int lo, int hi) { return milliseconds(std::uniform_int_distribution<int>(lo, hi)(rng)); };
                if (f.on) {
                    endFault(s);
                    bus.SetFault(s, TFault{});
                    f.next = now + ms(1000, 4000);
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
        // No hang: the logger ends by itself after its scans, with time to spare.
        if (now - start > std::chrono::seconds(runSeconds + 90)) {
            logger.Signal(SIGKILL);
            logger.Wait(std::chrono::seconds(10));
            FAIL() << "kelvara-log still running " << runSeconds + 90 << " s into a " << runSeconds << " scan run";
        }
        std::this_thread::sleep_for(milliseconds(50));
    }
    const auto end = steady_clock::now();
    const double wall = duration<double>(end - start).count();

    ASSERT_TRUE(logger.ExitedWith(0)) << "status " << logger.Status() << "\n" << logger.Err();
    // A logger that spun, on a faulty line or on the hung-up one, would have
    // burnt a core. The hung-up stretch is short against the whole run, so it
    // is measured on its own.
    EXPECT_LT(logger.CpuSeconds(), kMaxCpuShare * wall)
        << "kelvara-log used " << logger.CpuSeconds() << " s of processor time in " << wall << " s";
    ASSERT_TRUE(hungUp) << "the logger ended before the far end hung up";
    ASSERT_GE(cpuAtHangUp, 0) << "no processor time for the running logger";
    const double hungUpCpu = logger.CpuSeconds() - cpuAtHangUp;
    const double hungUpWall = duration<double>(end - hungUpAt).count();
    EXPECT_LT(hungUpCpu, kMaxCpuShare * hungUpWall)
        << "kelvara-log used " << hungUpCpu << " s of processor time in the " << hungUpWall
        << " s after the far end hung up";

    // The log: the header, then exactly one whole line per scan.
    const std::string out = logger.Out();
    ASSERT_FALSE(out.empty());
    ASSERT_EQ(out.back(), '\n') << "the last line is not whole";
    const std::vector<std::string> lines = Split(out, '\n');
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0], "time\tTC_1\tTC_2\tTC_3\tTC_4\tTC_5\tTC_6\tT__A");
    fig.scans = runSeconds;
    fig.lines = static_cast<long>(lines.size()) - 1;
    EXPECT_EQ(fig.lines, fig.scans);

    const std::array<std::string, kSlaves> expected = ExpectedTexts();
    for (int i = 0; i < kSlaves; ++i)
        for (int j = 0; j < i; ++j) ASSERT_NE(expected[i], expected[j]) << "the soak's values must differ";
    std::array<long, kSlaves> valuesPerChannel{};
    for (size_t n = 1; n < lines.size(); ++n) {
        const std::vector<std::string> fields = Split(lines[n], '\t');
        ASSERT_EQ(fields.size(), 8u) << "line " << n << ": " << lines[n];
        char time[32];
        std::snprintf(time, sizeof time, "%.4zu", n);
        EXPECT_EQ(fields[0], time) << "line " << n << " is not the scan of second " << n;
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
            ADD_FAILURE() << "line " << n << " column " << i + 1 << ": " << v << " (expected " << expected[i]
                          << " or NAN)" << (other ? ", another channel's value" : "");
        }
    }
    // After the hang-up nothing can come back: the last scans are all NAN.
    const std::string allNan = "\tNAN\tNAN\tNAN\tNAN\tNAN\tNAN\tNAN";
    for (size_t n = lines.size() - 3; n < lines.size(); ++n)
        EXPECT_EQ(lines[n].substr(4), allNan) << "line " << n << " after the far end hung up";

    // The counts on stderr: per channel one outcome per scan, and no more
    // answered exchanges than values logged or replies the slave sent.
    const std::string err = logger.Err();
    const char* names[kSlaves] = {"TC_1", "TC_2", "TC_3", "TC_4", "TC_5", "TC_6", "T__A"};
    for (int i = 0; i < kSlaves; ++i) {
        const std::string tag = std::string("kelvara-log: ") + names[i] + ":";
        const size_t at = err.rfind(tag);
        ASSERT_NE(at, std::string::npos) << "no counts for " << names[i] << " in\n" << err;
        const std::string counts = err.substr(at + tag.size(), err.find('\n', at) - at - tag.size());
        // "ok 98 silent 3 bad CRC 2 ...": names of one or more words, then a number.
        long total = 0, ok = 0;
        std::istringstream in(counts);
        std::string word, name;
        while (in >> word) {
            if (std::isdigit(static_cast<unsigned char>(word[0]))) {
                const long n = std::stol(word);
                total += n;
                if (name == "ok") ok = n;
                name.clear();
            } else {
                name += name.empty() ? word : " " + word;
            }
        }
        EXPECT_EQ(total, fig.scans) << names[i] << ":" << counts;
        EXPECT_GE(ok, valuesPerChannel[i]) << names[i] << ": more values logged than answers";
    }

    // Every kind of fault was on while its slave was asked.
    for (TFaultKind kind : kinds)
        EXPECT_GT(requestsPerKind[kind], 0u) << "fault " << sim::FaultKindName(kind) << " never met a request";

    std::printf("soak: scans %ld, lines %ld, values %ld (NAN %ld), faults switched on %ld, "
                "faulted requests %llu, misattributed values %ld, wrong values %ld\n",
                fig.scans, fig.lines, fig.values, fig.nanValues, fig.faultsSwitchedOn,
                static_cast<unsigned long long>(fig.faultedRequests), fig.misattributed, fig.wrong);
    std::printf("soak: logger CPU %.2f s over %.1f s, %.2f s over the last %.1f s after the hang-up\n%s",
                logger.CpuSeconds(), wall, hungUpCpu, hungUpWall, err.c_str());
    EXPECT_EQ(fig.misattributed, 0);
    EXPECT_EQ(fig.wrong, 0);
}

} // namespace
} // namespace kelvara
