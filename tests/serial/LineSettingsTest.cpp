// The device-control block against termios fields, without a device.
#include "serial/SerialChannel.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <cerrno>

namespace kelvara {
namespace {

constexpr uint32_t kBOTHER = 0010000;

DCB Line(uint32_t baud, uint8_t bits, uint8_t parity, uint8_t stop, uint32_t flags)
{
    DCB d;
    d.BaudRate = baud;
    d.ByteSize = bits;
    d.Parity = parity;
    d.StopBits = stop;
    d.Flags = flags;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    return d;
}

TEST(LineSettings, DcbToTermiosTable)
{
    struct Case {
        const char* Name;
        DCB In;
        uint32_t SpeedCode; // c_cflag & CBAUD
        uint32_t Speed;     // c_ospeed
        uint32_t Cflags;    // the line bits of c_cflag
        uint32_t Iflags;    // INPCK | IXON | IXOFF
    };
    constexpr uint32_t kLine = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    const Case cases[] = {
        {"system 8N1", Line(19200, 8, NOPARITY, ONESTOPBIT, 0x1011), B19200, 19200, CS8, 0},
        {"system 8E1", Line(19200, 8, EVENPARITY, ONESTOPBIT, 0x1013), B19200, 19200, CS8 | PARENB, INPCK},
        {"odd", Line(9600, 8, ODDPARITY, ONESTOPBIT, 0x1013), B9600, 9600, CS8 | PARENB | PARODD, INPCK},
        {"mark", Line(9600, 7, MARKPARITY, ONESTOPBIT, 0x1011), B9600, 9600, CS7 | PARENB | PARODD | CMSPAR, 0},
        {"space", Line(9600, 7, SPACEPARITY, ONESTOPBIT, 0x1011), B9600, 9600, CS7 | PARENB | CMSPAR, 0},
        {"5 bits, 1.5 stop becomes 2", Line(300, 5, NOPARITY, ONE5STOPBITS, 0x1011), B300, 300, CS5 | CSTOPB, 0},
        {"6 bits, 2 stop", Line(1200, 6, NOPARITY, TWOSTOPBITS, 0x1011), B1200, 1200, CS6 | CSTOPB, 0},
        {"hardware flow", Line(115200, 8, NOPARITY, ONESTOPBIT, 0x2015), B115200, 115200, CS8 | CRTSCTS, 0},
        {"CTS output flow alone", Line(115200, 8, NOPARITY, ONESTOPBIT, 0x1015), B115200, 115200, CS8 | CRTSCTS, 0},
        {"software flow", Line(4800, 8, NOPARITY, ONESTOPBIT, 0x1311), B4800, 4800, CS8, IXON | IXOFF},
        {"non-standard rate", Line(250000, 8, NOPARITY, ONESTOPBIT, 0x1011), kBOTHER, 250000, CS8, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TTermiosFields t;
        t.c_cflag = B38400 | CS8 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL | (B9600 << 16);
        t.c_iflag = INPCK | IXON | IXOFF | IGNBRK;
        ASSERT_EQ(DcbToTermios(c.In, t), 0);
        EXPECT_EQ(t.c_cflag & CBAUD, c.SpeedCode);
        EXPECT_EQ(t.c_cflag & CIBAUD, 0u) << "input speed follows output speed";
        EXPECT_EQ(t.c_ospeed, c.Speed);
        EXPECT_EQ(t.c_ispeed, c.Speed);
        EXPECT_EQ(t.c_cflag & kLine, c.Cflags);
        EXPECT_EQ(t.c_iflag & (INPCK | IXON | IXOFF), c.Iflags);
        EXPECT_TRUE(t.c_cflag & HUPCL) << "flags outside the line settings are kept";
        EXPECT_TRUE(t.c_iflag & IGNBRK);
        EXPECT_TRUE((t.c_cflag & (CLOCAL | CREAD)) == (CLOCAL | CREAD));
        EXPECT_EQ(t.c_cc[VSTART], 0x11);
        EXPECT_EQ(t.c_cc[VSTOP], 0x13);
        EXPECT_EQ(TermiosBaud(t), c.In.BaudRate);
    }
}

TEST(LineSettings, SettingsTermiosCannotExpressAreRefused)
{
    const DCB cases[] = {
        Line(0, 8, NOPARITY, ONESTOPBIT, 0x1011), // no rate
        Line(9600, 4, NOPARITY, ONESTOPBIT, 0x1011), Line(9600, 9, NOPARITY, ONESTOPBIT, 0x1011),
        Line(9600, 8, 5, ONESTOPBIT, 0x1011), // unknown parity
        Line(9600, 8, NOPARITY, 3, 0x1011),   // unknown stop bits
    };
    for (const DCB& d : cases) {
        TTermiosFields t;
        t.c_cflag = B38400 | CS8;
        const TTermiosFields before = t;
        EXPECT_EQ(DcbToTermios(d, t), EINVAL);
        EXPECT_EQ(t.c_cflag, before.c_cflag) << "a refused setting changes nothing";
    }
}

TEST(LineSettings, TermiosToDcbRoundTrip)
{
    const DCB cases[] = {
        Line(19200, 8, NOPARITY, ONESTOPBIT, 0x1011),   Line(19200, 8, EVENPARITY, ONESTOPBIT, 0x1013),
        Line(57600, 7, ODDPARITY, TWOSTOPBITS, 0x1013), Line(9600, 8, MARKPARITY, ONESTOPBIT, 0x1011),
        Line(9600, 8, SPACEPARITY, ONESTOPBIT, 0x1011), Line(250000, 8, NOPARITY, ONESTOPBIT, 0x2015),
        Line(2400, 6, NOPARITY, ONESTOPBIT, 0x1311),
    };
    for (const DCB& in : cases) {
        TTermiosFields t;
        ASSERT_EQ(DcbToTermios(in, t), 0);
        DCB out = TermiosToDcb(t);
        DCB want = in;
        want.DCBlength = 28;
        EXPECT_EQ(out, want) << "baud " << in.BaudRate << " parity " << int(in.Parity);
    }
}

TEST(LineSettings, RawLineReadsWhatIsQueued)
{
    TTermiosFields t;
    t.c_iflag = ICRNL | IXON | ISTRIP | INPCK;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ECHO | ICANON | ISIG | IEXTEN;
    t.c_cflag = CS7 | PARENB | B9600;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    MakeRawLine(t);
    EXPECT_EQ(t.c_iflag, uint32_t(INPCK));
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cflag, uint32_t(CS8 | B9600 | CLOCAL | CREAD));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(LineSettings, AppliedSettingsAreCompared)
{
    TTermiosFields wanted;
    ASSERT_EQ(DcbToTermios(Line(19200, 8, EVENPARITY, ONESTOPBIT, 0x1013), wanted), 0);
    EXPECT_TRUE(SameLineSettings(wanted, wanted));

    TTermiosFields dropped = wanted; // what a pseudo-terminal does with parity
    dropped.c_cflag &= ~uint32_t(PARENB);
    EXPECT_FALSE(SameLineSettings(wanted, dropped));

    TTermiosFields noCheck = wanted;
    noCheck.c_iflag &= ~uint32_t(INPCK);
    EXPECT_FALSE(SameLineSettings(wanted, noCheck));

    TTermiosFields odd;
    ASSERT_EQ(DcbToTermios(Line(250000, 8, NOPARITY, ONESTOPBIT, 0x1011), odd), 0);
    TTermiosFields rounded = odd; // a UART divisor lands near, not on, the rate
    rounded.c_ospeed = 250000 + 4000;
    EXPECT_TRUE(SameLineSettings(odd, rounded));
    rounded.c_ospeed = 250000 + 6000;
    EXPECT_FALSE(SameLineSettings(odd, rounded));
}

} // namespace
} // namespace kelvara
