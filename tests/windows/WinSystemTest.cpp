// What the Windows files of platform/, station/ and cli/ do, under wine: descriptors no child
// inherits, replacing a file, devices present without opening them, a port's one name, the advice
// for a port another program holds, the user's and host's names, the console's width, the
// version block read through a file mapping.
#include <gtest/gtest.h>

#include <windows.h>

#include <io.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "CliConsole.h"
#include "CliDeviceAccess.h"
#include "TempDir.h"
#include "WinUtf8.h"
#include "platform/Files.h"
#include "platform/HostIdentity.h"
#include "platform/VersionBlock.h"
#include "quillet/UsbDevices.h"
#include "station/SerialNames.h"
#include "station/StationEngine.h"

namespace {

using platform::EFileOpen;

bool Inherited(int fd) {
    DWORD flags = 0;
    const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    return ::GetHandleInformation(h, &flags) && (flags & HANDLE_FLAG_INHERIT) != 0;
}

std::string Contents(const std::string& path) {
    std::ifstream in(quillet::Utf8ToWide(path).c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(WinFiles, OpenedFilesAreNotInheritedAndSayWhyNot) {
    CTempDir dir;
    const std::string file = dir.Write("a.bin", "bytes\n");
    const std::string fresh = dir.File("Neu-ä.bin");
    const struct {
        std::string path;
        EFileOpen how;
        int error; // 0: opens
    } cases[] = {
        {file, EFileOpen::Read, 0},
        {file, EFileOpen::ReadNoWait, 0},
        {fresh, EFileOpen::CreateNew, 0},
        {fresh, EFileOpen::CreateNew, EEXIST},
        {fresh, EFileOpen::CreateOrEmpty, 0},
        {dir.File("missing"), EFileOpen::Read, ENOENT},
        {dir.Path(), EFileOpen::Read, EISDIR},
    };
    for (const auto& c : cases) {
        errno = 0;
        const int fd = platform::OpenFile(c.path, c.how);
        EXPECT_EQ(fd < 0 ? errno : 0, c.error) << c.path;
        if (fd >= 0) {
            EXPECT_FALSE(Inherited(fd)) << c.path;
            ::_close(fd);
        }
    }
    // binary: a newline stays one byte
    const int fd = platform::OpenFile(file, EFileOpen::Read);
    char buffer[16];
    EXPECT_EQ(::_read(fd, buffer, sizeof buffer), 6);
    ::_close(fd);
    std::FILE* log = platform::OpenAppendStream(dir.File("Protokoll-ü.log"));
    ASSERT_NE(log, nullptr);
    EXPECT_FALSE(Inherited(::_fileno(log)));
    std::fputs("line\n", log);
    std::fclose(log);
    EXPECT_EQ(Contents(dir.File("Protokoll-ü.log")), "line\n");
}

TEST(WinFiles, ReplacingTakesThePlaceOfTheTarget) {
    CTempDir dir;
    const std::string target = dir.Write("v.cp64", "old");
    EXPECT_EQ(platform::RenameReplacing(dir.Write("t1", "new"), target), 0);
    EXPECT_EQ(Contents(target), "new");
    EXPECT_EQ(platform::RenameReplacing(dir.Write("t2", "fresh"), dir.File("none-yet")), 0);
    EXPECT_EQ(Contents(dir.File("none-yet")), "fresh");
    EXPECT_EQ(platform::RenameReplacing(dir.File("missing"), target), ENOENT);
    // another program reads the target without sharing its deletion, and lets go soon: the
    // replacement waits for it (Windows refuses until then; wine does not refuse at all)
    const HANDLE reader = ::CreateFileW(quillet::Utf8ToWide(target).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    std::thread letGo([reader] {
        ::Sleep(300);
        ::CloseHandle(reader);
    });
    EXPECT_EQ(platform::RenameReplacing(dir.Write("t3", "newest"), target), 0);
    letGo.join();
    EXPECT_EQ(Contents(target), "newest");
    EXPECT_EQ(CTempDir::ListingOf(dir.Path()), "none-yet v.cp64 ");
}

TEST(WinFiles, DevicesArePresentWithoutOpeningThem) {
    CTempDir dir;
    const std::wstring pipeName = L"\\\\.\\pipe\\vandrel-present-" + std::to_wstring(::GetCurrentProcessId());
    const HANDLE server =
        ::CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    const std::string pipe = quillet::WideToUtf8(pipeName);
    const struct {
        std::string path;
        bool present;
    } cases[] = {
        {dir.Write("file", "x"), true},
        {dir.Path(), true},
        {dir.File("missing"), false},
        {pipe, true},
        {"\\\\.\\pipe\\vandrel-nobody-offers-this", false},
        {"COM250", false},
        {"\\\\.\\COM250", false},
        {"\\\\.\\NoSuchDevice0", false},
        {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::PathPresent(c.path), c.present) << c.path;
    }
    // looking did not connect to the pipe: its one instance is still free for the real client
    OVERLAPPED overlapped{};
    overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(::ConnectNamedPipe(server, &overlapped));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING)) << "a client connected while looking";
    ::CancelIo(server);
    ::CloseHandle(overlapped.hEvent);
    ::CloseHandle(server);
    EXPECT_FALSE(platform::PathPresent(pipe));
}

TEST(WinPorts, OneNamePerPortAndTheStationRefusesItTwice) {
    const struct {
        std::string a, b;
        bool same;
    } cases[] = {
        {"COM3", "\\\\.\\COM3", true},
        {"COM3", "com3", true},
        {"\\\\.\\com3", "\\\\.\\COM3", true},
        {"COM3", "COM4", false},
        {"COM3", "COM33", false},
        {"\\\\.\\pipe\\Handset", "\\\\.\\PIPE\\handset", true},
        {"\\\\.\\Csr0", "\\\\.\\Csr1", false},
        {"image.bin", ".\\IMAGE.BIN", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CanonicalPortName(c.a) == CanonicalPortName(c.b), c.same) << c.a << " " << c.b;
        const std::vector<TS_STATION_PORT> ports = {StationUartPort(c.a, 12), StationUartPort(c.b, 12)};
        EXPECT_EQ(CStationEngine::RepeatedPort(ports), c.same ? c.b : "") << c.a << " " << c.b;
    }
    EXPECT_EQ(CanonicalPortName("com7"), "\\\\.\\COM7");
}

TEST(WinPorts, APortAnotherProgramHoldsIsSaidSoWithoutLinuxAdvice) {
    const struct {
        std::string device;
        unsigned error;
        std::string advice; // how it begins; empty: none
    } cases[] = {
        {"COM3", 5, "COM3 is in use by another program"},
        {"\\\\.\\COM3", 32, "COM3 is in use by another program"},
        {"\\\\.\\com12", 5, "COM12 is in use by another program"},
        {"\\\\.\\Csr0", 32, "\\\\.\\Csr0 is in use by another program"},
        {"COM3", 2, ""},
        {"COM3", 87, ""},
        {"", 5, ""},
    };
    for (const auto& c : cases) {
        const std::string advice = PortOpenAdvice(c.device, c.error);
        EXPECT_EQ(advice.substr(0, c.advice.size()), c.advice) << c.device << " " << c.error;
        EXPECT_EQ(advice.empty(), c.advice.empty()) << advice;
        for (const char* word : {"usermod", "sudo", "dialout", "group"}) {
            EXPECT_EQ(advice.find(word), std::string::npos) << advice;
        }
    }
    EXPECT_EQ(DeviceUseNote("\\\\.\\COM250"), "  (missing)");
    TS_USB_DEVICE_TEXT usb;
    std::string error;
    ASSERT_TRUE(QuilletParseUsbDeviceText("usb:abcd:0042", usb, error));
    EXPECT_EQ(QuilletUdevRule(usb), "") << "no udev on Windows";
}

TEST(WinHost, NamesAreTheSystemsOwn) {
    const wchar_t* user = ::_wgetenv(L"USERNAME");
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(platform::UserName(), quillet::WideToUtf8(user));
    EXPECT_NE(platform::UserName(), "user");
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(::GetComputerNameW(computer, &size));
    // the DNS host name, which the NetBIOS name is the first 15 characters of (upper case)
    const auto upper = [](std::string text) {
        for (char& c : text) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return text;
    };
    EXPECT_EQ(upper(platform::HostName()).substr(0, size),
              upper(quillet::WideToUtf8(std::wstring_view(computer, size))));
    EXPECT_EQ(platform::HomeFolder(), quillet::WideToUtf8(::_wgetenv(L"USERPROFILE")));
}

TEST(WinHost, TemporaryFoldersAreNewEachTime) {
    const std::string a = platform::MakeTemporaryFolder("vandrel-t-");
    const std::string b = platform::MakeTemporaryFolder("vandrel-t-");
    ASSERT_FALSE(a.empty());
    EXPECT_NE(a, b);
    EXPECT_TRUE(platform::PathPresent(a) && platform::PathPresent(b));
    EXPECT_NE(a.find("vandrel-t-"), std::string::npos);
    ::RemoveDirectoryW(quillet::Utf8ToWide(a).c_str());
    ::RemoveDirectoryW(quillet::Utf8ToWide(b).c_str());
}

TEST(WinConsole, AFileHasNoWidth) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(ConsoleColumns(f), 0);
    std::fclose(f);
}

// This program carries a version block (tests/windows/CMakeLists.txt): read from its own file
// through a file mapping, and nothing from files without one.
TEST(WinVersionBlock, ReadThroughAFileMapping) {
    const auto info = platform::ReadVersionBlock();
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->FileDescription, "Vandrel Windows tests");
    EXPECT_EQ(info->FileVersion, "3.0.0.9");
    CTempDir dir;
    for (const std::string& f : {dir.Write("empty", ""), dir.Write("text", std::string(200, 'x')),
                                 dir.File("missing"), dir.Path()}) {
        EXPECT_FALSE(platform::ReadVersionBlock(f).has_value()) << f;
    }
}

} // namespace
