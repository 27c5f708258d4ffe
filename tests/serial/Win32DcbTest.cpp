#include "serial/Win32Dcb.h"
#include "serial/SerialChannel.h"

#include <gtest/gtest.h>

// After the core's headers: its names for the DCB constants are macros here.
#include <windows.h>

using namespace kelvara;

namespace {

// The system's bit fields read back as one number each, named as the system
// names them.
std::vector<std::pair<const char*, unsigned>> FieldsOf(const ::DCB& w)
{
    return {{"fBinary", w.fBinary},
            {"fParity", w.fParity},
            {"fOutxCtsFlow", w.fOutxCtsFlow},
            {"fOutxDsrFlow", w.fOutxDsrFlow},
            {"fDtrControl", w.fDtrControl},
            {"fDsrSensitivity", w.fDsrSensitivity},
            {"fTXContinueOnXoff", w.fTXContinueOnXoff},
            {"fOutX", w.fOutX},
            {"fInX", w.fInX},
            {"fErrorChar", w.fErrorChar},
            {"fNull", w.fNull},
            {"fRtsControl", w.fRtsControl},
            {"fAbortOnError", w.fAbortOnError}};
}

} // namespace

TEST(Win32Dcb, EachFlagLandsOnTheSystemsBitField)
{
    struct Case {
        uint32_t Flags;
        const char* Field;
        unsigned Value;
    } cases[] = {
        {dcb_Binary, "fBinary", 1},
        {dcb_ParityCheck, "fParity", 1},
        {dcb_OutxCtsFlow, "fOutxCtsFlow", 1},
        {dcb_OutxDsrFlow, "fOutxDsrFlow", 1},
        {dcb_DtrControlEnable, "fDtrControl", DTR_CONTROL_ENABLE},
        {0x20, "fDtrControl", DTR_CONTROL_HANDSHAKE},
        {0x40, "fDsrSensitivity", 1},
        {0x80, "fTXContinueOnXoff", 1},
        {dcb_OutX, "fOutX", 1},
        {dcb_InX, "fInX", 1},
        {0x400, "fErrorChar", 1},
        {0x800, "fNull", 1},
        {dcb_RtsControlEnable, "fRtsControl", RTS_CONTROL_ENABLE},
        {dcb_RtsControlHandshake, "fRtsControl", RTS_CONTROL_HANDSHAKE},
        {dcb_RtsControlMask, "fRtsControl", RTS_CONTROL_TOGGLE},
        {0x4000, "fAbortOnError", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Field);
        kelvara::DCB ours;
        ours.Flags = c.Flags;
        ::DCB win{};
        ToWin32Dcb(ours, win);
        for (const auto& [field, value] : FieldsOf(win))
            EXPECT_EQ(value, std::string(field) == c.Field ? c.Value : 0u) << field;
        EXPECT_EQ(FromWin32Dcb(win).Flags, c.Flags);
    }
}

TEST(Win32Dcb, WhatConfigWritesReachesTheSystemWhole)
{
    // Config's block for 19200 baud, even parity, and the members it keeps
    // from the device.
    kelvara::DCB ours;
    ours.BaudRate = 19200;
    ours.Flags = 0x1013;
    ours.XonLim = 1024;
    ours.XoffLim = 1024;
    ours.ByteSize = 8;
    ours.Parity = EVENPARITY;
    ours.StopBits = ONESTOPBIT;
    ours.XonChar = 0x11;
    ours.XoffChar = 0x13;
    ours.ErrorChar = '?';
    ours.EofChar = 0x1a;
    ours.EvtChar = '\n';
    ::DCB win{};
    ToWin32Dcb(ours, win);
    EXPECT_EQ(win.DCBlength, 28u);
    EXPECT_EQ(win.BaudRate, 19200u);
    EXPECT_EQ(win.fParity, 1u);
    EXPECT_EQ(win.fDtrControl, unsigned(DTR_CONTROL_ENABLE));
    EXPECT_EQ(win.fRtsControl, unsigned(RTS_CONTROL_ENABLE));
    EXPECT_EQ(win.XonLim, 1024);
    EXPECT_EQ(win.Parity, EVENPARITY);
    EXPECT_EQ(win.EvtChar, '\n');
    kelvara::DCB back = FromWin32Dcb(win);
    ours.DCBlength = 28;
    EXPECT_EQ(back, ours);
}

TEST(Win32Dcb, AppliedSettingsAreThoseAskedFor)
{
    ::DCB wanted{};
    kelvara::DCB ours;
    ours.BaudRate = 19200;
    ours.Flags = 0x1013;
    ours.ByteSize = 8;
    ours.Parity = EVENPARITY;
    ToWin32Dcb(ours, wanted);
    struct Case {
        const char* Name;
        void (*Change)(::DCB&);
        bool Same;
    } cases[] = {
        {"as asked", [](::DCB&) {}, true},
        {"speed rounded by 1.5 %", [](::DCB& d) { d.BaudRate = 19488; }, true},
        {"speed off by 3 %", [](::DCB& d) { d.BaudRate = 19776; }, false},
        {"no speed", [](::DCB& d) { d.BaudRate = 0; }, false},
        {"parity dropped", [](::DCB& d) { d.Parity = NOPARITY; }, false},
        {"parity checking dropped", [](::DCB& d) { d.fParity = 0; }, false},
        {"7 data bits", [](::DCB& d) { d.ByteSize = 7; }, false},
        {"two stop bits", [](::DCB& d) { d.StopBits = TWOSTOPBITS; }, false},
        {"CTS flow control", [](::DCB& d) { d.fOutxCtsFlow = 1; }, false},
        {"RTS handshake", [](::DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; }, false},
        {"XON/XOFF", [](::DCB& d) { d.fInX = 1; }, false},
        // Modem-line modes a driver reports from lines a port may lack.
        {"DTR reported off", [](::DCB& d) { d.fDtrControl = DTR_CONTROL_DISABLE; }, true},
        {"RTS reported off", [](::DCB& d) { d.fRtsControl = RTS_CONTROL_DISABLE; }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ::DCB applied = wanted;
        c.Change(applied);
        EXPECT_EQ(SameWin32LineSettings(wanted, applied), c.Same);
    }
}
