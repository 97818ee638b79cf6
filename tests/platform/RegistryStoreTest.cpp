#include <gtest/gtest.h>

#include "TempDir.h"
#include "platform/RegistryStore.h"

namespace {
const std::string kKey = "Software\\Vandrel\\Memory Dump";
}

TEST(RegistryStoreTest, SelectsOnlyThePredefinedRoots) {
    CTempDir dir;
    CRegistryStore store(dir.Path());
    EXPECT_EQ(store.Root(), HKEY_CURRENT_USER);
    EXPECT_EQ(store.CurrentPath(), "");
    const struct {
        HKEY key;
        int result;
        HKEY rootAfter;
    } cases[] = {
        {HKEY_LOCAL_MACHINE, 1, HKEY_LOCAL_MACHINE},
        {0x80000004u, 0, HKEY_LOCAL_MACHINE},
        {HKEY_CLASSES_ROOT, 1, HKEY_CLASSES_ROOT},
        {0, 0, HKEY_CLASSES_ROOT},
        {HKEY_USERS, 1, HKEY_USERS},
        {0x80000005u, 0, HKEY_USERS},
        {HKEY_CURRENT_USER, 1, HKEY_CURRENT_USER},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(store.SelectRoot(c.key), c.result) << std::hex << c.key;
        EXPECT_EQ(store.Root(), c.rootAfter) << std::hex << c.key;
    }
}

TEST(RegistryStoreTest, KeysAreMadeOpenedAndFoundPerRoot) {
    CTempDir dir;
    CRegistryStore store(dir.Path());
    store.SelectRoot(HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(store.HasKey(kKey));
    EXPECT_EQ(store.OpenPath(kKey, false), 0);
    EXPECT_EQ(store.LastError(), CRegistryStore::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(store.CurrentPath(), "");
    EXPECT_EQ(store.MakeKey(kKey), 1);
    EXPECT_EQ(store.CurrentPath(), kKey);
    EXPECT_TRUE(store.HasKey(kKey));
    EXPECT_TRUE(store.HasKey("Software\\Vandrel"));              // the keys above exist too
    EXPECT_TRUE(store.HasKey("SOFTWARE\\vandrel\\memory dump")); // without regard to case
    EXPECT_FALSE(store.HasKey(kKey, HKEY_CURRENT_USER));         // another root, another file
    EXPECT_EQ(store.OpenPath("", false), 1);
    EXPECT_EQ(store.CurrentPath(), "");
    EXPECT_EQ(store.OpenPath("Software\\Vandrel\\Other", true), 1);
    EXPECT_EQ(store.CurrentPath(), "Software\\Vandrel\\Other");
    EXPECT_EQ(store.OpenPath(kKey, false), 1);
    EXPECT_EQ(store.CurrentPath(), kKey);
    EXPECT_EQ(
        ReadFile(dir.File("HKEY_LOCAL_MACHINE.reg")),
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software]\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Vandrel]\n\n[HKEY_LOCAL_MACHINE\\Software\\Vandrel\\Memory Dump]\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Vandrel\\Other]\n\n");
}

TEST(RegistryStoreTest, ValuesAreWrittenWithTheirTypes) {
    CTempDir dir;
    CRegistryStore store(dir.Path());
    store.SelectRoot(HKEY_LOCAL_MACHINE);
    EXPECT_EQ(store.PutInt("At root", 1), 1); // no current key: the root itself, which always exists
    ASSERT_EQ(store.MakeKey(kKey), 1);
    EXPECT_EQ(store.PutInt("Baud", 12), 1);
    EXPECT_EQ(store.PutInt("Minus", -1), 1);
    EXPECT_EQ(store.PutFlag("Flag", 1), 1);
    EXPECT_EQ(store.PutText("Path", "/img/\"v\"main.m0"), 1);
    const std::string text = ReadFile(dir.File("HKEY_LOCAL_MACHINE.reg"));
    EXPECT_EQ(text.find("[HKEY_LOCAL_MACHINE]\n\"At root\"=dword:00000001\n"), 38u) << text;
    EXPECT_NE(text.find("\"Baud\"=dword:0000000c\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Minus\"=dword:ffffffff\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Flag\"=hex:01,00,00,00\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Path\"=\"/img/\\\"v\\\"main.m0\"\n"), std::string::npos) << text;
    EXPECT_EQ(store.ValueType("Baud"), REG_DWORD);
    EXPECT_EQ(store.ValueType("Flag"), REG_BINARY);
    EXPECT_EQ(store.ValueType("Path"), REG_SZ);
    EXPECT_EQ(store.ValueType("None"), 0u);
    EXPECT_EQ(store.LastError(), CRegistryStore::ERROR_FILE_NOT_FOUND);
    // The key read back by a second store, as the next run would.
    CRegistryStore other(dir.Path());
    other.SelectRoot(HKEY_LOCAL_MACHINE);
    EXPECT_EQ(other.GetInt("At root", 0), 1);
    EXPECT_EQ(other.OpenPath("Software\\Missing", false), 0);
    EXPECT_EQ(other.OpenPath(kKey, false), 1);
    EXPECT_EQ(other.GetInt("Minus", 0), -1);
}

TEST(RegistryStoreTest, ReadsFollowTheBufferRules) {
    CTempDir dir;
    dir.Write("HKEY_LOCAL_MACHINE.reg", "Windows Registry Editor Version 5.00\n\n"
                                        "[HKEY_LOCAL_MACHINE\\Software\\Vandrel\\Memory Dump]\n"
                                        "\"dword\"=dword:0000000c\n"
                                        "\"flag\"=hex:01,00,00,00\n"
                                        "\"short binary\"=hex:34,12\n"
                                        "\"long binary\"=hex:01,02,03,04,05\n"
                                        "\"short text\"=\"ab\"\n"
                                        "\"text\"=\"abcd\"\n"
                                        "\"text 254\"=\"" +
                                            std::string(254, 'x') +
                                            "\"\n"
                                            "\"text 255\"=\"" +
                                            std::string(255, 'x') +
                                            "\"\n"
                                            "\"expandable\"=hex(2):24,48,00\n");
    CRegistryStore store(dir.Path());
    store.SelectRoot(HKEY_LOCAL_MACHINE);
    ASSERT_EQ(store.OpenPath(kKey), 1);
    const struct {
        const char* name;
        int32_t value; // GetInt with default -7
    } ints[] = {
        {"dword", 12},          {"flag", 1}, {"short binary", 0x1234}, {"long binary", -7},
        {"short text", 0x6261}, // "ab" and its terminating zero fit 4 bytes
        {"text", -7},           // "abcd" and its zero do not
        {"missing", -7},
    };
    for (const auto& c : ints) {
        EXPECT_EQ(store.GetInt(c.name, -7), c.value) << c.name;
        EXPECT_EQ(store.GetFlag(c.name, -7), c.value) << c.name;
    }
    const struct {
        const char* name;
        std::string value; // GetText with default "def"
    } texts[] = {
        {"text", "abcd"},     {"text 254", std::string(254, 'x')},
        {"text 255", "def"}, // 256 bytes with the zero
        {"expandable", "$H"}, {"dword", "def"},
        {"flag", "def"},      {"missing", "def"},
    };
    for (const auto& c : texts) {
        EXPECT_EQ(store.GetText(c.name, "def"), c.value) << c.name;
    }
    EXPECT_EQ(store.ValueType("expandable"), REG_EXPAND_SZ);
    // A key that does not open gives the defaults.
    store.OpenPath("", false);
    EXPECT_EQ(store.GetInt("dword", -7), -7);
    EXPECT_EQ(store.GetText("text", "def"), "def");
}

TEST(RegistryStoreTest, PutTextRefusesMoreThan254Bytes) {
    CTempDir dir;
    CRegistryStore store(dir.Path());
    ASSERT_EQ(store.MakeKey(kKey), 1);
    EXPECT_EQ(store.PutText("t", "old"), 1);
    EXPECT_EQ(store.PutText("t", std::string(255, 'y')), 0);
    EXPECT_EQ(store.GetText("t", ""), "old");
    EXPECT_EQ(store.PutText("t", std::string(254, 'y')), 1);
    EXPECT_EQ(store.GetText("t", ""), std::string(254, 'y'));
    // counted in bytes of UTF-8: 85 three-byte characters are 255 bytes
    std::string wide;
    for (int i = 0; i < 85; ++i) {
        wide += "한";
    }
    EXPECT_EQ(store.PutText("t", wide), 0);
}

TEST(RegistryStoreTest, UnwritableStoreReadsDefaultsAndWritesNothing) {
    CTempDir dir;
    dir.Write("file", "");
    CRegistryStore store(dir.File("file/config")); // the folder cannot be made
    store.SelectRoot(HKEY_LOCAL_MACHINE);
    EXPECT_EQ(store.MakeKey(kKey), 0);
    EXPECT_EQ(store.CurrentPath(), "");
    EXPECT_EQ(store.PutInt("x", 1), 0);
    EXPECT_EQ(store.GetInt("x", 5), 5);
}
