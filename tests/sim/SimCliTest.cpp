// kelvara-sim as a program: its command line, its output, and a cross-check of
// the simulated slaves with mbpoll, a master built on libmodbus.
#include "support/ChildProcess.h"
#include "support/Frames.h"
#include "support/PtyPeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using kelvara::test::TChildProcess;

namespace {

// How long the simulator may take to end before the test calls it a hang: a
// watchdog, not a speed limit.
constexpr std::chrono::seconds kExitLimit{60};

const std::string SimBinary = std::string(KELVARA_BIN_DIR) + "/kelvara-sim";

// Starts kelvara-sim with the arguments.
void StartSim(TChildProcess& sim, const std::vector<std::string>& args)
{
    std::vector<std::string> argv{SimBinary};
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_TRUE(sim.Start(argv));
}

// The first line of stdout, the simulator's device path, waiting at most a
// few seconds for it.
std::string FirstLine(TChildProcess& sim)
{
    sim.WaitForLines(1, std::chrono::seconds(5));
    const auto lines = sim.OutLines();
    return lines.empty() ? "" : lines[0].Text;
}

std::string Shell(const std::string& command)
{
    std::string output;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return output;
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, pipe)) output.append(buf, n);
    ::pclose(pipe);
    return output;
}

// mbpoll's report per slave: the value printed for register [5], or its
// error text.
std::map<int, std::string> PollResults(const std::string& output)
{
    std::map<int, std::string> results;
    std::istringstream lines(output);
    std::string line;
    int slave = 0;
    static const std::regex polling(R"(-- Polling slave (\d+)\.\.\.)");
    static const std::regex value(R"(\[5\]:\s*(\S+))");
    static const std::regex failed(R"(failed: (.*))");
    std::smatch m;
    while (std::getline(lines, line)) {
        if (std::regex_search(line, m, polling))
            slave = std::stoi(m[1]);
        else if (slave && std::regex_search(line, m, value))
            results[slave] = m[1];
        else if (slave && std::regex_search(line, m, failed))
            results[slave] = m[1];
    }
    return results;
}

} // namespace

TEST(SimCli, MbpollReadsEverySlaveAndItsExceptions)
{
    if (Shell("command -v mbpoll").empty()) GTEST_SKIP() << "mbpoll is not installed";
    const std::string link = ::testing::TempDir() + "kelvara-sim-link-" + std::to_string(::getpid());
    TChildProcess sim;
    StartSim(sim, {"--link", link, "--emf", "1.25,2.5,-0.75,4,10.125,5.5", "--ambient", "23.25", "--fault",
                   "5:exception=4", "--fault", "6:qnan"});
    const std::string device = FirstLine(sim);
    ASSERT_EQ(device.rfind("/dev/pts/", 0), 0u) << sim.Out();

    // Registers are 1-based for mbpoll: reference 5 is register 4. A pty
    // refuses parity, hence "-P none".
    // mbpoll prints values on stdout and errors on stderr; line buffering
    // keeps them in order in the one pipe.
    const std::string mbpoll = "stdbuf -oL -eL mbpoll";
    const std::string common = " -m rtu -b 19200 -P none -1 -o 0.5 ";
    const auto floats = PollResults(Shell(mbpoll + common + "-a 1:7 -r 5 -c 1 -t 3:float -B " + link));
    const std::map<int, std::string> expected = {
        {1, "1.25"}, {2, "2.5"},   {3, "-0.75"}, {4, "4"}, {5, "Slave device or server failure"},
        {6, "nan"},  {7, "23.25"},
    };
    EXPECT_EQ(floats, expected);

    EXPECT_EQ(PollResults(Shell(mbpoll + common + "-a 2 -r 1 -c 2 -t 3 " + device))[2], "Illegal data address");
    EXPECT_EQ(PollResults(Shell(mbpoll + common + "-a 2 -r 5 -c 2 -t 4 " + device))[2], "Illegal function");
    // Slave 8 is not on the bus: mbpoll times out.
    EXPECT_EQ(PollResults(Shell(mbpoll + common + "-a 8 -r 5 -c 1 -t 3:float -B " + device))[8],
              "Connection timed out");

    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.ExitCode(kExitLimit), 0) << sim.Err();
    EXPECT_NE(sim.Out().find("slave 2: requests 3, replies 3, faults 0\n"), std::string::npos) << sim.Out();
    EXPECT_NE(sim.Out().find("slave 5: requests 1, replies 1, faults 1\n"), std::string::npos) << sim.Out();
    EXPECT_NE(sim.Out().find("slave 7: requests 1, replies 1, faults 0\n"), std::string::npos) << sim.Out();
    EXPECT_NE(::access(link.c_str(), F_OK), 0) << "the link outlived the simulator";
}

TEST(SimCli, BadOptionsExitWithStatus2)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--baud", "fast"},       {"--baud", "0"},         {"--fault", "9:silent"},        {"--fault", "1:sometimes"},
        {"--fault", "1"},         {"--fault", "2:late=x"}, {"--fault", "3:exception=300"}, {"--emf", "1,2"},
        {"--emf", "1,2,3,4,5,z"}, {"--ambient"},           {"--profile", "lava"},          {"--turnaround", "-1"},
        {"--nonsense"},
    };
    for (const auto& args : cases) {
        TChildProcess sim;
        StartSim(sim, args);
        EXPECT_EQ(sim.ExitCode(kExitLimit), 2) << args[0];
        EXPECT_EQ(sim.Out(), "") << args[0];
        EXPECT_NE(sim.Err().find("kelvara-sim: "), std::string::npos) << args[0] << ": " << sim.Err();
    }
}

TEST(SimCli, ServesAProfileUntilSigint)
{
    TChildProcess sim;
    StartSim(sim, {"--profile=oven", "--baud", "115200", "--wire-timing", "--turnaround=1"});
    const std::string device = FirstLine(sim);
    ASSERT_EQ(device.rfind("/dev/pts/", 0), 0u) << sim.Out();
    kelvara::test::TPtyPeer master(device);
    master.Write(kelvara::test::ReadRequest(7));
    const auto reply = master.ReadUntilQuiet().Bytes;
    ASSERT_EQ(reply.size(), 9u);
    // The oven profile's ambient stays near 21.5 °C: 0x41AC0000.
    EXPECT_EQ(reply[3], 0x41);
    sim.Signal(SIGINT);
    EXPECT_EQ(sim.ExitCode(kExitLimit), 0) << sim.Err();
    EXPECT_NE(sim.Out().find("slave 7: requests 1, replies 1, faults 0\n"), std::string::npos) << sim.Out();
}
