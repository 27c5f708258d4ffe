// kelvara-log's alarms end to end: each raise on stderr, the program of
// --on-alarm run for it, and a program that fails told without ending the run.
#include "sim/SimBus.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <regex>
#include <sys/stat.h>

using namespace kelvara;
using kelvara::test::TChildProcess;
using kelvara::test::TTempDir;

TEST(KelvaraLog, AlarmsAreToldOnStderrAndRunTheProgramWhoseFailureEndsNothing)
{
    const std::string log = std::string(KELVARA_BIN_DIR) + "/kelvara-log";
    TTempDir dir;
    sim::TSimBus bus;
    bus.Start();
    bus.SetFault(2, {sim::TFaultKind::Silent});
    const std::string rules = dir.Write("alarms.ini", "[TC_1]\nhigh=40\n[TC_2]\nsilent_scans=2\n");
    const std::string record = dir.File("record");
    const std::string program =
        dir.Write("page", "#!/bin/sh\necho \"$KELVARA_ALARM_CHANNEL $KELVARA_ALARM_KIND $KELVARA_ALARM_LIMIT\" >> " +
                              record + "\n[ $KELVARA_ALARM_CHANNEL = TC_2 ] && exit 5\nexit 0\n");
    chmod(program.c_str(), 0755);

    TChildProcess bad;
    ASSERT_TRUE(bad.Start({log, "--simulate", "--on-alarm", program}));
    EXPECT_EQ(bad.ExitCode(std::chrono::seconds(20)), 2);
    EXPECT_NE(bad.Err().find("kelvara-log: --on-alarm needs --alarms"), std::string::npos) << bad.Err();

    TChildProcess child;
    ASSERT_TRUE(child.Start({log, "--port", bus.DevicePath(), "--parity", "no", "--period", "0", "--scans", "3",
                             "--alarms", rules, "--on-alarm", program}));
    ASSERT_EQ(child.ExitCode(std::chrono::seconds(20)), 0) << child.Err();
    const std::string err = child.Err();
    // TC_1 reads about 46 °C, from the first scan whose reply is in time.
    EXPECT_TRUE(std::regex_search(
        err, std::regex("(^|\n)kelvara-log: alarm raised at second [123]: TC_1 above 40\\.00 \\(46\\.[0-9]{2}\\)\n")))
        << err;
    EXPECT_NE(err.find("\nkelvara-log: alarm raised at second 2: TC_2 silent for 2 scans\n"), std::string::npos) << err;
    EXPECT_NE(
        err.find("\nkelvara-log: alarm program \"" + program + "\" for TC_2 raised at second 2 exited with code 5\n"),
        std::string::npos)
        << err;
    const std::string ran = TTempDir::Read(record);
    EXPECT_NE(ran.find("TC_1 above 40.00\n"), std::string::npos) << ran;
    EXPECT_NE(ran.find("TC_2 silent 2\n"), std::string::npos) << ran;
}
