// The port's download: each file of the job sent (and verified), and a production line's part of
// it: the handset's facts read, its serial patched into the images or written after them.
#include "StationPort.h"

#include <cstdio>

#include "download/DownloadSession.h"
#include "download/FlashFile.h"
#include "tools/FlashIdentification.h"
#include "tools/MemoryDump.h"

void CStationPort::OnBlockWritten(uint32_t address, uint32_t length) {
    m_written.Add(address, length);
    m_fileBytes += length;
    m_bytes += length;
    if (!m_positionBytes) {
        Progress(m_fileBytes, false);
    }
}

TS_FAILURE CStationPort::DownloadFile(const std::string& path) {
    m_written.Clear();
    m_fileBytes = 0;
    m_positionBytes = false;
    if (GetFileKind(path) == KIND_M0) {
        Phase(STATION_PHASE_COMPRESS); // made by the first port that needs it, once for every port
    }
    TE_STATION_ERROR error = STATION_OK;
    std::string problem;
    const std::shared_ptr<const TS_PREPARED_FILE> prepared = m_engine.Prepare(*this, path, error, problem);
    if (!prepared) {
        if (error == STATION_ERR_STOPPED) {
            return {STATION_ERR_STOPPED, "stopped before '" + path + "' was written"};
        }
        return {error, problem};
    }
    m_total = prepared->Payload;
    AppendLog("\r\n" + std::string(LOG_MARK) + " Download : '" + path + "'\r\n");
    CDownloadSession session(MODE_APP_CODE, path, m_link.Monitor(), this);
    if (prepared->Compressed) {
        session.UsePrepared(prepared->SendPath, prepared->Marks);
    }
    if (m_data.Present) {
        session.SetPatch(m_data.Address, m_data.Bytes);
    }
    session.SetStopFlag(&m_stop);
    const bool sent = session.RunSession();
    m_sending.store(false);
    m_erasing.store(false);
    m_attemptFiles.push_back({"image", path, session.BytesWritten()});
    bool patched = false;
    for (std::size_t k = 0; k < session.PatchSent().size() && k < m_dataSent.size(); ++k) {
        patched = patched || session.PatchSent()[k];
        m_dataSent[k] = m_dataSent[k] || session.PatchSent()[k];
    }
    if (!sent) {
        AppendLog(session.GetErrorText());
        if (Stopped()) {
            char text[160];
            if (session.AnyBlockWritten()) {
                std::snprintf(text, sizeof text, "' reached address 0x%08X; the flash there is incomplete",
                              session.NextAddress());
                return {STATION_ERR_STOPPED, "stopped: '" + path + text};
            }
            return {STATION_ERR_STOPPED, "stopped before '" + path + "' was written"};
        }
        const std::string& text = session.GetErrorText();
        const TS_JOB_OUTCOME& outcome = session.Outcome();
        if (outcome.Class == OUTCOME_FILE_ERROR &&
            (outcome.File == FILE_PROBLEM_COMPRESS || outcome.File == FILE_PROBLEM_FORMAT)) {
            return {STATION_ERR_FILE, "'" + path + "': " + OneLine(text)};
        }
        return LinkFailure(STATION_ERR_DOWNLOAD, "download of '" + path + "' failed: " + OneLine(text),
                           outcome.Class == OUTCOME_LINK_LOST);
    }
    Progress(m_fileBytes, true);
    if (!prepared->HasEndRecord) {
        // sent in full, and no end command went out: the program's rule, but say it
        m_noEndRecord.push_back(path);
        AppendLog("\r\n'" + path + "': " + STATION_NO_END_RECORD + "\r\n");
    }
    if (!m_engine.m_job.Verify) {
        return {STATION_OK, {}};
    }
    Phase(STATION_PHASE_VERIFY);
    m_total = m_written.TotalBytes();
    m_positionBytes = true;
    const TS_VERIFY_RESULT verify =
        patched ? VerifyWrittenRanges(Monitor(), m_written, PatchedImage(prepared->Image), this, &m_stop)
                : VerifyWrittenRanges(Monitor(), m_written, prepared->Image, this, &m_stop);
    m_positionBytes = false;
    if (verify.stopped || Stopped()) {
        return {STATION_ERR_STOPPED,
                "stopped while '" + path + "' was being verified (it was written in full)"};
    }
    if (!verify.ok) {
        m_verifyResult = "failed";
        AppendLog("\r\n" + verify.text + " ('" + path + "')\r\n");
        if (verify.readFailed) {
            return LinkFailure(STATION_ERR_VERIFY, verify.text + " ('" + path + "')");
        }
        return {STATION_ERR_VERIFY, verify.text + " ('" + path + "')"};
    }
    Progress(m_total, true);
    m_verified += verify.bytesCompared;
    AppendLog("\r\n" + verify.text + " of '" + path + "'\r\n");
    return {STATION_OK, {}};
}

TS_FAILURE CStationPort::Download(std::string& summary) {
    const std::vector<std::string>& files = m_engine.m_job.Files;
    if (files.empty()) {
        return {STATION_ERR_USAGE, "no flash files to download"};
    }
    if (TS_FAILURE f = Connect(true, m_answered); f.error != STATION_OK) {
        return f;
    }
    if (m_engine.m_lineData) {
        if (TS_FAILURE f = TakeHandsetData(); f.error != STATION_OK) {
            return f;
        }
    }
    for (std::size_t k = 0; k < files.size(); ++k) {
        if (TS_FAILURE f = DownloadFile(files[k]); f.error != STATION_OK) {
            if (k + 1 < files.size()) {
                f.message += "; " + std::to_string(files.size() - k - 1) + " more not attempted";
            }
            return f;
        }
        if (Stopped()) {
            return {STATION_ERR_STOPPED, "stopped after " + std::to_string(k + 1) + " of " +
                                             std::to_string(files.size()) + " files were sent in full"};
        }
    }
    if (m_data.Present) {
        if (TS_FAILURE f = WriteRestOfData(); f.error != STATION_OK) {
            return f;
        }
    }
    m_verifyResult = m_engine.m_job.Verify ? "passed" : "off";
    summary = std::to_string(files.size()) + " file" + (files.size() == 1 ? "" : "s") + " sent";
    if (m_writerSent) {
        summary += " after the flash writer";
    }
    if (m_engine.m_job.Verify) {
        summary += ", verified " + std::to_string(m_verified) + " bytes";
    }
    if (m_data.Present) {
        summary += std::string(m_data.Kept ? ", serial kept " : ", serial ") + m_data.Text;
    }
    return {STATION_OK, {}};
}

TS_FAILURE CStationPort::TakeHandsetData() {
    Phase(STATION_PHASE_FLASH_ID);
    m_facts.Port = m_index;
    m_facts.PortLabel = m_port.Label;
    m_facts.DevicePath = m_port.DevicePath;
    const auto answers = GetFlashId(Monitor(), *this);
    if (Stopped()) {
        return {STATION_ERR_STOPPED, "stopped while the flash parts were being asked; nothing was erased"};
    }
    for (std::size_t cs = 0; cs < answers.size(); ++cs) {
        m_facts.FlashParts[cs] = answers[cs].answered ? answers[cs].id : -1;
    }
    IHandsetDataSource& source = *m_engine.m_lineData;
    if (const std::size_t length = source.FieldLength(); length > 0) {
        // rework: what the field holds is read before anything is erased
        const TS_MEMORY_READ read = ReadTargetMemory(
            Monitor(), source.FieldAddress(), static_cast<uint32_t>(length), m_facts.Field, nullptr, &m_stop);
        if (Stopped()) {
            return {STATION_ERR_STOPPED, "stopped while the serial field was being read; nothing was erased"};
        }
        if (!read.Ok()) {
            return LinkFailure(STATION_ERR_LINK,
                               "the serial field did not read: " + StatusCodeText(read.Status));
        }
        m_facts.FieldRead = true;
    }
    TE_STATION_ERROR error = STATION_OK;
    std::string reason;
    // no handset is flashed without its record: while the store cannot be written, the handset
    // waits here, nothing erased yet
    while (!source.TakeData(m_attempt, m_facts, m_data, error, reason)) {
        if (error != STATION_ERR_RECORD) {
            return {error, reason};
        }
        if (!WaitForStore(reason)) {
            return {STATION_ERR_RECORD, "stopped while the record store could not be written; nothing was "
                                        "erased: " +
                                            reason};
        }
        error = STATION_OK;
    }
    if (m_engine.m_recorder) {
        StoreWritten();
    }
    m_dataSent.assign(m_data.Bytes.size(), false);
    if (m_data.Present) {
        AppendLog("\r\n" + std::string(LOG_MARK) + " Serial : " + m_data.Text +
                  (m_data.Kept ? " (kept)" : "") + "\r\n");
    }
    return {STATION_OK, {}};
}

TS_IMAGE_BYTES CStationPort::PatchedImage(const TS_IMAGE_BYTES& image) const {
    TS_IMAGE_BYTES patched = image;
    for (auto& [address, data] : patched.blocks) {
        for (std::size_t k = 0; k < m_data.Bytes.size(); ++k) {
            const uint64_t a = uint64_t{m_data.Address} + k;
            if (a >= address && a < uint64_t{address} + data.size()) {
                data[static_cast<std::size_t>(a - address)] = m_data.Bytes[k];
            }
        }
    }
    return patched;
}

TS_FAILURE CStationPort::WriteRestOfData() {
    // the runs of bytes that lay in no image's data: a block of their own after the images, in an
    // area the job erased
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> runs;
    for (std::size_t k = 0; k < m_data.Bytes.size(); ++k) {
        if (m_dataSent[k]) {
            continue;
        }
        const uint32_t address = m_data.Address + static_cast<uint32_t>(k);
        if (runs.empty() || runs.back().first + runs.back().second.size() != address) {
            runs.push_back({address, {}});
        }
        runs.back().second.push_back(m_data.Bytes[k]);
    }
    if (runs.empty()) {
        return {STATION_OK, {}};
    }
    Phase(STATION_PHASE_PROGRAM);
    m_written.Clear();
    m_fileBytes = 0;
    m_positionBytes = false;
    m_total = 0;
    for (const auto& run : runs) {
        m_total += run.second.size();
    }
    CDownloadSession session(MODE_APP_CODE, {}, m_link.Monitor(), this);
    session.SetStopFlag(&m_stop);
    m_sending.store(true);
    TS_IMAGE_BYTES expected;
    for (const auto& [address, bytes] : runs) {
        expected.blocks[address] = bytes;
        if (!session.SendDataBlock(address, bytes)) {
            m_sending.store(false);
            AppendLog(session.GetErrorText());
            if (Stopped()) {
                return {STATION_ERR_STOPPED, "stopped before the serial " + m_data.Text + " was written"};
            }
            return LinkFailure(STATION_ERR_DOWNLOAD, "the serial " + m_data.Text + " was not written: " +
                                                         OneLine(session.GetErrorText()));
        }
    }
    m_sending.store(false);
    if (!m_engine.m_job.Verify) {
        return {STATION_OK, {}};
    }
    Phase(STATION_PHASE_VERIFY);
    const TS_VERIFY_RESULT verify = VerifyWrittenRanges(Monitor(), m_written, expected, nullptr, &m_stop);
    if (verify.stopped || Stopped()) {
        return {STATION_ERR_STOPPED, "stopped while the serial " + m_data.Text + " was being verified"};
    }
    if (!verify.ok) {
        m_verifyResult = "failed";
        AppendLog("\r\n" + verify.text + " (serial " + m_data.Text + ")\r\n");
        return verify.readFailed
                   ? LinkFailure(STATION_ERR_VERIFY, verify.text + " (serial " + m_data.Text + ")")
                   : TS_FAILURE{STATION_ERR_VERIFY, verify.text + " (serial " + m_data.Text + ")"};
    }
    m_verified += verify.bytesCompared;
    return {STATION_OK, {}};
}
