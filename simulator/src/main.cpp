// vandrel-sim: a virtual R3700 handset on a pseudo-terminal and/or a USB packet socket.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "vsim/FlashModel.h"
#include "vsim/SimulatorHost.h"
#include "vsim/StateJson.h"

namespace {

const char* const kUsage = R"(usage: vandrel-sim [options]
A virtual R3700 handset: boot loader, flash writer and four chip selects of NOR flash.

Links (at least one):
  --uart LINK                 serve a pseudo-terminal; LINK becomes a symbolic link to its slave
  --usb PATH                  serve a SOCK_SEQPACKET socket at PATH
Handset:
  --flash-writer              start with the flash writer running (default: the boot loader)
  --boot-version A.B.C        version the boot loader reports (default 1.0.0)
  --writer-version A.B.C      version the flash writer reports (default 2.1.0)
  --cs N:PART[:SIZE]          chip select N (0..3): flash part number and size (bytes, K or M
                              suffix, default 8M); PART 0 removes the chip. Default: CS#0 part 19
                              and CS#2 part 18, 8 MiB each; CS#1 and CS#3 not fitted
  --flash-fill BYTE           what flash that was never erased reads (default 0xFF)
  --ram-reads-as BYTE         a memory dump reads every byte of RAM as BYTE, whatever was loaded
                              there (default: what was loaded)
  --erase-ms-per-64k MS       erase time per 64 KiB (default 0.2)
  --program-ms-per-kib MS     programming time per KiB (default 0.02)
  --realistic-timing          erase 250 ms per 64 KiB and program 8 ms per KiB
  --line-rate BPS             pace the UART side to BPS bit/s, 10 bits a byte, both directions
  --bare-02                   leave 0x02 unescaped in UART replies (0x10 and 0x0A are always escaped)
  --no-usb-greeting           send no greeting message when a USB host connects
  --flash-write-answer N      what 0x41 answers: 0 possible (default), 1 not possible, or any
                              other byte
  --late CID=MS[-MAX][/N][%P][,...]
                              replies to command CID (* for every command) leave MS ms late
                              (MS-MAX: a random delay in that range), while the next requests are
                              served; /N: only every Nth reply, %P: a random P percent of them.
                              Repeatable; the first rule naming a command decides
  --late-seed N               seed of the random delays and shares of --late (default 1)
Faults (repeatable):
  --fault KIND[:AFTER[:TIMES[:ARG[:EVERY]]]]
                              let AFTER events pass (default 0), then act on TIMES events
                              (default 1), one in every EVERY (default 1; ARG may be left
                              empty). KIND: drop-reply (ARG: only replies to this command
                              identifier), corrupt-reply, garbage, resend-block, late-block (ARG
                              "stored": the late block was written), bit-flip, hang-up (ARG:
                              hang up on this command identifier instead of a data block),
                              flash-id-valid, flash-write-answer (ARG: the answer to 0x41,
                              default 1), short-dump (ARG: bytes the dump reply leaves off,
                              default 1), writer-no-start, late-reply (ARG MS[@CID]: the reply
                              leaves MS ms late, default 100; only replies to CID)
Memory and record:
  --load START:FILE           preload FILE's bytes at START (no flash rules)
  --export START:END:FILE     write memory [START, END) to FILE at exit
  --state-out FILE            write state and record as JSON at exit and on SIGUSR1
  -v, --verbose               print every command to stderr
  -h, --help                  this text

Runs until SIGINT or SIGTERM, then removes its link and socket.
)";

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "vandrel-sim: %s\n", message.c_str());
    std::exit(2);
}

bool ParseU64(const std::string& text, uint64_t& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text.c_str(), &end, 0);
    return errno == 0 && *end == 0 && text[0] != '-';
}

uint32_t ParseU32(const std::string& text, const char* what, uint64_t max = 0xFFFFFFFFull) {
    uint64_t v = 0;
    if (!ParseU64(text, v) || v > max) {
        Fail(std::string("bad ") + what + " '" + text + "'");
    }
    return uint32_t(v);
}

uint32_t ParseSize(std::string text) {
    uint64_t scale = 1;
    if (!text.empty() && (text.back() == 'K' || text.back() == 'k')) {
        scale = 1024;
        text.pop_back();
    } else if (!text.empty() && (text.back() == 'M' || text.back() == 'm')) {
        scale = 1024 * 1024;
        text.pop_back();
    }
    uint64_t v = 0;
    if (!ParseU64(text, v) || v * scale > vsim::kChipSelectStride) {
        Fail("bad chip size '" + text + "' (at most 64M)");
    }
    return uint32_t(v * scale);
}

uint32_t ParseMsToUs(const std::string& text, const char* what) {
    char* end = nullptr;
    const double ms = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != 0 || !(ms >= 0) || ms > 3600e3) {
        Fail(std::string("bad ") + what + " '" + text + "'");
    }
    return uint32_t(ms * 1000.0 + 0.5);
}

vsim::SVersion ParseVersion(const std::string& text) {
    unsigned a = 0, b = 0, c = 0;
    char extra = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u%c", &a, &b, &c, &extra) != 3 || a > 255 || b > 255 || c > 255) {
        Fail("bad version '" + text + "' (A.B.C, each 0..255)");
    }
    return {uint8_t(a), uint8_t(b), uint8_t(c)};
}

std::vector<std::string> Split(const std::string& text, char sep, size_t maxParts) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (parts.size() + 1 < maxParts) {
        const size_t at = text.find(sep, start);
        if (at == std::string::npos) {
            break;
        }
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

struct SExport {
    uint32_t start = 0;
    uint32_t end = 0;
    std::string path;
};

struct SFaultArg {
    vsim::EFault kind{};
    vsim::SFaultSpec rule;
};

} // namespace

int main(int argc, char** argv) {
    vsim::SSimulatorOptions options;
    std::string uartLink, usbPath, stateOut;
    std::vector<SExport> exports;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> loads;
    std::vector<SFaultArg> faults;

    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) {
                Fail(a + " needs a value");
            }
            return args[++i];
        };
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--uart") {
            uartLink = value();
        } else if (a == "--usb") {
            usbPath = value();
        } else if (a == "--flash-writer") {
            options.startRunner = vsim::ERunner::FlashWriter;
        } else if (a == "--boot-version") {
            options.bootLoaderVersion = ParseVersion(value());
        } else if (a == "--writer-version") {
            options.flashWriterVersion = ParseVersion(value());
        } else if (a == "--cs") {
            const auto parts = Split(value(), ':', 3);
            if (parts.size() < 2) {
                Fail("--cs wants N:PART[:SIZE]");
            }
            const uint32_t cs = ParseU32(parts[0], "chip select", 3);
            vsim::SChipSelect chip;
            chip.part = uint8_t(ParseU32(parts[1], "flash part", 255));
            chip.size = parts.size() > 2 ? ParseSize(parts[2]) : 8u << 20;
            options.chips[cs] = chip.part ? chip : vsim::SChipSelect{};
        } else if (a == "--flash-fill") {
            options.flashFill = uint8_t(ParseU32(value(), "fill byte", 255));
        } else if (a == "--ram-reads-as") {
            options.ramReadsAs = int(ParseU32(value(), "RAM byte", 255));
        } else if (a == "--erase-ms-per-64k") {
            options.eraseUsPer64K = ParseMsToUs(value(), "erase time");
        } else if (a == "--program-ms-per-kib") {
            options.programUsPerKiB = ParseMsToUs(value(), "programming time");
        } else if (a == "--realistic-timing") {
            options.eraseUsPer64K = vsim::kRealisticEraseUsPer64K;
            options.programUsPerKiB = vsim::kRealisticProgramUsPerKiB;
        } else if (a == "--line-rate") {
            options.lineRate = ParseU32(value(), "line rate", 100000000);
            if (options.lineRate != 0 && options.lineRate < 10) {
                Fail("line rate below 10 bit/s");
            }
        } else if (a == "--bare-02") {
            options.escape02 = false;
        } else if (a == "--no-usb-greeting") {
            options.usbGreeting = false;
        } else if (a == "--flash-write-answer") {
            options.flashWriteAnswer = uint8_t(ParseU32(value(), "answer", 255));
        } else if (a == "--late") {
            std::string error;
            if (!vsim::ParseLateRules(value(), options.lateReplies, &error)) {
                Fail(error);
            }
        } else if (a == "--late-seed") {
            options.lateSeed = ParseU32(value(), "late seed");
        } else if (a == "--fault") {
            const auto parts = Split(value(), ':', 5);
            SFaultArg f;
            if (!vsim::ParseFaultName(parts[0], f.kind)) {
                Fail("unknown fault '" + parts[0] + "'");
            }
            f.rule.after = parts.size() > 1 ? ParseU32(parts[1], "fault AFTER") : 0;
            f.rule.times = parts.size() > 2 ? ParseU32(parts[2], "fault TIMES") : 1;
            f.rule.every = parts.size() > 4 ? ParseU32(parts[4], "fault EVERY") : 1;
            if (f.kind == vsim::EFault::LateReply) {
                f.rule.value = 100; // ms, unless ARG says
            }
            if (parts.size() > 3 && !parts[3].empty()) {
                if (f.kind == vsim::EFault::DropReply || f.kind == vsim::EFault::HangUp) {
                    f.rule.cid = uint8_t(ParseU32(parts[3], "command identifier", 255));
                } else if (f.kind == vsim::EFault::FlashWriteAnswer) {
                    f.rule.value = ParseU32(parts[3], "answer", 255);
                } else if (f.kind == vsim::EFault::ShortDump) {
                    f.rule.value = ParseU32(parts[3], "byte count");
                } else if (f.kind == vsim::EFault::LateReply) {
                    const auto late = Split(parts[3], '@', 2);
                    f.rule.value = ParseU32(late[0], "delay", 3600000);
                    if (late.size() > 1) {
                        f.rule.cid = uint8_t(ParseU32(late[1], "command identifier", 255));
                    }
                } else if (f.kind == vsim::EFault::LateBlock && parts[3] == "stored") {
                    f.rule.lateStores = true;
                } else {
                    Fail("fault " + parts[0] + " takes no argument '" + parts[3] + "'");
                }
            }
            faults.push_back(f);
        } else if (a == "--load") {
            const auto parts = Split(value(), ':', 2);
            if (parts.size() != 2) {
                Fail("--load wants START:FILE");
            }
            std::ifstream in(parts[1], std::ios::binary);
            if (!in) {
                Fail("cannot read " + parts[1] + ": " + std::strerror(errno));
            }
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
            loads.emplace_back(ParseU32(parts[0], "load address"), std::move(bytes));
        } else if (a == "--export") {
            const auto parts = Split(value(), ':', 3);
            if (parts.size() != 3) {
                Fail("--export wants START:END:FILE");
            }
            SExport e{ParseU32(parts[0], "export start"), ParseU32(parts[1], "export end"), parts[2]};
            if (e.end < e.start || e.end - e.start > (256u << 20)) {
                Fail("bad export range " + parts[0] + ":" + parts[1] + " (END after START, at most 256 MiB)");
            }
            exports.push_back(e);
        } else if (a == "--state-out") {
            stateOut = value();
        } else if (a == "-v" || a == "--verbose") {
            options.verbose = true;
        } else {
            Fail("unknown option '" + a + "' (see --help)");
        }
    }
    if (uartLink.empty() && usbPath.empty()) {
        Fail("nothing to serve: give --uart LINK and/or --usb PATH (see --help)");
    }

    // Signals are taken by sigwaitinfo below; the link threads inherit the blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGHUP}) {
        sigaddset(&signals, s);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    vsim::CSimulatorHost host(options);
    const vsim::CFlashModel layout(options.chips);
    for (const auto& [address, bytes] : loads) {
        if (!bytes.empty() && !layout.InFittedFlash(address, bytes.size()) &&
            !vsim::CFlashModel::InRam(address, bytes.size())) {
            std::fprintf(stderr,
                         "vandrel-sim: warning: --load at 0x%08X (%zu bytes) is not all fitted flash or RAM; "
                         "the bytes outside were not loaded\n",
                         address, bytes.size());
        }
        host.Handset().LoadMemory(address, bytes);
    }
    for (const SFaultArg& f : faults) {
        host.SetFault(f.kind, f.rule);
    }
    std::string error;
    if (!uartLink.empty()) {
        if (!host.StartUart(uartLink, &error)) {
            Fail(error);
        }
        std::printf("vandrel-sim: UART on %s -> %s (VANDREL_COM1=%s)\n", uartLink.c_str(),
                    host.UartSlavePath().c_str(), uartLink.c_str());
    }
    if (!usbPath.empty()) {
        if (!host.StartUsb(usbPath, &error)) {
            Fail(error);
        }
        std::printf("vandrel-sim: USB on %s (VANDREL_USB_DEVICE=%s)\n", usbPath.c_str(), usbPath.c_str());
    }
    std::fflush(stdout);

    auto writeState = [&] {
        if (!stateOut.empty() && !vsim::WriteStateFile(host.Snapshot(), stateOut, &error)) {
            std::fprintf(stderr, "vandrel-sim: %s\n", error.c_str());
        }
    };
    for (;;) {
        siginfo_t info{};
        const int s = sigwaitinfo(&signals, &info);
        if (s == SIGUSR1) {
            writeState();
            continue;
        }
        if (s == SIGINT || s == SIGTERM || s == SIGHUP) {
            break;
        }
    }
    host.Stop();
    writeState();
    int rc = 0;
    for (const SExport& e : exports) {
        const std::vector<uint8_t> bytes = host.ReadMemory(e.start, e.end - e.start);
        std::ofstream out(e.path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        if (!out.flush()) {
            std::fprintf(stderr, "vandrel-sim: cannot write %s\n", e.path.c_str());
            rc = 1;
        }
    }
    std::printf("vandrel-sim: stopped\n");
    return rc;
}
