// The vandrel-sim program with libquillet found through VANDREL_COM1 and VANDREL_USB_DEVICE:
// options, state file on SIGUSR1 and at exit, memory export, clean removal of link and socket.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "SimTestUtil.h"
#include "quillet/OstraMonitor.h"

extern char** environ;

using simtest::Bytes;

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Waits for a file to appear: the program writes it from its own main thread.
bool WaitForFile(const std::string& path, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (Exists(path)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

class CProgram {
public:
    explicit CProgram(std::vector<std::string> args) {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        args.insert(args.begin(), VANDREL_SIM_PROGRAM);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&m_Pid, VANDREL_SIM_PROGRAM, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        m_Out = out[0];
    }
    ~CProgram() {
        if (m_Pid > 0) {
            kill(m_Pid, SIGKILL);
            waitpid(m_Pid, nullptr, 0);
        }
        close(m_Out);
    }
    // Reads the program's output until a line holding text arrives.
    bool WaitForOutput(const std::string& text, int ms = 10000) {
        while (m_Output.find(text) == std::string::npos) {
            pollfd p{m_Out, POLLIN, 0};
            if (poll(&p, 1, ms) <= 0) {
                return false;
            }
            char buf[512];
            const ssize_t n = read(m_Out, buf, sizeof buf);
            if (n <= 0) {
                return false;
            }
            m_Output.append(buf, size_t(n));
        }
        return true;
    }
    void Signal(int s) { kill(m_Pid, s); }
    int Wait() {
        int status = 0;
        waitpid(m_Pid, &status, 0);
        m_Pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string& Output() const { return m_Output; }

private:
    pid_t m_Pid = -1;
    int m_Out = -1;
    std::string m_Output;
};

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/vandrel-simprog-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_Dir = pattern;
    }
    void TearDown() override {
        unsetenv("VANDREL_COM1");
        unsetenv("VANDREL_USB_DEVICE");
        std::error_code ec;
        fs::remove_all(m_Dir, ec);
    }
    std::string m_Dir;
};

} // namespace

TEST_F(ProgramTest, ServesLibquilletOnBothLinksAndReportsAtExit) {
    const std::string link = m_Dir + "/r3700", usb = m_Dir + "/r3700.usb", state = m_Dir + "/state.json";
    const std::string preload = m_Dir + "/preload.bin", exported = m_Dir + "/export.bin";
    const Bytes preloaded{0xDE, 0xAD, 0xBE, 0xEF, 0x02, 0x0A, 0x10};
    std::ofstream(preload, std::ios::binary).write(reinterpret_cast<const char*>(preloaded.data()), 7);

    CProgram sim({"--uart",
                  link,
                  "--usb",
                  usb,
                  "--boot-version",
                  "3.4.5",
                  "--cs",
                  "1:7:2M",
                  "--load",
                  "0x08000000:" + preload,
                  "--export",
                  "0x20000000:0x20000010:" + exported,
                  "--state-out",
                  state,
                  "--fault",
                  "drop-reply:1:1:0x41",
                  "--flash-write-answer",
                  "7",
                  "--fault",
                  "short-dump:0:1:3",
                  "--ram-reads-as",
                  "0xAA"});
    ASSERT_TRUE(sim.WaitForOutput("USB on")) << sim.Output();
    EXPECT_NE(sim.Output().find("VANDREL_COM1=" + link), std::string::npos);

    setenv("VANDREL_COM1", link.c_str(), 1);
    setenv("VANDREL_USB_DEVICE", usb.c_str(), 1);
    {
        COstraMonitor uart(TS_PORT_CONFIG{PORT_UART, 0, 12, 3, 0, 0, 0});
        uart.Initialize();
        ASSERT_TRUE(uart.IsSerialOpen()) << uart.GetPortErrorText();
        TE_REQ_FLASH_WRITE_RESULT result{};
        EXPECT_EQ(uart.RequestAndWaitConfirmatonForFlashWrite(result), 0);
        EXPECT_EQ(result, 7); // --flash-write-answer
        EXPECT_EQ(uart.RequestAndWaitConfirmatonForFlashWrite(result), TM_ERR_TIMEOUT); // the armed fault
        TE_TARGET_RUNNER_TYPES runner{};
        std::string version;
        ASSERT_EQ(uart.QueryTargetRunner(runner, version), 0);
        EXPECT_EQ(runner, RUNNER_BOOT_LOADER_UART);
        EXPECT_EQ(version, "3.4.5");
        TE_FLASH_MANUFACTURE_ID id{};
        EXPECT_EQ(uart.QueryFlashId(0x04000000, id), 0);
        EXPECT_EQ(id, FLASH_AMD_LV160_2MB_BOTTOM);
        const Bytes block = simtest::MakeBlock(0x20000000, {1, 2, 3, 4}, true);
        ASSERT_EQ(uart.FlashWrite(FLASH_CMD_WRITER_DATA, 9, reinterpret_cast<const char*>(block.data())), 0);
        uart.Quit();
    }
    {
        COstraMonitor usbMonitor(TS_PORT_CONFIG{PORT_USB, 0, 0, 0, 0, 0, 0});
        usbMonitor.Initialize();
        ASSERT_TRUE(usbMonitor.IsSerialOpen()) << usbMonitor.GetPortErrorText();
        ASSERT_EQ(usbMonitor.FlashWrite(FLASH_CMD_WRITER_END, 0, nullptr), 0);
        TE_TARGET_RUNNER_TYPES runner{};
        std::string version;
        ASSERT_EQ(usbMonitor.QueryTargetRunner(runner, version), 0);
        EXPECT_EQ(runner, RUNNER_FLASH_WRITER_USB);
        Bytes dump(7);
        // the armed short-dump fault: three bytes short, and the host says so
        EXPECT_EQ(usbMonitor.MemoryDump(0x08000000, 7, DUMP_BYTE, dump.data()), TM_ERR_UNEXPECTED);
        EXPECT_EQ(Bytes(dump.begin(), dump.begin() + 4), Bytes(preloaded.begin(), preloaded.begin() + 4));
        ASSERT_EQ(usbMonitor.MemoryDump(0x08000000, 7, DUMP_BYTE, dump.data()), 0);
        EXPECT_EQ(dump, preloaded);
        // --ram-reads-as: the writer's RAM reads back as 0xAA (the export below reads what is stored)
        ASSERT_EQ(usbMonitor.MemoryDump(0x20000000, 4, DUMP_BYTE, dump.data()), 0);
        EXPECT_EQ(Bytes(dump.begin(), dump.begin() + 4), Bytes(4, 0xAA));
        usbMonitor.Quit();
    }

    sim.Signal(SIGUSR1);
    ASSERT_TRUE(WaitForFile(state, std::chrono::seconds(10)));
    EXPECT_NE(ReadFile(state).find("\"runner\": \"flash-writer\""), std::string::npos);

    fs::remove(state);
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_FALSE(Exists(link));
    EXPECT_FALSE(Exists(usb));
    const std::string json = ReadFile(state);
    EXPECT_NE(json.find("\"fault\": \"drop-reply\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"cid\": \"0x22\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"usbConnections\": 1"), std::string::npos) << json;
    const std::string bin = ReadFile(exported);
    EXPECT_EQ(bin, std::string("\x01\x02\x03\x04", 4) + std::string(12, '\0'));
}

TEST_F(ProgramTest, RefusesBadOptionsWithAReason) {
    const std::string file = m_Dir + "/plain";
    std::ofstream(file) << "x";
    struct Case {
        std::vector<std::string> args;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {{}, "nothing to serve"},
        {{"--uart", file}, "not a symbolic link"},
        {{"--usb", file}, "not a socket"},
        {{"--uart", m_Dir + "/x", "--cs", "4:19"}, "bad chip select"},
        {{"--uart", m_Dir + "/x", "--fault", "melt"}, "unknown fault"},
        {{"--uart", m_Dir + "/x", "--fault", "flash-write-answer:0:1:256"}, "bad answer"},
        {{"--uart", m_Dir + "/x", "--flash-write-answer", "x"}, "bad answer"},
        {{"--uart", m_Dir + "/x", "--fault", "bit-flip:0:1:2"}, "takes no argument"},
        {{"--uart", m_Dir + "/x", "--boot-version", "1.2"}, "bad version"},
        {{"--uart", m_Dir + "/x", "--ram-reads-as", "256"}, "bad RAM byte"},
        {{"--uart", m_Dir + "/x", "--load", "0:" + m_Dir + "/missing"}, "cannot read"},
        {{"--uart", m_Dir + "/x", "--export", "0x100:0x10:" + m_Dir + "/e"}, "bad export range"},
        {{"--frobnicate"}, "unknown option"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        std::string command = VANDREL_SIM_PROGRAM;
        for (const auto& a : c.args) {
            command += " '" + a + "'";
        }
        command += " 2>&1";
        std::FILE* p = popen(command.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string out;
        char buf[256];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
            out.append(buf, n);
        }
        const int status = pclose(p);
        EXPECT_EQ(WEXITSTATUS(status), 2) << out;
        EXPECT_NE(out.find(c.reason), std::string::npos) << out;
    }
    EXPECT_EQ(ReadFile(file), "x");
}
