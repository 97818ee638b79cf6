// The station against slow handsets whose replies come after the port's wait for them gave up:
// the connect answer (0x41) 40 to 150 ms late, the runner answer (0x42) up to 1.8 s late. Every
// job ends as against a prompt handset, on a pseudo-terminal and a USB socket at once.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "SimHarness.h"
#include "TempDir.h"
#include "station/StationEngine.h"

using testsupport::CSimHarness;
using testsupport::ESimLink;

namespace {

class CQuietObserver final : public IStationObserver {
public:
    void OnBegin(int, const std::string&) override {}
    void OnPhase(int, TE_STATION_PHASE) override {}
    void OnProgress(int, uint64_t, uint64_t) override {}
    void OnLog(int, const std::string&) override {}
    void OnEnd(int, const TS_STATION_RESULT&) override {}
};

} // namespace

TEST(StationLateReplies, EveryJobEndsAsWithAPromptHandset) {
    CTempDir dir;
    for (const char* name : {"vwriter.m0", "vmain.m0"}) {
        std::filesystem::copy_file(std::string(VANDREL_SOURCE_DIR) + "/samples/" + name, dir.File(name));
    }
    struct TS_CASE {
        TE_STATION_COMMAND command;
        const char* late; // the handsets' late replies, as vandrel-sim --late takes them
        const char* summary;
    };
    const TS_CASE cases[] = {
        {STATION_STATUS, "*=70", "Boot loader is running"},
        {STATION_FLASH_ID, "*=40-150", "FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM"},
        {STATION_ERASE, "0x42=1800,*=120", "CS #2"},
        {STATION_DOWNLOAD, "0x42=1800,*=40-150", "1 file sent after the flash writer, verified 98304 bytes"},
    };
    for (const TS_CASE& c : cases) {
        SCOPED_TRACE(std::string(c.late) + ", job " + std::to_string(c.command));
        vsim::SSimulatorOptions options;
        std::string error;
        ASSERT_TRUE(vsim::ParseLateRules(c.late, options.lateReplies, &error)) << error;
        CSimHarness uart(ESimLink::Uart, options);
        CSimHarness usb(ESimLink::Usb, options);
        TS_STATION_JOB job;
        job.Command = c.command;
        job.Files = {dir.File("vmain.m0")};
        job.WriterPath = dir.File("vwriter.m0");
        job.Verify = true;
        job.EraseItems = {ERASE_CS2};
        job.WaitSeconds = 20;
        CQuietObserver observer;
        CStationEngine station(job, {StationUartPort(uart.Path(), 12), StationUsbPort(usb.Path())}, observer);
        station.Start(false);
        station.Wait();
        for (int port = 0; port < 2; ++port) {
            SCOPED_TRACE(port == 0 ? "UART" : "USB");
            const TS_STATION_RESULT result = station.LastResult(port);
            EXPECT_TRUE(result.Ok) << result.Message;
            EXPECT_NE(result.Summary.find(c.summary), std::string::npos) << result.Summary;
        }
    }
}
