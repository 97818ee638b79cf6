#include "download/DownloadSession.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

#include "download/CompressFlashFile.h"
#include "download/RecordReader.h"

namespace {

// The view of a session without one.
CQuietJobObserver g_nullObserver;

// Erase commands run with the bar at 0..150, stepped by the view's animation timer.
constexpr uint32_t kEraseRange = 150;
// Attempts of the USB retry scheme: a data block, the end command.
constexpr int kDataAttempts = 9;
constexpr int kEndAttempts = 10;
// Status values the retry scheme tells apart.
constexpr signed char kResendBlock = -4;
constexpr signed char kConfirmResend = -10;

struct TS_AREA_TEXTS {
    int32_t flag;
    const char* erasing;
    const char* failure;
};
constexpr TS_AREA_TEXTS kAreaTexts[] = {
    {AREA_BOOT, "Erasing ostra boot code area in CS#0 flash memory..",
     "Error occurred while erasing a ostra boot code area in CS#0 flash"},
    {AREA_MAIN, "Erasing ostra main code area in CS#0 flash memory..",
     "Error occurred while erasing a ostra main code area in CS#0 flash"},
    {AREA_CDRIVE, "Erasing ostra C-drive area in CS#0 flash memory..",
     "Error occurred while erasing a ostra C-drive area in CS#0 flash"},
    {AREA_DDRIVE, "Erasing ostra D-drive area in CS#2 flash memory..",
     "Error occurred while erasing a ostra D-drive area in CS#2 flash"},
    {AREA_DB, "Erasing ostra DB area in CS#2 flash memory..",
     "Error occurred while erasing a ostra DB area in CS#2 flash"},
    {AREA_MEDIA, "Erasing ostra media area in CS#2 flash memory..",
     "Error occurred while erasing a ostra media area in CS#2 flash"},
};

int Percent(int64_t position, int64_t size) {
    if (size <= 0) {
        return 0;
    }
    return static_cast<int>(static_cast<double>(position * 100) / static_cast<double>(size));
}

std::string AreaStatus(const std::string& areaName, uint32_t address) {
    char text[32];
    std::snprintf(text, sizeof text, "[0x%08X]", address);
    return areaName + text;
}

uint32_t Clamp32(int64_t value) {
    return value < 0 ? 0u : value > int64_t{UINT32_MAX} ? UINT32_MAX : static_cast<uint32_t>(value);
}

} // namespace

std::string ErrorCodeText(int status) {
    char text[64];
    std::snprintf(text, sizeof text, " *** Error occurred => code[%d]\r\n", status);
    return text;
}

std::string ProgressText(const std::string& label, int percent) {
    char text[32];
    std::snprintf(text, sizeof text, "[%d%%]", percent);
    return label + text;
}

const char* AreaEraseMessage(int32_t flag) {
    for (const TS_AREA_TEXTS& t : kAreaTexts) {
        if (t.flag == flag) {
            return t.erasing;
        }
    }
    return "";
}

const char* AreaEraseFailure(int32_t flag) {
    for (const TS_AREA_TEXTS& t : kAreaTexts) {
        if (t.flag == flag) {
            return t.failure;
        }
    }
    return "";
}

CDownloadSession::CDownloadSession(int32_t mode, std::string path, COstraMonitor* monitor,
                                   IJobObserver* observer)
    : m_mode(mode), m_path(std::move(path)), m_monitor(monitor),
      m_observer(observer ? observer : &g_nullObserver), m_modeWord(mode) {}

bool CDownloadSession::StopRequested() const {
    return m_stop.load(std::memory_order_relaxed) ||
           (m_externalStop && m_externalStop->load(std::memory_order_relaxed));
}

void CDownloadSession::SetPatch(uint32_t address, std::vector<uint8_t> bytes) {
    m_patchAddress = address;
    m_patch = std::move(bytes);
    m_patchSent.assign(m_patch.size(), false);
}

const uint8_t* CDownloadSession::Patched(uint32_t address, std::span<const uint8_t> block) {
    // block: address (4), data, checksum (1)
    const uint64_t dataEnd = uint64_t{address} + block.size() - 5;
    const uint64_t patchEnd = uint64_t{m_patchAddress} + m_patch.size();
    const uint64_t from = std::max<uint64_t>(address, m_patchAddress);
    const uint64_t to = std::min(dataEnd, patchEnd);
    if (from >= to) {
        return block.data();
    }
    m_patchedBlock.assign(block.begin(), block.end());
    for (uint64_t a = from; a < to; ++a) {
        m_patchedBlock[4 + (a - address)] = m_patch[a - m_patchAddress];
        m_patchSent[a - m_patchAddress] = true;
    }
    // the checksum over the two count bytes, the address and the data, as the compressor makes it
    const std::size_t count = block.size();
    uint32_t sum = static_cast<uint32_t>(count >> 8) + static_cast<uint32_t>(count & 0xFF);
    for (std::size_t k = 0; k + 1 < count; ++k) {
        sum += m_patchedBlock[k];
    }
    m_patchedBlock[count - 1] = static_cast<uint8_t>(~sum & 0xFF);
    return m_patchedBlock.data();
}

bool CDownloadSession::SendDataBlock(uint32_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> block = {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                                  static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    block.insert(block.end(), data.begin(), data.end());
    const std::size_t count = block.size() + 1;
    uint32_t sum = static_cast<uint32_t>(count >> 8) + static_cast<uint32_t>(count & 0xFF);
    for (const uint8_t b : block) {
        sum += b;
    }
    block.push_back(static_cast<uint8_t>(~sum & 0xFF));
    if (StopRequested()) {
        StopText("send");
        return false;
    }
    const signed char status = WriteWithRetries(m_commandBase, static_cast<uint16_t>(count),
                                                reinterpret_cast<const char*>(block.data()), kDataAttempts);
    if (status < 0) {
        if (StopRequested()) {
            StopText("send");
        } else {
            CommandFailed(STEP_PROGRAM, status, LinkFailureText(status));
        }
        return false;
    }
    m_outcome = {};
    m_bytesWritten += data.size();
    m_nextAddress = address + static_cast<uint32_t>(data.size());
    m_anyBlockWritten = true;
    if (m_observer) {
        m_observer->OnBlockWritten(address, static_cast<uint32_t>(data.size()));
    }
    return true;
}

void CDownloadSession::UsePrepared(std::string cp64Path, const TS_AREA_MARKS& marks) {
    m_givenPrepared = std::move(cp64Path);
    m_givenMarks = marks;
}

void CDownloadSession::Caption(const std::string& text) {
    m_observer->SetCaption(text);
}

void CDownloadSession::Status(const std::string& text) {
    m_observer->SetStatus(text);
}

void CDownloadSession::CommandFailed(TE_JOB_STEP step, int status, std::string text) {
    m_errorText = std::move(text);
    m_outcome = {};
    m_outcome.Step = step;
    m_outcome.Status = status;
    m_outcome.Text = m_errorText;
    // the port's typed error says whether the device went away; its text is only shown
    if (m_monitor->IsSerialOpen() && m_monitor->GetPortLastError() != 0) {
        m_outcome.Class = OUTCOME_LINK_LOST;
        m_outcome.SystemError = m_monitor->GetPortLastError();
        m_outcome.Reason = m_monitor->GetPortErrorText();
    } else {
        m_outcome.Class = OUTCOME_TARGET_REFUSED;
    }
}

void CDownloadSession::FileFailed(TE_FILE_PROBLEM problem, TE_JOB_STEP step, std::string text) {
    m_errorText = std::move(text);
    m_outcome = {};
    m_outcome.Class = OUTCOME_FILE_ERROR;
    m_outcome.Step = step;
    m_outcome.File = problem;
    m_outcome.Text = m_errorText;
}

bool CDownloadSession::Ended(bool sent) {
    if (sent) {
        m_outcome = {};
    } else if (m_outcome.Ok()) {
        m_outcome.Class = OUTCOME_INTERNAL; // a failure that named no class
        m_outcome.Text = m_errorText;
    }
    m_observer->OnJobEnd(m_outcome);
    return sent;
}

void CDownloadSession::Phase(TE_JOB_PHASE phase) {
    m_observer->OnJobPhase(phase);
}

void CDownloadSession::StopText(const char* stage) {
    m_stopped = true;
    const std::string file = "'" + m_path + "'";
    const std::string what = std::string(stage);
    m_outcome = {};
    m_outcome.Class = OUTCOME_CANCELLED;
    m_outcome.Step = what == "compress" ? STEP_COMPRESS : what == "erase" ? STEP_ERASE : STEP_PROGRAM;
    if (what == "compress") {
        m_errorText =
            "\r\nDownload stopped while " + file + " was being compressed: nothing was erased or sent.\r\n";
    } else if (what == "erase") {
        m_errorText = "\r\nDownload stopped while the flash was being erased for " + file +
                      ": nothing of it was written, the flash there is incomplete.\r\n";
    } else if (!m_anyBlockWritten) {
        m_errorText = "\r\nDownload stopped before the first block of " + file +
                      " was written: the flash there is incomplete.\r\n";
    } else {
        char text[160];
        std::snprintf(text, sizeof text, " reached address 0x%08X (%" PRIu64 " bytes written)", m_nextAddress,
                      m_bytesWritten);
        m_errorText = "\r\nDownload stopped: " + file + text + "; the flash there is incomplete.\r\n";
    }
    m_outcome.Text = m_errorText;
}

void CDownloadSession::MarkArea(uint32_t address) {
    // A Ctrl-C flag of the caller reaches the compressor through the session's own flag.
    if (m_externalStop && m_externalStop->load(std::memory_order_relaxed)) {
        m_stop.store(true, std::memory_order_relaxed);
    }
    m_marks.MarkArea(address);
    m_modeWord |= m_marks.defaultFlags;
}

bool CDownloadSession::EnterArea(uint32_t address) {
    return m_areas.EnterArea(address, m_areaName);
}

bool CDownloadSession::RunSession() {
    return Ended(SessionSteps());
}

bool CDownloadSession::SessionSteps() {
    if (m_mode == MODE_WRITER_CODE) {
        m_commandBase = FLASH_CMD_WRITER_DATA;
        Caption(sessiontext::CAPTION_WRITER);
        m_areaName = sessiontext::AREA_NAME_WRITER;
    } else {
        m_commandBase = FLASH_CMD_APP_DATA;
    }
    if (!m_monitor) {
        m_errorText = "\r\nThe link to the target is not open.\r\n";
        m_outcome.Class = OUTCOME_INTERNAL;
        m_outcome.Text = m_errorText;
        return false;
    }

    m_kind = GetFileKind(m_path);
    if (m_kind == KIND_M0 && !m_givenPrepared.empty()) {
        m_marks = m_givenMarks;
        m_modeWord |= m_marks.defaultFlags;
        m_preparedPath = m_givenPrepared;
        m_kind = KIND_CP64;
    } else if (m_kind == KIND_M0) {
        TS_COMPRESS_HOOKS hooks;
        hooks.MarkArea = [this](uint32_t address) { MarkArea(address); };
        hooks.Observer = m_observer;
        hooks.Stop = &m_stop;
        std::string output;
        std::string problem;
        if (StopRequested()) {
            StopText("compress");
            return false;
        }
        Phase(JOB_PHASE_COMPRESS);
        if (!CompressFlashFile(m_path, output, hooks, &problem)) {
            if (StopRequested()) {
                StopText("compress");
            } else {
                FileFailed(FILE_PROBLEM_COMPRESS, STEP_COMPRESS,
                           std::string(sessiontext::ERR_COMPRESS) + problem + "\r\n");
            }
            return false;
        }
        m_preparedPath = output;
        m_kind = KIND_CP64;
    } else if (m_kind == KIND_CP64) {
        m_preparedPath = m_path;
    } else {
        FileFailed(FILE_PROBLEM_FORMAT, STEP_COMPRESS, sessiontext::ERR_UNKNOWN_FORMAT);
        return false;
    }
    m_result = SendFile(m_preparedPath);
    return m_result != 0;
}

int32_t CDownloadSession::SendFile(const std::string& path) {
    CRecordReader reader(CRecordReader::COUNT_TWO_BYTES);
    if (!reader.Open(path)) {
        FileFailed(FILE_PROBLEM_OPEN, STEP_PROGRAM, sessiontext::ERR_CANNOT_OPEN + path);
        Status(m_errorText);
        return 0;
    }
    const int64_t size = reader.FileSize();
    if (size < 0) {
        FileFailed(FILE_PROBLEM_READ, STEP_PROGRAM, sessiontext::ERR_CRITICAL);
        Status(m_errorText);
        return 0;
    }
    if (m_modeWord >= 2 && !EraseTouchedAreas()) {
        return 0;
    }

    Caption(sessiontext::CAPTION_SEND);
    Phase(JOB_PHASE_PROGRAM);
    m_observer->SetProgressPos(0);
    m_observer->SetProgressRange(0, Clamp32(size));
    m_observer->SetProgressText(ProgressText(sessiontext::DOWNLOADING, 0));

    int64_t previous = 0;
    for (;;) {
        if (StopRequested()) {
            StopText("send");
            return 0;
        }
        const CRecordReader::TE_NEXT_RESULT next = reader.Next();
        if (next == CRecordReader::RECORD_END) {
            break;
        }
        if (next == CRecordReader::RECORD_ERROR) {
            // A damaged line, a line too long or a read error: nothing of that line is sent.
            FileFailed(FILE_PROBLEM_READ, STEP_PROGRAM, reader.ErrorText() + "\r\n");
            return 0;
        }
        const int64_t position = reader.Position();
        const TS_SRECORD& record = reader.Record();
        if (record.IsData()) {
            const uint32_t address = record.address;
            if (m_modeWord >= 1 && EnterArea(address)) {
                Status(AreaStatus(m_areaName, address));
                m_observer->SetProgressText(ProgressText(sessiontext::DOWNLOADING, Percent(previous, size)));
            }
            Status(AreaStatus(m_areaName, address));
            const uint8_t* bytes = record.bytes.data();
            if (!m_patch.empty() && record.bytes.size() == record.count && record.count >= 5) {
                bytes = Patched(record.address, record.bytes);
            }
            const signed char status = WriteWithRetries(m_commandBase, static_cast<uint16_t>(record.count),
                                                        reinterpret_cast<const char*>(bytes), kDataAttempts);
            if (status < 0) {
                if (StopRequested()) {
                    StopText("send");
                } else {
                    CommandFailed(STEP_PROGRAM, status, LinkFailureText(status));
                }
                return 0;
            }
            const auto length = static_cast<uint32_t>(record.data.size());
            m_bytesWritten += length;
            m_nextAddress = address + length;
            m_anyBlockWritten = true;
            m_observer->OnBlockWritten(address, length);
        } else if (record.IsEnd()) {
            const auto end = static_cast<TE_FLASH_CMDS>(m_commandBase + 1);
            const signed char status = WriteWithRetries(end, 0, nullptr, kEndAttempts);
            if (status < 0) {
                if (StopRequested()) {
                    StopText("send");
                } else {
                    CommandFailed(STEP_PROGRAM, status, LinkFailureText(status));
                }
                return 0;
            }
        }
        m_observer->SetProgressText(ProgressText(sessiontext::DOWNLOADING, Percent(position, size)));
        m_observer->SetProgressPos(Clamp32(position));
        previous = position;
    }
    if (size == 0) {
        // Nothing to send is all of it sent.
        m_observer->SetProgressText(ProgressText(sessiontext::DOWNLOADING, 100));
    }
    return 1;
}

std::string CDownloadSession::LinkFailureText(int status) const {
    // A handset that went away leaves the reason with the port ("... the device was disconnected").
    const std::string port = m_monitor->GetPortErrorText();
    return ErrorCodeText(status) + (port.empty() ? std::string() : port + "\r\n");
}

signed char CDownloadSession::WriteWithRetries(TE_FLASH_CMDS command, uint16_t count, const char* bytes,
                                               int maxAttempts) {
    signed char r = m_monitor->FlashWrite(command, count, bytes);
    if (r >= 0 || m_monitor->GetPortTypes() != PORT_USB) {
        return r;
    }
    for (int attempt = 0; attempt < maxAttempts; ++attempt) {
        if (r >= 0 || StopRequested()) {
            break;
        }
        if (r == TM_ERR_TIMEOUT) {
            // No answer in time: ask whether the block arrived; -10 means it did not.
            r = m_monitor->ConfirmFlashWriting();
            if (r == kConfirmResend) {
                r = m_monitor->FlashWrite(command, count, bytes);
            }
        } else if (r == kResendBlock) {
            r = m_monitor->FlashWrite(command, count, bytes);
        }
        // any other failure: nothing is sent, the attempt still counts
    }
    return r;
}

bool CDownloadSession::Erase(int32_t flag, const TS_OSTRA_AREA* area) {
    if (StopRequested()) {
        StopText("erase");
        return false;
    }
    const std::string message = area ? AreaEraseMessage(flag) : sessiontext::ERASE_CS0_ALL;
    m_eraseMessage = message;
    m_observer->SetProgressText(message);
    m_observer->SetProgressPos(0);
    m_observer->SetProgressRange(0, kEraseRange);
    m_observer->SetEraseAnimation(true, message);
    const signed char r =
        area ? m_monitor->EraseFlashBlock(area->start, area->end) : m_monitor->EraseFlashAll(CS0_BASE);
    if (r < 0) {
        const std::string failure = area ? AreaEraseFailure(flag) : sessiontext::ERR_ERASE_CS0_ALL;
        Status(failure);
        // The status line closes with the dialog: the log keeps the reason.
        CommandFailed(STEP_ERASE, r, failure + "\r\n" + LinkFailureText(r));
        return false;
    }
    m_observer->SetEraseAnimation(false, "");
    return true;
}

bool CDownloadSession::EraseTouchedAreas() {
    TE_FLASH_MANUFACTURE_ID type = FLASH_NOT_FOUND;
    const signed char query = m_monitor->QueryFlashId(CS0_BASE, type);
    if (query < 0 && query != -7) {
        Status(sessiontext::ERR_QUERY_CS0);
        CommandFailed(STEP_ERASE, query,
                      std::string(sessiontext::ERR_QUERY_CS0) + "\r\n" + LinkFailureText(query));
        return false;
    }
    m_flashType = static_cast<int>(type);
    if (!m_areas.RemapForFlashType(m_flashType)) {
        Status(sessiontext::UNKNOWN_FLASH);
    }
    Caption(sessiontext::CAPTION_ERASE);
    Phase(JOB_PHASE_ERASE);

    // The flags of the layout in force on this handset: records were marked against both.
    const int32_t flags = m_marks.Any() ? m_marks.ForFlashType(m_flashType) : (m_modeWord & ~1);
    struct AnimationOff {
        IJobObserver* observer;
        ~AnimationOff() { observer->SetEraseAnimation(false, ""); }
    } animationOff{m_observer};

    if ((flags & AREA_CS0_MASK) == AREA_CS0_MASK) {
        if (!Erase(0, nullptr)) {
            return false;
        }
    } else {
        for (int32_t flag : {AREA_BOOT, AREA_MAIN, AREA_CDRIVE}) {
            if ((flags & flag) && !Erase(flag, m_areas.AreaOfFlag(flag))) {
                return false;
            }
        }
    }
    for (int32_t flag : {AREA_DDRIVE, AREA_DB, AREA_MEDIA}) {
        if ((flags & flag) && !Erase(flag, m_areas.AreaOfFlag(flag))) {
            return false;
        }
    }
    return true;
}
