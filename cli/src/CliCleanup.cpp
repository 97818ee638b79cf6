// The temporary .cp64 files a second Ctrl-C removes: the same on every system.
#include <unistd.h>

#include <filesystem>

#include "CliSignals.h"
#include "download/CompressFlashFile.h"

void CStopSignals::AddCleanupSource(const std::string& sourcePath) {
    try {
        std::lock_guard lock(m_cleanupMutex);
        m_cleanup.push_back(sourcePath);
    } catch (...) {
        // without memory for the name the file's temporary .cp64 may stay behind a second signal
    }
}

int CStopSignals::RemoveTemporaryCompressedFiles(const std::vector<std::string>& sources) {
    // CompressFlashFile writes ".<name>.cp64.tmp-<pid>-<n>" beside the final .cp64 and renames it
    // when complete; only this process's are removed.
    namespace fs = std::filesystem;
    int removed = 0;
    for (const std::string& source : sources) {
        const fs::path final = CompressedFilePath(source);
        const std::string prefix =
            "." + final.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-";
        const fs::path dir = final.has_parent_path() ? final.parent_path() : fs::path(".");
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code removeError;
            if (it->path().filename().string().rfind(prefix, 0) == 0 && fs::remove(it->path(), removeError)) {
                ++removed;
            }
        }
    }
    return removed;
}
