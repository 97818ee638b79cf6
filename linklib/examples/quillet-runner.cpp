// quillet-runner: opens the link to the handset and prints which monitor program runs on it.
//
//   quillet-runner                 COM1 (VANDREL_COM1, else the first USB serial adapter)
//   quillet-runner COM2            another COM port
//   quillet-runner /dev/ttyUSB1    a serial device by path
//   quillet-runner --usb [PATH]    the USB device (VANDREL_USB_DEVICE, else /dev/csr0)
//   --baud RATE                    bit rate of a serial port (default 115200)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quillet/Quillet.h"

namespace {

const char* RunnerName(TE_TARGET_RUNNER_TYPES runner) {
    switch (runner) {
    case RUNNER_BOOT_LOADER_UART:
        return "boot loader (UART)";
    case RUNNER_FLASH_WRITER_UART:
        return "flash writer (UART)";
    case RUNNER_BOOT_LOADER_USB:
        return "boot loader (USB)";
    case RUNNER_FLASH_WRITER_USB:
        return "flash writer (USB)";
    default:
        return "unknown program";
    }
}

int Usage() {
    std::fprintf(stderr, "usage: quillet-runner [COMn | PATH | --usb [PATH]] [--baud RATE]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    static constexpr int kRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                     19200, 38400, 56000, 57600, 115200, 128000, 256000};
    TS_PORT_CONFIG config{PORT_UART, 0, 12, 3, 0, 0, 0}; // COM1, 115200-8-N-1, no flow control
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--usb") {
            config.PortType = PORT_USB;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                QuilletSetUsbDevicePath(argv[++i]);
            }
        } else if (arg == "--baud" && i + 1 < argc) {
            const int rate = std::atoi(argv[++i]);
            config.Baud = -1;
            for (int k = 0; k < static_cast<int>(std::size(kRates)); ++k) {
                if (kRates[k] == rate) {
                    config.Baud = k;
                }
            }
            if (config.Baud < 0) {
                std::fprintf(stderr, "quillet-runner: %s bit/s is not a rate of the port table\n", argv[i]);
                return 2;
            }
        } else if (arg == "-h" || arg == "--help") {
            return Usage();
        } else if ((arg.size() > 3 && (arg.compare(0, 3, "COM") == 0 || arg.compare(0, 3, "com") == 0))) {
            config.Port = std::atoi(arg.c_str() + 3) - 1;
            if (config.Port < 0) {
                return Usage();
            }
        } else if (!arg.empty() && arg[0] != '-') {
            QuilletSetComPath(1, arg);
            config.Port = 0;
        } else {
            return Usage();
        }
    }

    COstraMonitor monitor(config);
    monitor.Initialize();
    if (monitor.IsSerialOpen() == 0) {
        std::fprintf(stderr, "quillet-runner: cannot open %s\n", monitor.GetPortErrorText().c_str());
        return 1;
    }
    std::printf("Port: %s\n", monitor.GetSerialPortConnectStatusString().c_str());

    TE_TARGET_RUNNER_TYPES runner{};
    std::string version;
    const signed char rc = monitor.QueryTargetRunner(runner, version);
    if (rc < 0) {
        const char* name = TmStatusName(rc);
        std::fprintf(stderr, "quillet-runner: the handset did not answer: %s (%d)\n",
                     name != nullptr ? name : "target status", rc);
        monitor.Quit();
        return 1;
    }
    std::printf("Runner: %s, version %s (runner type %d)\n", RunnerName(runner), version.c_str(),
                static_cast<int>(runner));
    monitor.Quit();
    return 0;
}
