// Port-level result codes. The port reports the Windows error numbers its callers have always
// seen (0 = success); errno values are translated in one place, WinErrorFromErrno.
#pragma once

#include <cstdint>
#include <string>

namespace quillet {

constexpr uint32_t kErrSuccess = 0;
constexpr uint32_t kErrInvalidFunction = 1;       // ERROR_INVALID_FUNCTION: not a serial device
constexpr uint32_t kErrFileNotFound = 2;          // ERROR_FILE_NOT_FOUND
constexpr uint32_t kErrPathNotFound = 3;          // ERROR_PATH_NOT_FOUND
constexpr uint32_t kErrTooManyOpenFiles = 4;      // ERROR_TOO_MANY_OPEN_FILES
constexpr uint32_t kErrAccessDenied = 5;          // ERROR_ACCESS_DENIED
constexpr uint32_t kErrSharingViolation = 32;     // ERROR_SHARING_VIOLATION: another program has it
constexpr uint32_t kErrInvalidHandle = 6;         // ERROR_INVALID_HANDLE: the device is not open
constexpr uint32_t kErrNotEnoughMemory = 8;       // ERROR_NOT_ENOUGH_MEMORY
constexpr uint32_t kErrWriteProtect = 19;         // ERROR_WRITE_PROTECT
constexpr uint32_t kErrGenFailure = 31;           // ERROR_GEN_FAILURE
constexpr uint32_t kErrInvalidParameter = 87;     // ERROR_INVALID_PARAMETER
constexpr uint32_t kErrBrokenPipe = 109;          // ERROR_BROKEN_PIPE: the peer went away
constexpr uint32_t kErrBusy = 170;                // ERROR_BUSY: the device is in use
constexpr uint32_t kErrFilenameTooLong = 206;     // ERROR_FILENAME_EXCED_RANGE
constexpr uint32_t kErrOperationAborted = 995;    // ERROR_OPERATION_ABORTED: stopped or cancelled
constexpr uint32_t kErrIoDevice = 1117;           // ERROR_IO_DEVICE
constexpr uint32_t kErrConnectionRefused = 1225;  // ERROR_CONNECTION_REFUSED
constexpr uint32_t kErrAlreadyInitialized = 1247; // ERROR_ALREADY_INITIALIZED: already open
constexpr uint32_t kErrTimeout = 1460;            // ERROR_TIMEOUT
constexpr uint32_t kErrInvalidArg = 0x80070057;   // E_INVALIDARG: a mode or setting outside its table

// The Windows error number for an errno value.
uint32_t WinErrorFromErrno(int err);

// A short English description of a port result code ("the device does not exist").
std::string WinErrorText(uint32_t code);

} // namespace quillet
