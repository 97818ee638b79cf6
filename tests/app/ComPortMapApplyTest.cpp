#include <gtest/gtest.h>

#include <cstdlib>

#include "app/ComPortMap.h"
#include "quillet/PortMap.h"

TEST(ComPortMapApplyTest, TheLinkOpensTheMappedDevices) {
    for (int n = 1; n <= 4; ++n) {
        unsetenv(("VANDREL_COM" + std::to_string(n)).c_str());
    }
    unsetenv("VANDREL_USB_DEVICE");
    TS_COM_PORT_MAP map;
    map.ComDevice = {"/tmp/vandrel-pty-a", "", "/dev/ttyS7", ""};
    map.UsbDevice = "/tmp/vandrel-usb.sock";
    ApplyComPortMap(map);
    EXPECT_EQ(QuilletResolveDevice("COM1"), "/tmp/vandrel-pty-a");
    EXPECT_EQ(QuilletResolveDevice("COM3"), "/dev/ttyS7");
    EXPECT_EQ(QuilletResolveDevice("\\\\.\\Csr0"), "/tmp/vandrel-usb.sock");
    setenv("VANDREL_COM1", "/tmp/from-env", 1); // the environment still comes first
    EXPECT_EQ(QuilletResolveDevice("COM1"), "/tmp/from-env");
    unsetenv("VANDREL_COM1");
    map.ComDevice[0].clear(); // an empty entry gives the name back to the default
    ApplyComPortMap(map);
    EXPECT_NE(QuilletResolveDevice("COM1"), "/tmp/vandrel-pty-a");
}
