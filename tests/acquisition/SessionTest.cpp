// The rules a session holds for both front ends: the period, what
// connecting comes to, and the simulated bus.
#include "acquisition/Session.h"
#include "base/Errors.h"
#include "logfile/Journal.h"
#include "serial/SerialChannel.h"
#include "sim/SimBus.h"
#include "support/PtyPeer.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <grp.h>
#include <unistd.h>
#include <utility>

using namespace kelvara;
using kelvara::test::TTempDir;

namespace {

class TLinesHost : public TScanHost {
public:
    std::vector<std::string> Lines;
    void ShowTime(const std::string&) override {}
    void SetListLine(int, const std::string&) override {}
    void AppendLogLine(const std::string& line) override { Lines.push_back(line); }
    bool OffsetCorrection() override { return false; }
    void ProcessMessages() override {}
    void Sleep(int) override {}
    void Notice(const std::string&) override {}
};

const std::string kDataDir = std::string(KELVARA_SOURCE_DIR) + "/data/";
constexpr const char* kHeaderLine = "time\tTC_1\tTC_2\tTC_3\tTC_4\tTC_5\tTC_6\tT__A";

// Polls until done() or a minute has passed: a watchdog for what another
// thread does eventually, not a speed limit.
bool WaitFor(const std::function<bool()>& done)
{
    for (int k = 0; k < 60000 && !done(); ++k) usleep(1000);
    return done();
}

} // namespace

TEST(Session, Periods)
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

TEST(Session, ConnectingComesToOneOfThreeResults)
{
    TLinesHost host;
    TSession session(TLocaleSettings{}, host);
    test::TPtyPeer pty;

    TConnectResult r = session.Connect(pty.Path(), 19200, 'n');
    EXPECT_EQ(r.Kind, TConnectResult::Opened);
    EXPECT_EQ(r.Message(), "");

    // A pseudo-terminal refuses parity: opened, and the operator told which
    // setting and why.
    r = session.Connect(pty.Path(), 19200, 'e');
    EXPECT_EQ(r.Kind, TConnectResult::SettingRefused);
    EXPECT_EQ(r.Refused, std::vector<std::string>{"even parity"});
    EXPECT_EQ(r.Message(), "\"" + pty.Path() +
                               "\" refused even parity: Invalid argument. The port stays open; "
                               "readings may fail until the line settings suit the device.");
    EXPECT_TRUE(session.Ser().InstanceActive());

    TTempDir dir;
    r = session.Connect(dir.File("gone"), 19200, 'n');
    EXPECT_EQ(r.Kind, TConnectResult::NotOpened);
    EXPECT_EQ(r.Code, ENOENT);
    EXPECT_EQ(r.Message(), "Cannot open port \"" + dir.File("gone") + "\". No such file or directory");
    EXPECT_FALSE(session.Ser().InstanceActive());

    // A refused permission names the group that would fix it.
    r.Code = EACCES;
    r.Reason = "Permission denied";
    r.MissingGroup = "dialout";
    EXPECT_EQ(r.Message(), "Cannot open port \"" + dir.File("gone") +
                               "\". Permission denied. Serial ports are for members of the group \"dialout\": "
                               "sudo usermod -aG dialout $USER, then log in again.");
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

TEST(Session, RunsOnTheSimulatedBus)
{
    TLinesHost host;
    TSession session(TLocaleSettings{}, host);
    session.CreateCmd({kDataDir + "offset.txt"}, kChannelDefinitions);
    const std::string device = session.StartSimulatedBus(19200);
    ASSERT_EQ(session.Connect(device, 19200, TSession::kSimulatedParity[0]).Kind, TConnectResult::Opened);
    session.StartRun(TSession::PeriodOf("0"));
    session.Tick();
    session.Tick();
    ASSERT_EQ(host.Lines.size(), 2u);
    EXPECT_EQ(host.Lines[1].substr(0, 5), "0002\t");
    // Every channel was asked twice; on a loaded machine a reply may miss its
    // window, but not one of every exchange.
    uint64_t ok = 0;
    for (const TChannelStatus& s : session.Scan().status) {
        uint64_t exchanges = 0;
        for (uint64_t n : s.Counts) exchanges += n;
        EXPECT_EQ(exchanges, 2u);
        ok += s.Counts[static_cast<size_t>(TExchangeOutcome::Ok)];
    }
    EXPECT_GT(ok, 0u);
    // Each scan went to the run's trend as well.
    ASSERT_EQ(session.Trend().Size(), 2u);
    EXPECT_EQ(session.Trend().SecondAt(session.Trend().LastTimeMs()), 2u);
}

namespace {

// Records the port events beside the lines, in the order they came.
class TEventHost : public TLinesHost {
public:
    std::vector<std::string> Events;
    void AppendLogLine(const std::string& line) override
    {
        TLinesHost::AppendLogLine(line);
        Events.push_back("line " + line.substr(0, 4));
    }
    void PortLost(uint32_t second, const std::string& reason) override
    {
        Events.push_back("lost " + std::to_string(second) + " " + reason);
    }
    void PortBack(uint32_t second) override { Events.push_back("back " + std::to_string(second)); }
};

} // namespace

// A device that goes away during a run and comes back under the same path
// (a link, as /dev/serial/by-id/ names are): one line per due scan
// throughout, all NAN while it is away, normal again as soon as it is back.
TEST(Session, APortThatGoesAwayAndComesBack)
{
    TTempDir dir;
    const std::string link = dir.File("bus");
    sim::TSimBus bus;
    bus.Start();
    ASSERT_EQ(symlink(bus.DevicePath().c_str(), link.c_str()), 0);

    TEventHost host;
    TSession session(TLocaleSettings{}, host);
    session.CreateCmd({kDataDir + "offset.txt"}, kChannelDefinitions);
    ASSERT_EQ(session.Connect(link, 19200, 'n').Kind, TConnectResult::Opened);
    session.StartRun(1);
    session.Tick(); // 1

    bus.Stop(); // pulled
    unlink(link.c_str());
    session.Tick(); // 2: meets the hang-up
    EXPECT_TRUE(session.PortLost());
    EXPECT_FALSE(session.Ser().InstanceActive()) << "a lost device is closed at once";
    session.Tick(); // 3: looked for, not there
    const uint64_t seenBeforeReturn = bus.Counters(7).RequestsSeen;

    bus.Start(); // back, under a new device name
    ASSERT_EQ(symlink(bus.DevicePath().c_str(), link.c_str()), 0);
    session.Tick(); // 4
    session.Tick(); // 5
    EXPECT_FALSE(session.PortLost());

    const std::vector<std::string> expected = {
        "line 0001", "line 0002", "lost 2 Input/output error", "line 0003", "back 4", "line 0004", "line 0005",
    };
    EXPECT_EQ(host.Events, expected);
    for (int k : {1, 2})
        EXPECT_EQ(host.Lines[k], "000" + std::to_string(k + 1) + "\tNAN\tNAN\tNAN\tNAN\tNAN\tNAN\tNAN");
    // Both scans after the return asked every slave again. (Their values may
    // miss the reply window on a loaded machine; the requests cannot.)
    EXPECT_TRUE(WaitFor([&] { return bus.Counters(7).RequestsSeen == seenBeforeReturn + 2; }))
        << bus.Counters(7).RequestsSeen << " after " << seenBeforeReturn;
}

// The far end of a line that simply closes: the same, without a device
// coming back.
TEST(Session, AHungUpLineIsLostAndLookedFor)
{
    TEventHost host;
    TSession session(TLocaleSettings{}, host);
    session.CreateCmd({kDataDir + "offset.txt"}, kChannelDefinitions);
    std::string path;
    {
        test::TPtyPeer pty;
        path = pty.Path();
        ASSERT_EQ(session.Connect(path, 19200, 'n').Kind, TConnectResult::Opened);
        session.StartRun(0);
    }
    session.Tick();
    session.Tick();
    const std::vector<std::string> expected = {"line 0001", "lost 1 Input/output error", "line 0002"};
    EXPECT_EQ(host.Events, expected);
    EXPECT_TRUE(session.PortLost());
}

namespace {

class TJournalHost : public TLinesHost {
public:
    std::function<void()> DuringScan;
    std::vector<std::string> Failures;
    void ProcessMessages() override
    {
        if (auto f = std::exchange(DuringScan, nullptr)) f();
    }
    void JournalFailed(const std::string& text) override { Failures.push_back(text); }
};

std::string CrLfLines(const std::vector<std::string>& lines)
{
    std::string text = std::string(kHeaderLine) + "\r\n";
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

} // namespace

// Every line the host gets goes to the run's journal, the line of a scan that
// a stop interrupted included; the journal is complete when the run stops.
TEST(Session, EachRunKeepsAJournalOfItsLines)
{
    TTempDir dir;
    TJournalHost host;
    TSession session(TLocaleSettings{}, host);
    session.CreateCmd({kDataDir + "offset.txt"}, kChannelDefinitions);
    session.SetJournalDir(dir.File("runs"));

    session.StartRun(0);
    ASSERT_NE(session.Journal(), nullptr);
    const std::string part = session.Journal()->Path();
    session.Tick();
    session.Tick();
    EXPECT_EQ(TTempDir::Read(part), CrLfLines(host.Lines));
    host.DuringScan = [&] { session.StopRun(); };
    session.Tick();
    EXPECT_EQ(session.Journal(), nullptr);
    ASSERT_EQ(host.Lines.size(), 3u);
    const std::string done = part.substr(0, part.size() - 5) + ".csv";
    EXPECT_EQ(TTempDir::Read(done), CrLfLines(host.Lines));
    EXPECT_FALSE(std::filesystem::exists(part));
    EXPECT_TRUE(host.Failures.empty());

    // A journal that cannot be written is told once; the run goes on.
    session.SetJournalDir(dir.Write("not-a-dir", "") + "/runs");
    session.StartRun(0);
    session.Tick();
    session.Tick();
    EXPECT_EQ(host.Failures.size(), 1u);
    EXPECT_EQ(host.Lines.size(), 5u);
}
