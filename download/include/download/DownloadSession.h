// CDownloadSession: carries one flash file into the target. An .m0 file is compressed into its
// .cp64 twin (marking the Ostra areas its records touch), the touched areas are erased, and the
// .cp64 records are sent one FlashWrite each, the image ended by the end command.
//
// The session has no window. It reports through an IJobObserver (caption, status line, progress
// text, range and position, erase animation, blocks written); the download dialog is a view that
// implements it, the command-line tool a terminal progress line, the tests a recorder.
//
//   CDownloadSession session(MODE_APP_CODE, "/img/vmain.m0", &monitor, &observer);
//   const bool sent = session.RunSession();        // on the job's own thread
//   if (!sent) log.AppendLog(session.GetErrorText());
//
// RunSession runs on one thread, once. RequestStop may be called from any thread (and from a
// signal handler): the session ends before its next block, or before its next erase command, with
// an error text that names the file and the address reached. A block that is being written is
// finished first, so a stop takes at most one command's time-out.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "download/FlashFile.h"
#include "download/JobObserver.h"
#include "download/OstraAreaTable.h"
#include "quillet/OstraMonitor.h"

enum TE_SESSION_MODE : int32_t {
    MODE_APP_CODE = 0,    // an application image, sent to the flash writer
    MODE_WRITER_CODE = 1, // the flash-writer image, sent to the boot loader
};

// Captions, texts and formats of the session.
namespace sessiontext {
inline constexpr const char* CAPTION_WRITER = "Download for the flash writer code";
inline constexpr const char* CAPTION_SEND = "Send Motorola S-format";
inline constexpr const char* CAPTION_ERASE = "Erasing flash memory";
inline constexpr const char* AREA_NAME_WRITER = "Flash Writer Code";
inline constexpr const char* DOWNLOADING = "Downloading";
inline constexpr const char* ERR_COMPRESS = "Error occurred while file is compressed\r\n";
inline constexpr const char* ERR_UNKNOWN_FORMAT = "Unknown file format\r\n";
inline constexpr const char* ERR_CANNOT_OPEN = "\r\nCannot open a following file.\n";
inline constexpr const char* ERR_CRITICAL = "\r\nCritical error happened when file is opened.\r\n";
inline constexpr const char* ERR_QUERY_CS0 = "Error occurred while querying the CS#0 flash memory";
inline constexpr const char* UNKNOWN_FLASH = "Unknown flash device";
inline constexpr const char* ERASE_CS0_ALL = "Erasing an entire CS#0 flash memory..";
inline constexpr const char* ERR_ERASE_CS0_ALL = "Error occurred while erasing an entire CS#0 flash memory";
} // namespace sessiontext

// " *** Error occurred => code[-4]\r\n": how a negative monitor status reaches the log.
std::string ErrorCodeText(int status);
// "Downloading[42%]"
std::string ProgressText(const std::string& label, int percent);
// The erase message and failure message of an area (by its flag).
const char* AreaEraseMessage(int32_t flag);
const char* AreaEraseFailure(int32_t flag);

class CDownloadSession {
public:
    // monitor: the open link, lent for the session. observer may be null.
    CDownloadSession(int32_t mode, std::string path, COstraMonitor* monitor, IJobObserver* observer);
    CDownloadSession(const CDownloadSession&) = delete;
    CDownloadSession& operator=(const CDownloadSession&) = delete;

    // The whole session: compress, erase the touched areas, send. True when the file was sent to
    // its end (the dialog then closes with IDOK); otherwise GetErrorText says why.
    bool RunSession();

    // Non-zero when SendFile reached the end of the file.
    int32_t GetResult() const { return m_result; }
    const std::string& GetErrorText() const { return m_errorText; }
    // How the session ended, as a value: OUTCOME_OK once RunSession (or SendDataBlock) succeeded;
    // otherwise its class, step, status and file problem, with GetErrorText as its text. The
    // observer hears it too (OnJobEnd) at the end of RunSession.
    const TS_JOB_OUTCOME& Outcome() const { return m_outcome; }

    // Thread-safe and async-signal-safe. Ends the session before its next block or erase.
    void RequestStop() { m_stop.store(true, std::memory_order_relaxed); }
    // A flag of the caller's (a Ctrl-C flag, a window's close request) that stops the session
    // like RequestStop once it becomes true. Set before RunSession; it must outlive the session.
    void SetStopFlag(const std::atomic<bool>* flag) { m_externalStop = flag; }
    bool StopRequested() const;
    // An .m0 that the caller has already compressed (once, for several sessions): the session
    // sends cp64Path with the areas the compression marked, and neither compresses nor writes any
    // file. Set before RunSession; no effect on a file that is not an .m0.
    void UsePrepared(std::string cp64Path, const TS_AREA_MARKS& marks);
    // True when the session ended because it was asked to stop.
    bool WasStopped() const { return m_stopped; }
    // Data of one handset (a serial number): bytes that take the place of the image's data at an
    // address as its blocks are sent, each changed block's checksum made again. Set before
    // RunSession. PatchSent tells which of them lay in the image's data and went out with it.
    void SetPatch(uint32_t address, std::vector<uint8_t> bytes);
    const std::vector<bool>& PatchSent() const { return m_patchSent; }
    // Sends one data block of its own (no erase, no end command) with the retry scheme; the
    // observer hears OnBlockWritten. False with the error text.
    bool SendDataBlock(uint32_t address, const std::vector<uint8_t>& data);

    // ---- the steps, public for the views that show state and for the tests ----

    // Sends a prepared (.cp64) file; erases the touched areas first when the mode word holds area
    // flags. Returns the result (non-zero: the whole file was sent).
    int32_t SendFile(const std::string& path);
    // Queries the CS#0 flash part, re-maps the DB and media ranges, erases the touched areas.
    bool EraseTouchedAreas();
    // Marks the area that holds an address (a record's first or last byte), in both layouts.
    void MarkArea(uint32_t address);
    // True the first time an address falls in an area; the area's name becomes the area name.
    bool EnterArea(uint32_t address);

    int32_t ModeWord() const { return m_modeWord; }
    const TS_AREA_MARKS& AreaMarks() const { return m_marks; }
    const COstraAreaTable& AreaTable() const { return m_areas; }
    const std::string& AreaName() const { return m_areaName; }
    const std::string& EraseMessage() const { return m_eraseMessage; }
    const std::string& PreparedPath() const { return m_preparedPath; }
    TE_FLASH_FILE_KIND FileKind() const { return m_kind; }
    TE_FLASH_CMDS CommandBase() const { return m_commandBase; }
    const std::string& Path() const { return m_path; }
    int32_t Mode() const { return m_mode; }
    // The CS#0 flash part that EraseTouchedAreas found; -1 before.
    int FlashType() const { return m_flashType; }
    // Data bytes the target acknowledged, and the address after the last of them.
    uint64_t BytesWritten() const { return m_bytesWritten; }
    uint32_t NextAddress() const { return m_nextAddress; }
    bool AnyBlockWritten() const { return m_anyBlockWritten; }

private:
    // The block with the patch's bytes in it (and its checksum made again), or block itself.
    const uint8_t* Patched(uint32_t address, std::span<const uint8_t> block);
    // One FlashWrite with the USB retry scheme; the final status.
    signed char WriteWithRetries(TE_FLASH_CMDS command, uint16_t count, const char* bytes, int maxAttempts);
    bool Erase(int32_t flag, const TS_OSTRA_AREA* area);
    // ErrorCodeText, and the port's reason on a line of its own when the link was lost.
    std::string LinkFailureText(int status) const;
    void StopText(const char* stage);
    // The outcome of a failed command (status < 0) at a step: the link lost, or the target's refusal.
    void CommandFailed(TE_JOB_STEP step, int status, std::string text);
    void FileFailed(TE_FILE_PROBLEM problem, TE_JOB_STEP step, std::string text);
    bool Ended(bool sent);
    bool SessionSteps();
    void Phase(TE_JOB_PHASE phase);
    void Caption(const std::string& text);
    void Status(const std::string& text);

    const int32_t m_mode;
    const std::string m_path;
    COstraMonitor* m_monitor;
    IJobObserver* m_observer;

    int32_t m_modeWord;
    TE_FLASH_CMDS m_commandBase = FLASH_CMD_APP_DATA;
    TE_FLASH_FILE_KIND m_kind = KIND_UNKNOWN;
    std::string m_preparedPath;
    // SetPatch
    uint32_t m_patchAddress = 0;
    std::vector<uint8_t> m_patch;
    std::vector<bool> m_patchSent;
    std::vector<uint8_t> m_patchedBlock;
    std::string m_givenPrepared; // UsePrepared
    TS_AREA_MARKS m_givenMarks;
    COstraAreaTable m_areas;
    TS_AREA_MARKS m_marks;
    std::string m_areaName;
    std::string m_eraseMessage;
    std::string m_errorText;
    TS_JOB_OUTCOME m_outcome;
    int32_t m_result = 0;
    int m_flashType = -1;

    std::atomic<bool> m_stop{false};
    const std::atomic<bool>* m_externalStop = nullptr;
    bool m_stopped = false;
    uint64_t m_bytesWritten = 0;
    uint32_t m_nextAddress = 0;
    bool m_anyBlockWritten = false;
};
