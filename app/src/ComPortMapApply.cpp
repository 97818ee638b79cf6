// The one piece of the settings logic that needs the link library.
#include "app/ComPortMap.h"

#include "quillet/PortMap.h"

void ApplyComPortMap(const TS_COM_PORT_MAP& map) {
    for (int n = 1; n <= 4; ++n) {
        QuilletSetComPath(n, map.ComDevice[static_cast<std::size_t>(n - 1)]);
    }
    QuilletSetUsbDevicePath(map.UsbDevice);
}
