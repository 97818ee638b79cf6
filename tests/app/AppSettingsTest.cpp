#include <gtest/gtest.h>

#include "TempDir.h"
#include "app/AppSettings.h"
#include "app/ComPortMap.h"
#include "platform/RegistryStore.h"

namespace {
void Put(const CTempDir& dir, const char* key, const char* name, int32_t value) {
    CRegistryStore store(dir.Path());
    store.SelectRoot(HKEY_LOCAL_MACHINE);
    ASSERT_EQ(store.OpenPath(key, true), 1);
    ASSERT_EQ(store.PutInt(name, value), 1);
}
void PutText(const CTempDir& dir, const char* key, const char* name, const std::string& value) {
    CRegistryStore store(dir.Path());
    store.SelectRoot(HKEY_LOCAL_MACHINE);
    ASSERT_EQ(store.OpenPath(key, true), 1);
    ASSERT_EQ(store.PutText(name, value), 1);
}
std::vector<std::string> Paths(int n) {
    std::vector<std::string> paths;
    for (int i = 1; i <= n; ++i) {
        paths.push_back("/img/v" + std::to_string(i) + ".m0");
    }
    return paths;
}
} // namespace

TEST(AppSettingsTest, FirstStartGivesTheDefaultsAndMakesTheKeys) {
    CTempDir dir;
    const TS_LOADED_SETTINGS loaded = ReadAppSettings(dir.Path());
    const TS_PORT_CONFIG& p = loaded.Settings.PortConfig;
    EXPECT_EQ(p.PortType, PORT_UART);
    EXPECT_EQ(p.Port, 0);
    EXPECT_EQ(p.Baud, 12);
    EXPECT_EQ(p.Databits, 3);
    EXPECT_EQ(p.Parity, 0);
    EXPECT_EQ(p.Stopbits, 0);
    EXPECT_EQ(p.FlowControl, 0);
    EXPECT_EQ(loaded.Settings.AppCodeDownload, 1);
    EXPECT_EQ(loaded.Settings.VirtualDriveDownload, 0);
    EXPECT_EQ(loaded.Settings.OstraDataDownload, 0);
    EXPECT_EQ(loaded.Settings.FlashWriterPath[0], "");
    EXPECT_EQ(loaded.Settings.FlashWriterPath[1], "");
    EXPECT_EQ(loaded.RadioValue, 0);
    EXPECT_TRUE(loaded.FilePaths.empty());
    const auto placement = ReadWindowPlacement(dir.Path());
    ASSERT_TRUE(placement.has_value());
    EXPECT_EQ(placement->Status, 1);
    EXPECT_EQ(placement->Left, 171);
    EXPECT_EQ(placement->Top, 20);
    EXPECT_EQ(placement->Right, 770);
    EXPECT_EQ(placement->Bottom, 595);
    CRegistryStore store(dir.Path());
    store.SelectRoot(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(store.HasKey(KEY_COM_PORT_CONFIG));
    EXPECT_TRUE(store.HasKey(KEY_FLASH_DOWNLOAD_OPTIONS));
    EXPECT_TRUE(store.HasKey(KEY_WINDOWS));
}

TEST(AppSettingsTest, StoredFileCountFollowsTheLow16BitsRule) {
    const struct {
        int32_t count;
        std::size_t rows;
    } cases[] = {
        {0, 0},  {3, 3},       {5, 5},       {9, 5},      {-1, 0},
        {-3, 0}, {0x10003, 3}, {0x1FFFF, 0}, {0x7FFF, 5}, {0x8000, 0},
    };
    for (const auto& c : cases) {
        CTempDir dir;
        for (int k = 0; k < 5; ++k) {
            const char* names[] = {"1st flash file path", "2nd flash file path", "3rd flash file path",
                                   "4th flash file path", "5th flash file path"};
            PutText(dir, KEY_FLASH_DOWNLOAD_OPTIONS, names[k], "/img/v" + std::to_string(k + 1) + ".m0");
        }
        Put(dir, KEY_FLASH_DOWNLOAD_OPTIONS, "Number of flash files in list", c.count);
        const auto loaded = ReadAppSettings(dir.Path());
        EXPECT_EQ(loaded.FilePaths.size(), c.rows) << c.count;
        if (!loaded.FilePaths.empty()) {
            EXPECT_EQ(loaded.FilePaths.front(), "/img/v1.m0");
        }
    }
}

TEST(AppSettingsTest, LineSettingsAreReplacedByEightNoneOne) {
    CTempDir dir;
    Put(dir, KEY_COM_PORT_CONFIG, "Databits", 2);
    Put(dir, KEY_COM_PORT_CONFIG, "Parity", 2);
    Put(dir, KEY_COM_PORT_CONFIG, "Stopbits", 1);
    Put(dir, KEY_COM_PORT_CONFIG, "Flow control", 2);
    Put(dir, KEY_COM_PORT_CONFIG, "Port type", 1);
    Put(dir, KEY_COM_PORT_CONFIG, "Baud", 7);
    auto loaded = ReadAppSettings(dir.Path());
    EXPECT_EQ(loaded.Settings.PortConfig.Databits, 3);
    EXPECT_EQ(loaded.Settings.PortConfig.Parity, 0);
    EXPECT_EQ(loaded.Settings.PortConfig.Stopbits, 0);
    EXPECT_EQ(loaded.Settings.PortConfig.FlowControl, 0);
    EXPECT_EQ(loaded.Settings.PortConfig.Baud, 7);
    EXPECT_EQ(loaded.RadioValue, 1);
    WriteAppSettings(loaded.Settings, {}, dir.Path());
    CRegistryStore store(dir.Path());
    store.SelectRoot(HKEY_LOCAL_MACHINE);
    store.OpenPath(KEY_COM_PORT_CONFIG);
    EXPECT_EQ(store.GetInt("Databits", -1), 3); // written back as 3
    EXPECT_EQ(store.GetInt("Flow control", -1), 0);
}

TEST(AppSettingsTest, SavedRecordAndListComeBack) {
    CTempDir dir;
    AppSettings s;
    s.PortConfig.PortType = PORT_USB;
    s.PortConfig.Port = 2;
    s.PortConfig.Baud = 14;
    s.AppCodeDownload = 0;
    s.VirtualDriveDownload = 1;
    s.OstraDataDownload = 7;
    s.FlashWriterPath[PORT_UART] = "/img/writer uart.m0";
    s.FlashWriterPath[PORT_USB] = "/img/\"writer\" usb ◈.m0";
    WriteAppSettings(s, Paths(7), dir.Path()); // more rows than are kept: the first five
    auto loaded = ReadAppSettings(dir.Path());
    EXPECT_EQ(loaded.Settings.PortConfig.PortType, PORT_USB);
    EXPECT_EQ(loaded.Settings.PortConfig.Port, 2);
    EXPECT_EQ(loaded.Settings.PortConfig.Baud, 14);
    EXPECT_EQ(loaded.Settings.AppCodeDownload, 0);
    EXPECT_EQ(loaded.Settings.VirtualDriveDownload, 1);
    EXPECT_EQ(loaded.Settings.OstraDataDownload, 7);
    EXPECT_EQ(loaded.Settings.FlashWriterPath[PORT_UART], s.FlashWriterPath[PORT_UART]);
    EXPECT_EQ(loaded.Settings.FlashWriterPath[PORT_USB], s.FlashWriterPath[PORT_USB]);
    EXPECT_EQ(loaded.FilePaths, Paths(5));
    const std::string text = ReadFile(dir.File("HKEY_LOCAL_MACHINE.reg"));
    EXPECT_NE(text.find("\"Application code download\"=hex:00,00,00,00\n"), std::string::npos);
    EXPECT_NE(text.find("\"Number of flash files in list\"=dword:00000005\n"), std::string::npos);

    // Fewer rows later: the count follows and the remaining slots are emptied.
    WriteAppSettings(s, Paths(2), dir.Path());
    loaded = ReadAppSettings(dir.Path());
    EXPECT_EQ(loaded.FilePaths, Paths(2));
    CRegistryStore store(dir.Path());
    store.SelectRoot(HKEY_LOCAL_MACHINE);
    store.OpenPath(KEY_FLASH_DOWNLOAD_OPTIONS);
    EXPECT_EQ(store.GetText("3rd flash file path", "?"), "");
    EXPECT_EQ(store.GetText("5th flash file path", "?"), "");

    // A path longer than 254 bytes is not written: the old value stays.
    std::vector<std::string> longList = {"/img/" + std::string(260, 'v') + ".m0", "/img/vnew.m0"};
    WriteAppSettings(s, longList, dir.Path());
    loaded = ReadAppSettings(dir.Path());
    EXPECT_EQ(loaded.FilePaths, (std::vector<std::string>{"/img/v1.m0", "/img/vnew.m0"}));
}

TEST(AppSettingsTest, WindowPlacement) {
    CTempDir dir;
    WriteWindowPlacement({3, 100, 200, 700, 900}, dir.Path());
    auto p = ReadWindowPlacement(dir.Path());
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->Status, 3);
    EXPECT_EQ(p->Top, 100);
    EXPECT_EQ(p->Left, 200);
    EXPECT_EQ(p->Bottom, 700);
    EXPECT_EQ(p->Right, 900);
    Put(dir, KEY_WINDOWS, "Left", -1);
    EXPECT_FALSE(ReadWindowPlacement(dir.Path()).has_value()); // a value of -1: the position is not used

    const struct {
        int left, top;
        TS_SCREEN_METRICS screen;
        int x, y;
    } cases[] = {
        {171, 20, {0, 0, 1920, 1080, 32, 32}, 171, 20},
        {171, 20, {64, 30, 1920, 1080, 32, 32}, 235, 50},     // moved by the work area's origin
        {5000, 4000, {0, 0, 1920, 1080, 32, 32}, 1888, 1048}, // an icon's size inside the screen
        {-500, -300, {0, 0, 1920, 1080, 32, 32}, -500, -300}, // no lower limit
    };
    for (const auto& c : cases) {
        TS_WINDOW_PLACEMENT placement;
        placement.Left = c.left;
        placement.Top = c.top;
        const TS_WINDOW_POSITION pos = RestoredWindowPosition(placement, c.screen);
        EXPECT_EQ(pos.x, c.x) << c.left;
        EXPECT_EQ(pos.y, c.y) << c.top;
    }
}

TEST(AppSettingsTest, ComPortMapIsKeptWithThePortSettings) {
    CTempDir dir;
    EXPECT_EQ(ReadComPortMap(dir.Path()).ComDevice[0], "");
    TS_COM_PORT_MAP map;
    map.ComDevice = {"/dev/ttyUSB0", "", "/dev/ttyS1", "/tmp/pty 4"};
    map.UsbDevice = "/run/vandrel-sim.sock";
    EXPECT_TRUE(WriteComPortMap(map, dir.Path()));
    const TS_COM_PORT_MAP back = ReadComPortMap(dir.Path());
    EXPECT_EQ(back.ComDevice, map.ComDevice);
    EXPECT_EQ(back.UsbDevice, map.UsbDevice);
    EXPECT_NE(ReadFile(dir.File("HKEY_LOCAL_MACHINE.reg"))
                  .find("[HKEY_LOCAL_MACHINE\\Software\\Vandrel\\COM port config]\n\"COM1 "
                        "device\"=\"/dev/ttyUSB0\"\n"),
              std::string::npos);
    // The port settings saved later keep the map.
    WriteAppSettings(AppSettings{}, {}, dir.Path());
    EXPECT_EQ(ReadComPortMap(dir.Path()).ComDevice[3], "/tmp/pty 4");
}

TEST(AppSettingsTest, UnusableStoreGivesDefaults) {
    CTempDir dir;
    dir.Write("file", "");
    const std::string blocked = dir.File("file/config");
    const auto loaded = ReadAppSettings(blocked);
    EXPECT_EQ(loaded.Settings.PortConfig.Baud, 12);
    EXPECT_EQ(loaded.Settings.AppCodeDownload, 1);
    WriteAppSettings(loaded.Settings, Paths(1), blocked); // nothing to see, nothing to crash
    EXPECT_FALSE(ReadWindowPlacement(blocked).has_value());
}
