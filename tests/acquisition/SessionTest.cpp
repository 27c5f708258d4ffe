// The rules a session holds for both front ends, driven through its commands
// and events with the session's own thread and clock: connecting, runs and
// their journals, a port that goes away, and the simulated bus.
#include "acquisition/Session.h"
#include "base/Errors.h"
#include "sim/SimBus.h"
#include "support/PtyPeer.h"
#include "support/RecordingListener.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <grp.h>
#include <unistd.h>

using namespace kelvara;
using kelvara::test::TRecordingListener;
using kelvara::test::TTempDir;

namespace {

const std::string kDataDir = std::string(KELVARA_SOURCE_DIR) + "/data/";
constexpr const char* kHeaderLine = "time\tTC_1\tTC_2\tTC_3\tTC_4\tTC_5\tTC_6\tT__A";
constexpr const char* kNanLine = "\tNAN\tNAN\tNAN\tNAN\tNAN\tNAN\tNAN";

// A fast clock: the rules do not depend on the tick's length.
TSessionConfig Config(int tickMs = 50)
{
    TSessionConfig config;
    config.OffsetsPaths = {kDataDir + "offset.txt"};
    config.TickMs = tickMs;
    return config;
}

std::string CrLfLines(const std::vector<std::string>& lines)
{
    std::string text = std::string(kHeaderLine) + "\r\n";
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

} // namespace

TEST(Session, PeriodsFrom0To65535)
{
    EXPECT_EQ(TSession::PeriodOf("0"), 0);
    EXPECT_EQ(TSession::PeriodOf("65535"), 65535);
    EXPECT_EQ(TSession::PeriodOf(" 5"), 5);
    for (const char* bad : {"65536", "-1"}) EXPECT_THROW(TSession::PeriodOf(bad), ERangeError) << bad;
    try {
        TSession::PeriodOf("soon");
        ADD_FAILURE() << "a period that is not a number";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'soon' is not a valid integer value");
    }
}

TEST(Session, ConnectingFromTheTextsComesToOneOfFiveResults)
{
    TSession session(Config());
    TRecordingListener events;
    test::TPtyPeer pty;
    TTempDir dir;
    const std::string port = pty.Path().substr(std::string("/dev/").size());
    struct Case {
        TPortTexts texts;
        TConnectResult::TKind kind;
        std::string message;
        bool open;
    } cases[] = {
        {{port, "19200", "no"}, TConnectResult::Opened, "", true},
        // A pseudo-terminal refuses parity: opened, and the operator told
        // which setting and why.
        {{port, "19200", "even"},
         TConnectResult::SettingRefused,
         "\"" + pty.Path() +
             "\" refused even parity: Invalid argument. The port stays open; readings may fail until the line "
             "settings suit the device.",
         true},
        {{dir.File("gone"), "19200", "no"},
         TConnectResult::NotOpened,
         "Cannot open port \"" + dir.File("gone") + "\". No such file or directory",
         false},
        // The baud text is judged after the port opened, which stays open
        // without its line settings.
        {{port, "fast", "no"}, TConnectResult::NotConfigured, "'fast' is not a valid integer value", true},
        // A placeholder ends the choice after the port was closed.
        {{port, "Baudrate", "no"}, TConnectResult::Abandoned, "", false},
        {{port, "19200", "Parity"}, TConnectResult::Abandoned, "", false},
    };
    for (const Case& c : cases) {
        const uint64_t id = session.Connect(c.texts);
        const TConnectResult r = events.ConnectResult(session);
        EXPECT_EQ(r.Id, id);
        EXPECT_EQ(r.Kind, c.kind) << c.message;
        EXPECT_EQ(r.Message(), c.message);
        // Whether the port is open shows in whether a run may start on it.
        session.Start("0");
        ASSERT_TRUE(events.Until(session, [&] { return !events.Starting(c.open ? "started" : "stopped").empty(); }))
            << c.message;
        session.Stop();
        ASSERT_TRUE(events.Until(session, [&] { return !events.Starting("stopped").empty(); }));
        events.Events.clear();
    }

    TConnectResult refused;
    refused.Kind = TConnectResult::NotOpened;
    refused.Device = "/dev/ttyUSB0";
    refused.Reason = "Permission denied";
    refused.MissingGroup = "dialout";
    EXPECT_EQ(refused.Message(), "Cannot open port \"/dev/ttyUSB0\". Permission denied. Serial ports are for "
                                 "members of the group \"dialout\": sudo usermod -aG dialout $USER, then log in "
                                 "again.");
}

TEST(Session, TheGroupOfADeviceThisProcessIsNotIn)
{
    TTempDir dir;
    const std::string device = dir.Write("device", "");
    EXPECT_EQ(MissingDeviceGroup(device), "") << "a file of this process's own group";
    EXPECT_EQ(MissingDeviceGroup(dir.File("gone")), "");

    // A group this process is not in, if the system has one and lets the file
    // be given to it.
    std::vector<gid_t> mine(static_cast<size_t>(getgroups(0, nullptr)));
    mine.resize(static_cast<size_t>(std::max(0, getgroups(static_cast<int>(mine.size()), mine.data()))));
    mine.push_back(getegid());
    setgrent();
    const group* other = nullptr;
    while (const group* g = getgrent())
        if (std::find(mine.begin(), mine.end(), g->gr_gid) == mine.end()) {
            other = g;
            break;
        }
    const std::string name = other ? other->gr_name : "";
    const gid_t gid = other ? other->gr_gid : 0;
    endgrent();
    if (!other || chown(device.c_str(), static_cast<uid_t>(-1), gid) != 0)
        GTEST_SKIP() << "no group to give the file to";
    EXPECT_EQ(MissingDeviceGroup(device), name);
}

// The simulated bus answers as a real one: every slave is asked at each
// scan, each scan goes to the trend, and the clock counts the seconds.
TEST(Session, RunsOnTheSimulatedBus)
{
    TSessionConfig config = Config();
    config.Simulated = true;
    TSession session(config);
    session.CreateCmd();
    TRecordingListener events;
    EXPECT_EQ(session.PortBoxItems().at(1), TSession::kSimulatedPort);
    session.Connect({TSession::kSimulatedPort, "19200", "no"});
    ASSERT_EQ(events.ConnectResult(session).Kind, TConnectResult::Opened);
    const uint64_t run = session.Start("0");
    ASSERT_TRUE(events.Scans(session, 2));
    EXPECT_EQ(events.Starting("started").front(), "started " + std::to_string(run) + " 7");
    EXPECT_EQ(events.Starting("time").front(), "time 1");
    EXPECT_EQ(events.Records[1].Line.substr(0, 5), "0002\t");
    EXPECT_EQ(events.Records[1].Run, run);
    uint64_t ok = 0;
    for (const TChannelStatus& s : events.Records[1].Status) {
        uint64_t exchanges = 0;
        for (uint64_t n : s.Counts) exchanges += n;
        EXPECT_EQ(exchanges, 2u);
        ok += s.Counts[static_cast<size_t>(TExchangeOutcome::Ok)];
    }
    // On a loaded machine a reply may miss its window, but not every one.
    EXPECT_GT(ok, 0u);
    session.ReadTrend([](const TTrendStore& trend) { EXPECT_GE(trend.Size(), 2u); });
}

// A stop and a start inside one scan (a double-click on Run): the scan in
// progress ends, and its line belongs to the run that began it, in the
// records and in that run's journal; the new run starts at 0001 with a
// journal and a trend of its own.
TEST(Session, EachRunKeepsItsOwnLinesAcrossAStopAndStartInsideAScan)
{
    TTempDir dir;
    TSessionConfig config = Config(200);
    config.JournalDir = dir.File("runs");
    TSession session(config);
    session.CreateCmd();
    TRecordingListener events;
    // Silent slaves make each scan last seven read time-outs.
    test::TPtyPeer pty;
    session.Connect({pty.Path(), "19200", "no"});
    events.ConnectResult(session);

    const uint64_t first = session.Start("0");
    ASSERT_TRUE(events.Scans(session, 2));
    ASSERT_TRUE(events.Until(session, [&] { return events.Events.back() == "time 3"; }));
    session.Stop();
    const uint64_t second = session.Start("0");
    ASSERT_TRUE(events.Until(session, [&] { return events.Lines(second).size() >= 2; }));
    session.Stop();
    ASSERT_TRUE(events.Until(session, [&] { return events.Events.back() == "stopped " + std::to_string(second); }));

    const std::vector<std::string> old = events.Lines(first);
    ASSERT_EQ(old.size(), 3u);
    EXPECT_EQ(old.back(), std::string("0003") + kNanLine);
    EXPECT_EQ(events.Lines(second).front(), std::string("0001") + kNanLine);
    // Both runs may begin in one second of the wall clock: the journals are
    // told apart by what they hold.
    std::vector<std::string> journals;
    for (const auto& e : std::filesystem::directory_iterator(dir.File("runs")))
        journals.push_back(TTempDir::Read(e.path()));
    std::vector<std::string> expected = {CrLfLines(old), CrLfLines(events.Lines(second))};
    std::sort(journals.begin(), journals.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(journals, expected);
    EXPECT_TRUE(events.Starting("failed").empty());
}

TEST(Session, AJournalThatCannotBeWrittenIsToldAndTheRunGoesOn)
{
    TTempDir dir;
    TSessionConfig config = Config();
    config.JournalDir = dir.Write("not-a-dir", "") + "/runs";
    test::TPtyPeer pty; // outlives the run, which never looks for it again
    TSession session(config);
    session.CreateCmd();
    TRecordingListener events;
    session.Connect({pty.Path(), "19200", "no"});
    events.ConnectResult(session);
    session.Start("0");
    ASSERT_TRUE(events.Scans(session, 2));
    const std::vector<std::string> failures = events.Starting("failed");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("The run's journal cannot be written"), std::string::npos) << failures[0];
}

// A device that goes away during a run and comes back: one line per due scan
// throughout, all NAN while it is away, normal again once it is back. It is
// reopened through its stable name: under its old kernel name there is now
// another device, which must never be asked.
// The system's reason ends the first sentence once, whether it brings its
// own full stop (Windows) or not (POSIX).
TEST(Session, ALostPortsReasonEndsItsSentenceOnce)
{
    for (const char* reason : {"Input/output error", "Input/output error."})
        EXPECT_EQ(PortLostText("/dev/ttyUSB0", 3, reason),
                  "Port \"/dev/ttyUSB0\" lost at second 3: Input/output error."
                  " It is looked for again every second while the run goes on.");
}

TEST(Session, APortThatGoesAwayComesBackUnderItsStableName)
{
    TTempDir dir;
    std::filesystem::create_directory(dir.File("by-id"));
    const std::string kernelName = dir.File("ttyUSB0");
    const std::string stableName = dir.File("by-id/usb-Kelvara_Bus-if00");
    sim::TSimBus bus, other;
    bus.Start();
    ASSERT_EQ(symlink(bus.DevicePath().c_str(), kernelName.c_str()), 0);
    ASSERT_EQ(symlink(bus.DevicePath().c_str(), stableName.c_str()), 0);

    TSessionConfig config = Config(100);
    config.ByIdDir = dir.File("by-id");
    TSession session(config);
    session.CreateCmd();
    TRecordingListener events;
    session.Connect({kernelName, "19200", "no"});
    ASSERT_EQ(events.ConnectResult(session).Kind, TConnectResult::Opened);
    session.Start("0");
    ASSERT_TRUE(events.Scans(session, 1));

    // Pulled: the names go first, as the pty's number may be another test's next.
    unlink(kernelName.c_str());
    unlink(stableName.c_str());
    bus.Stop();
    ASSERT_TRUE(events.Until(session, [&] { return !events.Starting("lost").empty(); }));
    ASSERT_TRUE(events.Scans(session, 1));
    other.Start(); // another adapter takes the old kernel name
    ASSERT_EQ(symlink(other.DevicePath().c_str(), kernelName.c_str()), 0);
    bus.Start(); // ours comes back under a new one
    ASSERT_EQ(symlink(bus.DevicePath().c_str(), stableName.c_str()), 0);
    const uint64_t seenBefore = bus.Counters(7).RequestsSeen;
    ASSERT_TRUE(events.Until(session, [&] { return !events.Starting("back").empty(); }));
    ASSERT_TRUE(events.Scans(session, 2));
    session.Stop();

    EXPECT_EQ(events.Starting("lost").at(0).find("lost Port \"" + kernelName + "\" lost at second "), 0u);
    EXPECT_EQ(events.Starting("back").at(0).find("back Port \"" + kernelName + "\" back at second "), 0u);
    // The seconds go on without a gap; while lost, every reading is NAN and
    // counted as no port, not as a silent slave.
    bool lost = false;
    for (size_t k = 0; k < events.Records.size(); ++k) {
        const TScanRecord& r = events.Records[k];
        EXPECT_EQ(r.Second, k + 1);
        if (r.Status[0].LastOutcome == TExchangeOutcome::NoPort) {
            lost = true;
            EXPECT_EQ(r.Line.substr(4), kNanLine);
        }
    }
    EXPECT_TRUE(lost);
    EXPECT_GT(bus.Counters(7).RequestsSeen, seenBefore);
    EXPECT_EQ(other.Counters(7).RequestsSeen, 0u);
}

// The far end of a line that simply closes: lost, and looked for.
TEST(Session, AHungUpLineIsLostAndTheRunGoesOn)
{
    TTempDir dir;
    const std::string link = dir.File("bus");
    TSession session(Config());
    session.CreateCmd();
    TRecordingListener events;
    {
        // Through a name that goes before the line does: the session looks
        // for the port again by the name it was given, and the pty's number,
        // once free, may be another test's line.
        test::TPtyPeer pty;
        ASSERT_EQ(symlink(pty.Path().c_str(), link.c_str()), 0);
        session.Connect({link, "19200", "no"});
        events.ConnectResult(session);
        session.Start("0");
        ASSERT_TRUE(events.Scans(session, 1));
        unlink(link.c_str());
    }
    ASSERT_TRUE(events.Until(session, [&] { return !events.Starting("lost").empty(); }));
    ASSERT_TRUE(events.Scans(session, 2));
    EXPECT_EQ(events.Records.back().Line.substr(4), kNanLine);
}
