#include "tools/EraseJob.h"

#include "download/TargetConnection.h"
#include "tools/FlashIdentification.h"

#include <cstdio>

namespace {

struct SItemTexts {
    const char* message;
    const char* name;
};
constexpr SItemTexts kTexts[ERASE_ITEM_COUNT] = {
    {"CS #0 flash memory is erasing..", "CS #0 flash memory"},
    {"CS #1 flash memory is erasing..", "CS #1 flash memory"},
    {"CS #2 flash memory is erasing..", "CS #2 flash memory"},
    {"CS #3 flash memory is erasing..", "CS #3 flash memory"},
    {"Erasing ostra boot code block..", "ostra boot code block"},
    {"Erasing ostra main code block..", "ostra main code block"},
    {"Erasing ostra C-drive block..", "ostra C-drive block"},
    {"Erasing ostra D-drive block..", "ostra D-drive block"},
    {"Erasing ostra DB block..", "ostra DB block"},
    {"Erasing ostra media block..", "ostra media block"},
};

// The area flag of an area item.
int32_t AreaFlagOf(TE_ERASE_ITEM item) {
    switch (item) {
    case ERASE_BOOT:
        return AREA_BOOT;
    case ERASE_MAIN:
        return AREA_MAIN;
    case ERASE_CDRIVE:
        return AREA_CDRIVE;
    case ERASE_DDRIVE:
        return AREA_DDRIVE;
    case ERASE_DB:
        return AREA_DB;
    case ERASE_MEDIA:
        return AREA_MEDIA;
    default:
        return 0;
    }
}

std::string CodeText(const TS_ERASE_STEP& step, int status) {
    return std::string(step.Name) + " => code[" + std::to_string(status) + "]";
}

} // namespace

void TS_FLASH_QUERY::ApplyTo(CEraseSelection& selection) const {
    for (int cs = 0; cs < ERASE_CHIP_SELECTS; ++cs) {
        selection.SetFitted(cs, Fitted[static_cast<std::size_t>(cs)]);
    }
}

bool IsFlashFitted(int status, int flashType) {
    return (status >= 0 || status == -7) && flashType >= FLASH_AMD_LV017_2MB &&
           flashType <= FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM;
}

std::vector<TS_ERASE_STEP> PlanErase(const CEraseSelection& selection, const COstraAreaTable& areas) {
    std::vector<TS_ERASE_STEP> plan;
    for (TE_ERASE_ITEM item : ERASE_ITEMS) {
        if (!selection.IsTicked(item)) {
            continue;
        }
        TS_ERASE_STEP step;
        step.Item = item;
        step.Message = kTexts[item].message;
        step.Name = kTexts[item].name;
        if (!CEraseSelection::IsArea(item)) {
            step.WholeChip = true;
            step.Start = ChipSelectBase(item);
        } else {
            // An area of a chip select that is erased whole is left out.
            if (selection.IsTicked(static_cast<TE_ERASE_ITEM>(CEraseSelection::ChipSelectOf(item)))) {
                continue;
            }
            const TS_OSTRA_AREA* area = areas.AreaOfFlag(AreaFlagOf(item));
            step.Start = area->start;
            step.End = area->end;
        }
        plan.push_back(step);
    }
    return plan;
}

std::string EraseFailureText(const TS_ERASE_STEP& step, int status) {
    char range[40];
    if (step.WholeChip) {
        std::snprintf(range, sizeof range, "[0x%08X]", step.Start);
    } else {
        std::snprintf(range, sizeof range, "[0x%08X-0x%08X]", step.Start, step.End);
    }
    return std::string("Error occurred while erasing ") + step.Name + " " + range + " => code[" +
           std::to_string(status) + "]";
}

int TS_ERASE_RESULT::Failures() const {
    int failures = 0;
    for (const TS_ERASE_STEP_RESULT& r : Steps) {
        failures += r.Sent && r.Status < 0;
    }
    return failures;
}

CEraseJob::CEraseJob(COstraMonitor& monitor, const TS_JOB_HOOKS& hooks)
    : m_monitor(monitor), m_hooks(hooks) {}

bool CEraseJob::StopRequested() const {
    return m_stop.load(std::memory_order_acquire) || ::StopRequested(m_hooks);
}

TS_FLASH_QUERY CEraseJob::RunQuery() {
    TS_FLASH_QUERY query;
    for (int cs = 0; cs < ERASE_CHIP_SELECTS; ++cs) {
        if (StopRequested()) {
            query.Stopped = true;
            break;
        }
        const auto i = static_cast<std::size_t>(cs);
        TE_FLASH_MANUFACTURE_ID id = FLASH_NOT_FOUND;
        query.Status[i] = m_monitor.QueryFlashId(ChipSelectBase(cs), id);
        query.FlashType[i] = id;
        query.Fitted[i] = IsFlashFitted(query.Status[i], id);
        // The DB and media ranges follow the part of CS#0, then that of CS#2.
        if (query.Fitted[i] && (cs == 0 || cs == 2)) {
            m_areas.RemapForFlashType(id);
        }
    }
    return query;
}

TS_JOB_OUTCOME TS_ERASE_RESULT::JobOutcome() const {
    TS_JOB_OUTCOME outcome;
    outcome.Step = STEP_ERASE;
    outcome.Text = Message;
    switch (Outcome) {
    case ERASE_DONE:
        return {};
    case ERASE_STOPPED:
        outcome.Class = OUTCOME_CANCELLED;
        break;
    case ERASE_NOTHING_SELECTED:
        outcome.Class = OUTCOME_INTERNAL;
        break;
    case ERASE_INCOMPLETE:
        outcome.Class = OUTCOME_TARGET_REFUSED;
        for (const TS_ERASE_STEP_RESULT& step : Steps) {
            if (step.Sent && step.Status < 0) {
                outcome.Status = step.Status;
                break;
            }
        }
        break;
    }
    return outcome;
}

TS_ERASE_RESULT CEraseJob::RunErase(const CEraseSelection& selection) {
    TS_ERASE_RESULT result;
    if (!selection.Any()) {
        result.Outcome = ERASE_NOTHING_SELECTED;
        result.Message = ERASE_NOTHING_SELECTED_TEXT;
        if (m_hooks.Observer) {
            m_hooks.Observer->OnJobEnd(result.JobOutcome());
        }
        return result;
    }
    IJobObserver* view = m_hooks.Observer;
    if (view) {
        view->SetStatus("");
        view->OnJobPhase(JOB_PHASE_ERASE_CHIP);
    }

    std::vector<std::string> failures;
    std::string notErased;
    for (const TS_ERASE_STEP& step : PlanErase(selection, m_areas)) {
        TS_ERASE_STEP_RESULT& r = result.Steps.emplace_back();
        r.Step = step;
        if (result.Outcome == ERASE_STOPPED || StopRequested()) {
            result.Outcome = ERASE_STOPPED;
            notErased += (notErased.empty() ? "" : ", ") + std::string(step.Name);
            continue;
        }
        if (view) {
            view->SetProgressText(step.Message);
            view->SetProgressRange(0, ERASE_PROGRESS_RANGE);
            view->SetProgressPos(0);
            view->SetEraseAnimation(true, step.Message);
        }
        r.Sent = true;
        r.Status = step.WholeChip ? m_monitor.EraseFlashAll(step.Start)
                                  : m_monitor.EraseFlashBlock(step.Start, step.End);
        if (r.Status < 0) {
            const std::string text = EraseFailureText(step, r.Status);
            failures.push_back(CodeText(step, r.Status));
            if (view) {
                view->SetStatus(text);
            }
            if (m_hooks.Log) {
                m_hooks.Log->AppendLog(" *** " + text + "\r\n");
            }
            if (failures.size() == 1) {
                result.Message = text;
            }
        }
    }

    if (failures.size() > 1) {
        result.Message = std::to_string(failures.size()) + " of " + std::to_string(result.Steps.size()) +
                         " erase commands failed: ";
        for (std::size_t i = 0; i < failures.size(); ++i) {
            result.Message += (i ? ", " : "") + failures[i];
        }
    }
    if (result.Outcome == ERASE_STOPPED) {
        const std::string stopped = "Erase stopped; not erased: " + notErased;
        result.Message = result.Message.empty() ? stopped : result.Message + "; " + stopped;
        if (m_hooks.Log) {
            m_hooks.Log->AppendLog(" *** " + stopped + "\r\n");
        }
    } else if (!failures.empty()) {
        result.Outcome = ERASE_INCOMPLETE;
    }
    if (view) {
        view->SetEraseAnimation(false, "");
        view->SetProgressPos(0);
        view->SetProgressText(ERASE_IDLE_PROGRESS_TEXT);
        if (!result.Message.empty()) {
            view->SetStatus(result.Message);
        }
        view->OnJobEnd(result.JobOutcome());
    }
    return result;
}

bool SelectEraseItems(const std::vector<TE_ERASE_ITEM>& named, const TS_FLASH_QUERY& query,
                      CEraseSelection& selection, std::string& problem) {
    query.ApplyTo(selection);
    std::vector<TE_ERASE_ITEM> items;
    for (TE_ERASE_ITEM item : named) {
        if (CEraseSelection::IsArea(item)) {
            const int cs = CEraseSelection::ChipSelectOf(item);
            bool wholeChip = false;
            for (TE_ERASE_ITEM other : named) {
                wholeChip = wholeChip || other == static_cast<TE_ERASE_ITEM>(ERASE_CS0 + cs);
            }
            if (!wholeChip) {
                items.push_back(item);
            }
        }
    }
    for (TE_ERASE_ITEM item : named) {
        if (!CEraseSelection::IsArea(item)) {
            items.push_back(item);
        }
    }
    for (TE_ERASE_ITEM item : items) {
        if (selection.IsTicked(item)) {
            continue;
        }
        const int cs = CEraseSelection::ChipSelectOf(item);
        if (CEraseSelection::IsArea(item) && selection.IsTicked(static_cast<TE_ERASE_ITEM>(ERASE_CS0 + cs))) {
            continue; // the three areas of the chip select were named: it is erased whole
        }
        if (!selection.SetTicked(item, true)) {
            const auto index = static_cast<std::size_t>(cs);
            const std::string status = StatusCodeText(query.Status[index]);
            problem = std::string(CEraseSelection::Text(item)) + ": chip select " + std::to_string(cs) +
                      " carries no flash part (" + status + ", part " +
                      FlashPartName(query.FlashType[index]) + ")";
            return false;
        }
    }
    return true;
}
