#include "vsim/SimTypes.h"

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
    "flash-write-answer", "short-dump",    "writer-no-start",
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

} // namespace vsim
