#include "ToolWindows.h"

#include <QLabel>
#include <QVBoxLayout>

#include "resource.h"

#ifdef VANDREL_HAVE_TOOLS_UI
#include "EraseFlashDlg.h"
#include "MemoryDumpPage.h"

namespace {

// The Memory Dump page as the main window sees it. SetMonitor(nullptr) stops a running dump first
// and returns once the page has let go of the old monitor.
class CMemoryDumpTab : public CMemoryDumpPage, public IMonitorPage {
public:
    explicit CMemoryDumpTab(QWidget* parent) : CMemoryDumpPage(parent) {
        connect(this, &CMemoryDumpPage::BusyChanged, this, [this] { IMonitorPage::BusyChanged(); });
    }
    void SetMonitor(COstraMonitor* monitor) override { CMemoryDumpPage::SetMonitor(monitor); }
    bool IsBusy() const override { return IsJobRunning(); }
};

} // namespace

TS_TOOL_PAGE CreateMemoryDumpPage(QWidget* parent) {
    auto* page = new CMemoryDumpTab(parent);
    return {page, page};
}

bool EraseFlashToolAvailable() {
    return true;
}

void RunEraseFlashTool(COstraMonitor* monitor, QWidget* parent) {
    CEraseFlashDlg tool(monitor, parent);
    tool.DoModal();
}
#else
TS_TOOL_PAGE CreateMemoryDumpPage(QWidget* parent) {
    auto* page = new CMemoryDumpPlaceholder(parent);
    return {page, page};
}

bool EraseFlashToolAvailable() {
    return false;
}

void RunEraseFlashTool(COstraMonitor* monitor, QWidget* parent) {
    (void)monitor;
    (void)parent;
}
#endif

CMemoryDumpPlaceholder::CMemoryDumpPlaceholder(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("CMemoryDumpPlaceholder"));
    setProperty("templateId", IDD_MEMORY_DUMP_PAGE);
    auto* title = new QLabel(QStringLiteral("Memory Dump"), this);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    auto* text =
        new QLabel(QStringLiteral("Reading target memory to the screen or into a BIN file is not part of "
                                  "this build yet."),
                   this);
    text->setWordWrap(true);
    m_state = new QLabel(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->addWidget(title);
    layout->addWidget(text);
    layout->addWidget(m_state);
    layout->addStretch(1);
    SetMonitor(nullptr);
}

void CMemoryDumpPlaceholder::SetMonitor(COstraMonitor* monitor) {
    m_monitor = monitor;
    m_state->setText(monitor ? QStringLiteral("Target link: open") : QStringLiteral("Target link: none"));
}
