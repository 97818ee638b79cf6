// vandrel: the desktop program.
#include <QApplication>

#include <cstdio>
#include <cstring>

#include "VandrelApp.h"

namespace {

const char* const kUsage = R"(usage: vandrel [Qt options]
       vandrel --help | --version
The desktop program of Vandrel: downloads flash images into an R3700 handset over RS232 or USB.

  -h, --help     this text
  --version      the program's version
Other arguments go to Qt (for example -platform NAME or -display DISPLAY).
)";

} // namespace

int main(int argc, char** argv) {
    // answered before Qt starts, so that they need no display
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("vandrel %s\n", VANDREL_VERSION);
            return 0;
        }
    }
    QApplication application(argc, argv);
    return CVandrelApp::Run(application);
}
