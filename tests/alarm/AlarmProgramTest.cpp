// The program run for each alarm: its environment, one at a time per
// channel, and every way it can go wrong told without ending anything.
#include "alarm/AlarmProgram.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sstream>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <thread>

using namespace kelvara;
using kelvara::test::TTempDir;

namespace {

struct TReports {
    std::mutex Lock;
    std::vector<std::string> Lines;
    TAlarmProgram::TReport Report()
    {
        return [this](const std::string& text) {
            std::lock_guard<std::mutex> guard(Lock);
            Lines.push_back(text);
        };
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> guard(Lock);
        return Lines.size();
    }
};

// A watchdog for what the runner's thread does eventually, not a speed limit.
bool Eventually(const std::function<bool()>& done)
{
    for (int i = 0; i < 600 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return done();
}

std::string Script(TTempDir& dir, const std::string& name, const std::string& body)
{
    const std::string path = dir.Write(name, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
}

TAlarmEvent Event(const std::string& channel, int index, TAlarmKind kind, TAlarmChange change, uint32_t second,
                  float value, float limit)
{
    TAlarmEvent e;
    e.Id = {index, kind};
    e.Change = change;
    e.Second = second;
    e.Value = value;
    e.Limit = limit;
    e.Channel = channel;
    e.Text = "alarm " + std::string(AlarmChangeName(change)) + " at second " + std::to_string(second);
    return e;
}

} // namespace

TEST(AlarmProgram, AProgramThatFailsOrHangsIsToldAndTheHangingOneKilled)
{
    TTempDir dir;
    const struct {
        std::string program;
        std::string told;
    } cases[] = {
        {dir.File("missing"), "could not start: No such file or directory"},
        {Script(dir, "fails", "exit 3\n"), "exited with code 3"},
        {Script(dir, "signalled", "kill -TERM $$\n"), "was ended by signal 15 (Terminated)"},
        // The sleeper is in the program's process group, and killed with it.
        {Script(dir, "hangs", "sleep 60 &\necho $! > " + dir.File("sleeper") + "\nwait\n"),
         "did not end within 0.3 s and was killed"},
    };
    const TAlarmEvent raised = Event("TC_3", 2, TAlarmKind::Above, TAlarmChange::Raised, 812, 251.37f, 250);
    for (const auto& c : cases) {
        TReports reports;
        TAlarmProgram program(c.program, 300, reports.Report());
        program.Run(raised);
        ASSERT_TRUE(Eventually([&] { return reports.Count() > 0; })) << c.program;
        EXPECT_EQ(reports.Lines.at(0), "alarm program \"" + c.program + "\" for TC_3 raised at second 812 " + c.told);
    }
    const pid_t sleeper = std::stoi(TTempDir::Read(dir.File("sleeper")));
    EXPECT_TRUE(Eventually([&] { return kill(sleeper, 0) != 0 && errno == ESRCH; }));
}

// A channel's programs run one after the other, in order; another channel's
// run meanwhile.
TEST(AlarmProgram, OneProgramAtATimePerChannelWithTheAlarmInItsEnvironment)
{
    TTempDir dir;
    const std::string record = dir.File("record");
    const std::string program =
        Script(dir, "page",
               "echo \"start $KELVARA_ALARM_CHANNEL $KELVARA_ALARM_KIND $KELVARA_ALARM_STATE $KELVARA_ALARM_VALUE "
               "[$KELVARA_ALARM_LIMIT] $KELVARA_ALARM_SECOND $KELVARA_ALARM_TEXT\" >> " +
                   record +
                   "\n"
                   "[ $KELVARA_ALARM_CHANNEL = port ] && exit 0\n"
                   "n=0\n"
                   "while [ $KELVARA_ALARM_STATE = raised ] && ! grep -q 'start port' " +
                   record +
                   " && [ $n -lt 100 ]; do\n"
                   "  sleep 0.1; n=$((n+1))\n"
                   "done\n"
                   "echo \"end $KELVARA_ALARM_CHANNEL $KELVARA_ALARM_STATE\" >> " +
                   record + "\n");
    TReports reports;
    {
        TAlarmProgram runner(program, 60000, reports.Report());
        runner.Run(Event("TC_3", 2, TAlarmKind::Above, TAlarmChange::Raised, 812, 251.37f, 250));
        runner.Run(Event("TC_3", 2, TAlarmKind::Above, TAlarmChange::Acknowledged, 820, 249, 250));
        runner.Run(Event("TC_3", 2, TAlarmKind::Above, TAlarmChange::Cleared, 830, 247.9f, 250));
        runner.Run(Event("port", TAlarmId::kPort, TAlarmKind::PortLost, TAlarmChange::Raised, 813, NAN, NAN));
        ASSERT_TRUE(Eventually([&] { return TTempDir::Read(record).find("end TC_3 cleared") != std::string::npos; }));
    }
    std::vector<std::string> tc3;
    std::string port;
    std::stringstream lines(TTempDir::Read(record));
    for (std::string line; std::getline(lines, line);) {
        if (line.find("port") != std::string::npos)
            port = line;
        else
            tc3.push_back(line);
        if (line == "end TC_3 raised") {
            EXPECT_FALSE(port.empty()) << "the port's program waited for TC_3's";
        }
    }
    EXPECT_EQ(tc3, (std::vector<std::string>{
                       "start TC_3 above raised 251.37 [250.00] 812 alarm raised at second 812",
                       "end TC_3 raised",
                       "start TC_3 above cleared 247.90 [250.00] 830 alarm cleared at second 830",
                       "end TC_3 cleared",
                   }));
    EXPECT_EQ(port, "start port port-lost raised NAN [] 813 alarm raised at second 813");
    EXPECT_TRUE(reports.Lines.empty());
}
