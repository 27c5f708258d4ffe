// The channel over real pseudo-terminals: the test plays the device on the
// master side. A pty has no modem lines, no line-error counters, and refuses
// parity and 7-bit frames, which is itself one of the cases here.
#include "RecordingSerialPlatform.h"
#include "base/Errors.h"
#include "serial/LineRefusal.h"
#include "serial/SerialChannel.h"
#include "support/PtyPeer.h"
#include "support/TempDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace kelvara {
namespace {

using test::TPtyPeer;
using test::TRecordingSerialPlatform;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class SerialPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        Ser.Connect(Pty.Path());
        ASSERT_EQ(Ser.LastError(), 0) << Ser.LastErrorDesc();
        ASSERT_TRUE(Ser.InstanceActive());
    }
    // A hook may capture the test's locals; the channel outlives them.
    void TearDown() override { Ser.SetOnStatus(nullptr); }

    // Lets bytes the device sent reach the channel's input queue, so that
    // "arrived together" is not left to the scheduler. The limit only stops
    // a hang.
    void WaitQueued(int n)
    {
        const auto start = Clock::now();
        int queued = 0;
        while (ioctl(int(Ser.Handle()), FIONREAD, &queued) == 0 && queued < n && MsSince(start) < 10000)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_GE(queued, n);
    }

    TPtyPeer Pty{TPtyPeer::TSlaveSide::Released};
    TRecordingSerialPlatform Platform; // the system's, with a record of the calls
    TSerialChannel Ser{Platform};
    char Buf[64] = {};
};

TEST_F(SerialPty, SystemLineSettingsApplyAndParityIsRefused)
{
    Ser.Config(19200, 8, 'n', 0, false, false);
    EXPECT_EQ(Ser.LastError(), 0) << Ser.LastErrorDesc();
    EXPECT_EQ(Ser.DCB.Flags, 0x1011u);
    Ser.DCB = {};
    Ser.GetCommState();
    EXPECT_EQ(Ser.DCB.BaudRate, 19200u);
    EXPECT_EQ(Ser.DCB.ByteSize, 8);
    EXPECT_EQ(Ser.DCB.Parity, NOPARITY);

    Ser.Config(250000, 8, 'n', 2, false, false); // a rate without a speed code
    EXPECT_EQ(Ser.LastError(), 0) << Ser.LastErrorDesc();
    Ser.GetCommState();
    EXPECT_EQ(Ser.DCB.BaudRate, 250000u);
    EXPECT_EQ(Ser.DCB.StopBits, TWOSTOPBITS);

    // This kernel's pty drops or refuses parity: a refusal, never a silent success.
    Ser.Config(19200, 8, 'e', 0, false, false);
    EXPECT_EQ(Ser.LastError(), EINVAL);
    EXPECT_EQ(Ser.LastErrorDesc(), SysErrorMessage(EINVAL));
    EXPECT_EQ(Ser.DCB.Flags, 0x1013u);
    Ser.GetCommState();
    EXPECT_EQ(Ser.DCB.Parity, NOPARITY) << "the line is left as it was";
    EXPECT_EQ(Ser.DCB.BaudRate, 250000u);

    // Transfers go on.
    EXPECT_EQ(Ser.SendBuffer("request!", 8), 8);
    EXPECT_EQ(Ser.LastError(), 0);
    EXPECT_EQ(Pty.ReadBytes(8, 0, 1000).Text(), "request!");
    Pty.Write("reply");
    EXPECT_EQ(Ser.RecvBufferEx(Buf, 5, 200), 5);
    EXPECT_EQ(std::string(Buf, 5), "reply");
}

// What a refusal names: each wanted setting the device refuses on its own.
// The tries leave the line, the channel's DCB and its outcome as they were.
TEST_F(SerialPty, TheRefusedSettingsAreNamed)
{
    struct Row {
        int baud, bits;
        char parity;
        int stop;
        std::vector<std::string> refused;
        std::string joined;
    };
    const Row rows[] = {
        {9600, 8, 'e', 0, {"even parity"}, "even parity"},
        {4800, 7, 'o', 2, {"7 data bits", "odd parity"}, "7 data bits and odd parity"},
    };
    for (const Row& r : rows) {
        Ser.Config(19200, 8, 'n', 0, false, false);
        ASSERT_EQ(Ser.LastError(), 0);
        Ser.Config(r.baud, r.bits, r.parity, r.stop, false, false);
        ASSERT_EQ(Ser.LastError(), EINVAL) << r.joined;
        const DCB wanted = Ser.DCB;
        const std::vector<std::string> refused = RefusedLineSettings(Ser);
        EXPECT_EQ(refused, r.refused);
        EXPECT_EQ(JoinSettings(refused), r.joined);
        EXPECT_EQ(Ser.LastError(), EINVAL);
        EXPECT_EQ(Ser.DCB, wanted);
        Ser.GetCommState();
        EXPECT_EQ(Ser.DCB.BaudRate, 19200u) << "the line is left as it was";
        EXPECT_EQ(Ser.DCB.StopBits, ONESTOPBIT);
    }
    EXPECT_EQ(JoinSettings({"a", "b", "c"}), "a, b and c");
    EXPECT_EQ(JoinSettings({}), "the line settings");
    EXPECT_EQ(Ser.SendBuffer("request!", 8), 8);
    EXPECT_EQ(Pty.ReadBytes(8, 0, 1000).Text(), "request!");
}

TEST_F(SerialPty, ReceiveCases)
{
    struct Case {
        const char* Name;
        std::string Arrives; // before the call
        int Length;
        int Want;
        int Code;
        size_t Waits; // waits of the time-out that ran out
    };
    // However many bytes are missing, the call gives up after the first wait
    // that brings none.
    const Case cases[] = {
        {"silent device", "", 5, 0, ErrTimeout, 1},
        {"three bytes then silence", "abc", 5, 3, ErrTimeout, 1},
        {"exactly the request", "abcde", 5, 5, 0, 0},
        {"more than the request", "abcdefghi", 5, 5, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Ser.Purge();
        if (!c.Arrives.empty()) {
            Pty.Write(c.Arrives);
            WaitQueued(int(c.Arrives.size()));
        }
        Platform.Clear();
        const auto start = Clock::now();
        EXPECT_EQ(Ser.RecvBufferEx(Buf, c.Length, 25), c.Want);
        const long long ms = MsSince(start);
        EXPECT_EQ(Ser.LastError(), c.Code);
        EXPECT_EQ(std::string(Buf, size_t(c.Want)), c.Arrives.substr(0, size_t(c.Want)));
        ASSERT_EQ(Platform.Waits.size(), c.Waits);
        for (const auto& w : Platform.Waits) {
            EXPECT_EQ(w.TimeoutMs, 25);
            EXPECT_EQ(w.Code, 0);
            EXPECT_EQ(w.Events, 0u);
        }
        if (c.Waits > 0) {
            EXPECT_GE(ms, 20) << "the wait really waited";
        }
    }
}

TEST_F(SerialPty, NineBytesServedAsFiveThenFourWithoutAWait)
{
    const std::string reply("\x01\x04\x04\x41\x20\x00\x00\xAB\xCD", 9);
    Pty.Write(reply);
    WaitQueued(9);
    EXPECT_EQ(Ser.RecvBufferEx(Buf, 5, 25), 5);
    EXPECT_EQ(Ser.LastError(), 0);
    EXPECT_EQ(Ser.LineBuffer().size(), 4u);
    Platform.Clear();
    EXPECT_EQ(Ser.RecvBufferEx(Buf + 5, 4, 25), 4);
    EXPECT_EQ(Ser.LastError(), 0);
    EXPECT_TRUE(Platform.Calls.empty()) << "served from the held-back bytes: no read, no wait";
    EXPECT_EQ(std::string(Buf, 9), reply);
    EXPECT_TRUE(Ser.LineBuffer().empty());
}

TEST_F(SerialPty, BytesTrickleInWithinEachWait)
{
    // The device sends the next byte 8 ms after each wait begins: five
    // waits of 25 ms, each brought a byte, in a call that lasts longer than
    // one time-out. Driven from the wait itself, the device cannot fall
    // behind the channel on a loaded machine.
    const std::string bytes = "12345";
    size_t next = 0;
    Platform.BeforeWait = [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(8));
        if (next < bytes.size()) Pty.Write(bytes.substr(next++, 1));
    };
    const auto start = Clock::now();
    EXPECT_EQ(Ser.RecvBufferEx(Buf, 5, 25), 5);
    EXPECT_GE(MsSince(start), 40);
    Platform.BeforeWait = nullptr;
    EXPECT_EQ(Ser.LastError(), 0);
    EXPECT_EQ(std::string(Buf, 5), bytes);
    ASSERT_EQ(Platform.Waits.size(), bytes.size());
    for (const auto& w : Platform.Waits) {
        EXPECT_EQ(w.TimeoutMs, 25) << "the time-out is for each wait, not for the call";
        EXPECT_EQ(w.Events, EV_RXCHAR);
    }
}

TEST_F(SerialPty, LateBytesComeFirstInTheNextCall)
{
    EXPECT_EQ(Ser.RecvBufferEx(Buf, 5, 25), 0);
    EXPECT_EQ(Ser.LastError(), ErrTimeout);
    Pty.Write("late!"); // the previous slave's reply, after the call gave up
    EXPECT_EQ(Ser.SendBuffer("next req", 8), 8);
    EXPECT_EQ(Pty.ReadBytes(8, 0, 1000).Text(), "next req");
    Pty.Write("fresh");
    EXPECT_EQ(Ser.RecvBufferEx(Buf, 5, 25), 5);
    EXPECT_EQ(std::string(Buf, 5), "late!");
    EXPECT_EQ(Ser.RecvBufferEx(Buf, 5, 25), 5);
    EXPECT_EQ(std::string(Buf, 5), "fresh");

    // What the transaction does before each request: stale bytes, held back or
    // queued, are gone; what is sent afterwards is not touched.
    Pty.Write("stale-stale");
    WaitQueued(11);
    EXPECT_EQ(Ser.RecvBufferEx(Buf, 5, 25), 5);
    ASSERT_FALSE(Ser.LineBuffer().empty());
    Pty.Write("queued");
    WaitQueued(6);
    Ser.DiscardInput();
    EXPECT_EQ(Ser.LastError(), 0);
    EXPECT_EQ(Ser.SendBuffer("req", 3), 3);
    EXPECT_EQ(Pty.ReadBytes(3, 0, 1000).Text(), "req");
    Pty.Write("reply");
    EXPECT_EQ(Ser.RecvBufferEx(Buf, 5, 25), 5);
    EXPECT_EQ(std::string(Buf, 5), "reply");
}

TEST_F(SerialPty, SecondConnectIsRefusedAndTheFirstDeviceStaysUsable)
{
    const THandle handle = Ser.Handle();
    Ser.Connect("/dev/pts/does-not-matter");
    EXPECT_EQ(Ser.LastError(), ErrAlreadyInUse);
    EXPECT_EQ(Ser.Handle(), handle);
    EXPECT_EQ(Ser.Device(), Pty.Path());
    EXPECT_EQ(Ser.SendBuffer("ping", 4), 4);
    EXPECT_EQ(Pty.ReadBytes(4, 0, 1000).Text(), "ping");
    Pty.Write("pong!");
    EXPECT_EQ(Ser.RecvBufferEx(Buf, 5, 25), 5);
    EXPECT_EQ(std::string(Buf, 5), "pong!");
}

TEST_F(SerialPty, ASecondOpenerIsBusy)
{
    TSerialChannel other;
    other.Connect(Pty.Path());
    EXPECT_EQ(other.LastError(), EBUSY);
    EXPECT_EQ(other.LastErrorDesc(), SysErrorMessage(EBUSY));
    EXPECT_FALSE(other.InstanceActive());

    // Another process is kept out the same way.
    const pid_t child = fork();
    if (child == 0) {
        TSerialChannel ser;
        ser.Connect(Pty.Path());
        _exit(ser.LastError() == EBUSY ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // The first channel is unaffected, and closing it frees the device.
    EXPECT_EQ(Ser.SendBuffer("x", 1), 1);
    EXPECT_EQ(Pty.ReadBytes(1, 0, 1000).Text(), "x");
    Ser.CloseSocket();
    other.Connect(Pty.Path());
    EXPECT_EQ(other.LastError(), 0);
    EXPECT_TRUE(other.InstanceActive());
}

TEST_F(SerialPty, ClosingGivesTheLineBackAsItWas)
{
    std::vector<std::string> closed;
    Ser.SetOnStatus([&](TSerialChannel&, THookSerialReason r, const std::string& v) {
        if (r == HR_SerialClose) closed.push_back(v);
    });
    Pty.Write("unread");
    Ser.CloseSocket();
    EXPECT_EQ(Ser.LastError(), 0);
    EXPECT_FALSE(Ser.InstanceActive());
    EXPECT_EQ(Ser.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(closed, std::vector<std::string>{Pty.Path()});
    char buf[4];
    EXPECT_EQ(Ser.RecvBufferEx(buf, 4, 25), 0);
    EXPECT_EQ(Ser.LastError(), ErrPortNotOpen);

    // The slave had the pty's cooked defaults before the channel made it raw.
    const int fd = open(Pty.Path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_TRUE(t.c_lflag & ICANON);
    EXPECT_TRUE(t.c_lflag & ECHO);
    close(fd);
}

TEST(SerialPtyNotATerminal, NothingIsWrittenToWhatIsNotASerialLine)
{
    test::TTempDir scratch("kelvara-serial");
    const std::string dir = scratch.Path();
    const std::string file = scratch.Write("log.csv", "keep me");
    struct Case {
        std::string Path;
        int Code;
    };
    const Case cases[] = {{file, ENOTTY}, {"/dev/null", ENOTTY}, {dir, EISDIR}, {dir + "/missing", ENOENT}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Path);
        TSerialChannel ser;
        ser.Connect(c.Path);
        EXPECT_EQ(ser.LastError(), c.Code);
        EXPECT_EQ(ser.LastErrorDesc(), SysErrorMessage(c.Code));
        EXPECT_FALSE(ser.InstanceActive());
        EXPECT_EQ(ser.Handle(), INVALID_HANDLE_VALUE);
        ser.Config(19200, 8, 'n', 0, false, false);
        EXPECT_EQ(ser.LastError(), EBADF);
        EXPECT_EQ(ser.SendBuffer("\x01\x04\x00\x04\x00\x02\x30\x0a", 8), 0);
        EXPECT_EQ(ser.LastError(), ErrPortNotOpen);
    }
    EXPECT_EQ(test::ReadBytes(file), "keep me");
}

TEST_F(SerialPty, FarEndHangsUpMidReceive)
{
    std::thread device([this] {
        Pty.Write("abc");
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        Pty.Close();
    });
    // A long wait per byte: a wait that the hang-up did not end would run
    // out its time, and show as such.
    EXPECT_EQ(Ser.RecvBufferEx(Buf, 5, 3000), 3);
    device.join();
    EXPECT_EQ(Ser.LastError(), EIO);
    EXPECT_EQ(Ser.LastErrorDesc(), SysErrorMessage(EIO));
    EXPECT_EQ(std::string(Buf, 3), "abc");
    for (const auto& w : Platform.Waits)
        EXPECT_TRUE(w.Code != 0 || w.Events != 0) << "a wait ran out its " << w.TimeoutMs << " ms";

    // Every later call is refused before it reaches the device, with the
    // same code: nothing is left that could wait.
    Platform.Clear();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(Ser.RecvBufferEx(Buf, 5, 3000), 0);
        EXPECT_EQ(Ser.LastError(), EIO);
        EXPECT_EQ(Ser.SendBuffer("req", 3), 0);
        EXPECT_EQ(Ser.LastError(), EIO);
    }
    EXPECT_TRUE(Platform.Calls.empty());
    EXPECT_TRUE(Ser.InstanceActive()) << "open until closed";

    Ser.CloseSocket();
    EXPECT_EQ(Ser.LastError(), 0);
    EXPECT_EQ(Ser.DeviceLost(), 0);
    EXPECT_FALSE(Ser.InstanceActive());
}

TEST_F(SerialPty, HangUpBeforeAWriteIsRecorded)
{
    Pty.Close();
    EXPECT_EQ(Ser.SendBuffer("request!", 8), 0);
    EXPECT_EQ(Ser.LastError(), EIO);
    Platform.Clear();
    EXPECT_EQ(Ser.RecvBufferEx(Buf, 5, 3000), 0);
    EXPECT_EQ(Ser.LastError(), EIO);
    EXPECT_TRUE(Platform.Calls.empty()) << "refused before the device, so no wait";
}

TEST_F(SerialPty, AWriteTheDriverCannotTakeEndsAtTheDeadlockTimeout)
{
    Ser.SetDeadlockTimeout(50);
    const std::string big(1 << 20, 'x'); // far more than a pty buffers; nobody reads it
    const auto start = Clock::now();
    const int sent = Ser.SendBuffer(big.data(), int(big.size()));
    EXPECT_GE(MsSince(start), 40);
    // The one write was bounded by the deadlock time-out and ended there.
    ASSERT_EQ(Platform.Writes.size(), 1u);
    EXPECT_EQ(Platform.Writes[0].TimeoutMs, 50);
    EXPECT_EQ(Platform.Writes[0].Code, TSerialPlatform::WaitTimedOut);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, int(big.size()));
    EXPECT_EQ(Ser.LastError(), ErrTimeout);
    EXPECT_EQ(Ser.DeviceLost(), 0);
}

} // namespace
} // namespace kelvara
