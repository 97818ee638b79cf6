#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "TempDir.h"
#include "platform/SettingsStore.h"

using platform::SettingsDocument;
using platform::SettingsStore;

namespace {
std::string Dword(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) {
        s[static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
    }
    return s;
}
} // namespace

TEST(SettingsStoreTest, WritesRegistryExportSyntax) {
    SettingsDocument doc;
    doc.MakeKey("Software\\Vandrel\\COM port config");
    doc.SetValue("Software\\Vandrel\\COM port config", "Baud", platform::SETTINGS_DWORD, Dword(12));
    doc.MakeKey("Software\\Vandrel\\Flash download options");
    doc.SetValue("Software\\Vandrel\\Flash download options", "Application code download",
                 platform::SETTINGS_BINARY, Dword(1));
    doc.SetValue("Software\\Vandrel\\Flash download options", "UART-FlashWriter path", platform::SETTINGS_SZ,
                 "/home/me/\"w\"\\riter ◈.m0");
    EXPECT_EQ(doc.Serialize("HKEY_LOCAL_MACHINE"),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Vandrel]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Vandrel\\COM port config]\n"
              "\"Baud\"=dword:0000000c\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Vandrel\\Flash download options]\n"
              "\"Application code download\"=hex:01,00,00,00\n"
              "\"UART-FlashWriter path\"=\"/home/me/\\\"w\\\"\\\\riter ◈.m0\"\n"
              "\n");
}

TEST(SettingsStoreTest, EveryValueSurvivesSaveAndLoad) {
    CTempDir dir;
    SettingsStore store(dir.File("nested/config"));
    SettingsDocument doc;
    const std::string key = "Software\\Vandrel\\Memory Dump\\Recent";
    doc.MakeKey(key);
    const struct {
        const char* name;
        uint32_t type;
        std::string data;
    } values[] = {
        {"dword", platform::SETTINGS_DWORD, Dword(0xFFFFFFFF)},
        {"flag", platform::SETTINGS_BINARY, Dword(1)},
        {"long binary", platform::SETTINGS_BINARY, std::string(100, '\x5A')}, // wrapped over lines
        {"empty binary", platform::SETTINGS_BINARY, ""},
        {"text", platform::SETTINGS_SZ, "C:\\img\\\"quoted\" ◈ 한글"},
        {"empty text", platform::SETTINGS_SZ, ""},
        {"text with a line feed", platform::SETTINGS_SZ, "two\nlines"},
        {"expandable", platform::SETTINGS_EXPAND_SZ, "$HOME/x"},
        // zero bytes inside or at the end of a text are written as hex and must come back
        {"text with zero bytes", platform::SETTINGS_SZ, std::string("0x00\0dword\0", 11)},
        {"expandable ending in zeros", platform::SETTINGS_EXPAND_SZ, std::string("x\0\0", 3)},
        {"", platform::SETTINGS_SZ, "default value"},
    };
    for (const auto& v : values) {
        doc.SetValue(key, v.name, v.type, v.data);
    }
    std::string error;
    ASSERT_TRUE(store.Save("HKEY_CURRENT_USER", doc, &error)) << error;
    SettingsDocument back;
    ASSERT_EQ(store.Load("HKEY_CURRENT_USER", back, &error), SettingsStore::LoadStatus::Loaded) << error;
    for (const auto& v : values) {
        const platform::SettingsValue* got = back.FindValue(key, v.name);
        ASSERT_NE(got, nullptr) << v.name;
        EXPECT_EQ(got->type, v.type) << v.name;
        EXPECT_EQ(got->data, v.data) << v.name;
    }
    EXPECT_TRUE(back.HasKey("software\\VANDREL")); // keys and names compare without case
    EXPECT_NE(back.FindValue(key, "DWORD"), nullptr);
    EXPECT_EQ(dir.Listing(), "nested ");
    EXPECT_EQ(CTempDir::ListingOf(dir.File("nested/config")),
              "HKEY_CURRENT_USER.reg "); // no temporary file left
}

TEST(SettingsStoreTest, ReadsHandWrittenFiles) {
    const std::string text = "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
                             "\r\n"
                             "; written by hand\r\n"
                             "[HKEY_LOCAL_MACHINE\\Software\\Vandrel\\Windows]\r\n"
                             "\"Top\"=dword:14\r\n"
                             "\"Blob\"=hex:01,02,\\\r\n"
                             "  03,04\r\n"
                             "@=\"root value\"\r\n"
                             "[hkey_local_machine\\software\\vandrel\\windows]\r\n"
                             "\"top\"=dword:00000015\r\n";
    SettingsDocument doc;
    std::string error;
    ASSERT_TRUE(SettingsDocument::Parse(text, "HKEY_LOCAL_MACHINE", doc, error)) << error;
    const platform::SettingsValue* top = doc.FindValue("Software\\Vandrel\\Windows", "Top");
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->data, Dword(0x15)); // the later value wins
    ASSERT_NE(doc.FindValue("Software\\Vandrel\\Windows", "Blob"), nullptr);
    EXPECT_EQ(doc.FindValue("Software\\Vandrel\\Windows", "Blob")->data, "\x01\x02\x03\x04");
    EXPECT_EQ(doc.FindValue("Software\\Vandrel\\Windows", "")->data, "root value");
    EXPECT_EQ(doc.Keys().size(), 3u); // Software, Software\Vandrel, ...\Windows
}

TEST(SettingsStoreTest, UnparseableFileIsSetAsideAndNeverOverwritten) {
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"no header", "[HKEY_LOCAL_MACHINE\\Software]\n"},
        {"other root", "Windows Registry Editor Version 5.00\n[HKEY_USERS\\Software]\n"},
        {"value before key", "Windows Registry Editor Version 5.00\n\"a\"=dword:1\n"},
        {"bad dword",
         "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=dword:123456789\n"},
        {"bad hex", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=hex:1g\n"},
        {"open quote", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=\"text\n"},
        {"unknown type", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=qword:1\n"},
        {"deletion", "Windows Registry Editor Version 5.00\n[-HKEY_LOCAL_MACHINE\\S]\n"},
        {"binary garbage", std::string("\x00\x01\x02garbage", 10)},
    };
    for (const auto& c : cases) {
        CTempDir dir;
        SettingsStore store(dir.Path());
        dir.Write("HKEY_LOCAL_MACHINE.reg", c.text);
        SettingsDocument doc;
        std::string error;
        EXPECT_EQ(store.Load("HKEY_LOCAL_MACHINE", doc, &error), SettingsStore::LoadStatus::SetAside)
            << c.what;
        EXPECT_TRUE(doc.Empty()) << c.what;
        EXPECT_NE(error.find("HKEY_LOCAL_MACHINE.reg: line"), std::string::npos) << c.what << ": " << error;
        EXPECT_NE(error.find("renamed to"), std::string::npos) << c.what << ": " << error;
        // Saving afterwards writes a new file beside the one set aside.
        doc.MakeKey("S");
        ASSERT_TRUE(store.Save("HKEY_LOCAL_MACHINE", doc, &error)) << error;
        std::string aside;
        for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
            if (e.path().filename().string().rfind("HKEY_LOCAL_MACHINE.reg.bad-", 0) == 0) {
                aside = e.path().string();
            }
        }
        ASSERT_FALSE(aside.empty()) << c.what << ": " << dir.Listing();
        EXPECT_EQ(ReadFile(aside), c.text) << c.what;
    }
}

TEST(SettingsStoreTest, MissingFileIsEmptyAndUnwritableDirectoryFailsSave) {
    CTempDir dir;
    SettingsStore store(dir.Path());
    SettingsDocument doc;
    EXPECT_EQ(store.Load("HKEY_USERS", doc), SettingsStore::LoadStatus::Missing);
    dir.Write("file", "x");
    SettingsStore blocked(dir.File("file/config")); // a path through a file: nothing can be made there
    std::string error;
    doc.MakeKey("S");
    EXPECT_FALSE(blocked.Save("HKEY_USERS", doc, &error));
    EXPECT_FALSE(error.empty());
}

TEST(SettingsStoreTest, DirectoryFromTheEnvironment) {
    const char* names[] = {"VANDREL_CONFIG_DIR", "XDG_CONFIG_HOME", "HOME"};
    std::string saved[3];
    bool had[3];
    for (int i = 0; i < 3; ++i) {
        const char* v = std::getenv(names[i]);
        had[i] = v != nullptr;
        saved[i] = v ? v : "";
    }
    setenv("VANDREL_CONFIG_DIR", "/tmp/cfg", 1);
    setenv("XDG_CONFIG_HOME", "/tmp/xdg", 1);
    setenv("HOME", "/tmp/home", 1);
    EXPECT_EQ(SettingsStore::DefaultDirectory(), "/tmp/cfg");
    unsetenv("VANDREL_CONFIG_DIR");
    EXPECT_EQ(SettingsStore::DefaultDirectory(), "/tmp/xdg/vandrel");
    setenv("XDG_CONFIG_HOME", "relative", 1); // not absolute: ignored, as the XDG rules say
    EXPECT_EQ(SettingsStore::DefaultDirectory(), "/tmp/home/.config/vandrel");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(SettingsStore::DefaultDirectory(), "/tmp/home/.config/vandrel");
    for (int i = 0; i < 3; ++i) {
        if (had[i]) {
            setenv(names[i], saved[i].c_str(), 1);
        } else {
            unsetenv(names[i]);
        }
    }
}

TEST(SettingsStoreTest, ConcurrentUpdatesLoseNothing) {
    CTempDir dir;
    SettingsStore store(dir.Path());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                store.Update("HKEY_CURRENT_USER", [&](SettingsDocument& doc) {
                    doc.MakeKey("K");
                    return doc.SetValue("K", "v" + std::to_string(t) + "-" + std::to_string(i),
                                        platform::SETTINGS_DWORD, Dword(static_cast<uint32_t>(i)));
                });
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    SettingsDocument doc;
    ASSERT_EQ(store.Load("HKEY_CURRENT_USER", doc), SettingsStore::LoadStatus::Loaded);
    EXPECT_EQ(doc.FindKey("K")->values.size(), 40u);
}
