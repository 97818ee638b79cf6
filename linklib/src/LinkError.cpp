#include "LinkError.h"

#include <cerrno>

namespace quillet {

uint32_t WinErrorFromErrno(int err) {
    switch (err) {
    case 0:
        return kErrSuccess;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return kErrFileNotFound;
    case ENOTDIR:
        return kErrPathNotFound;
    case EMFILE:
    case ENFILE:
        return kErrTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
        return kErrAccessDenied;
    case EBADF:
        return kErrInvalidHandle;
    case ENOMEM:
        return kErrNotEnoughMemory;
    case EROFS:
        return kErrWriteProtect;
    case EINVAL:
        return kErrInvalidParameter;
    case ENOTTY:
    case EOPNOTSUPP:
        return kErrInvalidFunction;
    case EPIPE:
    case ECONNRESET:
        return kErrBrokenPipe;
    case EBUSY:
    case EWOULDBLOCK:
        return kErrBusy;
    case ENAMETOOLONG:
        return kErrFilenameTooLong;
    case EINTR:
    case ECANCELED:
        return kErrOperationAborted;
    case EIO:
        return kErrIoDevice;
    case ECONNREFUSED:
        return kErrConnectionRefused;
    case ETIMEDOUT:
        return kErrTimeout;
    default:
        return kErrGenFailure;
    }
}

} // namespace quillet
