// kelvara-log end to end: the built binary against the simulated bus and
// against an independent Modbus slave.
#include "base/Text.h"
#include "serial/PortList.h"
#include "sim/SimBus.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "thermo/TypeK.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

using namespace kelvara;
using kelvara::test::TChildProcess;
using kelvara::test::TTempDir;

namespace {

const std::string kLog = std::string(KELVARA_BIN_DIR) + "/kelvara-log";
const std::string kHeader = "time\tTC_1\tTC_2\tTC_3\tTC_4\tTC_5\tTC_6\tT__A";

// Distinct EMFs, so a value logged in the wrong column cannot pass.
const std::array<float, 7> kValues = {0.5f, 1.25f, 2.5f, 4.0f, 8.0f, 16.0f, 21.5f};

std::string Expected(const std::string& time, const std::array<float, 7>& v, const std::array<float, 7>& offsets = {})
{
    const TLocaleSettings c;
    const float ambient = v[6] - offsets[6];
    const float cj = CjTempToEmf(ambient);
    std::string line = time;
    for (int i = 0; i < 6; ++i) line += "\t" + FormatReading(CompensatedTemp(v[i], cj) - offsets[i], c);
    return line + "\t" + FormatReading(ambient, c);
}

std::vector<std::string> Split(const std::string& line, char sep)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t p = line.find(sep); p != std::string::npos; p = line.find(sep, start)) {
        out.push_back(line.substr(start, p - start));
        start = p + 1;
    }
    out.push_back(line.substr(start));
    return out;
}

// Checks logged lines against the expected ones. A reply that misses its
// 25 ms on a loaded machine reads NAN, which the logger must allow; any other
// text must be exactly the expected value, and every column must show its
// value at least once.
void ExpectLogged(const std::vector<std::string>& logged, const std::vector<std::string>& expected)
{
    ASSERT_EQ(logged.size(), expected.size());
    std::vector<bool> seen(8, false);
    for (size_t k = 0; k < logged.size(); ++k) {
        const auto got = Split(logged[k], '\t');
        const auto want = Split(expected[k], '\t');
        ASSERT_EQ(got.size(), want.size()) << logged[k];
        for (size_t f = 0; f < got.size(); ++f) {
            if (got[f] == want[f]) {
                seen[f] = true;
            } else {
                EXPECT_TRUE(f > 0 && got[f] == "NAN") << "line " << k << " field " << f << ": " << logged[k];
            }
        }
    }
    for (size_t f = 0; f < seen.size(); ++f) EXPECT_TRUE(seen[f]) << "column " << f << " never right";
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t p = text.find('\n'); p != std::string::npos; p = text.find('\n', start)) {
        out.push_back(text.substr(start, p - start));
        start = p + 1;
    }
    return out;
}

struct TBus {
    sim::TSimBus bus;
    TBus()
    {
        bus.Start();
        for (int s = 1; s <= 7; ++s) bus.SetValue(s, kValues[s - 1]);
    }
};

} // namespace

TEST(KelvaraLog, ListsThePortsTheSystemReports)
{
    std::string expected;
    for (const TPortInfo& port : ListSerialPorts())
        expected += port.DevicePath + (port.StableName.empty() ? "" : "\t" + port.StableName) + "\n";
    TChildProcess child;
    ASSERT_TRUE(child.Start({kLog, "--list-ports"}));
    EXPECT_EQ(child.ExitCode(std::chrono::milliseconds(30000)), 0);
    EXPECT_EQ(child.Out(), expected);
}

TEST(KelvaraLog, BadOptionsExitTwoWithAMessage)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},        {"--port"},           {"--port", "/dev/null", "--simulate"},
        {"--scans", "0"},   {"--scans", "many"},  {"--period", "65536"},
        {"--period", "-1"}, {"--period", "soon"}, {"--parity", "mark"},
        {"--baud", "fast"},
    };
    for (const auto& args : cases) {
        std::vector<std::string> argv = {kLog};
        argv.insert(argv.end(), args.begin(), args.end());
        TChildProcess child;
        ASSERT_TRUE(child.Start(argv));
        EXPECT_EQ(child.ExitCode(std::chrono::milliseconds(10000)), 2) << args[0];
        EXPECT_NE(child.Err().find("kelvara-log: "), std::string::npos) << args[0];
        EXPECT_NE(child.Err().find("usage:"), std::string::npos) << args[0];
        EXPECT_EQ(child.Out(), "") << args[0];
    }
}

TEST(KelvaraLog, StartFailuresExitOneWithTheReason)
{
    TTempDir dir;
    const std::string notTty = dir.Write("plain-file", "keep me");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--port", dir.File("no-such-port")},
         "Cannot open port \"" + dir.File("no-such-port") + "\". No such file or directory"},
        {{"--port", notTty}, "Cannot open port \"" + notTty + "\". Inappropriate ioctl for device"},
        {{"--simulate", "--offsets", dir.File("missing.txt")},
         "Cannot open file \"" + dir.File("missing.txt") + "\". No such file or directory"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {kLog};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        TChildProcess child;
        ASSERT_TRUE(child.Start(argv));
        EXPECT_EQ(child.ExitCode(std::chrono::milliseconds(10000)), 1) << c.message;
        EXPECT_NE(child.Err().find(c.message), std::string::npos) << child.Err();
    }
    // A path that is not a serial line is never written to.
    EXPECT_EQ(TTempDir::Read(notTty), "keep me");
}

TEST(KelvaraLog, LogsTheSimulatedTemperaturesAndAppendsTheSavedFormat)
{
    TBus sim;
    TTempDir dir;
    const std::string output = dir.File("run.csv");
    const std::vector<std::string> argv = {kLog,      "--port", sim.bus.DevicePath(), "--parity", "no", "--period", "0",
                                           "--scans", "3",      "--output",           output};
    TChildProcess first;
    ASSERT_TRUE(first.Start(argv));
    ASSERT_EQ(first.ExitCode(std::chrono::milliseconds(20000)), 0) << first.Err();
    auto lines = Lines(first.Out());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], kHeader);
    ExpectLogged({lines.begin() + 1, lines.end()},
                 {Expected("0001", kValues), Expected("0002", kValues), Expected("0003", kValues)});
    // The output file is the saved-log format, the same lines as stdout:
    // header once, CR LF everywhere.
    std::string bytes;
    for (const std::string& l : lines) bytes += l + "\r\n";
    EXPECT_EQ(TTempDir::Read(output), bytes);

    // A second run appends its lines without a second header.
    TChildProcess second;
    ASSERT_TRUE(second.Start(argv));
    ASSERT_EQ(second.ExitCode(std::chrono::milliseconds(20000)), 0) << second.Err();
    lines = Lines(second.Out());
    ASSERT_EQ(lines.size(), 4u);
    for (size_t k = 1; k < lines.size(); ++k) bytes += lines[k] + "\r\n";
    EXPECT_EQ(TTempDir::Read(output), bytes);
}

TEST(KelvaraLog, OffsetCorrectionSubtractsTheFilesOffsets)
{
    TBus sim;
    TTempDir dir;
    const std::string offsets = dir.Write("my-offsets.txt", "0.5\n-1\n0\n0\n0\n0.25\n1.5\n");
    TChildProcess child;
    ASSERT_TRUE(child.Start({kLog, "--port", sim.bus.DevicePath(), "--parity", "no", "--scans", "2", "--period", "0",
                             "--offsets", offsets, "--offset-corr"}));
    ASSERT_EQ(child.ExitCode(std::chrono::milliseconds(20000)), 0) << child.Err();
    const auto lines = Lines(child.Out());
    ASSERT_EQ(lines.size(), 3u);
    const std::array<float, 7> off = {0.5f, -1, 0, 0, 0, 0.25f, 1.5f};
    ExpectLogged({lines[1], lines[2]}, {Expected("0001", kValues, off), Expected("0002", kValues, off)});
}

TEST(KelvaraLog, TakesItsDefaultsFromTheSettingsBesideTheExecutable)
{
    TBus sim;
    TTempDir dir;
    // A private copy of the logger, so its settings and offsets are the
    // test's own.
    const std::string exe = dir.File("kelvara-log");
    std::filesystem::copy_file(kLog, exe);
    chmod(exe.c_str(), 0755);
    const std::string port = sim.bus.DevicePath().substr(5); // "pts/N": a bare port name
    dir.Write("kelvara.ini", "[Serial]\nbaudrate=9600\nparity=no\nport=" + port + "\n[Timings]\nscan_period=3\n");
    dir.Write("offset.txt", "0\n0\n0\n0\n0\n0\n0\n");
    TChildProcess child;
    ASSERT_TRUE(child.Start({exe, "--scans=2"}));
    ASSERT_EQ(child.ExitCode(std::chrono::milliseconds(20000)), 0) << child.Err();
    const auto lines = Lines(child.Out());
    ASSERT_EQ(lines.size(), 3u) << child.Err();
    ExpectLogged({lines[1], lines[2]}, {Expected("0001", kValues), Expected("0003", kValues)});
    EXPECT_EQ(child.Err().find("warning"), std::string::npos) << child.Err();
}

// A tmpfs of a few pages mounted for one test, so a disk can fill up.
class TTinyDisk {
public:
    TTinyDisk(const std::string& dir, int kib) : dir_(dir)
    {
        std::filesystem::create_directories(dir);
        const std::string options = "size=" + std::to_string(kib) + "k";
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0)
            mounted_ = true;
        else
            error_ = std::strerror(errno);
    }
    ~TTinyDisk()
    {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return mounted_; }
    const std::string& Error() const { return error_; }

private:
    std::string dir_;
    bool mounted_ = false;
    std::string error_;
};

// A log file that stops taking lines ends the run: the line still goes to
// stdout, the reason to stderr, the file keeps only whole lines, exit 1.
TEST(KelvaraLog, AFullDiskEndsTheRunWithoutATornLine)
{
    {
        TChildProcess child;
        ASSERT_TRUE(child.Start({kLog, "--simulate", "--output", "/dev/full"}));
        EXPECT_EQ(child.ExitCode(std::chrono::milliseconds(30000)), 1);
        EXPECT_NE(child.Err().find("Cannot write file \"/dev/full\". No space left on device"), std::string::npos)
            << child.Err();
    }

    TTempDir dir;
    TTinyDisk disk(dir.File("disk"), 8);
    if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs to fill up (needs root): " << disk.Error();
    // Two pages, the output file nearly filling them: the first line crosses
    // into a third page that the disk does not have, after part of it fit.
    std::string prefill = kHeader + "\r\n";
    while (prefill.size() < 8192 - 20) prefill += "0000\tprefill\r\n";
    prefill.resize(8192 - 20 - 2);
    prefill += "\r\n";
    const std::string out = dir.Write("disk/log.csv", prefill);

    TChildProcess child;
    ASSERT_TRUE(child.Start({kLog, "--simulate", "--period", "5", "--output", out}));
    EXPECT_EQ(child.ExitCode(std::chrono::milliseconds(30000)), 1) << child.Err();
    EXPECT_NE(child.Err().find("Cannot write file \"" + out + "\". No space left on device"), std::string::npos)
        << child.Err();
    const auto lines = Lines(child.Out());
    ASSERT_EQ(lines.size(), 2u) << child.Out();
    EXPECT_EQ(lines[1].substr(0, 5), "0001\t");
    EXPECT_EQ(TTempDir::Read(out), prefill);
}

// The simulator unplugged and plugged back while the logger runs: one line a
// second throughout, all NAN while the port is away, the notices on stderr,
// normal lines again as soon as it is back, and no busy waiting meanwhile.
TEST(KelvaraLog, APortThatGoesAwayComesBackWithoutEndingTheRun)
{
    TTempDir dir;
    const std::string link = dir.File("bus");
    TChildProcess sim;
    ASSERT_TRUE(sim.Start({std::string(KELVARA_BIN_DIR) + "/kelvara-sim", "--link", link}));
    ASSERT_TRUE(sim.WaitForLines(1, std::chrono::milliseconds(20000))) << sim.Err();
    TChildProcess log;
    ASSERT_TRUE(log.Start({kLog, "--port", link, "--parity", "no", "--period", "1"}));
    auto waitErr = [&](const std::string& text) {
        for (int k = 0; k < 3000 && log.Err().find(text) == std::string::npos; ++k) usleep(20000);
        return log.Err().find(text) != std::string::npos;
    };

    ASSERT_TRUE(log.WaitForLines(3, std::chrono::milliseconds(60000)));
    sim.Signal(SIGUSR1);
    ASSERT_TRUE(waitErr("\" lost at second ")) << log.Err();
    const double cpuAtLoss = log.CpuSeconds();
    ASSERT_GE(cpuAtLoss, 0) << "no processor time for the running logger";
    const auto wallAtLoss = std::chrono::steady_clock::now();
    const size_t linesAtLoss = Lines(log.Out()).size();
    ASSERT_TRUE(log.WaitForLines(linesAtLoss + 3, std::chrono::milliseconds(60000)));
    const double lostCpu = log.CpuSeconds() - cpuAtLoss;
    const double lostWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallAtLoss).count();
    sim.Signal(SIGUSR2);
    ASSERT_TRUE(waitErr("\" back at second ")) << log.Err();
    const size_t linesAtReturn = Lines(log.Out()).size();
    ASSERT_TRUE(log.WaitForLines(linesAtReturn + 3, std::chrono::milliseconds(60000)));
    log.Signal(SIGTERM);
    ASSERT_EQ(log.ExitCode(std::chrono::milliseconds(30000)), 0) << log.Err();

    const std::string err = log.Err();
    const auto lostAt = std::stoul(err.substr(err.find("\" lost at second ") + 17));
    const auto backAt = std::stoul(err.substr(err.find("\" back at second ") + 17));
    EXPECT_NE(err.find("kelvara-log: Port \"" + link + "\" lost at second " + std::to_string(lostAt) +
                       ": Input/output error. It is looked for again every second while the run goes on.\n"),
              std::string::npos)
        << err;
    ASSERT_GT(backAt, lostAt + 2);
    const auto lines = Lines(log.Out());
    const std::string allNan = "\tNAN\tNAN\tNAN\tNAN\tNAN\tNAN\tNAN";
    for (size_t k = 1; k < lines.size(); ++k) {
        char time[24];
        std::snprintf(time, sizeof time, "%.4zu", k);
        ASSERT_EQ(lines[k].substr(0, 4), time) << "one line per due scan";
        if (k > lostAt && k < backAt) {
            EXPECT_EQ(lines[k], time + allNan);
        }
    }
    // The first normal line at most two scans after the device is back.
    EXPECT_TRUE(lines[backAt].substr(4) != allNan || lines[backAt + 1].substr(4) != allNan);
    // Looking for the port once a second is not busy waiting.
    EXPECT_LT(lostCpu, 0.5 * lostWall) << lostCpu << " s of processor time in " << lostWall << " s";
}

// --clock adds a ninth field: when each scan began, in the zone asked for,
// never going back within a run.
TEST(KelvaraLog, TheClockFieldTellsWhenEachScanBegan)
{
    const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d))");
    for (const char* zone : {"utc", "local"}) {
        TChildProcess child;
        ASSERT_TRUE(
            child.Start({kLog, "--simulate", "--scans", "3", "--period", "0", "--clock", zone}, {"TZ=Asia/Kolkata"}));
        ASSERT_EQ(child.ExitCode(std::chrono::milliseconds(30000)), 0) << child.Err();
        const auto lines = Lines(child.Out());
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_EQ(lines[0], kHeader + "\tclock");
        std::string last;
        for (size_t k = 1; k < lines.size(); ++k) {
            const auto fields = Split(lines[k], '\t');
            ASSERT_EQ(fields.size(), 9u) << lines[k];
            EXPECT_TRUE(std::regex_match(fields[8], iso)) << fields[8];
            EXPECT_EQ(fields[8].substr(23), std::string(zone) == "utc" ? "Z" : "+05:30");
            EXPECT_GT(fields[8], last);
            last = fields[8];
        }
    }
}

TEST(KelvaraLog, StopSignalEndsTheRunAfterACompleteLine)
{
    TBus sim;
    for (int sig : {SIGTERM, SIGINT}) {
        TChildProcess child;
        ASSERT_TRUE(child.Start({kLog, "--port", sim.bus.DevicePath(), "--parity", "no", "--period", "0"}));
        ASSERT_TRUE(child.WaitForLines(2, std::chrono::milliseconds(10000))) << child.Err();
        child.Signal(sig);
        EXPECT_EQ(child.ExitCode(std::chrono::milliseconds(5000)), 0) << sig;
        EXPECT_EQ(child.Out().back(), '\n');
        const auto lines = Lines(child.Out());
        EXPECT_GE(lines.size(), 2u);
        // Every line is whole: eight fields.
        for (size_t k = 1; k < lines.size(); ++k) EXPECT_EQ(Split(lines[k], '\t').size(), 8u);
    }
}

TEST(KelvaraLog, AgreesWithAnIndependentModbusSlave)
{
    // pymodbus serves the seven slaves on one end of a socat pty pair;
    // kelvara-log polls the other end.
    if (system("command -v socat >/dev/null") != 0) GTEST_SKIP() << "socat is not installed";
    TTempDir dir;
    const std::string a = dir.File("a");
    const std::string b = dir.File("b");
    TChildProcess socat;
    ASSERT_TRUE(socat.Start({"/usr/bin/socat", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b}));
    for (int k = 0; k < 100 && !(std::filesystem::exists(a) && std::filesystem::exists(b)); ++k) usleep(20000);
    const std::array<float, 7> values = {1, 2, 3, 4, 5, 6, 21.5f};
    TChildProcess slaves;
    ASSERT_TRUE(slaves.Start({"/usr/bin/python3", std::string(KELVARA_SOURCE_DIR) + "/tests/cli/pymodbus_slaves.py", a,
                              "1", "2", "3", "4", "5", "6", "21.5"}));
    ASSERT_TRUE(slaves.WaitForLines(1, std::chrono::milliseconds(20000))) << slaves.Err();
    TChildProcess log;
    ASSERT_TRUE(log.Start({kLog, "--port", b, "--parity", "no", "--scans", "3", "--period", "0"}));
    ASSERT_EQ(log.ExitCode(std::chrono::milliseconds(30000)), 0) << log.Err();
    const auto lines = Lines(log.Out());
    ASSERT_EQ(lines.size(), 4u) << log.Err();
    ExpectLogged({lines.begin() + 1, lines.end()},
                 {Expected("0001", values), Expected("0002", values), Expected("0003", values)});
}
