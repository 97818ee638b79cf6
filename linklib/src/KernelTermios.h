// The kernel's termios2 record, reached through TCGETS2/TCSETS2 so that any bit rate can be set
// (BOTHER), including the ones without a Bxxx constant (14400, 56000, 128000, 256000).
//
// <asm/termbits.h> clashes with <termios.h>, so it is included only by KernelTermios.cpp. This
// record mirrors the kernel's layout; the flag bits are the same as those of <termios.h>, so the
// rest of the library uses the <termios.h> names on it.
#pragma once

#include <cstdint>

namespace quillet {

struct KernelTermios {
    uint32_t iflag = 0;
    uint32_t oflag = 0;
    uint32_t cflag = 0;
    uint32_t lflag = 0;
    uint8_t line = 0;
    uint8_t cc[19] = {};
    uint32_t ispeed = 0;
    uint32_t ospeed = 0;
};

// 0 or the errno of the ioctl.
int KernelGetTermios(int fd, KernelTermios& out);
int KernelSetTermios(int fd, const KernelTermios& in);

// Sets both directions to bitsPerSecond with BOTHER.
void KernelSetSpeed(KernelTermios& t, uint32_t bitsPerSecond);
// The output speed in bit/s.
uint32_t KernelGetSpeed(const KernelTermios& t);

// Indices of VMIN and VTIME in cc.
int KernelVmin();
int KernelVtime();

} // namespace quillet
