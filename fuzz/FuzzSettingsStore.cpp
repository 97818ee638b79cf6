// The settings store's file parser on any text. What parses must serialize and parse back to the
// same keys and values (what the program writes at close is what it reads at the next start);
// what does not parse must say why.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/SettingsStore.h"

namespace {

bool SameDocument(const platform::SettingsDocument& a, const platform::SettingsDocument& b) {
    if (a.Keys().size() != b.Keys().size()) {
        return false;
    }
    for (std::size_t k = 0; k < a.Keys().size(); ++k) {
        const platform::SettingsKey& x = a.Keys()[k];
        const platform::SettingsKey& y = b.Keys()[k];
        if (x.path != y.path || x.values.size() != y.values.size()) {
            return false;
        }
        for (std::size_t v = 0; v < x.values.size(); ++v) {
            if (x.values[v].name != y.values[v].name || x.values[v].type != y.values[v].type ||
                x.values[v].data != y.values[v].data) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE";
    platform::SettingsDocument doc;
    std::string error;
    if (!platform::SettingsDocument::Parse(text, kRoot, doc, error)) {
        if (error.empty()) {
            std::abort();
        }
        return 0;
    }
    const std::string written = doc.Serialize(kRoot);
    platform::SettingsDocument again;
    std::string againError;
    if (!platform::SettingsDocument::Parse(written, kRoot, again, againError) || !SameDocument(doc, again)) {
        std::abort();
    }
    // Look-ups by every name that was stored find it again.
    for (const platform::SettingsKey& key : doc.Keys()) {
        if (doc.FindKey(key.path) == nullptr) {
            std::abort();
        }
        for (const platform::SettingsValue& value : key.values) {
            if (doc.FindValue(key.path, value.name) == nullptr) {
                std::abort();
            }
        }
    }
    return 0;
}
