// The channel's own logic over a fake platform: port names, line settings,
// outcome codes, line errors and the calls made on opening and closing.
#include "serial/SerialChannel.h"
#include "FakeSerialPlatform.h"
#include "base/Errors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>

namespace kelvara {
namespace {

using test::TFakeSerialPlatform;

TEST(SerialChannel, CreateRecordsOkAndClosingAClosedChannelCallsNothing)
{
    TFakeSerialPlatform fake;
    std::vector<std::pair<THookSerialReason, std::string>> hooks;
    {
        TSerialChannel ser(fake);
        EXPECT_EQ(ser.LastError(), 0);
        EXPECT_EQ(ser.LastErrorDesc(), "OK");
        EXPECT_EQ(ser.Handle(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(ser.SizeRecvBuffer(), 4096);
        EXPECT_EQ(ser.DeadlockTimeout(), 30000);
        EXPECT_TRUE(ser.InterPacketTimeout());
        EXPECT_EQ(ser.ComNr(), -1);
        ser.SetOnStatus([&](TSerialChannel&, THookSerialReason r, const std::string& v) { hooks.emplace_back(r, v); });
        ser.CloseSocket();
        EXPECT_EQ(ser.LastError(), 0);
        EXPECT_EQ(ser.LastErrorDesc(), "OK");
    }
    EXPECT_TRUE(fake.Calls.empty());
    ASSERT_EQ(hooks.size(), 2u) << "CloseSocket reports every time, also from the destructor";
    EXPECT_EQ(hooks[0].first, HR_SerialClose);
}

TEST(SerialChannel, PortNamesAndTheDeviceOpened)
{
    struct Case {
        const char* Name;
        int ComNr;
        const char* Opened;
    };
    const Case cases[] = {
#ifdef _WIN32
        // Every numbered port behind the device namespace, which alone
        // reaches COM10 and above.
        {"COM3", 2, "\\\\.\\COM3"},
        {"com3", 2, "\\\\.\\COM3"},
        {"COM12", 11, "\\\\.\\COM12"},
        {"COM0", -1, "COM0"}, // reads as port 0: no such numbered port
        {"COMX", -1, "COMX"},
        {"\\\\.\\COM5", -1, "\\\\.\\COM5"}, // the form the port box passes, opened as it is
        {"\\\\.\\COM12", -1, "\\\\.\\COM12"},
        {"/dev/ttyS0", 0, "\\\\.\\COM1"},
        {"/dev/ttySAC0", -2, "/dev/ttySAC0"},
#else
        {"COM3", 2, "/dev/ttyS2"},
        {"com3", 2, "/dev/ttyS2"},
        {"COM12", 11, "/dev/ttyS11"},
        {"COM1", 0, "/dev/ttyS0"},
        {"COM0", -1, "COM0"}, // reads as port 0: no such numbered port
        {"COMX", -1, "COMX"},
        {"/dev/ttyS0", 0, "/dev/ttyS0"},
        {"/dev/ttys4", 4, "/dev/ttyS4"},
        {"/dev/ttyS$A", 10, "/dev/ttyS10"},
        {"/dev/ttySAC0", -2, "/dev/ttySAC0"}, // another driver's name, kept
        {"/dev/ttyUSB0", -1, "/dev/ttyUSB0"},
        {"/dev/pts/3", -1, "/dev/pts/3"},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TFakeSerialPlatform fake;
        TSerialChannel ser(fake);
        ser.Connect(c.Name);
        EXPECT_EQ(fake.OpenedPath, c.Opened);
        EXPECT_EQ(ser.Device(), c.Opened);
        EXPECT_EQ(ser.ComNr(), c.ComNr);
        EXPECT_TRUE(ser.InstanceActive());
        EXPECT_EQ(ser.LastError(), 0);
        ser.CloseSocket();
        EXPECT_EQ(ser.ComNr(), -1);
        EXPECT_EQ(ser.Device(), c.Opened) << "the last path stays";
    }
}

TEST(SerialChannel, ConnectRaisesLinesAndPurgesCloseDropsThem)
{
    TFakeSerialPlatform fake;
    std::vector<THookSerialReason> hooks;
    const std::string com5 = NumberedPortPath(4);
    {
        TSerialChannel ser(fake);
        ser.SetOnStatus([&](TSerialChannel&, THookSerialReason r, const std::string& v) {
            hooks.push_back(r);
            EXPECT_EQ(v, com5);
        });
        ser.Connect("COM5");
        EXPECT_EQ(ser.Handle(), TFakeSerialPlatform::Device);
        EXPECT_EQ(fake.Calls, (std::vector<std::string>{"Open " + com5, "Escape 3", "Escape 5", "Purge 15"}));
        fake.Calls.clear();
        ser.SetOnStatus([&](TSerialChannel&, THookSerialReason r, const std::string&) { hooks.push_back(r); });
    } // the destructor closes an open channel
    EXPECT_EQ(fake.Calls, (std::vector<std::string>{"Purge 15", "Escape 4", "Escape 6", "Close"}));
    EXPECT_EQ(hooks, (std::vector<THookSerialReason>{HR_Connect, HR_SerialClose}));
}

TEST(SerialChannel, TransfersBeforeConnectAreRefusedBeforeTheDevice)
{
    TFakeSerialPlatform fake;
    TSerialChannel ser(fake);
    char buf[8] = {};
    EXPECT_EQ(ser.SendBuffer("\x01\x04\x00\x04\x00\x02\x30\x0a", 8), 0);
    EXPECT_EQ(ser.LastError(), ErrPortNotOpen);
    EXPECT_EQ(ser.RecvBufferEx(buf, 5, 25), 0);
    EXPECT_EQ(ser.LastError(), ErrPortNotOpen);
    EXPECT_EQ(ser.LastErrorDesc(), "Instance not yet connected");
    // No platform call at all: nothing that could wait or sleep.
    EXPECT_TRUE(fake.Calls.empty());
}

TEST(SerialChannel, FailedOpenLeavesTheChannelClosedAndSilent)
{
    TFakeSerialPlatform fake;
    fake.OpenError = ENOENT;
    TSerialChannel ser(fake);
    int hooks = 0;
    ser.SetOnStatus([&](TSerialChannel&, THookSerialReason, const std::string&) { ++hooks; });
    ser.Connect("/dev/nothing");
    EXPECT_EQ(ser.LastError(), ENOENT);
    EXPECT_EQ(ser.LastErrorDesc(), PlatformErrorText(ENOENT));
    EXPECT_FALSE(ser.InstanceActive());
    EXPECT_EQ(ser.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(hooks, 0);
    // The window configures without looking: both calls meet the invalid handle.
    ser.Config(19200, 8, 'e', 0, false, false);
    EXPECT_EQ(ser.LastError(), EBADF);
    char buf[5];
    EXPECT_EQ(ser.RecvBufferEx(buf, 5, 25), 0);
    EXPECT_EQ(ser.LastError(), ErrPortNotOpen);
}

TEST(SerialChannel, ControlLineTestAtConnect)
{
    struct Case {
        bool TestDSR, TestCTS;
        uint32_t Lines;
        bool Opens;
    };
    const Case cases[] = {
        {true, false, MS_DSR_ON, true}, {true, false, MS_CTS_ON, false},           {false, true, MS_CTS_ON, true},
        {true, true, MS_CTS_ON, false}, {true, true, MS_CTS_ON | MS_DSR_ON, true},
    };
    for (const Case& c : cases) {
        TFakeSerialPlatform fake;
        fake.ModemStatus = c.Lines;
        TSerialChannel ser(fake);
        ser.SetTestDSR(c.TestDSR);
        ser.SetTestCTS(c.TestCTS);
        int connects = 0;
        ser.SetOnStatus([&](TSerialChannel&, THookSerialReason r, const std::string&) { connects += r == HR_Connect; });
        ser.Connect("COM1");
        EXPECT_EQ(connects, 1) << "reported also when the test failed";
        EXPECT_EQ(ser.InstanceActive(), c.Opens);
        EXPECT_EQ(ser.LastError(), c.Opens ? 0 : ErrNoDeviceAnswer);
        if (!c.Opens) {
            EXPECT_EQ(ser.Handle(), INVALID_HANDLE_VALUE);
            EXPECT_EQ(fake.CallsOf("Close").size(), 1u);
            EXPECT_EQ(ser.ComNr(), -1);
        }
    }
}

TEST(SerialChannel, ConfigFillsTheDeviceControlBlock)
{
    struct Case {
        char Parity;
        int Stop;
        bool Soft, Hard;
        uint8_t PreviousParity;
        uint8_t WantParity;
        uint8_t WantStop;
        uint32_t WantFlags;
    };
    const Case cases[] = {
        {'n', 0, false, false, ODDPARITY, NOPARITY, ONESTOPBIT, 0x1011},
        {'N', 0, false, false, ODDPARITY, NOPARITY, ONESTOPBIT, 0x1011},
        {'e', 0, false, false, NOPARITY, EVENPARITY, ONESTOPBIT, 0x1013},
        {'E', 0, false, false, NOPARITY, EVENPARITY, ONESTOPBIT, 0x1013},
        {'o', 0, false, false, NOPARITY, ODDPARITY, ONESTOPBIT, 0x1013},
        {'m', 0, false, false, NOPARITY, MARKPARITY, ONESTOPBIT, 0x1013},
        {'S', 0, false, false, NOPARITY, SPACEPARITY, ONESTOPBIT, 0x1013},
        {'x', 0, false, false, ODDPARITY, ODDPARITY, ONESTOPBIT, 0x1013},
        {'x', 0, false, false, NOPARITY, NOPARITY, ONESTOPBIT, 0x1011},
        {'n', 1, false, false, NOPARITY, NOPARITY, ONE5STOPBITS, 0x1011},
        {'n', 2, false, false, NOPARITY, NOPARITY, TWOSTOPBITS, 0x1011},
        {'n', 0, false, true, NOPARITY, NOPARITY, ONESTOPBIT, 0x2015},
        {'e', 0, true, false, NOPARITY, EVENPARITY, ONESTOPBIT, 0x1313},
        {'e', 0, true, true, NOPARITY, EVENPARITY, ONESTOPBIT, 0x2317},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(1, c.Parity) + " stop " + std::to_string(c.Stop) + (c.Soft ? " soft" : "") +
                     (c.Hard ? " hard" : ""));
        TFakeSerialPlatform fake;
        fake.State.DCBlength = 28;
        fake.State.BaudRate = 9600;
        fake.State.ByteSize = 7;
        fake.State.Parity = c.PreviousParity;
        fake.State.Flags = 0x7fff; // every earlier flag is replaced, not merged
        fake.State.ErrorChar = 0x3f;
        fake.State.EofChar = 0x1a;
        fake.State.EvtChar = 0x0a;
        fake.State.wReserved = 0x1234;
        fake.State.wReserved1 = 0x5678;
        TSerialChannel ser(fake);
        ser.Connect("/dev/pts/9");
        ser.Config(19200, 8, c.Parity, c.Stop, c.Soft, c.Hard);
        EXPECT_EQ(ser.LastError(), 0);
        const DCB& w = fake.Written;
        EXPECT_EQ(w, ser.DCB);
        EXPECT_EQ(w.DCBlength, 28u);
        EXPECT_EQ(w.BaudRate, 19200u);
        EXPECT_EQ(w.ByteSize, 8);
        EXPECT_EQ(w.Parity, c.WantParity);
        EXPECT_EQ(w.StopBits, c.WantStop);
        EXPECT_EQ(w.Flags, c.WantFlags);
        EXPECT_EQ(w.XonChar, 0x11);
        EXPECT_EQ(w.XoffChar, 0x13);
        EXPECT_EQ(w.XonLim, 1024);
        EXPECT_EQ(w.XoffLim, 1024);
        EXPECT_EQ(w.ErrorChar, 0x3f);
        EXPECT_EQ(w.EofChar, 0x1a);
        EXPECT_EQ(w.EvtChar, 0x0a);
        EXPECT_EQ(w.wReserved, 0x1234);
        EXPECT_EQ(w.wReserved1, 0x5678);
    }
}

TEST(SerialChannel, ConfigRecordsARefusedSetting)
{
    TFakeSerialPlatform fake;
    fake.SetStateError = EINVAL;
    TSerialChannel ser(fake);
    ser.Connect("/dev/pts/9");
    ser.Config(19200, 8, 'e', 0, false, false);
    EXPECT_EQ(ser.LastError(), EINVAL);
    EXPECT_EQ(ser.LastErrorDesc(), PlatformErrorText(EINVAL));
}

TEST(SerialChannel, ErrorDescriptions)
{
    const std::pair<int, std::string> cases[] = {
        {0, "OK"},
        {9991, "Port owned by other process"},
        {9992, "Instance already in use"},
        {9993, "Wrong parameter at call"},
        {9994, "Instance not yet connected"},
        {9995, "No device answer detected"},
        {9996, "Maximal buffer length exceeded"},
        {9997, "Timeout during operation"},
        {9998, "Reading of data failed"},
        {9999, "Receive framing error"},
        {10000, "Receive Overrun Error"},
        {10001, "Receive Queue overflow"},
        {10002, "Receive Parity Error"},
        {10003, "Tranceive Queue is full"},
        {5, PlatformErrorText(5)},
        {EBUSY, PlatformErrorText(EBUSY)},
    };
    for (const auto& [code, text] : cases) EXPECT_EQ(TSerialChannel::GetErrorDesc(code), text) << code;
#ifdef _WIN32
    // A GetLastError() code: the system's message table has a text for it.
    EXPECT_NE(TSerialChannel::GetErrorDesc(5), "System error 5");
    EXPECT_NE(TSerialChannel::GetErrorDesc(5), SysErrorMessage(5));
#else
    EXPECT_EQ(TSerialChannel::GetErrorDesc(5), "Input/output error");
#endif
}

TEST(SerialChannel, TickSpanAcrossAWrap)
{
    struct Case {
        uint32_t Old, New, Span;
    };
    const Case cases[] = {
        {0xFFFFFF00u, 256, 512}, // wrapped
        {4096, 3840, 256},       // out of order, no wrap
        {1000, 1000, 0},
        {1000, 1025, 25},
        {0x7FFFFFFFu, 0x80000001u, 2},
        {0x80000000u, 0, 0x80000000u},
        {0x7FFFFFF0u, 0x10u, 0x7FFFFFE0u}, // old in the lower half: not a wrap
    };
    for (const Case& c : cases) EXPECT_EQ(TickSpan(c.Old, c.New), c.Span) << c.Old << " -> " << c.New;
}

TEST(SerialChannel, TickNowCountsMillisecondsOfTheMonotonicClock)
{
    // Measured against the monotonic clock around and within the same span,
    // so the comparison holds however slowly the machine runs; a tick is
    // truncated to whole milliseconds, hence the one of slack on each side.
    using Clock = std::chrono::steady_clock;
    auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    const auto outerStart = Clock::now();
    const uint32_t a = TickNow();
    const auto innerStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const auto innerEnd = Clock::now();
    const uint32_t b = TickNow();
    const auto outerEnd = Clock::now();
    EXPECT_GE(double(TickSpan(a, b)), ms(innerEnd - innerStart) - 1);
    EXPECT_LE(double(TickSpan(a, b)), ms(outerEnd - outerStart) + 1);
}

TEST(SerialChannel, LineErrorsLaterRowWinsAndTextStays)
{
    struct Case {
        uint32_t Errors;
        int Code;
    };
    const Case cases[] = {
        {CE_FRAME, ErrFrame},
        {CE_OVERRUN, ErrOverrun},
        {CE_RXOVER, ErrRxOver},
        {CE_RXPARITY, ErrRxParity},
        {CE_TXFULL, ErrTxFull},
        {CE_FRAME | CE_RXPARITY, ErrRxParity},
        {CE_FRAME | CE_OVERRUN | CE_RXOVER, ErrRxOver},
        {CE_RXPARITY | CE_TXFULL, ErrTxFull},
        {CE_BREAK, ErrTimeout}, // a break leaves the code as it was
        {0, ErrTimeout},
    };
    for (const Case& c : cases) {
        TFakeSerialPlatform fake;
        TSerialChannel ser(fake);
        ser.SetVornError(ErrTimeout);
        ser.MapLineErrors(c.Errors);
        EXPECT_EQ(ser.LastError(), c.Code) << c.Errors;
        EXPECT_EQ(ser.LastErrorDesc(), "Timeout during operation");
    }
}

TEST(SerialChannel, ParityErrorWithTheFirstPacket)
{
    TFakeSerialPlatform fake;
    TSerialChannel ser(fake);
    ser.Connect("/dev/pts/9");
    fake.Input = "ABCDEFGHI";
    fake.ErrorsAfterRead = CE_RXPARITY;
    char buf[5] = {};
    EXPECT_EQ(ser.RecvBufferEx(buf, 5, 25), 5);
    EXPECT_EQ(std::string(buf, 5), "ABCDE");
    EXPECT_EQ(ser.LastError(), ErrRxParity);
    EXPECT_EQ(ser.LastErrorDesc(), "OK");
    EXPECT_EQ(ser.LineBuffer(), "FGHI") << "the surplus is kept";
    // A short packet with a framing error ends the call before its length.
    fake.Input = "xy";
    fake.ErrorsAfterRead = CE_FRAME;
    ser.DiscardInput();
    fake.Input = "xy";
    char more[4] = {};
    EXPECT_EQ(ser.RecvBufferEx(more, 4, 25), 2);
    EXPECT_EQ(ser.LastError(), ErrFrame);
    EXPECT_EQ(fake.CallsOf("WaitEvent").size(), 0u) << "no wait after the packet that carried the error";
}

TEST(SerialChannel, DiscardInputEmptiesHeldBytesAndInputQueueOnly)
{
    TFakeSerialPlatform fake;
    TSerialChannel ser(fake);
    ser.Connect("/dev/pts/9");
    fake.Input = "123456789";
    char buf[5];
    ASSERT_EQ(ser.RecvBufferEx(buf, 5, 25), 5);
    ASSERT_EQ(ser.LineBuffer(), "6789");
    fake.Calls.clear();
    ser.DiscardInput();
    EXPECT_EQ(ser.LineBuffer(), "");
    EXPECT_EQ(ser.LastError(), 0);
    EXPECT_EQ(fake.Calls, std::vector<std::string>{"Purge 8"});
}

TEST(SerialChannel, RaiseExceptTurnsCodesIntoExceptions)
{
    TFakeSerialPlatform fake;
    TSerialChannel ser(fake);
    ser.SetRaiseExcept(true);
    char buf[5];
    try {
        ser.RecvBufferEx(buf, 5, 25);
        FAIL() << "no exception";
    } catch (const EVornSerError& e) {
        EXPECT_STREQ(e.what(), "Communication error 9994: Instance not yet connected");
        EXPECT_EQ(e.ErrorCode, 9994);
        EXPECT_EQ(e.ErrorMessage, "Instance not yet connected");
    }
    ser.Connect("/dev/pts/9");
    try {
        ser.Connect("/dev/pts/9");
        FAIL() << "no exception";
    } catch (const EVornSerError& e) {
        EXPECT_EQ(e.ErrorCode, ErrAlreadyInUse);
    }
    EXPECT_TRUE(ser.InstanceActive());
    // A silent device: the timeout is raised, not returned.
    EXPECT_THROW(ser.RecvBufferEx(buf, 5, 25), EVornSerError);
    EXPECT_EQ(ser.LastError(), ErrTimeout);
}

} // namespace
} // namespace kelvara
