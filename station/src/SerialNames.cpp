#include "station/SerialNames.h"

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

std::vector<std::string> StableSerialNames(const std::string& device, const std::string& root) {
    std::error_code ec;
    const fs::path target = fs::canonical(device, ec);
    if (ec) {
        return {};
    }
    std::vector<std::string> names;
    for (const char* folder : {"by-path", "by-id"}) {
        std::vector<std::string> found;
        for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(root) / folder, ec)) {
            std::error_code ignored;
            if (fs::canonical(entry.path(), ignored) == target && !ignored) {
                found.push_back(entry.path().string());
            }
        }
        std::sort(found.begin(), found.end());
        names.insert(names.end(), found.begin(), found.end());
    }
    return names;
}

std::string CanonicalPortName(const std::string& device) {
    std::error_code ec;
    const fs::path target = fs::canonical(device, ec);
    return ec ? device : target.string();
}

std::string StableSerialNamesText(const std::string& device, const std::string& root) {
    std::string text;
    for (const std::string& name : StableSerialNames(device, root)) {
        text += (text.empty() ? "  [" : ", ") + name;
    }
    return text.empty() ? text : text + "]";
}
