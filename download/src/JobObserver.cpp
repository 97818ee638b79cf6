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
