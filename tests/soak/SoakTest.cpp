// Soak: an image downloaded into the in-process handset again and again, over the pseudo-terminal
// and over the USB socket, with random faults switched on: garbage between frames, corrupted and
// dropped replies, -4 resends, late blocks and hang-ups. After every download the handset's memory
// is compared with the image.
//
// The rules: a download that reports success holds the image byte for byte; a download that fails
// says why; a download whose faults the host is built to survive (garbage on either link; -4, a
// dropped block reply or a late block on USB) succeeds; and every block the session reports as
// written is in the handset's memory as the image has it.
//
// CI runs a short soak. By hand:  VANDREL_SOAK_ROUNDS=20 tests/soak/soak_test   (8 MiB image; set
// VANDREL_SOAK_MIB for another size, VANDREL_SOAK_SEED to repeat a run). A long soak also drops
// block replies over UART, which costs the 20 s time-out each time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "SessionTestSupport.h"
#include "download/DownloadSession.h"

using namespace sessiontest;
using testsupport::CSimHarness;
using testsupport::ESimLink;
using vsim::EFault;
using Clock = std::chrono::steady_clock;

namespace {

struct TS_SOAK_CONFIG {
    int rounds = 6;        // per link
    size_t imageBytes = 0; // in CS#0, from address 0
    uint64_t seed = 0;
    bool longRun = false;
};

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 0) : fallback;
}

TS_SOAK_CONFIG ConfigFromEnvironment() {
    TS_SOAK_CONFIG c;
    c.longRun = std::getenv("VANDREL_SOAK_ROUNDS") != nullptr;
    c.rounds = static_cast<int>(EnvNumber("VANDREL_SOAK_ROUNDS", 6));
    c.imageBytes = static_cast<size_t>(EnvNumber("VANDREL_SOAK_MIB", c.longRun ? 8 : 1)) << 20;
    c.imageBytes = std::min<size_t>(c.imageBytes, 8u << 20); // CS#0 holds 8 MiB
    c.seed = EnvNumber("VANDREL_SOAK_SEED", std::random_device{}());
    return c;
}

struct TS_IMAGE_PART {
    uint32_t address;
    std::vector<uint8_t> data;
};

// The image: random bytes over CS#0 in records of one random size per part, and a short part in
// CS#2's D-drive, so that two chips and several areas are erased and blocks of many sizes go out.
std::vector<TS_IMAGE_PART> MakeImage(size_t bytes, std::mt19937_64& random) {
    std::vector<TS_IMAGE_PART> parts;
    const size_t first = bytes / 3 + random() % (bytes / 3);
    const size_t gap = 16 + random() % 4096;
    for (const auto& [address, length] :
         {std::pair<uint32_t, size_t>{0x00000000, first},
          std::pair<uint32_t, size_t>{static_cast<uint32_t>(first + gap), bytes - first - gap},
          std::pair<uint32_t, size_t>{0x08000000, 4096 + random() % 8192}}) {
        TS_IMAGE_PART part{address, std::vector<uint8_t>(length)};
        for (uint8_t& b : part.data) {
            b = static_cast<uint8_t>(random());
        }
        parts.push_back(std::move(part));
    }
    return parts;
}

// The .m0 text of the image: an S0 header, S3 records of recordSize bytes, an S7 end.
void WriteM0(const std::string& path, const std::vector<TS_IMAGE_PART>& parts, std::mt19937_64& random) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text = "S00F000068656C6C6F202020202000003C\n";
    auto put = [&](unsigned byte) {
        text += kHex[byte >> 4 & 15];
        text += kHex[byte & 15];
    };
    for (const TS_IMAGE_PART& part : parts) {
        const size_t recordSize = 16 + random() % 235; // 16..250 data bytes
        for (size_t at = 0; at < part.data.size(); at += recordSize) {
            const size_t n = std::min(recordSize, part.data.size() - at);
            const uint32_t address = part.address + static_cast<uint32_t>(at);
            const unsigned count = static_cast<unsigned>(n) + 5;
            unsigned sum = count;
            text += "S3";
            put(count);
            for (int shift = 24; shift >= 0; shift -= 8) {
                put(address >> shift & 0xFF);
                sum += address >> shift & 0xFF;
            }
            for (size_t i = 0; i < n; ++i) {
                put(part.data[at + i]);
                sum += part.data[at + i];
            }
            put(~sum & 0xFF);
            text += '\n';
        }
    }
    text += "S70500000000FA\n";
    std::ofstream(path, std::ios::binary) << text;
}

// Every block the session says the handset acknowledged.
class CBlockRecorder : public CObserverRecorder {
public:
    CBlockRecorder() {
        onBlock = [this](uint32_t address, uint32_t length) { blocks.emplace_back(address, length); };
    }
    std::vector<std::pair<uint32_t, uint32_t>> blocks;
};

struct TS_FAULT {
    EFault kind;
    vsim::SFaultSpec rule;
};

// The faults of one round. Survivable rounds arm only what the host is built to ride out.
// blocks: about how many data blocks the image makes, so that the faults fall inside the download.
std::vector<TS_FAULT> PickFaults(bool usb, bool survivable, bool longRun, uint32_t blocks,
                                 std::mt19937_64& random) {
    auto upTo = [&](uint32_t n) { return static_cast<uint32_t>(random() % (n + 1)); };
    std::vector<TS_FAULT> faults;
    faults.push_back({EFault::Garbage, {upTo(blocks), 1 + upTo(blocks), 0, false}});
    if (survivable) {
        if (usb) {
            // a block answered -4 up to eight times running still goes through (ten attempts)
            faults.push_back({EFault::ResendBlock, {upTo(blocks), 1 + upTo(7), 0, false}});
            switch (random() % 3) {
            case 0: // the block was stored, its reply lost: ConfirmFlashWriting says so
                faults.push_back({EFault::DropReply, {upTo(blocks), 1, vsim::cmd::AppData, false}});
                break;
            case 1:
                faults.push_back({EFault::LateBlock, {upTo(blocks), 1, 0, random() % 2 == 0}});
                break;
            default:
                break;
            }
        }
        return faults;
    }
    // Hostile: at least one fault the host cannot ride out, if it comes at all.
    const int kinds = usb ? 3 : (longRun ? 5 : 4);
    switch (random() % kinds) {
    case 0:
        faults.push_back({EFault::HangUp, {upTo(blocks), 1, 0, false}});
        break;
    case 1: // the CS#0 query (250 ms time-out)
        faults.push_back({EFault::DropReply, {upTo(1), 1, vsim::cmd::QueryFlashId, false}});
        break;
    case 2:
        if (usb) {
            faults.push_back({EFault::ResendBlock, {upTo(blocks), 10 + upTo(10), 0, false}});
        } else {
            faults.push_back({EFault::ResendBlock, {upTo(blocks), 1, 0, false}});
        }
        break;
    case 3:
        faults.push_back({EFault::CorruptReply, {upTo(blocks + 4), 1 + upTo(2), 0, false}});
        break;
    default: // long run only: a lost block reply over UART ends the session after 20 s
        faults.push_back({EFault::DropReply, {upTo(blocks), 1, vsim::cmd::AppData, false}});
        break;
    }
    return faults;
}

std::string Describe(const std::vector<TS_FAULT>& faults) {
    std::string text;
    for (const TS_FAULT& f : faults) {
        text += std::string(text.empty() ? "" : " ") + vsim::FaultName(f.kind) + ":" +
                std::to_string(f.rule.after) + ":" + std::to_string(f.rule.times);
    }
    return text;
}

// The faults that acted, by name, from the handset's record.
std::string Acted(const vsim::SHandsetSnapshot& s) {
    std::map<std::string, int> counts;
    for (const vsim::SCommandRecord& c : s.commands) {
        if (!c.fault.empty()) {
            ++counts[c.fault];
        }
    }
    std::string text;
    for (const auto& [name, n] : counts) {
        text += (text.empty() ? "" : " ") + name + " x" + std::to_string(n);
    }
    return text.empty() ? "none" : text;
}

std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    return text;
}

// Compares memory with the image; the first difference, or "".
std::string CompareMemory(vsim::CSimulatorHost& host, const std::vector<TS_IMAGE_PART>& parts) {
    for (const TS_IMAGE_PART& part : parts) {
        const std::vector<uint8_t> memory = host.ReadMemory(part.address, part.data.size());
        for (size_t i = 0; i < part.data.size(); ++i) {
            if (memory[i] != part.data[i]) {
                char text[96];
                std::snprintf(text, sizeof text, "0x%08zX holds 0x%02X, the image 0x%02X", part.address + i,
                              memory[i], part.data[i]);
                return text;
            }
        }
    }
    return {};
}

// Whether [address, address + length) of memory equals the image there.
bool BlockMatches(vsim::CSimulatorHost& host, const std::vector<TS_IMAGE_PART>& parts, uint32_t address,
                  uint32_t length) {
    for (const TS_IMAGE_PART& part : parts) {
        if (address >= part.address && uint64_t{address} + length <= part.address + part.data.size()) {
            const auto begin = part.data.begin() + (address - part.address);
            return host.ReadMemory(address, length) == std::vector<uint8_t>(begin, begin + length);
        }
    }
    return false; // a block the image does not have
}

class Soak : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Links, Soak, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Usb" : "Uart"; });

TEST_P(Soak, DownloadsWithRandomFaults) {
    const bool usb = GetParam();
    const TS_SOAK_CONFIG config = ConfigFromEnvironment();
    const uint64_t seed = config.seed + (usb ? 1 : 0);
    std::mt19937_64 random(seed);
    std::printf("soak over %s: %d rounds, %zu KiB image, seed %llu (VANDREL_SOAK_SEED=%llu repeats it)\n",
                usb ? "USB" : "UART", config.rounds, config.imageBytes >> 10,
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(config.seed));

    // Flash with old contents: an area the host forgets to erase refuses the writes.
    CSimHarness sim(usb ? ESimLink::Usb : ESimLink::Uart, WriterRunning(0x00));
    CTempDir dir;
    const std::string m0 = dir.File("vsoak.m0");
    std::vector<std::string> findings;
    int succeeded = 0, failed = 0;
    double slowest = 0;

    for (int round = 1; round <= config.rounds; ++round) {
        const std::vector<TS_IMAGE_PART> image = MakeImage(config.imageBytes, random);
        WriteM0(m0, image, random);
        // Two rounds in three arm only faults the host must survive.
        const bool survivable = random() % 3 != 0;
        const uint32_t blocks = static_cast<uint32_t>(config.imageBytes / 65520 + 3);
        const std::vector<TS_FAULT> faults = PickFaults(usb, survivable, config.longRun, blocks, random);
        sim.Host().ClearFaults();
        sim.Host().ClearRecord();
        for (const TS_FAULT& f : faults) {
            sim.Host().SetFault(f.kind, f.rule);
        }

        auto monitor = OpenMonitor(sim, usb); // a fresh link each round, as after a reconnect
        CBlockRecorder observer;
        CDownloadSession session(MODE_APP_CODE, m0, monitor.get(), &observer);
        const auto start = Clock::now();
        const bool sent = session.RunSession();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        monitor->Quit();
        slowest = std::max(slowest, seconds);
        const vsim::SHandsetSnapshot snapshot = sim.Host().Snapshot();

        const std::string where = std::string(usb ? "USB" : "UART") + " round " + std::to_string(round) +
                                  " [" + Describe(faults) + "; acted: " + Acted(snapshot) + "]";
        const std::string difference = CompareMemory(sim.Host(), image);
        if (sent && !difference.empty()) {
            findings.push_back(where + ": reported success, but " + difference);
        }
        if (!sent && session.GetErrorText().empty()) {
            findings.push_back(where + ": failed without saying why");
        }
        if (!sent && survivable) {
            findings.push_back(where +
                               ": failed on faults it should survive: " + OneLine(session.GetErrorText()));
        }
        for (const auto& [address, length] : observer.blocks) {
            if (!BlockMatches(sim.Host(), image, address, length)) {
                char text[64];
                std::snprintf(text, sizeof text, ": block 0x%08X+%u reported written, memory differs",
                              address, length);
                findings.push_back(where + text);
                break;
            }
        }
        (sent ? succeeded : failed) += 1;
        std::printf("  %-4s round %2d  %-10s %6.2f s  %-8s %s  faults: %s  acted: %s%s%s\n",
                    usb ? "USB" : "UART", round, survivable ? "survivable" : "hostile", seconds,
                    sent ? "sent" : "failed", difference.empty() ? "memory = image" : "memory differs",
                    Describe(faults).c_str(), Acted(snapshot).c_str(),
                    sent ? "" : "  error: ", sent ? "" : OneLine(session.GetErrorText()).c_str());
        std::fflush(stdout);
    }
    std::printf("soak over %s: %d sent (byte-exact), %d failed (reported), slowest %.2f s, %zu findings\n",
                usb ? "USB" : "UART", succeeded, failed, slowest, findings.size());
    for (const std::string& f : findings) {
        ADD_FAILURE() << f;
    }
}

} // namespace
