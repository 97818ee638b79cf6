#include <gtest/gtest.h>

#include <string>

#include "TempDir.h"
#include "platform/RegistryStore.h"
#include "tools/MemoryDumpSettings.h"

TEST(MemoryDumpSettingsTest, FirstStartGivesTheDefaultsAndMakesTheKeys) {
    CTempDir dir;
    const TS_MEMORY_DUMP_SETTINGS s = ReadMemoryDumpSettings(dir.Path());
    EXPECT_EQ(s.OutputMode, 0);
    EXPECT_EQ(s.ScreenStartAddress, "0000000");
    EXPECT_EQ(s.Size, 1u);
    EXPECT_EQ(s.ShowAscii, 0);
    EXPECT_EQ(s.Unit, 0);
    EXPECT_EQ(s.BinFilePath, "");
    EXPECT_EQ(s.FileStartAddress, "0000000");
    EXPECT_EQ(s.FileEndAddress, "0000000");
    CRegistryStore store(dir.Path());
    store.SelectRoot(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(store.HasKey("Software\\Vandrel\\Memory Dump"));
    EXPECT_TRUE(store.HasKey("Software\\Vandrel\\Memory Dump\\To Screen"));
    EXPECT_TRUE(store.HasKey("Software\\Vandrel\\Memory Dump\\To File"));
}

TEST(MemoryDumpSettingsTest, EveryValueIsStoredUnderItsNameAndType) {
    CTempDir dir;
    TS_MEMORY_DUMP_SETTINGS s;
    s.OutputMode = 1;
    s.ScreenStartAddress = "08100000";
    s.Size = 200;
    s.ShowAscii = 1;
    s.Unit = 2;
    s.BinFilePath = "/home/user/dumps/cs0 main.bin";
    s.FileStartAddress = "00006000";
    s.FileEndAddress = "00380000";
    WriteMemoryDumpSettings(s, dir.Path());

    CRegistryStore store(dir.Path());
    store.SelectRoot(HKEY_LOCAL_MACHINE);
    ASSERT_EQ(store.OpenPath("Software\\Vandrel\\Memory Dump"), 1);
    EXPECT_EQ(store.ValueType("Output mode"), REG_BINARY);
    EXPECT_EQ(store.GetFlag("Output mode", 0), 1);
    ASSERT_EQ(store.OpenPath("Software\\Vandrel\\Memory Dump\\To Screen"), 1);
    EXPECT_EQ(store.GetText("Start address", ""), "08100000");
    EXPECT_EQ(store.ValueType("Size"), REG_DWORD);
    EXPECT_EQ(store.GetInt("Size", 0), 200);
    EXPECT_EQ(store.ValueType("Show ASCII"), REG_BINARY);
    EXPECT_EQ(store.GetInt("Unit", 0), 2);
    ASSERT_EQ(store.OpenPath("Software\\Vandrel\\Memory Dump\\To File"), 1);
    EXPECT_EQ(store.GetText("Bin file path", ""), "/home/user/dumps/cs0 main.bin");
    EXPECT_EQ(store.GetText("Start address", ""), "00006000");
    EXPECT_EQ(store.GetText("End address", ""), "00380000");

    const TS_MEMORY_DUMP_SETTINGS back = ReadMemoryDumpSettings(dir.Path());
    EXPECT_EQ(back.OutputMode, 1);
    EXPECT_EQ(back.ScreenStartAddress, "08100000");
    EXPECT_EQ(back.Size, 200u);
    EXPECT_EQ(back.ShowAscii, 1);
    EXPECT_EQ(back.Unit, 2);
    EXPECT_EQ(back.BinFilePath, s.BinFilePath);
    EXPECT_EQ(back.FileStartAddress, "00006000");
    EXPECT_EQ(back.FileEndAddress, "00380000");
}

TEST(MemoryDumpSettingsTest, StoredValuesThePageNeverSavesAreBroughtInRange) {
    struct Case {
        int32_t size;
        int32_t unit;
        uint32_t sizeRead;
        int32_t unitRead;
    } cases[] = {
        {600, 1, 500, 1}, {0, 0, 1, 0},        {-1, 2, 250, 2},
        {40, 7, 40, 0},   {2000, -1, 1000, 0}, {250, 2, 250, 2},
    };
    for (const Case& c : cases) {
        CTempDir dir;
        CRegistryStore store(dir.Path());
        store.SelectRoot(HKEY_LOCAL_MACHINE);
        ASSERT_EQ(store.OpenPath("Software\\Vandrel\\Memory Dump\\To Screen", true), 1);
        store.PutInt("Size", c.size);
        store.PutInt("Unit", c.unit);
        const TS_MEMORY_DUMP_SETTINGS s = ReadMemoryDumpSettings(dir.Path());
        EXPECT_EQ(s.Size, c.sizeRead) << c.size << " / " << c.unit;
        EXPECT_EQ(s.Unit, c.unitRead) << c.size << " / " << c.unit;
    }
}

TEST(MemoryDumpSettingsTest, APathTooLongForTheStoreKeepsTheOldOne) {
    CTempDir dir;
    TS_MEMORY_DUMP_SETTINGS s;
    s.BinFilePath = "/short.bin";
    WriteMemoryDumpSettings(s, dir.Path());
    s.BinFilePath = "/" + std::string(260, 'a') + ".bin";
    s.FileEndAddress = "00000406";
    WriteMemoryDumpSettings(s, dir.Path());
    const TS_MEMORY_DUMP_SETTINGS back = ReadMemoryDumpSettings(dir.Path());
    EXPECT_EQ(back.BinFilePath, "/short.bin");
    EXPECT_EQ(back.FileEndAddress, "00000406");
}
