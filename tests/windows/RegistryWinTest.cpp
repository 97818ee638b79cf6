// The settings in the Windows registry, under wine: the keys of the settings layout below
// HKEY_LOCAL_MACHINE, the user's own values below HKEY_CURRENT_USER read first, the value types,
// and the program's settings record round trip.
#include <gtest/gtest.h>

#include <string>

#include "RegistryBackendWin.h"
#include "app/AppSettings.h"
#include "platform/RegistryStore.h"

namespace {

class RegistryWin : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean() {
        platform::winreg::DeleteTree(HKEY_LOCAL_MACHINE, "Software\\Vandrel");
        platform::winreg::DeleteTree(HKEY_CURRENT_USER, "Software\\Vandrel");
    }
};

TEST_F(RegistryWin, ValuesKeepTheirTypesAndLimits) {
    CRegistryStore store;
    ASSERT_EQ(store.SelectRoot(HKEY_LOCAL_MACHINE), 1);
    ASSERT_EQ(store.OpenPath("Software\\Vandrel\\Flash download options", true), 1);
    struct Case {
        const char* name;
        int put;       // what the Put returned
        uint32_t type; // ValueType afterwards
    };
    const std::string longText(255, 'x');
    const Case cases[] = {
        {"Port", store.PutInt("Port", 3), REG_DWORD},
        {"Application code download", store.PutFlag("Application code download", 1), REG_BINARY},
        {"UART-FlashWriter path", store.PutText("UART-FlashWriter path", "C:\\Flash\\Zürich ◈.m0"), REG_SZ},
        {"Too long", store.PutText("Too long", longText), 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.put, c.type != 0 ? 1 : 0) << c.name;
        EXPECT_EQ(store.ValueType(c.name), c.type) << c.name;
    }
    EXPECT_EQ(store.GetInt("Port", -1), 3);
    EXPECT_EQ(store.GetFlag("Application code download", 0), 1);
    EXPECT_EQ(store.GetText("UART-FlashWriter path", ""), "C:\\Flash\\Zürich ◈.m0");
    EXPECT_EQ(store.GetInt("Missing", 77), 77);
    EXPECT_EQ(store.GetText("Port", "default"), "default"); // not a text
    // Written below HKEY_LOCAL_MACHINE, where the layout has it.
    uint32_t type = 0;
    std::string data;
    EXPECT_EQ(platform::winreg::QueryValue(HKEY_LOCAL_MACHINE, "Software\\Vandrel\\Flash download options",
                                           "Port", type, data),
              0);
    EXPECT_EQ(type, REG_DWORD);
}

TEST_F(RegistryWin, TheUsersValueIsReadFirstThenTheMachines) {
    const std::string key = "Software\\Vandrel\\COM port config";
    ASSERT_EQ(platform::winreg::CreateKey(HKEY_LOCAL_MACHINE, key), 0);
    ASSERT_EQ(
        platform::winreg::SetValue(HKEY_LOCAL_MACHINE, key, "Port", REG_DWORD, std::string("\x02\0\0\0", 4)),
        0);
    ASSERT_EQ(
        platform::winreg::SetValue(HKEY_LOCAL_MACHINE, key, "Baud", REG_DWORD, std::string("\x0b\0\0\0", 4)),
        0);
    ASSERT_EQ(platform::winreg::CreateKey(HKEY_CURRENT_USER, key), 0);
    ASSERT_EQ(
        platform::winreg::SetValue(HKEY_CURRENT_USER, key, "Port", REG_DWORD, std::string("\x01\0\0\0", 4)),
        0);
    CRegistryStore store;
    store.SelectRoot(HKEY_LOCAL_MACHINE);
    ASSERT_EQ(store.OpenPath(key), 1);
    EXPECT_EQ(store.GetInt("Port", -1), 1);  // the user's
    EXPECT_EQ(store.GetInt("Baud", -1), 11); // the machine's, where the user has none
}

TEST_F(RegistryWin, TheProgramsSettingsRoundTripAndStartFromTheDefaults) {
    TS_LOADED_SETTINGS first = ReadAppSettings();
    EXPECT_EQ(first.Settings.PortConfig.Port, 0);
    EXPECT_EQ(first.Settings.PortConfig.Baud, 12);
    EXPECT_EQ(platform::winreg::OpenKey(HKEY_LOCAL_MACHINE, "Software\\Vandrel\\COM port config", false), 0);
    AppSettings settings = first.Settings;
    settings.PortConfig.Port = 2;
    settings.PortConfig.Baud = 11;
    settings.FlashWriterPath[0] = "C:\\writers\\Ünïcode writer.m0";
    WriteAppSettings(settings, {"C:\\images\\main.m0", "C:\\images\\drive.m0"});
    TS_LOADED_SETTINGS again = ReadAppSettings();
    EXPECT_EQ(again.Settings.PortConfig.Port, 2);
    EXPECT_EQ(again.Settings.PortConfig.Baud, 11);
    EXPECT_EQ(again.Settings.FlashWriterPath[0], "C:\\writers\\Ünïcode writer.m0");
    EXPECT_EQ(again.FilePaths, (std::vector<std::string>{"C:\\images\\main.m0", "C:\\images\\drive.m0"}));
}

} // namespace
