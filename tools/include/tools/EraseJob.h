// The erase tool's two jobs, without any window:
//
//  - RunQuery asks the four chip selects which flash part they carry (QueryFlashId at each base
//    address), tells which are fitted and re-maps the DB and media ranges by part 18 or 19.
//  - RunErase erases what a selection names: the ticked chip selects whole (EraseFlashAll), in
//    order CS#0..CS#3, then the ticked areas of CS#0 unless CS#0 is erased whole, then those of CS#2
//    unless CS#2 is erased whole (EraseFlashBlock over the area's range).
//
// Both run on the caller's thread (the dialog's worker, or the CLI's only thread) and report
// through TS_JOB_HOOKS. Each erase command is announced on the observer: its message as the
// progress text, range 0..150, position 0, and the erase animation switched on with the message
// (the dialog steps the bar on its own 1000 ms timer). At the end: animation off, position 0 and
// the text "0%".
//
// A failed erase command is not silent: its message, naming the chip select or area and the code,
// goes to the status line and to the log, and the job goes on with the next command. The result
// tells whether everything was erased.
#pragma once

#include "download/JobOutcome.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "download/OstraAreaTable.h"
#include "quillet/OstraMonitor.h"
#include "tools/EraseSelection.h"
#include "tools/ToolJob.h"

inline constexpr const char* ERASE_NOTHING_SELECTED_TEXT = "Please select a flash memory to erase.";
inline constexpr const char* ERASE_IDLE_PROGRESS_TEXT = "0%";
inline constexpr uint32_t ERASE_PROGRESS_RANGE = 150;
inline constexpr int ERASE_TIMER_MS = 1000;

// The base address of a chip select (0..3).
inline constexpr uint32_t ChipSelectBase(int chipSelect) {
    return static_cast<uint32_t>(chipSelect) * 0x04000000u;
}

// What QueryFlashId reported for each chip select.
struct TS_FLASH_QUERY {
    std::array<int, ERASE_CHIP_SELECTS> Status{};    // the command's result
    std::array<int, ERASE_CHIP_SELECTS> FlashType{}; // the flash id (TE_FLASH_MANUFACTURE_ID)
    std::array<bool, ERASE_CHIP_SELECTS> Fitted{};   // see IsFlashFitted
    bool Stopped = false;                            // the stop flag ended the query early

    // Marks each chip select fitted or not in the selection (the dialog's boxes follow).
    void ApplyTo(CEraseSelection& selection) const;
};

// A chip select carries a usable flash part when the query succeeded (status not negative, or
// exactly -7) and the part is one of 2..19.
bool IsFlashFitted(int status, int flashType);

// One erase command of a plan.
struct TS_ERASE_STEP {
    TE_ERASE_ITEM Item = ERASE_CS0;
    bool WholeChip = false; // EraseFlashAll(Start) rather than EraseFlashBlock(Start, End)
    uint32_t Start = 0;
    uint32_t End = 0;         // one past the last address; 0 for a whole chip
    const char* Message = ""; // the erase message: "CS #0 flash memory is erasing.." ...
    const char* Name = "";    // what is erased, for failure texts: "CS #0 flash memory" ...
};

// The commands a selection leads to, in order, with the ranges of the given table.
std::vector<TS_ERASE_STEP> PlanErase(const CEraseSelection& selection, const COstraAreaTable& areas);

// "Error occurred while erasing ostra DB block [0x08700000-0x08800000] => code[-30]"
std::string EraseFailureText(const TS_ERASE_STEP& step, int status);

// Ticks the items of an erase command (as named on a command line, in that order) in a selection
// over a query: the areas first, then the chip selects; a chip select named as well is erased
// whole and its areas are left out. False, with the reason naming the item, for an item on a chip
// select that carries no flash part.
bool SelectEraseItems(const std::vector<TE_ERASE_ITEM>& items, const TS_FLASH_QUERY& query,
                      CEraseSelection& selection, std::string& problem);

enum TE_ERASE_OUTCOME : int32_t {
    ERASE_DONE = 0,             // every command succeeded
    ERASE_INCOMPLETE = 1,       // at least one command failed; the others were still sent
    ERASE_STOPPED = 2,          // the stop flag ended the job before one of its commands
    ERASE_NOTHING_SELECTED = 3, // refused: nothing ticked, nothing sent
};

struct TS_ERASE_STEP_RESULT {
    TS_ERASE_STEP Step;
    bool Sent = false; // false: not sent because the job was stopped first
    int Status = 0;    // the command's result, when sent
};

struct TS_ERASE_RESULT {
    TE_ERASE_OUTCOME Outcome = ERASE_DONE;
    std::vector<TS_ERASE_STEP_RESULT> Steps; // every planned command, in order
    // Empty after a clean erase; otherwise what the view shows: ERASE_NOTHING_SELECTED_TEXT (as a
    // message box), the failure(s), or what the stop left unerased.
    std::string Message;

    bool AllErased() const { return Outcome == ERASE_DONE; }
    // The same, as the typed outcome every job reports (OnJobEnd): ok, cancelled, the target's
    // refusal (the first failed command's status), or nothing selected (internal: nothing sent).
    TS_JOB_OUTCOME JobOutcome() const;
    int Failures() const;
};

class CEraseJob {
public:
    // The monitor is lent: it must stay open while a job runs.
    explicit CEraseJob(COstraMonitor& monitor, const TS_JOB_HOOKS& hooks = {});

    // The query job. Also re-maps the DB and media ranges: part 18 or 19 on a fitted CS#0, then on
    // a fitted CS#2 (applied last). Sends nothing more once the stop flag is set (the chip selects
    // not asked count as not fitted).
    TS_FLASH_QUERY RunQuery();

    // The erase job over a copy of the dialog's selection. Nothing ticked: refused at once with
    // ERASE_NOTHING_SELECTED_TEXT and nothing shown.
    TS_ERASE_RESULT RunErase(const CEraseSelection& selection);

    // The area ranges in force (defaults until a query found part 18 or 19). Read it on the job's
    // thread or after the job ended: a running query re-maps it.
    const COstraAreaTable& Areas() const { return m_areas; }

    // Thread-safe. Ends the running job before its next command, like the hooks' stop flag (which
    // is looked at as well). The request stays until ClearStop: clear it before starting again.
    void RequestStop() { m_stop.store(true, std::memory_order_release); }
    void ClearStop() { m_stop.store(false, std::memory_order_release); }
    bool StopRequested() const;

private:
    COstraMonitor& m_monitor;
    TS_JOB_HOOKS m_hooks;
    COstraAreaTable m_areas;
    std::atomic<bool> m_stop{false};
};
