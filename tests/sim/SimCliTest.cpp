// kelvara-sim as a program: its command line, its output, and a cross-check of
// the simulated slaves with mbpoll, a master built on libmodbus.
#include "SimTestUtil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string SimBinary = std::string(KELVARA_BIN_DIR) + "/kelvara-sim";

// A running kelvara-sim with its stdout and stderr on pipes.
class TSimProcess {
public:
    explicit TSimProcess(const std::vector<std::string>& args)
    {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        Pid = ::fork();
        if (Pid == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            std::vector<char*> argv{const_cast<char*>(SimBinary.c_str())};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(SimBinary.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        OutFd = out[0];
        ErrFd = err[0];
    }

    ~TSimProcess()
    {
        if (Pid > 0) {
            ::kill(Pid, SIGKILL);
            ::waitpid(Pid, nullptr, 0);
        }
        ::close(OutFd);
        ::close(ErrFd);
    }

    // The first line of stdout, waiting at most a few seconds for it.
    std::string FirstLine()
    {
        while (Out.find('\n') == std::string::npos && ReadSome(OutFd, Out, 5000)) {
        }
        return Out.substr(0, Out.find('\n'));
    }

    // Waits for the exit; returns the exit code (or -1 if it did not exit).
    int Wait(int signal = 0)
    {
        if (signal) ::kill(Pid, signal);
        while (ReadSome(OutFd, Out, 5000)) {
        }
        while (ReadSome(ErrFd, Err, 5000)) {
        }
        int status = 0;
        ::waitpid(Pid, &status, 0);
        Pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string Out, Err;

private:
    static bool ReadSome(int fd, std::string& into, int timeoutMs)
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return false;
        char buf[1024];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        into.append(buf, static_cast<size_t>(n));
        return true;
    }

    pid_t Pid = -1;
    int OutFd = -1, ErrFd = -1;
};

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
        if (std::regex_search(line, m, polling)) slave = std::stoi(m[1]);
        else if (slave && std::regex_search(line, m, value)) results[slave] = m[1];
        else if (slave && std::regex_search(line, m, failed)) results[slave] = m[1];
    }
    return results;
}

} // namespace

TEST(SimCli, MbpollReadsEverySlaveAndItsExceptions)
{
    if (Shell("command -v mbpoll").empty()) GTEST_SKIP() << "mbpoll is not installed";
    const std::string link = ::testing::TempDir() + "kelvara-sim-link-" + std::to_string(::getpid());
    TSimProcess sim({"--link", link, "--emf", "1.25,2.5,-0.75,4,10.125,5.5", "--ambient", "23.25", "--fault",
                     "5:exception=4", "--fault", "6:qnan"});
    const std::string device = sim.FirstLine();
    ASSERT_EQ(device.rfind("/dev/pts/", 0), 0u) << sim.Out;

    // Registers are 1-based for mbpoll: reference 5 is register 4. A pty
    // refuses parity, hence "-P none".
    // mbpoll prints values on stdout and errors on stderr; line buffering
    // keeps them in order in the one pipe.
    const std::string mbpoll = "stdbuf -oL -eL mbpoll";
    const std::string common = " -m rtu -b 19200 -P none -1 -o 0.5 ";
    const auto floats = PollResults(Shell(mbpoll + common + "-a 1:7 -r 5 -c 1 -t 3:float -B " + link));
    const std::map<int, std::string> expected = {
        {1, "1.25"}, {2, "2.5"}, {3, "-0.75"}, {4, "4"}, {5, "Slave device or server failure"}, {6, "nan"}, {7, "23.25"},
    };
    EXPECT_EQ(floats, expected);

    EXPECT_EQ(PollResults(Shell(mbpoll + common + "-a 2 -r 1 -c 2 -t 3 " + device))[2], "Illegal data address");
    EXPECT_EQ(PollResults(Shell(mbpoll + common + "-a 2 -r 5 -c 2 -t 4 " + device))[2], "Illegal function");
    // Slave 8 is not on the bus: mbpoll times out.
    EXPECT_EQ(PollResults(Shell(mbpoll + common + "-a 8 -r 5 -c 1 -t 3:float -B " + device))[8], "Connection timed out");

    EXPECT_EQ(sim.Wait(SIGTERM), 0) << sim.Err;
    EXPECT_NE(sim.Out.find("slave 2: requests 3, replies 3, faults 0\n"), std::string::npos) << sim.Out;
    EXPECT_NE(sim.Out.find("slave 5: requests 1, replies 1, faults 1\n"), std::string::npos) << sim.Out;
    EXPECT_NE(sim.Out.find("slave 7: requests 1, replies 1, faults 0\n"), std::string::npos) << sim.Out;
    EXPECT_NE(::access(link.c_str(), F_OK), 0) << "the link outlived the simulator";
}

TEST(SimCli, BadOptionsExitWithStatus2)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--baud", "fast"},      {"--baud", "0"},         {"--fault", "9:silent"},  {"--fault", "1:sometimes"},
        {"--fault", "1"},        {"--fault", "2:late=x"}, {"--fault", "3:exception=300"},
        {"--emf", "1,2"},        {"--emf", "1,2,3,4,5,z"}, {"--ambient"},           {"--profile", "lava"},
        {"--turnaround", "-1"},  {"--nonsense"},
    };
    for (const auto& args : cases) {
        TSimProcess sim(args);
        EXPECT_EQ(sim.Wait(), 2) << args[0];
        EXPECT_EQ(sim.Out, "") << args[0];
        EXPECT_NE(sim.Err.find("kelvara-sim: "), std::string::npos) << args[0] << ": " << sim.Err;
    }
}

TEST(SimCli, ServesAProfileUntilSigint)
{
    TSimProcess sim({"--profile=oven", "--baud", "115200", "--wire-timing", "--turnaround=1"});
    const std::string device = sim.FirstLine();
    ASSERT_EQ(device.rfind("/dev/pts/", 0), 0u) << sim.Out;
    kelvara::sim::test::TPtyMaster master(device);
    master.Write(kelvara::sim::test::ReadRequest(7));
    const auto reply = master.ReadUntilQuiet().Bytes;
    ASSERT_EQ(reply.size(), 9u);
    // The oven profile's ambient stays near 21.5 °C: 0x41AC0000.
    EXPECT_EQ(reply[3], 0x41);
    EXPECT_EQ(sim.Wait(SIGINT), 0) << sim.Err;
    EXPECT_NE(sim.Out.find("slave 7: requests 1, replies 1, faults 0\n"), std::string::npos) << sim.Out;
}
