// CVersionBlock: the version block of a module, read the way a version resource was: opened on a
// module's file, then asked for its string values by name.
//
//   CVersionBlock block;
//   if (block.Open("/proc/self/exe"))
//       title = block.Value("FileDescription") + ...;
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/VersionBlock.h"

class CVersionBlock {
public:
    // The running program.
    static constexpr const char* kRunningModule = "/proc/self/exe";

    // 1 when the file carries a version block with a translation, else 0 (nothing is kept then).
    int Open(const std::string& modulePath);
    bool IsOpen() const { return m_block.has_value(); }
    // A string value of the block; translation 0 means the kept one. Empty when the block is not
    // open, the translation is not the block's or the value is missing.
    std::string Value(const std::string& name, uint32_t translation = 0) const;
    // The block's translation: language in the upper 16 bits, code page in the lower.
    uint32_t Translation() const { return m_translation; }

    // "<FileDescription> - Version <FileVersion> (Build #<PrivateBuild>)": the window title and the
    // information box's version line. Empty values leave their places empty.
    std::string VersionLine() const;

private:
    std::optional<platform::TS_VERSION_INFO> m_block;
    uint32_t m_translation = 0;
};
