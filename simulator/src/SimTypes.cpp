#include "vsim/SimTypes.h"

#include <cerrno>
#include <cstdlib>

namespace vsim {

const char* StatusName(int value) {
    switch (value) {
    case status::Ok:
        return "Ok";
    case status::ResendBlock:
        return "ResendBlock";
    case status::FlashIdStillValid:
        return "FlashIdStillValid";
    case status::ConfirmResend:
        return "ConfirmResend";
    case status::BadRequestChecksum:
        return "BadRequestChecksum";
    case status::BadPacket:
        return "BadPacket";
    case status::UnknownCommand:
        return "UnknownCommand";
    case status::WrongPhase:
        return "WrongPhase";
    case status::BadLength:
        return "BadLength";
    case status::OutsideMemory:
        return "OutsideMemory";
    case status::NotErased:
        return "NotErased";
    case status::BadRecordChecksum:
        return "BadRecordChecksum";
    case status::DumpTooLarge:
        return "DumpTooLarge";
    case status::BadDumpUnit:
        return "BadDumpUnit";
    case status::BadEraseRange:
        return "BadEraseRange";
    case status::NoWriterImage:
        return "NoWriterImage";
    default:
        return "";
    }
}

const char* CommandName(uint8_t cid) {
    switch (cid) {
    case cmd::QueryFlashId:
        return "QueryFlashId";
    case cmd::EraseFlashAll:
        return "EraseFlashAll";
    case cmd::EraseFlashBlock:
        return "EraseFlashBlock";
    case cmd::WriterData:
        return "WriterData";
    case cmd::WriterEnd:
        return "WriterEnd";
    case cmd::AppData:
        return "AppData";
    case cmd::AppEnd:
        return "AppEnd";
    case cmd::ConfirmFlashWriting:
        return "ConfirmFlashWriting";
    case cmd::RequestFlashWrite:
        return "RequestAndWaitConfirmatonForFlashWrite";
    case cmd::QueryTargetRunner:
        return "QueryTargetRunner";
    case cmd::MemoryDump:
        return "MemoryDump";
    default:
        return "unknown";
    }
}

const char* TransportName(ETransport transport) {
    return transport == ETransport::Uart ? "uart" : "usb";
}

uint8_t RunnerTypeOnWire(ERunner runner, ETransport transport) {
    return uint8_t((runner == ERunner::FlashWriter ? 1 : 0) + (transport == ETransport::Usb ? 2 : 0));
}

namespace {
constexpr const char* kFaultNames[kFaultKinds] = {
    "drop-reply",         "corrupt-reply", "garbage",         "resend-block",
    "late-block",         "bit-flip",      "hang-up",         "flash-id-valid",
    "flash-write-answer", "short-dump",    "writer-no-start", "late-reply",
};
} // namespace

const char* FaultName(EFault fault) {
    const int i = int(fault);
    return i >= 0 && i < kFaultKinds ? kFaultNames[i] : "";
}

bool ParseFaultName(const std::string& name, EFault& fault) {
    for (int i = 0; i < kFaultKinds; ++i) {
        if (name == kFaultNames[i]) {
            fault = EFault(i);
            return true;
        }
    }
    return false;
}

namespace {

// A whole unsigned number (0x for hexadecimal) at most max; false otherwise.
bool ParseNumber(const std::string& text, uint64_t max, uint32_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != 0 || v > max) {
        return false;
    }
    value = uint32_t(v);
    return true;
}

} // namespace

bool ParseLateRules(const std::string& text, std::vector<SLateRule>& rules, std::string* error) {
    auto fail = [&](const std::string& spec, const char* why) {
        if (error) {
            *error = "bad late reply '" + spec + "': " + why + " (CID=MS[-MAX][/N][%P])";
        }
        return false;
    };
    std::vector<SLateRule> parsed;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const std::string spec =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        SLateRule rule;
        const size_t eq = spec.find('=');
        if (eq == std::string::npos) {
            return fail(spec, "no '='");
        }
        const std::string cid = spec.substr(0, eq);
        uint32_t number = 0;
        if (cid == "*") {
            rule.cid = 0;
        } else if (ParseNumber(cid, 255, number) && number != 0) {
            rule.cid = uint8_t(number);
        } else {
            return fail(spec, "the command identifier is 1..255 or *");
        }
        std::string rest = spec.substr(eq + 1);
        auto cut = [&](char mark, std::string& part) {
            const size_t at = rest.find(mark);
            if (at == std::string::npos) {
                return false;
            }
            part = rest.substr(at + 1);
            rest.erase(at);
            return true;
        };
        std::string share, every, range;
        if (cut('%', share) && (!ParseNumber(share, 100, rule.percent) || rule.percent == 0)) {
            return fail(spec, "the share is 1..100 percent");
        }
        if (cut('/', every) && (!ParseNumber(every, 0xFFFFFFFFull, rule.every) || rule.every == 0)) {
            return fail(spec, "every Nth reply needs N of 1 or more");
        }
        const bool ranged = cut('-', range);
        if (!ParseNumber(rest, 3600000, rule.minMs)) {
            return fail(spec, "the delay is 0..3600000 ms");
        }
        rule.maxMs = rule.minMs;
        if (ranged && (!ParseNumber(range, 3600000, rule.maxMs) || rule.maxMs < rule.minMs)) {
            return fail(spec, "the range MS-MAX needs MAX of MS or more");
        }
        parsed.push_back(rule);
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    rules.insert(rules.end(), parsed.begin(), parsed.end());
    return true;
}

} // namespace vsim
