#include "serial/Win32Dcb.h"

#include <windows.h>

namespace kelvara {

namespace {

uint32_t Bits(uint32_t word, int shift, uint32_t mask)
{
    return (word >> shift) & mask;
}

} // namespace

void ToWin32Dcb(const DCB& dcb, _DCB& win)
{
    win = ::DCB{};
    win.DCBlength = sizeof(::DCB);
    win.BaudRate = dcb.BaudRate;
    const uint32_t f = dcb.Flags;
    win.fBinary = Bits(f, 0, 1);
    win.fParity = Bits(f, 1, 1);
    win.fOutxCtsFlow = Bits(f, 2, 1);
    win.fOutxDsrFlow = Bits(f, 3, 1);
    win.fDtrControl = Bits(f, 4, 3);
    win.fDsrSensitivity = Bits(f, 6, 1);
    win.fTXContinueOnXoff = Bits(f, 7, 1);
    win.fOutX = Bits(f, 8, 1);
    win.fInX = Bits(f, 9, 1);
    win.fErrorChar = Bits(f, 10, 1);
    win.fNull = Bits(f, 11, 1);
    win.fRtsControl = Bits(f, 12, 3);
    win.fAbortOnError = Bits(f, 14, 1);
    win.fDummy2 = Bits(f, 15, 0x1FFFF);
    win.wReserved = dcb.wReserved;
    win.XonLim = dcb.XonLim;
    win.XoffLim = dcb.XoffLim;
    win.ByteSize = dcb.ByteSize;
    win.Parity = dcb.Parity;
    win.StopBits = dcb.StopBits;
    win.XonChar = dcb.XonChar;
    win.XoffChar = dcb.XoffChar;
    win.ErrorChar = dcb.ErrorChar;
    win.EofChar = dcb.EofChar;
    win.EvtChar = dcb.EvtChar;
    win.wReserved1 = dcb.wReserved1;
}

DCB FromWin32Dcb(const _DCB& win)
{
    DCB dcb;
    dcb.DCBlength = win.DCBlength;
    dcb.BaudRate = win.BaudRate;
    dcb.Flags = uint32_t(win.fBinary) | uint32_t(win.fParity) << 1 | uint32_t(win.fOutxCtsFlow) << 2 |
                uint32_t(win.fOutxDsrFlow) << 3 | uint32_t(win.fDtrControl) << 4 | uint32_t(win.fDsrSensitivity) << 6 |
                uint32_t(win.fTXContinueOnXoff) << 7 | uint32_t(win.fOutX) << 8 | uint32_t(win.fInX) << 9 |
                uint32_t(win.fErrorChar) << 10 | uint32_t(win.fNull) << 11 | uint32_t(win.fRtsControl) << 12 |
                uint32_t(win.fAbortOnError) << 14 | uint32_t(win.fDummy2) << 15;
    dcb.wReserved = win.wReserved;
    dcb.XonLim = win.XonLim;
    dcb.XoffLim = win.XoffLim;
    dcb.ByteSize = win.ByteSize;
    dcb.Parity = win.Parity;
    dcb.StopBits = win.StopBits;
    dcb.XonChar = win.XonChar;
    dcb.XoffChar = win.XoffChar;
    dcb.ErrorChar = win.ErrorChar;
    dcb.EofChar = win.EofChar;
    dcb.EvtChar = win.EvtChar;
    dcb.wReserved1 = win.wReserved1;
    return dcb;
}

bool SameWin32LineSettings(const _DCB& wanted, const _DCB& applied)
{
    if (wanted.ByteSize != applied.ByteSize || wanted.Parity != applied.Parity || wanted.StopBits != applied.StopBits)
        return false;
    if (wanted.fParity != applied.fParity || wanted.fOutxCtsFlow != applied.fOutxCtsFlow ||
        wanted.fOutX != applied.fOutX || wanted.fInX != applied.fInX)
        return false;
    const bool wantHandshake = wanted.fRtsControl == RTS_CONTROL_HANDSHAKE;
    const bool gotHandshake = applied.fRtsControl == RTS_CONTROL_HANDSHAKE;
    if (wantHandshake != gotHandshake) return false;
    const uint64_t want = wanted.BaudRate;
    const uint64_t got = applied.BaudRate;
    const uint64_t diff = want > got ? want - got : got - want;
    return got != 0 && diff * 50 <= want;
}

} // namespace kelvara
