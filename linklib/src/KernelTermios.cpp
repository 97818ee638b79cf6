// The only file that includes <asm/termbits.h>; see KernelTermios.h.
#include "KernelTermios.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>

namespace quillet {

static_assert(sizeof(termios2) == sizeof(KernelTermios), "termios2 layout");
static_assert(sizeof(termios2::c_cc) == sizeof(KernelTermios::cc), "termios2 c_cc size");

int KernelGetTermios(int fd, KernelTermios& out) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) {
        return errno;
    }
    out.iflag = t.c_iflag;
    out.oflag = t.c_oflag;
    out.cflag = t.c_cflag;
    out.lflag = t.c_lflag;
    out.line = t.c_line;
    std::memcpy(out.cc, t.c_cc, sizeof out.cc);
    out.ispeed = t.c_ispeed;
    out.ospeed = t.c_ospeed;
    return 0;
}

int KernelSetTermios(int fd, const KernelTermios& in) {
    termios2 t{};
    t.c_iflag = in.iflag;
    t.c_oflag = in.oflag;
    t.c_cflag = in.cflag;
    t.c_lflag = in.lflag;
    t.c_line = in.line;
    std::memcpy(t.c_cc, in.cc, sizeof in.cc);
    t.c_ispeed = in.ispeed;
    t.c_ospeed = in.ospeed;
    int rc;
    do {
        rc = ::ioctl(fd, TCSETS2, &t);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

void KernelSetSpeed(KernelTermios& t, uint32_t bitsPerSecond) {
    // Input speed bits (CIBAUD) cleared: the input runs at the output speed.
    t.cflag &= ~(static_cast<uint32_t>(CBAUD) | static_cast<uint32_t>(CIBAUD));
    t.cflag |= BOTHER;
    t.ispeed = bitsPerSecond;
    t.ospeed = bitsPerSecond;
}

uint32_t KernelGetSpeed(const KernelTermios& t) {
    return t.ospeed;
}

int KernelVmin() {
    return VMIN;
}
int KernelVtime() {
    return VTIME;
}

} // namespace quillet
