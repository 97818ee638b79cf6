#include "VersionBlock.h"

int CVersionBlock::Open(const std::string& modulePath) {
    m_block = platform::ReadVersionBlock(modulePath);
    m_translation = 0;
    if (!m_block) {
        return 0;
    }
    m_translation = static_cast<uint32_t>(m_block->Language) << 16 | m_block->CodePage;
    return 1;
}

std::string CVersionBlock::Value(const std::string& name, uint32_t translation) const {
    if (!m_block || (translation != 0 && translation != m_translation)) {
        return {};
    }
    return m_block->Value(name);
}

std::string CVersionBlock::VersionLine() const {
    return Value("FileDescription") + " - Version " + Value("FileVersion") + " (Build #" +
           Value("PrivateBuild") + ")";
}
