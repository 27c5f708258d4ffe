#include "serial/TermiosIoctl.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>

namespace kelvara {

static_assert(sizeof(termios2::c_cc) == std::tuple_size_v<decltype(TTermiosFields::c_cc)>,
              "TTermiosFields::c_cc must hold the kernel's control characters");
static_assert(BOTHER == 0010000 && CBAUD == 0010017 && IBSHIFT == 16,
              "the speed encoding of LineSettings.cpp assumes these kernel values");

int ReadTermios(int fd, TTermiosFields& t)
{
    termios2 k{};
    if (ioctl(fd, TCGETS2, &k) != 0) return errno;
    t.c_iflag = k.c_iflag;
    t.c_oflag = k.c_oflag;
    t.c_cflag = k.c_cflag;
    t.c_lflag = k.c_lflag;
    t.c_line = k.c_line;
    std::copy(std::begin(k.c_cc), std::end(k.c_cc), t.c_cc.begin());
    t.c_ispeed = k.c_ispeed;
    t.c_ospeed = k.c_ospeed;
    return 0;
}

int WriteTermios(int fd, const TTermiosFields& t)
{
    termios2 k{};
    k.c_iflag = t.c_iflag;
    k.c_oflag = t.c_oflag;
    k.c_cflag = t.c_cflag;
    k.c_lflag = t.c_lflag;
    k.c_line = t.c_line;
    std::copy(t.c_cc.begin(), t.c_cc.end(), std::begin(k.c_cc));
    k.c_ispeed = t.c_ispeed;
    k.c_ospeed = t.c_ospeed;
    if (ioctl(fd, TCSETS2, &k) != 0) return errno;
    return 0;
}

} // namespace kelvara
