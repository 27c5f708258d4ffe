// The device-control block in termios terms and back. Pure functions, so the
// mapping can be checked without a device.
#include "serial/SerialChannel.h"
#include "serial/SerialPlatform.h"

#include <termios.h>

#include <cerrno>

namespace kelvara {

namespace {

// The kernel's "other" speed code: the rate is in c_ispeed / c_ospeed.
constexpr uint32_t kBOTHER = 0010000;

struct TSpeedCode {
    uint32_t Code;
    uint32_t Baud;
};

constexpr TSpeedCode kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
    {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

constexpr uint32_t kLineCflags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr uint32_t kLineIflags = INPCK | IXON | IXOFF;

} // namespace

uint32_t TermiosBaud(const TTermiosFields& t)
{
    const uint32_t code = t.c_cflag & CBAUD;
    if (code == kBOTHER) return t.c_ospeed;
    for (const TSpeedCode& s : kSpeeds)
        if (s.Code == code) return s.Baud;
    return 0;
}

int DcbToTermios(const DCB& dcb, TTermiosFields& t)
{
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS)
        return EINVAL;

    uint32_t c = t.c_cflag & ~(CBAUD | CIBAUD | kLineCflags);
    uint32_t code = kBOTHER;
    for (const TSpeedCode& s : kSpeeds)
        if (s.Baud == dcb.BaudRate) code = s.Code;
    c |= code; // input speed 0 in CIBAUD: the same as the output speed
    t.c_ispeed = dcb.BaudRate;
    t.c_ospeed = dcb.BaudRate;

    static constexpr uint32_t kSizes[] = {CS5, CS6, CS7, CS8};
    c |= kSizes[dcb.ByteSize - 5];

    switch (dcb.Parity) {
    case ODDPARITY: c |= PARENB | PARODD; break;
    case EVENPARITY: c |= PARENB; break;
    // Stick parity: the parity bit is always 1 (mark) or always 0 (space).
    case MARKPARITY: c |= PARENB | PARODD | CMSPAR; break;
    case SPACEPARITY: c |= PARENB | CMSPAR; break;
    default: break;
    }
    // A UART sends one and a half stop bits only with 5 data bits, and termios
    // cannot ask for it: take two, the next longer frame.
    if (dcb.StopBits != ONESTOPBIT) c |= CSTOPB;
    // termios has one switch for both halves of RTS/CTS handshaking.
    if ((dcb.Flags & dcb_OutxCtsFlow) || (dcb.Flags & dcb_RtsControlMask) == dcb_RtsControlHandshake) c |= CRTSCTS;
    c |= CLOCAL | CREAD;
    t.c_cflag = c;

    uint32_t i = t.c_iflag & ~kLineIflags;
    if (dcb.Flags & dcb_ParityCheck) i |= INPCK;
    if (dcb.Flags & dcb_OutX) i |= IXON;
    if (dcb.Flags & dcb_InX) i |= IXOFF;
    t.c_iflag = i;
    t.c_cc[VSTART] = uint8_t(dcb.XonChar);
    t.c_cc[VSTOP] = uint8_t(dcb.XoffChar);
    return 0;
}

DCB TermiosToDcb(const TTermiosFields& t)
{
    DCB dcb;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = TermiosBaud(t);
    switch (t.c_cflag & CSIZE) {
    case CS5: dcb.ByteSize = 5; break;
    case CS6: dcb.ByteSize = 6; break;
    case CS7: dcb.ByteSize = 7; break;
    default: dcb.ByteSize = 8; break;
    }
    if (t.c_cflag & PARENB) {
        const bool odd = (t.c_cflag & PARODD) != 0;
        if (t.c_cflag & CMSPAR)
            dcb.Parity = odd ? MARKPARITY : SPACEPARITY;
        else
            dcb.Parity = odd ? ODDPARITY : EVENPARITY;
    }
    dcb.StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    // DTR is raised on open and kept on by the driver while the device is open.
    uint32_t flags = dcb_Binary | dcb_DtrControlEnable;
    if (t.c_iflag & INPCK) flags |= dcb_ParityCheck;
    if (t.c_cflag & CRTSCTS)
        flags |= dcb_OutxCtsFlow | dcb_RtsControlHandshake;
    else
        flags |= dcb_RtsControlEnable;
    if (t.c_iflag & IXON) flags |= dcb_OutX;
    if (t.c_iflag & IXOFF) flags |= dcb_InX;
    dcb.Flags = flags;
    dcb.XonChar = char(t.c_cc[VSTART]);
    dcb.XoffChar = char(t.c_cc[VSTOP]);
    return dcb;
}

void MakeRawLine(TTermiosFields& t)
{
    t.c_iflag &= ~uint32_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    t.c_oflag &= ~uint32_t(OPOST);
    t.c_lflag &= ~uint32_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~uint32_t(CSIZE | PARENB);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    // With no minimum and no timer a read returns at once with what is queued.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

bool SameLineSettings(const TTermiosFields& wanted, const TTermiosFields& applied)
{
    if ((wanted.c_cflag & kLineCflags) != (applied.c_cflag & kLineCflags)) return false;
    if ((wanted.c_iflag & kLineIflags) != (applied.c_iflag & kLineIflags)) return false;
    if (wanted.c_cc[VSTART] != applied.c_cc[VSTART] || wanted.c_cc[VSTOP] != applied.c_cc[VSTOP]) return false;
    const uint64_t want = TermiosBaud(wanted);
    const uint64_t got = TermiosBaud(applied);
    const uint64_t diff = want > got ? want - got : got - want;
    return got != 0 && diff * 50 <= want;
}

} // namespace kelvara
