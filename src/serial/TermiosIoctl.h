// Line settings of an open tty through the kernel's termios2 requests, which
// carry any bit rate. Kept apart because the kernel's header and the C
// library's <termios.h> cannot be included together.
#pragma once

#include "serial/SerialPlatform.h"

namespace kelvara {

// Both return 0 or an errno value. WriteTermios takes effect at once.
int ReadTermios(int fd, TTermiosFields& t);
int WriteTermios(int fd, const TTermiosFields& t);

} // namespace kelvara
