// The kernel's termios2, for rates that have no B constant: the line sets it through ioctls, the network
// port answers the same ioctls. Declared here because <asm/termbits.h> clashes with <termios.h>.
#pragma once

#include <asm/ioctls.h>
#include <termios.h>

struct KernelTermios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
inline constexpr unsigned long kTCGETS2 = _IOR('T', 0x2A, KernelTermios2);
inline constexpr unsigned long kTCSETS2 = _IOW('T', 0x2B, KernelTermios2);
inline constexpr tcflag_t kBOTHER = 0010000;
