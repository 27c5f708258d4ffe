// The channel's device-control block and the one of <windows.h> (Windows
// builds only). Both have the same members; the system's keeps its flags in
// bit fields where the channel's has one word, bit for bit the same.
#pragma once

#include "serial/SerialChannel.h"

// The system's record, declared without <windows.h> so that the core's names
// for its constants stay usable beside it.
struct _DCB;

namespace kelvara {

void ToWin32Dcb(const DCB& dcb, _DCB& win);
DCB FromWin32Dcb(const _DCB& win);

// True when a driver applied the line settings of wanted: the speed within
// the 2 % a UART divisor may round by; data bits, parity, stop bits, parity
// checking and flow control exactly. The modem-line modes are left out: a
// driver reports them from the lines, which a port may not have.
bool SameWin32LineSettings(const _DCB& wanted, const _DCB& applied);

} // namespace kelvara
