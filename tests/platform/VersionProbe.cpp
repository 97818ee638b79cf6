// Prints what the version block reader finds in this program, which embeds none.
#include <cstdio>

#include "platform/VersionBlock.h"

int main() {
    const auto info = platform::ReadVersionBlock();
    std::printf("%s\n", info ? ("found: " + info->FileDescription).c_str() : "no version block");
    return 0;
}
