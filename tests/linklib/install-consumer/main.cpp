#include <cstdio>
#include <cstring>

#include "quillet/Quillet.h"

int main() {
    COstraMonitor monitor(TS_PORT_CONFIG{2, 0, 12, 3, 0, 0, 0}); // a port type that opens nothing
    const signed char rc = monitor.Initialize();
    std::printf("quillet %s, Initialize %d, open %d\n", QuilletVersion(), rc, monitor.IsSerialOpen());
    return std::strcmp(QuilletVersion(), "3.0.0") == 0 && rc == 0 ? 0 : 1;
}
