// The virtual handset's vocabulary: command identifiers, the status values it answers, its
// options, the fault modes and the records it keeps of what it was asked.
//
// The simulator implements its own side of the wire: nothing here comes from libquillet, so that
// each side checks the other.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vsim {

// Command identifiers of the monitor.
namespace cmd {
constexpr uint8_t QueryFlashId = 0x11;
constexpr uint8_t EraseFlashAll = 0x12;
constexpr uint8_t EraseFlashBlock = 0x13;
constexpr uint8_t WriterData = 0x21;
constexpr uint8_t WriterEnd = 0x22;
constexpr uint8_t AppData = 0x31;
constexpr uint8_t AppEnd = 0x32;
constexpr uint8_t ConfirmFlashWriting = 0x33;
constexpr uint8_t RequestFlashWrite = 0x41;
constexpr uint8_t QueryTargetRunner = 0x42;
constexpr uint8_t MemoryDump = 0x51;
} // namespace cmd

// Lead byte of every request and reply frame ("!").
constexpr uint8_t kLeadByte = 0x21;

// Status bytes the handset answers. 0 is success. -4, -7 and -10 have the meanings the host
// relies on; every refusal of the virtual handset has a value of its own.
namespace status {
constexpr int8_t Ok = 0;
constexpr int8_t ResendBlock = -4;         // FlashWrite (USB): the block was not stored, send it again
constexpr int8_t FlashIdStillValid = -7;   // QueryFlashId: the id in the reply is valid all the same
constexpr int8_t ConfirmResend = -10;      // ConfirmFlashWriting: the last block was not stored
constexpr int8_t BadRequestChecksum = -20; // the request's XOR checksum is wrong
constexpr int8_t BadPacket = -21;          // a USB packet is malformed or out of sequence
constexpr int8_t UnknownCommand = -22;     // no such command identifier
constexpr int8_t WrongPhase = -23;         // the command exists, but not in the running program
constexpr int8_t BadLength = -24;          // the request payload has the wrong size for the command
constexpr int8_t OutsideMemory = -30;      // the address range is not fitted flash (or RAM, for writes)
constexpr int8_t NotErased = -31;          // programming would have to set bits of unerased bytes
constexpr int8_t BadRecordChecksum = -32;  // the block's own record checksum is wrong (UART)
constexpr int8_t DumpTooLarge = -33;       // the dump reply would not fit in one frame of the link
constexpr int8_t BadDumpUnit = -34;        // the dump unit is not byte, word or dword
constexpr int8_t BadEraseRange = -35;      // the erase range is empty or reversed
constexpr int8_t NoWriterImage = -36;      // writer end without any writer block before it
} // namespace status

// The name of a status the handset answers ("NotErased"), or "" for an unknown value.
const char* StatusName(int value);

// The monitor operation a command identifier belongs to ("QueryFlashId"), or "unknown".
const char* CommandName(uint8_t cid);

enum class ETransport : uint8_t { Uart, Usb };
const char* TransportName(ETransport transport);

// Which monitor program runs. The runner type reported on the wire depends on the transport:
// boot loader 0 (UART) or 2 (USB), flash writer 1 (UART) or 3 (USB).
enum class ERunner : uint8_t { BootLoader, FlashWriter };
uint8_t RunnerTypeOnWire(ERunner runner, ETransport transport);

// Chip selects and memory map.
constexpr int kChipSelects = 4;
constexpr uint32_t kChipSelectStride = 0x04000000;
constexpr uint32_t kRamStart = 0x20000000;
constexpr uint32_t kRamSize = 0x00100000;
// Largest memory dump reply one frame of the link carries.
constexpr uint32_t kMaxDumpUart = 20476;
constexpr uint32_t kMaxDumpUsb = 996;

struct SChipSelect {
    uint8_t part = 0;  // flash part number (TE_FLASH_MANUFACTURE_ID); 0 = not fitted
    uint32_t size = 0; // bytes; 0 = not fitted
    bool Fitted() const { return part != 0 && size != 0; }
};

using SVersion = std::array<uint8_t, 3>;

// Replies that come late (`--late`): the handset answers as usual, but the reply leaves only after
// the delay, while the link goes on taking requests. A host whose wait gave up meanwhile meets the
// reply in a later transaction, after that one's request was sent.
struct SLateRule {
    uint8_t cid = 0;    // the command whose replies come late; 0 = every command
    uint32_t minMs = 0; // the delay; with maxMs above minMs a random one in [minMs, maxMs]
    uint32_t maxMs = 0;
    uint32_t every = 1;     // only every Nth reply to the command is late (the Nth, the 2Nth, ...)
    uint32_t percent = 100; // of those, a random share in percent
};

// Parses "CID=MS[-MAX][/N][%P]" rules separated by commas ("0x41=70,0x42=1800", "*=40-150%30")
// into rules (appended). CID "*" is every command. False with a reason in error.
bool ParseLateRules(const std::string& text, std::vector<SLateRule>& rules, std::string* error = nullptr);

struct SSimulatorOptions {
    ERunner startRunner = ERunner::BootLoader;
    SVersion bootLoaderVersion{1, 0, 0};
    SVersion flashWriterVersion{2, 1, 0};
    std::array<SChipSelect, kChipSelects> chips{{{19, 8u << 20}, {0, 0}, {18, 8u << 20}, {0, 0}}};
    // Flash that was never erased reads this value (0xFF: erased, as from the factory). Any other
    // value makes a handset whose flash holds old contents, so a host that skips erasing fails.
    uint8_t flashFill = 0xFF;
    // What a memory dump reads of RAM: -1 what was written there; 0..255 that byte everywhere. A
    // running flash writer changes its own RAM (data, stack), so a handset may well read back
    // something else than what was loaded; a host must not take that for a failed download.
    int ramReadsAs = -1;
    // Busy time of the flash, in microseconds.
    uint32_t eraseUsPer64K = 200;
    uint32_t programUsPerKiB = 20;
    // UART replies escape 0x02 like 0x10 and 0x0A; false leaves 0x02 bare (both decode the same).
    bool escape02 = true;
    // On every USB connection the handset sends one greeting message first.
    bool usbGreeting = true;
    // UART line rate in bit/s, 10 bits a byte, both directions; 0 = no pacing.
    uint32_t lineRate = 0;
    // What RequestAndWaitConfirmatonForFlashWrite (0x41) answers: 0 possible, 1 not possible,
    // anything else a value the host does not know.
    uint8_t flashWriteAnswer = 0;
    // Late replies (the first rule that names a command, or 0, decides) and the seed of their
    // random delays and shares.
    std::vector<SLateRule> lateReplies{};
    uint32_t lateSeed = 1;
    // Print every command to stderr.
    bool verbose = false;
};

// Timing a user can see: erase and programming as long as on a real handset.
constexpr uint32_t kRealisticEraseUsPer64K = 250000;
constexpr uint32_t kRealisticProgramUsPerKiB = 8000;

// Fault injection. Every fault runs on a counter: it lets `after` of its events pass untouched,
// then acts on the next `times` events; with `every` above 1 it lets every - 1 events pass after
// each one it acted on (drop-reply, after 3, every 4: the 4th, 8th, 12th... reply). Its events are:
//   DropReply      every request (of command `cid`, or any when cid is 0): no reply is sent.
//   CorruptReply   every UART request: the reply's checksum byte is wrong (host: -104).
//   Garbage        every request: bytes outside any frame (UART) or a stray message (USB) go
//                  out before the reply; a correct host skips them.
//   ResendBlock    every data block (0x21, 0x31): answered -4, nothing stored.
//   LateBlock      every data block: no reply at all, as if the flash were busy past the host's
//                  time-out. The next ConfirmFlashWriting answers 0 if `lateStores` (the block was
//                  stored) or -10 (it was not: send it again).
//   BitFlip        every stored data block: one bit of the block flips in flash afterwards.
//   HangUp         every data block (or, with `cid`, every request of that command): instead of
//                  answering, the handset closes the link (pty or socket connection) and offers a
//                  fresh one, in the state it left. The request is not carried out.
//   FlashIdValid   every QueryFlashId: answered -7 with the flash id.
//   FlashWriteAnswer  every RequestAndWaitConfirmatonForFlashWrite: answered with `value` (1: not
//                  possible) instead of the handset's usual answer.
//   ShortDump      every MemoryDump the handset carries out: the reply leaves off its last `value`
//                  bytes (all of them, when it has fewer).
//   WriterNoStart  every writer end (0x22) the boot loader accepts: answered 0, but the flash
//                  writer does not start and the boot loader keeps running.
//   LateReply      every reply sent (to command `cid`, or any when cid is 0): it leaves `value`
//                  ms late, while the link goes on serving the next requests.
enum class EFault : uint8_t {
    DropReply,
    CorruptReply,
    Garbage,
    ResendBlock,
    LateBlock,
    BitFlip,
    HangUp,
    FlashIdValid,
    FlashWriteAnswer,
    ShortDump,
    WriterNoStart,
    LateReply,
};
constexpr int kFaultKinds = 12;
const char* FaultName(EFault fault);
bool ParseFaultName(const std::string& name, EFault& fault);

struct SFaultSpec {
    uint32_t after = 0;      // events to let pass first
    uint32_t times = 1;      // events to act on; 0 disarms
    uint8_t cid = 0;         // DropReply, LateReply: the command whose replies it acts on (0 = any);
                             // HangUp: the command it hangs up on (0 = data blocks)
    bool lateStores = false; // LateBlock only
    uint32_t value = 1;      // FlashWriteAnswer: the answer; ShortDump: bytes left off;
                             // LateReply: the delay in ms
    uint32_t every = 1;      // acts on one event in every `every` (after `after`); 0 and 1: each
};

// What the handset was asked, in order.
struct SCommandRecord {
    uint64_t seq = 0;
    ETransport transport = ETransport::Uart;
    uint8_t cid = 0;
    uint32_t address = 0;    // address field of the request, when it has one
    uint32_t endAddress = 0; // EraseFlashBlock: end of the range
    uint32_t length = 0;     // data bytes of a block, or the dump count
    uint8_t unit = 0;        // dump unit
    int status = 0;          // status answered (or that would have been, for a reply not sent)
    bool replied = true;     // false when a fault withheld the reply or hung up
    uint32_t lateMs = 0;     // the reply left this long after it was ready (late replies)
    std::string fault;       // the fault that acted on it, if any
};

struct SEraseRecord {
    uint32_t start = 0;
    uint32_t end = 0; // exclusive
    bool wholeChip = false;
};

// A write the flash (or the address map) refused.
struct SRefusedWrite {
    uint8_t cid = 0;
    uint32_t address = 0;    // start of the block
    uint32_t length = 0;     // data bytes
    uint32_t badAddress = 0; // first byte that could not be written
    int status = 0;
};

struct SLinkCounters {
    uint64_t uartConnections = 0; // ptys offered (the first and every one after a hang-up)
    uint64_t usbConnections = 0;  // socket connections accepted
    uint64_t hangUps = 0;         // links closed by the HangUp fault (counted once closed)
    uint64_t hostCloses = 0;      // times the host closed the pty slave
    uint64_t strayFrames = 0;     // UART frames not led by 0x21, dropped
    uint64_t oversizeFrames = 0;  // UART frames over the frame limit, dropped
    uint64_t badPackets = 0;      // malformed or out-of-sequence USB packets
    uint64_t badChecksums = 0;    // requests with a wrong XOR checksum
};

struct SHandsetSnapshot {
    ERunner runner = ERunner::BootLoader;
    SVersion bootLoaderVersion{};
    SVersion flashWriterVersion{};
    std::array<SChipSelect, kChipSelects> chips{};
    uint64_t blocksStored = 0; // data blocks written into memory
    uint64_t writerBlocks = 0; // writer blocks accepted since the last reset
    std::vector<SCommandRecord> commands;
    std::vector<SEraseRecord> erases;
    std::vector<SRefusedWrite> refusedWrites;
    std::vector<std::string> notes; // link events worth reading (hang-ups, connections, bad frames)
    SLinkCounters links;
    std::array<SFaultSpec, kFaultKinds> faults{}; // what is still armed
};

} // namespace vsim
