// The words for a port result code, on POSIX: the library's own short texts.

#include "LinkError.h"

#include <cstdio>

namespace quillet {

std::string WinErrorText(uint32_t code) {
    const char* text = nullptr;
    switch (code) {
    case kErrSuccess:
        text = "success";
        break;
    case kErrInvalidFunction:
        text = "not a serial device";
        break;
    case kErrFileNotFound:
        text = "the device does not exist";
        break;
    case kErrPathNotFound:
        text = "the path does not exist";
        break;
    case kErrTooManyOpenFiles:
        text = "too many open files";
        break;
    case kErrAccessDenied:
        text = "permission denied";
        break;
    case kErrInvalidHandle:
        text = "the port is not open";
        break;
    case kErrNotEnoughMemory:
        text = "out of memory";
        break;
    case kErrWriteProtect:
        text = "the device is read-only";
        break;
    case kErrInvalidParameter:
        text = "the device refused a setting";
        break;
    case kErrBrokenPipe:
        text = "the other end closed the connection";
        break;
    case kErrBusy:
        text = "the device is in use by another program";
        break;
    case kErrFilenameTooLong:
        text = "the path is too long";
        break;
    case kErrOperationAborted:
        text = "the operation was stopped";
        break;
    case kErrIoDevice:
        text = "input/output error on the device";
        break;
    case kErrConnectionRefused:
        text = "nothing is listening on the socket";
        break;
    case kErrAlreadyInitialized:
        text = "the port is already open";
        break;
    case kErrTimeout:
        text = "the device did not respond in time";
        break;
    case kErrInvalidArg:
        text = "a port setting is outside its table";
        break;
    default:
        break;
    }
    char buf[96];
    if (text != nullptr) {
        std::snprintf(buf, sizeof buf, "%s (error %u)", text, code);
    } else {
        std::snprintf(buf, sizeof buf, "error %u", code);
    }
    return buf;
}

} // namespace quillet
