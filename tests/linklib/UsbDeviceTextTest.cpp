// The USB device texts: what parses into which device, what is refused, and the label and udev
// rule made from them.
#include <gtest/gtest.h>

#include "quillet/UsbDevices.h"

namespace {

TEST(UsbDeviceText, ParsesTheThreeFormsAndRefusesTheRest) {
    struct Case {
        const char* text;
        bool ok;
        bool hasIds = false;
        uint16_t vendor = 0;
        uint16_t product = 0;
        int bus = -1;
        std::vector<int> ports{};
        int iface = -1;
        const char* label = "";
    } cases[] = {
        {"usb:1234:5678", true, true, 0x1234, 0x5678, -1, {}, -1, "1234:5678"},
        {"USB:abCD:0001", true, true, 0xABCD, 0x0001, -1, {}, -1, "abcd:0001"},
        {"usb:1:2", true, true, 1, 2, -1, {}, -1, "0001:0002"},
        {"usb:1234:5678@1-2.3", true, true, 0x1234, 0x5678, 1, {2, 3}, -1, "1234:5678@1-2.3"},
        {"usb:3-1.4.2#1", true, false, 0, 0, 3, {1, 4, 2}, 1, "3-1.4.2"},
        {"usb:1234:5678#2", true, true, 0x1234, 0x5678, -1, {}, 2, "1234:5678"},
        {"usb:12345:1", false},
        {"usb:12g4:5678", false},
        {"usb:1234", false},
        {"usb:1234:", false},
        {"usb:", false},
        {"usb:1-", false},
        {"usb:0-1", false},
        {"usb:1-2..3", false},
        {"usb:1-1.1.1.1.1.1.1.1", false},
        {"usb:1234:5678@", false},
        {"usb:1234:5678#", false},
        {"usb:1234:5678#256", false},
        {"usb: 1234:5678", false},
        {"/dev/csr0", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TS_USB_DEVICE_TEXT d;
        std::string error;
        ASSERT_EQ(QuilletParseUsbDeviceText(c.text, d, error), c.ok);
        if (!c.ok) {
            EXPECT_NE(error.find("give usb:VVVV:PPPP, usb:VVVV:PPPP@BUS-PORT or usb:BUS-PORT"),
                      std::string::npos);
            EXPECT_FALSE(d.HasIds);
            continue;
        }
        EXPECT_EQ(d.HasIds, c.hasIds);
        EXPECT_EQ(d.Vendor, c.vendor);
        EXPECT_EQ(d.Product, c.product);
        EXPECT_EQ(d.Bus, c.bus);
        EXPECT_EQ(d.Ports, c.ports);
        EXPECT_EQ(d.Interface, c.iface);
        EXPECT_EQ(QuilletUsbDeviceLabel(d), c.label);
    }
    EXPECT_TRUE(QuilletIsUsbDeviceText("Usb:x"));
    EXPECT_FALSE(QuilletIsUsbDeviceText("/tmp/usb:1234:5678"));
}

TEST(UsbDeviceText, UdevRuleGivesTheSeatAccessAndKeepsModemManagerOff) {
    TS_USB_DEVICE_TEXT d;
    std::string error;
    ASSERT_TRUE(QuilletParseUsbDeviceText("usb:ABCD:0042@1-2", d, error));
    const std::string rule = QuilletUdevRule(d);
    EXPECT_NE(rule.find("SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"abcd\", "
                        "ATTR{idProduct}==\"0042\", TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n"),
              std::string::npos)
        << rule;
    EXPECT_NE(rule.find("/etc/udev/rules.d/70-"), std::string::npos) << "uaccess needs a rule before 73";
    ASSERT_TRUE(QuilletParseUsbDeviceText("usb:1-2", d, error));
    EXPECT_EQ(QuilletUdevRule(d), "");
}

} // namespace
