// The file of the running program, for reading its version block: /proc/self/exe on Linux, the
// module's own file name on Windows.
#pragma once

#include <string>

namespace platform::detail {
std::string RunningModulePath();
}
