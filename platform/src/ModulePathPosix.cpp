#include "ModulePath.h"

namespace platform::detail {
std::string RunningModulePath() {
    return "/proc/self/exe";
}
} // namespace platform::detail
