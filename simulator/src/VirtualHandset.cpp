#include "vsim/VirtualHandset.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "vsim/WireCodec.h"

namespace vsim {

namespace {

uint32_t Be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Bytes sent between frames by the Garbage fault: no start byte on UART, no lead byte on USB.
const std::vector<uint8_t> kUartGarbage{0x00, 0xFF, 0x55, 0x0A, 0x10, 0xAA, 'n', 'o', 'i', 's', 'e', 0x0A};
const std::vector<uint8_t> kUsbGarbage{0x00, 'n', 'o', 'i', 's', 'e'};

// Data bytes of a block: the payload less the address and, on UART, the record checksum.
uint32_t BlockDataLength(const SRequest& request) {
    const size_t overhead = request.transport == ETransport::Uart ? 5 : 4;
    return request.payload.size() > overhead ? uint32_t(request.payload.size() - overhead) : 0;
}

uint32_t Ceil(uint64_t value, uint64_t unit) {
    return uint32_t((value + unit - 1) / unit);
}

} // namespace

CVirtualHandset::CVirtualHandset(const SSimulatorOptions& options)
    : m_Options(options), m_Flash(options.chips, options.flashFill), m_Runner(options.startRunner),
      m_LateCounts(options.lateReplies.size(), 0), m_LateRandom(options.lateSeed) {
    m_Options.chips = m_Flash.Chips();
    DisarmAll();
}

uint32_t CVirtualHandset::LateByRules(uint8_t cid) {
    for (size_t i = 0; i < m_Options.lateReplies.size(); ++i) {
        const SLateRule& rule = m_Options.lateReplies[i];
        if (rule.cid != 0 && rule.cid != cid) {
            continue;
        }
        // The first rule for the command decides; its counter and the random numbers advance
        // only for the replies it sees, so a run is the same for the same requests and seed.
        if (++m_LateCounts[i] % std::max<uint32_t>(rule.every, 1) != 0) {
            return 0;
        }
        if (rule.percent < 100 && m_LateRandom() % 100 >= rule.percent) {
            return 0;
        }
        if (rule.maxMs > rule.minMs) {
            return rule.minMs + uint32_t(m_LateRandom() % (uint64_t(rule.maxMs - rule.minMs) + 1));
        }
        return rule.minMs;
    }
    return 0;
}

void CVirtualHandset::SetLateReplies(const std::vector<SLateRule>& rules, uint32_t seed) {
    std::lock_guard lock(m_Mutex);
    m_Options.lateReplies = rules;
    m_Options.lateSeed = seed;
    m_LateCounts.assign(rules.size(), 0);
    m_LateRandom.seed(seed);
}

void CVirtualHandset::DisarmAll() {
    for (SFaultSpec& f : m_Faults) {
        f = SFaultSpec{};
        f.times = 0;
    }
}

bool CVirtualHandset::ConsumeFault(EFault fault, uint8_t cid) {
    SFaultSpec& f = m_Faults[size_t(fault)];
    if (f.times == 0) {
        return false;
    }
    if ((fault == EFault::DropReply || fault == EFault::HangUp || fault == EFault::LateReply) && f.cid != 0 &&
        f.cid != cid) {
        return false;
    }
    if (f.after > 0) {
        --f.after;
        return false;
    }
    --f.times;
    f.after = f.every > 1 ? f.every - 1 : 0;
    return true;
}

void CVirtualHandset::Note(std::string text) {
    if (m_Options.verbose) {
        std::fprintf(stderr, "vandrel-sim: %s\n", text.c_str());
    }
    m_Notes.push_back(std::move(text));
}

void CVirtualHandset::Log(const SCommandRecord& r) const {
    if (!m_Options.verbose) {
        return;
    }
    char fields[96] = "";
    switch (r.cid) {
    case cmd::QueryFlashId:
    case cmd::EraseFlashAll:
        std::snprintf(fields, sizeof fields, " 0x%08X", r.address);
        break;
    case cmd::EraseFlashBlock:
        std::snprintf(fields, sizeof fields, " 0x%08X..0x%08X", r.address, r.endAddress);
        break;
    case cmd::WriterData:
    case cmd::AppData:
        std::snprintf(fields, sizeof fields, " 0x%08X, %u bytes", r.address, r.length);
        break;
    case cmd::MemoryDump:
        std::snprintf(fields, sizeof fields, " 0x%08X, %u x %u bytes", r.address, r.length,
                      1u << (r.unit & 3));
        break;
    default:
        break;
    }
    const char* name = StatusName(r.status);
    char late[32] = "";
    if (r.lateMs > 0) {
        std::snprintf(late, sizeof late, " (%u ms late)", r.lateMs);
    }
    std::fprintf(stderr, "vandrel-sim: #%" PRIu64 " %s 0x%02X %s%s -> %d%s%s%s%s%s%s\n", r.seq,
                 TransportName(r.transport), r.cid, CommandName(r.cid), fields, r.status,
                 *name && r.status ? " " : "", r.status ? name : "", r.replied ? "" : " (no reply)", late,
                 r.fault.empty() ? "" : ", fault ", r.fault.c_str());
}

void CVirtualHandset::Refuse(uint8_t cid, uint32_t address, uint32_t length, uint32_t badAddress,
                             int status) {
    m_Refused.push_back(SRefusedWrite{cid, address, length, badAddress, status});
    char text[160];
    std::snprintf(text, sizeof text, "write of %u bytes at 0x%08X refused at 0x%08X: %s", length, address,
                  badAddress, StatusName(status));
    Note(text);
}

SResponse CVirtualHandset::Handle(const SRequest& request) {
    std::unique_lock lock(m_Mutex);
    SCommandRecord record;
    record.seq = ++m_Seq;
    record.transport = request.transport;
    record.cid = request.cid;

    SResponse response;
    SOutcome outcome;
    const bool acceptsBlock = (request.cid == cmd::WriterData && m_Runner == ERunner::BootLoader) ||
                              (request.cid == cmd::AppData && m_Runner == ERunner::FlashWriter);
    if (request.payload.size() >= 4) {
        record.address = Be32(request.payload.data());
    }

    // The hang-up fault acts on data blocks, or on the one command it names.
    const uint8_t hangUpCid = m_Faults[size_t(EFault::HangUp)].cid;
    const bool hangUpEvent = hangUpCid != 0 ? request.cid == hangUpCid : acceptsBlock;

    if (request.framingStatus != 0) {
        outcome.status = request.framingStatus;
    } else if (hangUpEvent && ConsumeFault(EFault::HangUp, request.cid)) {
        record.fault = FaultName(EFault::HangUp);
        record.replied = false;
        record.status = 0;
        response.send = false;
        response.hangUp = true;
        char text[80];
        std::snprintf(text, sizeof text, "hang-up on %s at 0x%08X", CommandName(request.cid), record.address);
        Note(text);
        m_Commands.push_back(record);
        Log(record);
        m_Changed.notify_all();
        return response;
    } else if (acceptsBlock && ConsumeFault(EFault::LateBlock, request.cid)) {
        record.fault = FaultName(EFault::LateBlock);
        record.replied = false;
        const SFaultSpec& rule = m_Faults[size_t(EFault::LateBlock)];
        m_LatePending = true;
        m_LateStored = rule.lateStores;
        if (rule.lateStores) {
            outcome = RunDataBlock(request, record);
            m_LateStored = outcome.status == 0;
        } else {
            record.length = BlockDataLength(request);
        }
        record.status = m_LateStored ? 0 : status::ConfirmResend;
        response.send = false;
        m_Commands.push_back(record);
        Log(record);
        m_Changed.notify_all();
        return response;
    } else if (acceptsBlock && ConsumeFault(EFault::ResendBlock, request.cid)) {
        record.fault = FaultName(EFault::ResendBlock);
        record.length = BlockDataLength(request);
        outcome.status = status::ResendBlock;
        m_LastWriteStatus = status::ResendBlock;
    } else {
        outcome = Run(request, record);
        if (acceptsBlock && outcome.status == 0 && record.length > 0 &&
            ConsumeFault(EFault::BitFlip, request.cid)) {
            const uint32_t at = record.address + record.length / 2;
            m_Flash.FlipBit(at, 0);
            record.fault = FaultName(EFault::BitFlip);
            char text[80];
            std::snprintf(text, sizeof text, "bit 0 flipped at 0x%08X", at);
            Note(text);
        }
        if (request.cid == cmd::QueryFlashId && outcome.status == 0 &&
            ConsumeFault(EFault::FlashIdValid, request.cid)) {
            outcome.status = status::FlashIdStillValid;
            record.fault = FaultName(EFault::FlashIdValid);
        }
        if (request.cid == cmd::RequestFlashWrite && outcome.status == 0 &&
            ConsumeFault(EFault::FlashWriteAnswer, request.cid)) {
            outcome.payload = {uint8_t(m_Faults[size_t(EFault::FlashWriteAnswer)].value)};
            record.fault = FaultName(EFault::FlashWriteAnswer);
        }
        if (request.cid == cmd::MemoryDump && outcome.status == 0 &&
            ConsumeFault(EFault::ShortDump, request.cid)) {
            const size_t drop =
                std::min<size_t>(m_Faults[size_t(EFault::ShortDump)].value, outcome.payload.size());
            outcome.payload.resize(outcome.payload.size() - drop);
            record.fault = FaultName(EFault::ShortDump);
        }
    }

    record.status = outcome.status;
    const bool uart = request.transport == ETransport::Uart;
    response.busyUs = outcome.busyUs;
    response.frame = BuildReplyFrame(request.cid, outcome.status, outcome.payload, uart);
    if (ConsumeFault(EFault::DropReply, request.cid)) {
        response.send = false;
        record.replied = false;
        record.fault = FaultName(EFault::DropReply);
    } else {
        if (uart && ConsumeFault(EFault::CorruptReply, request.cid)) {
            response.frame.back() ^= 0x5A;
            record.fault = FaultName(EFault::CorruptReply);
        }
        if (ConsumeFault(EFault::Garbage, request.cid)) {
            response.garbage = uart ? kUartGarbage : kUsbGarbage;
            if (record.fault.empty()) {
                record.fault = FaultName(EFault::Garbage);
            }
        }
        if (ConsumeFault(EFault::LateReply, request.cid)) {
            response.lateMs = m_Faults[size_t(EFault::LateReply)].value;
            if (record.fault.empty()) {
                record.fault = FaultName(EFault::LateReply);
            }
        } else {
            response.lateMs = LateByRules(request.cid);
        }
        record.lateMs = response.lateMs;
    }
    m_Commands.push_back(record);
    Log(record);
    m_Changed.notify_all();
    return response;
}

CVirtualHandset::SOutcome CVirtualHandset::Run(const SRequest& request, SCommandRecord& record) {
    SOutcome out;
    const std::vector<uint8_t>& p = request.payload;
    const bool boot = m_Runner == ERunner::BootLoader;
    auto needLength = [&](size_t n) {
        if (p.size() != n) {
            out.status = status::BadLength;
            return false;
        }
        return true;
    };

    switch (request.cid) {
    case cmd::RequestFlashWrite:
        if (needLength(0)) {
            out.payload = {m_Options.flashWriteAnswer}; // 0: FLASH_WRITE_POSSIBLE
        }
        break;
    case cmd::QueryTargetRunner:
        if (needLength(0)) {
            const SVersion& v = boot ? m_Options.bootLoaderVersion : m_Options.flashWriterVersion;
            out.payload = {RunnerTypeOnWire(m_Runner, request.transport), v[0], v[1], v[2]};
        }
        break;
    case cmd::QueryFlashId:
        if (needLength(4)) {
            const int cs = CFlashModel::ChipSelectOf(record.address);
            if (cs < 0) {
                out.status = status::OutsideMemory;
                out.payload = {0};
            } else {
                out.payload = {m_Flash.Chips()[size_t(cs)].part};
            }
        }
        break;
    case cmd::EraseFlashAll:
        if (needLength(4)) {
            const int cs = CFlashModel::ChipSelectOf(record.address);
            if (cs < 0 || !m_Flash.Chips()[size_t(cs)].Fitted()) {
                out.status = status::OutsideMemory;
            } else {
                const uint32_t base = CFlashModel::ChipBase(cs);
                record.endAddress = base + m_Flash.Chips()[size_t(cs)].size;
                out = RunErase(base, record.endAddress, true);
            }
        }
        break;
    case cmd::EraseFlashBlock:
        if (needLength(8)) {
            record.endAddress = Be32(p.data() + 4);
            out = RunErase(record.address, record.endAddress, false);
        }
        break;
    case cmd::MemoryDump:
        if (needLength(7)) {
            out = RunDump(request, record);
        }
        break;
    case cmd::WriterData:
    case cmd::AppData:
        if ((request.cid == cmd::WriterData) != boot) {
            out.status = status::WrongPhase;
        } else {
            out = RunDataBlock(request, record);
        }
        break;
    case cmd::WriterEnd:
        if (!boot) {
            out.status = status::WrongPhase;
        } else if (needLength(0)) {
            if (m_WriterBlocks == 0) {
                out.status = status::NoWriterImage;
            } else if (ConsumeFault(EFault::WriterNoStart, request.cid)) {
                record.fault = FaultName(EFault::WriterNoStart);
                Note("flash writer end answered, but the boot loader keeps running");
            } else {
                m_Runner = ERunner::FlashWriter;
                Note("flash writer started");
            }
        }
        break;
    case cmd::AppEnd:
        if (boot) {
            out.status = status::WrongPhase;
        } else {
            needLength(0);
        }
        break;
    case cmd::ConfirmFlashWriting:
        // The boot loader answers it only for a writer block it left pending (late-block fault).
        if (boot && !m_LatePending) {
            out.status = status::WrongPhase;
        } else if (needLength(0)) {
            if (m_LatePending) {
                out.status = m_LateStored ? int8_t(0) : status::ConfirmResend;
                m_LatePending = false;
            } else {
                out.status = m_LastWriteStatus;
            }
        }
        break;
    default:
        out.status = status::UnknownCommand;
        break;
    }
    return out;
}

CVirtualHandset::SOutcome CVirtualHandset::RunDataBlock(const SRequest& request, SCommandRecord& record) {
    SOutcome out;
    const std::vector<uint8_t>& p = request.payload;
    const bool uart = request.transport == ETransport::Uart;
    // UART: address, data, record checksum. USB: the host leaves the checksum off.
    const size_t minimum = uart ? 5 : 4;
    if (p.size() < minimum) {
        out.status = status::BadLength;
        m_LastWriteStatus = out.status;
        return out;
    }
    const uint32_t dataLength = uint32_t(p.size() - minimum);
    record.length = dataLength;
    if (uart && !RecordChecksumOk(p.data(), p.size())) {
        out.status = status::BadRecordChecksum;
        Refuse(request.cid, record.address, dataLength, record.address, out.status);
        m_LastWriteStatus = out.status;
        return out;
    }
    uint32_t bad = 0;
    const bool writer = request.cid == cmd::WriterData;
    switch (m_Flash.Program(record.address, p.data() + 4, dataLength, writer, &bad)) {
    case EWriteResult::Ok:
        ++m_BlocksStored;
        if (writer) {
            ++m_WriterBlocks;
        }
        if (!CFlashModel::InRam(record.address, dataLength ? dataLength : 1)) {
            out.busyUs = Ceil(dataLength, 1024) * m_Options.programUsPerKiB;
        }
        break;
    case EWriteResult::OutsideMemory:
        out.status = status::OutsideMemory;
        Refuse(request.cid, record.address, dataLength, bad, out.status);
        break;
    case EWriteResult::NotErased:
        out.status = status::NotErased;
        Refuse(request.cid, record.address, dataLength, bad, out.status);
        break;
    }
    m_LastWriteStatus = out.status;
    return out;
}

CVirtualHandset::SOutcome CVirtualHandset::RunErase(uint32_t start, uint32_t end, bool wholeChip) {
    SOutcome out;
    if (end <= start) {
        out.status = status::BadEraseRange;
        return out;
    }
    if (!m_Flash.Erase(start, end)) {
        out.status = status::OutsideMemory;
        return out;
    }
    m_Erases.push_back(SEraseRecord{start, end, wholeChip});
    out.busyUs = Ceil(uint64_t(end) - start, 0x10000) * m_Options.eraseUsPer64K;
    return out;
}

CVirtualHandset::SOutcome CVirtualHandset::RunDump(const SRequest& request, SCommandRecord& record) {
    SOutcome out;
    const std::vector<uint8_t>& p = request.payload;
    const uint32_t count = uint32_t(p[4]) | uint32_t(p[5]) << 8;
    const uint8_t unit = p[6];
    record.length = count;
    record.unit = unit;
    if (unit > 2) {
        out.status = status::BadDumpUnit;
        return out;
    }
    const uint64_t bytes = uint64_t(count) << unit;
    const uint32_t limit = request.transport == ETransport::Uart ? kMaxDumpUart : kMaxDumpUsb;
    if (bytes > limit) {
        out.status = status::DumpTooLarge;
        return out;
    }
    if (uint64_t(record.address) + bytes > 0x100000000ull) {
        out.status = status::OutsideMemory;
        return out;
    }
    out.payload = m_Flash.Read(record.address, size_t(bytes));
    if (m_Options.ramReadsAs >= 0) {
        for (size_t k = 0; k < out.payload.size(); ++k) {
            if (CFlashModel::InRam(uint32_t(record.address + k), 1)) {
                out.payload[k] = uint8_t(m_Options.ramReadsAs);
            }
        }
    }
    return out;
}

void CVirtualHandset::SetFault(EFault fault, const SFaultSpec& rule) {
    std::lock_guard lock(m_Mutex);
    m_Faults[size_t(fault)] = rule;
}

void CVirtualHandset::ClearFaults() {
    std::lock_guard lock(m_Mutex);
    DisarmAll();
    m_LatePending = false;
}

SFaultSpec CVirtualHandset::Fault(EFault fault) const {
    std::lock_guard lock(m_Mutex);
    return m_Faults[size_t(fault)];
}

SHandsetSnapshot CVirtualHandset::Snapshot() const {
    std::lock_guard lock(m_Mutex);
    return SnapshotLocked();
}

bool CVirtualHandset::WaitUntil(const std::function<bool(const SHandsetSnapshot&)>& predicate,
                                std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_Mutex);
    return m_Changed.wait_for(lock, timeout, [&] { return predicate(SnapshotLocked()); });
}

SHandsetSnapshot CVirtualHandset::SnapshotLocked() const {
    SHandsetSnapshot s;
    s.runner = m_Runner;
    s.bootLoaderVersion = m_Options.bootLoaderVersion;
    s.flashWriterVersion = m_Options.flashWriterVersion;
    s.chips = m_Flash.Chips();
    s.blocksStored = m_BlocksStored;
    s.writerBlocks = m_WriterBlocks;
    s.commands = m_Commands;
    s.erases = m_Erases;
    s.refusedWrites = m_Refused;
    s.notes = m_Notes;
    s.links = m_Links;
    s.faults = m_Faults;
    return s;
}

std::vector<uint8_t> CVirtualHandset::ReadMemory(uint32_t address, size_t length) const {
    std::lock_guard lock(m_Mutex);
    return m_Flash.Read(address, length);
}

ERunner CVirtualHandset::Runner() const {
    std::lock_guard lock(m_Mutex);
    return m_Runner;
}

size_t CVirtualHandset::CommandCount() const {
    std::lock_guard lock(m_Mutex);
    return m_Commands.size();
}

bool CVirtualHandset::WaitForCommands(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_Mutex);
    return m_Changed.wait_for(lock, timeout, [&] { return m_Commands.size() >= count; });
}

void CVirtualHandset::ClearRecord() {
    std::lock_guard lock(m_Mutex);
    m_Commands.clear();
    m_Erases.clear();
    m_Refused.clear();
    m_Notes.clear();
    m_Links = {};
    m_BlocksStored = 0;
}

void CVirtualHandset::SetRunner(ERunner runner) {
    std::lock_guard lock(m_Mutex);
    m_Runner = runner;
}

SSimulatorOptions CVirtualHandset::Options() const {
    std::lock_guard lock(m_Mutex);
    return m_Options;
}

void CVirtualHandset::SetTiming(uint32_t eraseUsPer64K, uint32_t programUsPerKiB) {
    std::lock_guard lock(m_Mutex);
    m_Options.eraseUsPer64K = eraseUsPer64K;
    m_Options.programUsPerKiB = programUsPerKiB;
}

void CVirtualHandset::LoadMemory(uint32_t address, const std::vector<uint8_t>& data) {
    std::lock_guard lock(m_Mutex);
    m_Flash.Poke(address, data.data(), data.size());
}

void CVirtualHandset::PowerCycle() {
    std::lock_guard lock(m_Mutex);
    m_Runner = ERunner::BootLoader;
    m_WriterBlocks = 0;
    m_LatePending = false;
    m_LastWriteStatus = 0;
    m_Flash.ClearRam();
    Note("power cycle");
}

void CVirtualHandset::NoteLinkEvent(const std::string& text) {
    std::lock_guard lock(m_Mutex);
    Note(text);
    m_Changed.notify_all();
}

void CVirtualHandset::CountUartConnection() {
    std::lock_guard lock(m_Mutex);
    ++m_Links.uartConnections;
    m_Changed.notify_all();
}
void CVirtualHandset::CountUsbConnection() {
    std::lock_guard lock(m_Mutex);
    ++m_Links.usbConnections;
    m_Changed.notify_all();
}
void CVirtualHandset::CountHangUp() {
    std::lock_guard lock(m_Mutex);
    ++m_Links.hangUps;
    m_Changed.notify_all();
}
void CVirtualHandset::CountHostClose() {
    std::lock_guard lock(m_Mutex);
    ++m_Links.hostCloses;
    m_Changed.notify_all();
}
void CVirtualHandset::CountStrayFrame() {
    std::lock_guard lock(m_Mutex);
    ++m_Links.strayFrames;
}
void CVirtualHandset::CountOversizeFrame() {
    std::lock_guard lock(m_Mutex);
    ++m_Links.oversizeFrames;
}
void CVirtualHandset::CountBadPacket() {
    std::lock_guard lock(m_Mutex);
    ++m_Links.badPackets;
}
void CVirtualHandset::CountBadChecksum() {
    std::lock_guard lock(m_Mutex);
    ++m_Links.badChecksums;
}

} // namespace vsim
