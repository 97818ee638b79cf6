// Where "COMn" and "\\.\Csr0" are found: the environment, then the program's map, then defaults.
#include <gtest/gtest.h>

#include <cstdlib>

#include "LinkPeers.h"
#include "quillet/Quillet.h"

namespace {

TEST(PortMap, EnvironmentThenProgramMapThenDefault) {
    linktest::ClearPortEnvironment();
    const std::vector<std::string> adapters = [] {
        std::vector<std::string> out;
        for (const std::string& p : QuilletListSerialDevices()) {
            if (p.find("/dev/ttyS") != 0) {
                out.push_back(p);
            }
        }
        return out;
    }();
    const std::string com2Default = adapters.size() >= 2
                                        ? adapters[1]
                                        : "/dev/ttyS" + std::to_string(1 - static_cast<int>(adapters.size()));
    EXPECT_EQ(QuilletResolveDevice("COM2"), com2Default);
    QuilletSetComPath(2, "/dev/mapped2");
    EXPECT_EQ(QuilletResolveDevice("COM2"), "/dev/mapped2");
    EXPECT_EQ(QuilletResolveDevice("com2"), "/dev/mapped2");
    EXPECT_EQ(QuilletResolveDevice("\\\\.\\COM2"), "/dev/mapped2");
    ::setenv("VANDREL_COM2", "/dev/from-env", 1);
    EXPECT_EQ(QuilletResolveDevice("COM2"), "/dev/from-env");
    ::unsetenv("VANDREL_COM2");
    QuilletSetComPath(2, "");
    EXPECT_EQ(QuilletResolveDevice("COM2"), com2Default);

    EXPECT_EQ(QuilletResolveDevice("\\\\.\\Csr0"), "/dev/csr0");
    QuilletSetUsbDevicePath("/run/sim/csr0");
    EXPECT_EQ(QuilletResolveDevice("\\\\.\\Csr0"), "/run/sim/csr0");
    ::setenv("VANDREL_USB_DEVICE", "/tmp/usb.sock", 1);
    EXPECT_EQ(QuilletResolveDevice("\\\\.\\Csr0"), "/tmp/usb.sock");
    ::unsetenv("VANDREL_USB_DEVICE");
    QuilletSetUsbDevicePath("");

    // Anything else is a path and stays as it is.
    for (const char* name : {"/dev/ttyUSB3", "COM", "COMX", "relative/path"}) {
        EXPECT_EQ(QuilletResolveDevice(name), name);
    }
}

TEST(LibraryInfo, VersionAndStatusNames) {
    EXPECT_STREQ(QuilletVersion(), "3.0.0");
    EXPECT_STREQ(TmStatusName(TM_ERR_TIMEOUT), "TM_ERR_TIMEOUT");
    EXPECT_STREQ(TmStatusName(-104), "TM_ERR_CHECKSUM");
    EXPECT_EQ(TmStatusName(0), nullptr);
    EXPECT_EQ(TmStatusName(-7), nullptr); // a target status, not a link failure
}

} // namespace
