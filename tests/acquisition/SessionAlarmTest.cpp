// The alarms as the session runs them: rules read at each start, fed by
// every scan and by the port's loss and return, acknowledged by command.
#include "acquisition/Session.h"
#include "sim/SimBus.h"
#include "support/RecordingListener.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace kelvara;
using kelvara::test::TRecordingListener;
using kelvara::test::TTempDir;

TEST(Session, AlarmsFollowTheScansAndThePortAndABadFileLeavesTheRunWithout)
{
    TTempDir dir;
    const std::string rules =
        dir.Write("alarms.ini", "[TC_1]\nhigh=40\n[TC_2]\nsilent_scans=2\n[all]\nport_lost=yes\n");
    const std::string link = dir.File("bus");
    sim::TSimBus bus;
    bus.Start();
    bus.SetFault(2, {sim::TFaultKind::Silent});
    ASSERT_EQ(symlink(bus.DevicePath().c_str(), link.c_str()), 0);
    TSessionConfig config;
    config.OffsetsPaths = {std::string(KELVARA_SOURCE_DIR) + "/data/offset.txt"};
    config.TickMs = 50;
    config.AlarmsFile = rules;
    TSession session(config);
    session.CreateCmd();
    TRecordingListener events;
    session.Connect({link, "19200", "no"});
    ASSERT_EQ(events.ConnectResult(session).Kind, TConnectResult::Opened);
    const uint64_t run = session.Start("0");
    auto told = [&](const std::string& what, size_t times = 1) {
        return events.Until(session, [&] {
            size_t n = 0;
            for (const std::string& e : events.Starting("alarm ")) n += e.find(what) != std::string::npos;
            return n >= times;
        });
    };
    // TC_1 reads about 46 °C, when its reply is in time.
    ASSERT_TRUE(told("TC_1 above 40.00 (46."));
    ASSERT_TRUE(told(": TC_2 silent for 2 scans"));
    session.Acknowledge(run + 1, {0, TAlarmKind::Above}); // no such run: nothing
    session.Acknowledge(run, {0, TAlarmKind::Above});
    ASSERT_TRUE(told("alarm acknowledged at second "));
    EXPECT_EQ(events.Starting("alarm alarm acknowledged").size(), 1u);
    const TAlarmSnapshot snapshot = session.Alarms();
    EXPECT_EQ(snapshot.Run, run);
    ASSERT_EQ(snapshot.Alarms.size(), 3u);
    EXPECT_TRUE(snapshot.Alarms[0].Acknowledged);
    EXPECT_EQ(snapshot.Alarms[1].State, TAlarmState::Raised);

    bus.SetFault(2, {});
    ASSERT_TRUE(told("alarm cleared at second "));
    unlink(link.c_str()); // the name goes first: the pty's number may be another test's next
    bus.Stop();
    ASSERT_TRUE(told(": port lost"));
    bus.Start();
    ASSERT_EQ(symlink(bus.DevicePath().c_str(), link.c_str()), 0);
    ASSERT_TRUE(told("alarm cleared at second ", 2));
    ASSERT_TRUE(told(": port lost", 2));
    EXPECT_EQ(events.Starting("alarm").size(), 6u) << "a channel's silence while the port is lost is no alarm";

    test::WriteBytes(rules, "[TC_1]\nhigh=warm\n");
    events.Events.clear();
    session.Start("0");
    ASSERT_TRUE(events.Scans(session, 2));
    EXPECT_EQ(events.Starting("failed"), std::vector<std::string>{"failed Bad alarm rules: \"" + rules +
                                                                  "\", line 2: high: 'warm' is not a number. The "
                                                                  "run goes on without alarms."});
    EXPECT_TRUE(events.Starting("alarm").empty());
    EXPECT_TRUE(session.Alarms().Alarms.empty());
}
