#include "tools/FlashIdentification.h"

#include "download/DownloadSession.h"

const char* const FLASH_NAME_TABLE[FLASH_NAME_COUNT] = {
    "FLASH_NOT_FOUND",
    "FLASH_UNSUPPORTED",
    "FLASH_AMD_LV017_2MB",
    "FLASH_AMD_DL800_1MB_BOTTOM",
    "FLASH_AMD_DL800_1MB_TOP",
    "FLASH_AMD_DL323_4MB_BOTTOM",
    "FLASH_AMD_DL323_4MB_TOP",
    "FLASH_AMD_LV160_2MB_BOTTOM",
    "FLASH_AMD_LV160_2MB_TOP",
    "FLASH_INTEL_BURST_8MB_BOTTOM",
    "FLASH_INTEL_BURST_8MB_TOP",
    "FLASH_INTEL_BURST_16MB_BOTTOM",
    "FLASH_INTEL_BURST_16MB_TOP",
    "FLASH_INTEL_STRATA_4MB",
    "FLASH_INTEL_STRATA_8MB",
    "FLASH_INTEL_STRATA_16MB",
    "FLASH_TOSHIBA_50VSF4682_8MB_TOP",
    "FLASH_TOSHIBA_50VSF4683_8MB_BOTTOM",
    "FLASH_TOSHIBA_50VPF5683DASB_8MB_BOTTOM",
    "FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM",
};

std::string FlashPartName(int id) {
    if (id >= 0 && id < FLASH_NAME_COUNT) {
        return FLASH_NAME_TABLE[id];
    }
    return "UNKNOWN(" + std::to_string(id) + ")";
}

std::array<TS_FLASH_ID_ANSWER, 4> GetFlashId(COstraMonitor& monitor, ILogSink& log) {
    std::array<TS_FLASH_ID_ANSWER, 4> answers{};
    for (std::size_t cs = 0; cs < CHIP_SELECTS.size(); ++cs) {
        TS_FLASH_ID_ANSWER& a = answers[cs];
        TE_FLASH_MANUFACTURE_ID id = FLASH_NOT_FOUND;
        a.status = monitor.QueryFlashId(CHIP_SELECTS[cs].base, id);
        if (a.status < 0 && a.status != -7) {
            log.AppendLog(ErrorCodeText(a.status));
            continue;
        }
        a.id = static_cast<int>(id);
        a.answered = true;
        log.AppendLog(CHIP_SELECTS[cs].label);
        log.AppendLog(FlashPartName(a.id));
    }
    log.AppendLog("\r\n");
    return answers;
}
