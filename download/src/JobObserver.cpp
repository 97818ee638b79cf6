#include "download/JobObserver.h"

#include <array>

std::string FormatLogDateTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    std::array<char, 128> text{};
    const std::size_t n = std::strftime(text.data(), text.size(), "%A, %B %d, %Y, %H:%M:%S", &local);
    return std::string(text.data(), n);
}

void AppendLogTime(ILogSink& log, const std::string& label) {
    log.AppendLog(label + FormatLogDateTime(std::time(nullptr)) + "\r\n");
}

const char* OutcomeClassName(TE_OUTCOME_CLASS outcome) {
    switch (outcome) {
    case OUTCOME_OK:
        return "ok";
    case OUTCOME_OPEN_REFUSED:
        return "open-refused";
    case OUTCOME_LINK_LOST:
        return "link-lost";
    case OUTCOME_NO_ANSWER:
        return "no-answer";
    case OUTCOME_TARGET_REFUSED:
        return "target-refused";
    case OUTCOME_FILE_ERROR:
        return "file";
    case OUTCOME_VERIFY_MISMATCH:
        return "verify";
    case OUTCOME_CANCELLED:
        return "cancelled";
    case OUTCOME_INTERNAL:
        return "internal";
    }
    return "";
}
