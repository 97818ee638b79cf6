#include "VandrelDlg.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <cstring>

#include "ConnectDlg.h"
#include "ControlId.h"
#include "FECFileDialog.h"
#include "FaceButton.h"
#include "GlobalSettingsDlg.h"
#include "InformationDlg.h"
#include "LogPage.h"
#include "PageTabCtrl.h"
#include "RegisteredEvent.h"
#include "Resources.h"
#include "SendSrecordDlg.h"
#include "ToolWindows.h"
#include "XListCtrl.h"
#include "app/FlashIdentification.h"
#include "download/DownloadSession.h"
#include "download/FlashFile.h"

const QEvent::Type g_sendFlashWriterCodeMsg = RegisterEventName("CVandrelDlg_SendFlashWriterCodeMsg");
const QEvent::Type g_sendAppCodeMsg = RegisterEventName("CVandrelDlg_SendAppCodeMsg");

namespace {

constexpr const char* kUnsupportCaption = "Unsupport file error";
constexpr const char* kUnsupportText =
    "\r\nis not a valid OSTRA(*.m0) flash file.\r\n\r\nPlease select a correct OSTRA flash file again!";
constexpr const char* kClosingText = "Closing: the download in progress ends first...";

// A text of the program in a message box: its "\r\n" line breaks as line breaks.
QString BoxText(const QString& text) {
    return CLogPage::ShownForm(text);
}

// The caption line at the top of the window, painted embossed in the caption font.
class CCaptionLine : public QWidget {
public:
    CCaptionLine(const QString& text, const QFont& font, QWidget* parent) : QWidget(parent), m_text(text) {
        setFont(font);
        setFixedHeight(QFontMetrics(font).height() + 12);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setFont(font());
        const QFontMetrics metrics(font());
        const int width = metrics.horizontalAdvance(m_text);
        const int left = (this->width() - width) / 2;
        const int baseline = 6 + metrics.ascent();
        // the embossed look of disabled text: the light colour one pixel down and right, then the
        // shadow colour over it
        painter.setPen(palette().color(QPalette::Light));
        painter.drawText(left + 1, baseline + 1, m_text);
        painter.setPen(palette().color(QPalette::Mid));
        painter.drawText(left, baseline, m_text);
    }

private:
    QString m_text;
};

// The status line: one line, cut with an ellipsis when it is too long; the whole text is then its
// tooltip.
class CStatusLine : public QLabel {
public:
    explicit CStatusLine(QWidget* parent) : QLabel(parent) {}

protected:
    void paintEvent(QPaintEvent* event) override {
        QFrame::paintEvent(event);
        QPainter painter(this);
        const QRect area = contentsRect().adjusted(indent(), 0, -4, 0);
        const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
        setToolTip(shown == text() ? QString() : text());
        painter.setPen(
            palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
        painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
    }
};

} // namespace

// ---- the list as JobThread reads it: a copy kept under a lock, refreshed on every change ----

class CVandrelDlg::CListMirror : public IFileList {
public:
    explicit CListMirror(CXListCtrl* list) : m_list(list) {}

    int GetItemCount() override {
        std::lock_guard lock(m_mutex);
        return static_cast<int>(m_paths.size());
    }
    std::string GetItemText(int row) override {
        std::lock_guard lock(m_mutex);
        return row >= 0 && row < static_cast<int>(m_paths.size()) ? m_paths[static_cast<std::size_t>(row)]
                                                                  : std::string();
    }
    int GetCurSel() override {
        std::lock_guard lock(m_mutex);
        return m_selected;
    }
    void SetCurSel(int row) override {
        {
            std::lock_guard lock(m_mutex);
            m_selected = row >= 0 && row < static_cast<int>(m_paths.size()) ? row : -1;
        }
        m_list->SetCurSel(row); // handed to the UI thread when called from JobThread
    }
    void SetCellBold(int row, bool bold) override { m_list->SetCellBold(row, 0, bold); }

    // UI thread: after any change of the rows or the selection.
    void Sync() {
        std::vector<std::string> paths;
        for (int row = 0; row < m_list->GetItemCount(); ++row) {
            paths.push_back(m_list->GetItemText(row, 0).toStdString());
        }
        const int selected = m_list->GetCurSel();
        std::lock_guard lock(m_mutex);
        m_paths = std::move(paths);
        m_selected = selected;
    }

private:
    CXListCtrl* m_list;
    std::mutex m_mutex;
    std::vector<std::string> m_paths;
    int m_selected = -1;
};

// ---- the log as every thread writes it ----

class CVandrelDlg::CWindowLog : public ILogSink {
public:
    explicit CWindowLog(CVandrelDlg* window) : m_window(window) {}
    void AppendLog(const std::string& text) override {
        const QString q = QString::fromStdString(text);
        if (QThread::currentThread() == m_window->thread()) {
            m_window->AppendLog(q);
        } else {
            QMetaObject::invokeMethod(
                m_window, [w = m_window, q] { w->AppendLog(q); }, Qt::QueuedConnection);
        }
    }
    void ClearLog() override {
        if (QThread::currentThread() == m_window->thread()) {
            m_window->m_logPage->ClearLog();
        } else {
            QMetaObject::invokeMethod(
                m_window, [w = m_window] { w->m_logPage->ClearLog(); }, Qt::QueuedConnection);
        }
    }

private:
    CVandrelDlg* m_window;
};

// A modal section of the window (a dialog or a message box): the commands follow it, and a close
// that arrived meanwhile is finished when it ends.
class CModalScope {
public:
    explicit CModalScope(CVandrelDlg* window) : m_window(window) {
        ++m_window->m_modalDepth;
        m_window->UpdateCommands();
    }
    ~CModalScope() {
        --m_window->m_modalDepth;
        m_window->UpdateCommands();
        if (m_window->m_closeRequested) {
            QTimer::singleShot(0, m_window, [w = m_window] { w->TryFinishClose(); });
        }
    }
    CModalScope(const CModalScope&) = delete;
    CModalScope& operator=(const CModalScope&) = delete;

private:
    CVandrelDlg* m_window;
};

// ---- start ----

CVandrelDlg::CVandrelDlg(const TS_OPTIONS& options, QWidget* parent)
    : QMainWindow(parent), m_options(options) {
    InitVandrelResources();
    setObjectName(QStringLiteral("CVandrelDlg"));
    setProperty("templateId", IDD_VANDREL_DIALOG);
    setWindowTitle(QString::fromLatin1(kTemplateTitle));

    // icons and fonts
    setWindowIcon(LoadResIcon(IDI_PROGRAM));
    m_captionFont = QFont(QStringLiteral("Microsoft Sans Serif"));
    m_captionFont.setPixelSize(26);
    m_captionFont.setWeight(QFont::Bold);
    m_logFont = QFont(QStringLiteral("Verdana"), 9);
    m_logFont.setStyleHint(QFont::SansSerif);
    if (QFontInfo(m_logFont).family() == QLatin1String("Verdana")) {
        m_logFont.setWeight(QFont::Light);
    }

    BuildWindow();
    BuildMenus();

    // the connect toggle, the status line, Download All
    m_connect->SetIcons(IDI_CONNECT_IN, IDI_CONNECT_OUT, false);
    m_connect->SetColor(CFaceButton::COLOR_BK_IN, palette().color(QPalette::Button));
    m_status->clear();
    m_downloadAll->setEnabled(false);

    SetupFileList();

    // the chime: from the working folder, else the copy installed beside the program's data,
    // else the program's own copy
    if (!m_wave.LoadFromFile(m_options.soundFile) &&
        !m_wave.LoadFromFile(QCoreApplication::applicationDirPath() +
                             QStringLiteral("/" VANDREL_DATA_FROM_BIN "/Dizezazu.wav"))) {
        m_wave.LoadFromResource(QStringLiteral("Dizezazu.wav"), this);
    }

    // the engines of the runs and JobThread
    m_mirror = std::make_unique<CListMirror>(m_list);
    m_log = std::make_unique<CWindowLog>(this);
    m_runs = std::make_unique<CDownloadRuns>(*m_mirror, *m_log, static_cast<IRunHost&>(*this));
    m_runs->SetSound([this] {
        QMetaObject::invokeMethod(
            this, [this] { m_wave.Play(0, false); }, Qt::QueuedConnection);
    });
    m_runs->SetAppDownloadPoster([this] { QCoreApplication::postEvent(this, new QEvent(g_sendAppCodeMsg)); });

    LoadSettings();

    // the tabs and their pages; the memory dump page starts without a monitor
    m_tabs->InsertItem(0, QStringLiteral("Log Messages"));
    m_tabs->InsertItem(1, QStringLiteral("Memory Dump"));
    const TS_TOOL_PAGE dump = CreateMemoryDumpPage(m_tabs);
    m_dumpWidget = dump.widget;
    m_dumpPage = dump.page;
    if (m_dumpPage) {
        m_dumpPage->SetBusyChanged([this] { UpdateCommands(); });
    }
    m_tabs->CreatePages({m_logPage, m_dumpWidget});

    m_job = std::make_unique<CJobThread>(*m_runs, *m_log, static_cast<IJobThreadHost&>(*this));
    m_job->SetJobDoneHook(
        [this] { QMetaObject::invokeMethod(this, &CVandrelDlg::OnJobDone, Qt::QueuedConnection); });
    m_jobThreadStarted = m_job->Start(); // without the thread the run and status commands do nothing

    RestoreWindowPlacement();
    SetTitle();
    UpdateCommands();
}

CVandrelDlg::~CVandrelDlg() {
    // normally Shutdown() has run on close; a window destroyed otherwise still ends its threads
    // and its link before its members go
    if (m_runs) {
        m_runs->CancelRun();
    }
    if (m_flashIdThread.joinable()) {
        if (m_link.Monitor()) {
            m_link.Monitor()->CancelWaits(true);
        }
        m_flashIdThread.join();
    }
    if (m_job) {
        m_job->Quit();
    }
    if (m_dumpPage) {
        m_dumpPage->SetMonitor(nullptr);
    }
    if (m_runs) {
        m_runs->SetMonitor(nullptr);
    }
    m_link.CloseTargetLink();
}

void CVandrelDlg::BuildWindow() {
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("central"));
    setCentralWidget(central);

    auto* caption = new CCaptionLine(QString::fromLatin1(kCaptionLine), m_captionFont, central);

    // the flash files
    auto* group = new QGroupBox(QStringLiteral("Motorola S-format(*.m0) flash files "), central);
    m_list = new CXListCtrl(group);
    SetControlId(m_list, IDC_FILE_LIST);
    m_add = new QPushButton(QStringLiteral("&Add..."), group);
    SetControlId(m_add, IDC_ADD);
    m_remove = new QPushButton(QStringLiteral("&Remove"), group);
    SetControlId(m_remove, IDC_REMOVE);
    m_removeAll = new QPushButton(QStringLiteral("Re&move All"), group);
    SetControlId(m_removeAll, IDC_REMOVE_ALL);
    m_downloadAll = new QPushButton(QStringLiteral("&Download All"), group);
    SetControlId(m_downloadAll, IDC_DOWNLOAD_ALL);
    const int buttonWidth = qMax(112, m_downloadAll->sizeHint().width() + 8);
    for (QPushButton* b : {m_add, m_remove, m_removeAll, m_downloadAll}) {
        b->setFixedWidth(buttonWidth);
        b->setAutoDefault(false);
    }
    m_downloadAll->setMinimumHeight(m_downloadAll->sizeHint().height() + 8);
    auto* buttons = new QVBoxLayout;
    buttons->setSpacing(6);
    buttons->addWidget(m_add);
    buttons->addWidget(m_remove);
    buttons->addWidget(m_removeAll);
    buttons->addStretch(1);
    buttons->addWidget(m_downloadAll);
    auto* files = new QHBoxLayout(group);
    files->setContentsMargins(10, 8, 10, 10);
    files->setSpacing(10);
    files->addWidget(m_list, 1);
    files->addLayout(buttons);

    // the log and the memory dump
    m_tabs = new CPageTabCtrl(central);
    SetControlId(m_tabs, IDC_PAGE_TAB);
    m_logPage = new CLogPage;
    m_logPage->setFont(QFont(QStringLiteral("Microsoft Sans Serif"), 10));

    // the link: the toggle, the port type, the status line
    m_connect = new CFaceButton(central);
    SetControlId(m_connect, IDC_CONNECT);
    m_connect->setCheckable(true);
    m_connect->setFixedSize(48, 48);
    m_connect->SetIconSize(32);
    m_connect->SetTooltipText(QStringLiteral("Connect to the target / disconnect"));
    m_rs232 = new QRadioButton(QStringLiteral("RS232"), central);
    SetControlId(m_rs232, IDC_RADIO_RS232);
    m_usb = new QRadioButton(QStringLiteral("USB"), central);
    SetControlId(m_usb, IDC_RADIO_USB);
    m_portGroup = new QButtonGroup(this);
    m_portGroup->addButton(m_rs232, PORT_UART);
    m_portGroup->addButton(m_usb, PORT_USB);
    m_status = new CStatusLine(central);
    SetControlId(m_status, IDC_STATUS_LINE);
    m_status->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_status->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_status->setTextFormat(Qt::PlainText);
    m_status->setMinimumHeight(26);
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    m_status->setIndent(6);

    auto* radios = new QVBoxLayout;
    radios->setSpacing(2);
    radios->addWidget(m_rs232);
    radios->addWidget(m_usb);
    auto* linkRow = new QHBoxLayout;
    linkRow->setSpacing(10);
    linkRow->addWidget(m_connect);
    linkRow->addLayout(radios);
    linkRow->addWidget(m_status, 1, Qt::AlignVCenter);

    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(10, 2, 10, 10);
    layout->setSpacing(8);
    layout->addWidget(caption);
    layout->addWidget(group);
    layout->addWidget(m_tabs, 1);
    layout->addLayout(linkRow);

    connect(m_connect, &QPushButton::clicked, this, &CVandrelDlg::OnConnectClicked);
    connect(m_rs232, &QRadioButton::clicked, this, &CVandrelDlg::OnPortTypeClicked);
    connect(m_usb, &QRadioButton::clicked, this, &CVandrelDlg::OnPortTypeClicked);
    connect(m_add, &QPushButton::clicked, this, &CVandrelDlg::OnAdd);
    connect(m_remove, &QPushButton::clicked, this, &CVandrelDlg::OnRemove);
    connect(m_removeAll, &QPushButton::clicked, this, &CVandrelDlg::OnRemoveAll);
    connect(m_downloadAll, &QPushButton::clicked, this, &CVandrelDlg::OnDownloadAll);

    resize(600, 575);
}

void CVandrelDlg::BuildMenus() {
    auto command = [this](int id, const QString& text, void (CVandrelDlg::*handler)()) {
        auto* action = new QAction(text, this);
        action->setProperty("commandId", id);
        connect(action, &QAction::triggered, this, handler);
        m_commands[id] = action;
        return action;
    };
    // menu 130
    QMenuBar* bar = menuBar();
    bar->addAction(
        command(ID_GLOBAL_SETTINGS, QStringLiteral("Global &Settings"), &CVandrelDlg::OnGlobalSettings));
    QMenu* tools = bar->addMenu(QStringLiteral("Flash &Tools"));
    tools->addAction(
        command(ID_FLASH_TOOLS_GET_FLASH_ID, QStringLiteral("&Get Flash ID(G)"), &CVandrelDlg::OnGetFlashId));
    tools->addAction(
        command(ID_FLASH_TOOLS_ERASE_FLASH, QStringLiteral("&Erase Flash(E)"), &CVandrelDlg::OnEraseFlash));
    connect(tools, &QMenu::aboutToShow, this, &CVandrelDlg::UpdateCommands);
    // the information box, which the window manager's menu cannot carry here
    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    help->addAction(command(IDM_ABOUTBOX, QStringLiteral("Vandrel 정보(&A)..."), &CVandrelDlg::OnAbout));

    // the file list's context menu 153
    command(ID_FILE_LIST_ADD, QStringLiteral("&Add"), &CVandrelDlg::OnAdd);
    command(ID_FILE_LIST_REMOVE, QStringLiteral("&Remove"), &CVandrelDlg::OnRemove);
    command(ID_FILE_LIST_MOVE_UP, QStringLiteral("Move &Up"), &CVandrelDlg::OnMoveUp);
    command(ID_FILE_LIST_MOVE_DOWN, QStringLiteral("Move &Down"), &CVandrelDlg::OnMoveDown);
    command(ID_FILE_LIST_DOWNLOAD, QStringLiteral("Down&load"), &CVandrelDlg::OnDownload);

    // Quit runs the same steps as closing the window
    auto* quit = new QAction(QStringLiteral("&Quit"), this);
    quit->setShortcut(QKeySequence::Quit);
    quit->setShortcutContext(Qt::WindowShortcut);
    connect(quit, &QAction::triggered, this, &QWidget::close);
    addAction(quit);
    m_commands[0] = quit;
}

QAction* CVandrelDlg::Command(int id) const {
    const auto found = m_commands.find(id);
    return found == m_commands.end() ? nullptr : found->second;
}

void CVandrelDlg::SetupFileList() {
    m_list->SetFullRowSelect(true);
    m_list->SetShowSelectionAlways(true);
    m_list->InsertColumn(0, QStringLiteral("Pathname"), LVCFMT_LEFT, 400);
    m_list->InsertColumn(1, QStringLiteral("Size"), LVCFMT_CENTER, 60);
    m_list->SetImageList(LoadResBitmap(IDB_FILE_LIST).toImage(), 16, Qt::white);
    TS_DROP_RULES rules;
    rules.flags = DROP_FILES | DROP_FILTER_EXT;
    rules.filter = QStringLiteral(".m0");
    m_list->SetDropRules(rules);
    // five rows and the header
    m_list->setMinimumHeight(5 * 22 + 30);
    m_list->setMaximumHeight(5 * 22 + 40);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_list, &QWidget::customContextMenuRequested, this, &CVandrelDlg::ShowContextMenu);
    m_list->installEventFilter(this);

    // JobThread reads the list from a copy: refresh it on every change
    QAbstractItemModel* model = m_list->model();
    auto sync = [this] {
        if (m_mirror) {
            m_mirror->Sync();
        }
    };
    connect(model, &QAbstractItemModel::rowsInserted, this, sync);
    connect(model, &QAbstractItemModel::rowsRemoved, this, sync);
    connect(model, &QAbstractItemModel::rowsMoved, this, sync);
    connect(model, &QAbstractItemModel::modelReset, this, sync);
    connect(model, &QAbstractItemModel::dataChanged, this, sync);
    connect(m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this, sync);
    connect(m_list->selectionModel(), &QItemSelectionModel::currentChanged, this, sync);
}

void CVandrelDlg::LayoutColumns() {
    const int w = m_list->viewport()->width();
    const int first = w * 43 / 50;
    m_list->SetColumnWidth(0, first);
    m_list->SetColumnWidth(1, qMax(0, w - first));
}

bool CVandrelDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_list && (event->type() == QEvent::Resize || event->type() == QEvent::Show)) {
        QTimer::singleShot(0, this, &CVandrelDlg::LayoutColumns);
    }
    return QMainWindow::eventFilter(watched, event);
}

void CVandrelDlg::SetTitle() {
    if (m_version.Open(m_options.modulePath)) {
        setWindowTitle(QString::fromStdString(m_version.VersionLine()));
    }
    // without a version block the title stays the template's
}

// ---- the log ----

void CVandrelDlg::AppendLog(const QString& text) {
    m_logPage->AppendLog(text);
}

void CVandrelDlg::AppendLogTime(const QString& label) {
    ::AppendLogTime(*m_log, label.toStdString());
}

ILogSink& CVandrelDlg::Log() {
    return *m_log;
}

void CVandrelDlg::ApplyLogFont() {
    m_logPage->SetLogFont(m_logFont);
}

// ---- settings ----

void CVandrelDlg::LoadSettings() {
    const TS_LOADED_SETTINGS loaded = ReadAppSettings(m_options.configDirectory);
    m_settings = loaded.Settings;
    m_radioValue = loaded.RadioValue;
    for (const std::string& path : loaded.FilePaths) {
        m_list->AddFile(QString::fromStdString(path)); // files gone or listed twice drop out silently
    }
    m_portMap = ReadComPortMap(m_options.configDirectory);
    ApplyComPortMap(m_portMap);
    if (QAbstractButton* button = m_portGroup->button(m_radioValue)) {
        button->setChecked(true);
    }
    if (m_mirror) {
        m_mirror->Sync();
    }
}

std::vector<std::string> CVandrelDlg::ListPaths() const {
    std::vector<std::string> paths;
    for (int row = 0; row < m_list->GetItemCount() && row < MAX_SAVED_FLASH_FILES; ++row) {
        paths.push_back(m_list->GetItemText(row, 0).toStdString());
    }
    return paths;
}

void CVandrelDlg::SaveSettings() {
    if (m_portGroup->checkedId() >= 0) {
        m_radioValue = m_portGroup->checkedId();
    }
    WriteAppSettings(m_settings, ListPaths(), m_options.configDirectory);
    WriteComPortMap(m_portMap, m_options.configDirectory);
}

void CVandrelDlg::RestoreWindowPlacement() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen) {
        // the default place: the middle of the work area
        const QRect work = screen->availableGeometry();
        move(work.center() - QPoint(width() / 2, height() / 2));
    }
    const std::optional<TS_WINDOW_PLACEMENT> placement = ReadWindowPlacement(m_options.configDirectory);
    if (!placement || !screen) {
        return; // the key does not open or a value is -1: the window keeps its default place
    }
    TS_SCREEN_METRICS metrics;
    const QRect work = screen->availableGeometry();
    metrics.WorkLeft = work.left();
    metrics.WorkTop = work.top();
    metrics.ScreenWidth = screen->geometry().width();
    metrics.ScreenHeight = screen->geometry().height();
    metrics.IconWidth = metrics.IconHeight = style()->pixelMetric(QStyle::PM_LargeIconSize);
    const TS_WINDOW_POSITION position = RestoredWindowPosition(*placement, metrics);
    move(position.x, position.y);
    m_normalFrame = QRect(QPoint(position.x, position.y), frameGeometry().size());
    m_restoredFramePlace = m_normalFrame.topLeft();
    if (placement->Status == 3) { // shown maximised when it was closed
        setWindowState(windowState() | Qt::WindowMaximized);
    }
    m_placementRestored = true;
}

void CVandrelDlg::SaveWindowPlacement() {
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    const QRect work = screen ? screen->availableGeometry() : QRect();
    // the frame's rectangle either way (normalGeometry() would be the client area's)
    QRect normal = frameGeometry();
    if ((isMaximized() || isMinimized()) && m_normalFrame.isValid()) {
        normal = m_normalFrame;
    }
    TS_WINDOW_PLACEMENT placement;
    placement.Status = isMaximized() ? 3 : isMinimized() ? 2 : 1;
    placement.Left = normal.left() - work.left();
    placement.Top = normal.top() - work.top();
    placement.Right = placement.Left + normal.width();
    placement.Bottom = placement.Top + normal.height();
    WriteWindowPlacement(placement, m_options.configDirectory);
}

// ---- command enabling ----

bool CVandrelDlg::IsBusy() const {
    return m_jobsPending > 0 || m_flashIdRunning;
}

bool CVandrelDlg::CommandsBusy() const {
    return IsBusy() || (m_dumpPage && m_dumpPage->IsBusy());
}

void CVandrelDlg::UpdateCommands() {
    if (!m_list) {
        return;
    }
    const bool busy = CommandsBusy();
    const bool link = m_link.CommandsEnabled();
    const bool listFree = !m_runActive;
    m_connect->setEnabled(!busy && !m_closeRequested);
    m_downloadAll->setEnabled(m_connected && !busy && !m_closeRequested);
    for (QWidget* w : {static_cast<QWidget*>(m_add), static_cast<QWidget*>(m_remove),
                       static_cast<QWidget*>(m_removeAll)}) {
        w->setEnabled(listFree);
    }
    for (int id : {ID_FILE_LIST_ADD, ID_FILE_LIST_REMOVE, ID_FILE_LIST_MOVE_UP, ID_FILE_LIST_MOVE_DOWN}) {
        m_commands[id]->setEnabled(listFree);
    }
    m_commands[ID_FLASH_TOOLS_GET_FLASH_ID]->setEnabled(link && !busy);
    m_commands[ID_FILE_LIST_DOWNLOAD]->setEnabled(link && !busy);
    m_commands[ID_FLASH_TOOLS_ERASE_FLASH]->setEnabled(link && !busy && EraseFlashToolAvailable());
    if (m_dumpWidget) {
        m_dumpWidget->setEnabled(!IsBusy());
    }
}

void CVandrelDlg::SetRadiosEnabled(bool enabled) {
    m_rs232->setEnabled(enabled);
    m_usb->setEnabled(enabled);
}

// ---- the link ----

void CVandrelDlg::OnConnectClicked() {
    if (m_connect->GetCheck()) {
        // the click asks for a connection: the toggle stays off until the target has answered
        m_connect->SetCheck(false);
        m_downloadAll->setEnabled(false);
        ConnectTarget();
    } else if (IsPortOpen() || Monitor()) {
        CloseTargetLink();
        m_connect->SetCheck(false);
        m_downloadAll->setEnabled(false);
        m_status->setText(QString::fromLatin1(linktext::PORT_NOT_OPENED));
        SetRadiosEnabled(true);
    }
}

void CVandrelDlg::OnPortTypeClicked() {
    m_radioValue = m_portGroup->checkedId();
    m_settings.PortConfig.PortType = m_radioValue;
}

void CVandrelDlg::ConnectTarget() {
    if (CommandsBusy() || m_closeRequested) {
        return;
    }
    CloseTargetLink();
    SetRadiosEnabled(false);
    int result = QDialog::Rejected;
    {
        CConnectDlg dialog(this);
        m_connectDlg = &dialog;
        CModalScope scope(this);
        result = dialog.exec();
        m_connectDlg = nullptr;
    }
    if (result == QDialog::Accepted && !m_closeRequested && Monitor()) {
        m_connect->SetCheck(true);
        m_connected = true;
        if (m_dumpPage) {
            m_dumpPage->SetMonitor(Monitor());
        }
        m_job->Connected();
        SignalJob(m_jobThreadStarted);
    } else {
        // a port that did not open keeps its reason on the status line
        QString failure;
        if (Monitor() && !IsPortOpen()) {
            failure = QString::fromStdString(m_link.StatusText());
            const std::string reason = m_link.PortErrorText();
            if (!reason.empty()) {
                failure += QStringLiteral(" - ") + QString::fromStdString(reason);
            }
        }
        CloseTargetLink();
        m_status->setText(failure);
    }
    UpdateCommands();
}

bool CVandrelDlg::OpenTargetLink() {
    const bool open = m_link.OpenTargetLink(m_settings.PortConfig);
    m_status->setText(QString::fromStdString(m_link.StatusText()));
    if (open) {
        m_runs->SetMonitor(m_link.Monitor());
        ApplyLogFont();
        m_logPage->ClearLog();
    }
    return open;
}

void CVandrelDlg::CloseTargetLink() {
    if (m_link.Monitor()) {
        // the users of the monitor let it go before it is destroyed
        if (m_dumpPage) {
            m_dumpPage->SetMonitor(nullptr);
        }
        m_runs->SetMonitor(nullptr);
    }
    m_link.CloseTargetLink();
    m_connected = false;
    SetRadiosEnabled(true);
    m_status->clear();
    UpdateCommands();
}

// ---- JobThread and its requests ----

void CVandrelDlg::SignalJob(bool accepted) {
    if (accepted) {
        ++m_jobsPending;
    }
    UpdateCommands();
}

void CVandrelDlg::OnJobDone() {
    if (m_jobsPending > 0) {
        --m_jobsPending;
    }
    if (m_jobsPending == 0) {
        m_runActive = false;
    }
    ++m_jobsDone;
    UpdateCommands();
    TryFinishClose();
}

void CVandrelDlg::PostFlashWriterDownload() {
    QCoreApplication::postEvent(this, new QEvent(g_sendFlashWriterCodeMsg));
}

bool CVandrelDlg::event(QEvent* event) {
    if (event->type() == g_sendFlashWriterCodeMsg) {
        OnFlashWriterEvent();
        return true;
    }
    if (event->type() == g_sendAppCodeMsg) {
        OnAppCodeEvent();
        return true;
    }
    const bool normalState =
        isVisible() && !(windowState() & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen));
    if (m_restoredFramePlace && normalState && frameGeometry() != geometry()) {
        // Framed. A window manager that took the place for the client area's has put the client
        // there, the frame above and left of it: put the frame itself there, once.
        const QPoint place = *m_restoredFramePlace;
        if (geometry().topLeft() == place) {
            m_restoredFramePlace.reset();
            move(place);
        } else if (frameGeometry().topLeft() == place) {
            m_restoredFramePlace.reset();
        }
    }
    if (event->type() == QEvent::Hide) {
        m_restoredFramePlace.reset();
    }
    if ((event->type() == QEvent::Move || event->type() == QEvent::Resize) && normalState) {
        m_normalFrame = frameGeometry();
    }
    return QMainWindow::event(event);
}

void CVandrelDlg::OnFlashWriterEvent() {
    if (m_shutdownDone || m_closeRequested || !Monitor()) {
        return; // the link has closed since the request was posted
    }
    CModalScope scope(this);
    m_runs->FlashWriterDownload(FlashWriterPath(m_settings));
}

void CVandrelDlg::OnAppCodeEvent() {
    if (!m_shutdownDone) {
        CModalScope scope(this);
        m_runs->AppFileDownload(); // does nothing once the run was cancelled
    }
    m_runs->FileDone();
}

TS_SESSION_OUTCOME CVandrelDlg::RunDownloadSession(int32_t mode, const std::string& path,
                                                   COstraMonitor* monitor) {
    if (!monitor) {
        return {false, ErrorCodeText(TM_ERR_PORT_OPEN)};
    }
    CSendSrecordDlg dialog(mode, path, monitor, this);
    m_downloadDlg = &dialog;
    const int result = dialog.DoModal();
    m_downloadDlg = nullptr;
    return {result == IDOK, dialog.GetErrorText()};
}

void CVandrelDlg::ShowFileMessage(const std::string& text, const std::string& path, int errnum) {
    (void)path; // the text names it
    QString message = BoxText(QString::fromStdString(text));
    if (errnum != 0) {
        message += QStringLiteral("\n\n(%1)").arg(QString::fromLocal8Bit(std::strerror(errnum)));
    }
    CModalScope scope(this);
    QMessageBox box(QMessageBox::Warning, QApplication::applicationName(), message, QMessageBox::Ok, this);
    box.exec();
}

void CVandrelDlg::ShowRefusal(const std::string& text) {
    ShowStopBox(QString::fromStdString(text));
}

void CVandrelDlg::ShowStopBox(const QString& text) {
    CModalScope scope(this);
    QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), BoxText(text), QMessageBox::Ok,
                    this);
    box.exec();
}

// ---- the file list ----

void CVandrelDlg::OnAdd() {
    if (m_runActive) {
        return;
    }
    QString path;
    {
        CModalScope scope(this);
        QFileDialog dialog(this, QStringLiteral("Open"));
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setDefaultSuffix(QStringLiteral("m0"));
        CFECFileDialog::SetFilter(dialog, QString::fromLatin1(CFECFileDialog::kDefaultFilter));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
            return;
        }
        path = dialog.selectedFiles().constFirst();
    }
    AddChosenFile(path);
}

void CVandrelDlg::AddChosenFile(const QString& path) {
    if (IsValidFlashFile(path.toStdString())) {
        m_list->AddFile(path); // a duplicate, a sixth file or a file that does not open: nothing added
        return;
    }
    CModalScope scope(this);
    QMessageBox box(QMessageBox::Critical, QString::fromLatin1(kUnsupportCaption),
                    BoxText(path + QString::fromLatin1(kUnsupportText)), QMessageBox::Ok, this);
    box.exec();
}

void CVandrelDlg::OnRemove() {
    const int row = m_list->GetCurSel();
    if (row >= 0 && !m_runActive) {
        m_list->DeleteItem(row);
    }
}

void CVandrelDlg::OnRemoveAll() {
    if (!m_runActive) {
        m_list->DeleteAllItems();
    }
}

void CVandrelDlg::OnMoveUp() {
    const int row = m_list->GetCurSel();
    if (row >= 0 && !m_runActive) {
        m_list->MoveItem(row, row - 1);
    }
}

void CVandrelDlg::OnMoveDown() {
    const int row = m_list->GetCurSel();
    if (row >= 0 && !m_runActive) {
        m_list->MoveItem(row, row + 2);
    }
}

void CVandrelDlg::ShowContextMenu(const QPoint& position) {
    UpdateCommands();
    QMenu menu(this);
    menu.addAction(m_commands[ID_FILE_LIST_ADD]);
    menu.addAction(m_commands[ID_FILE_LIST_REMOVE]);
    menu.addSeparator();
    menu.addAction(m_commands[ID_FILE_LIST_MOVE_UP]);
    menu.addAction(m_commands[ID_FILE_LIST_MOVE_DOWN]);
    menu.addSeparator();
    menu.addAction(m_commands[ID_FILE_LIST_DOWNLOAD]);
    menu.exec(m_list->viewport()->mapToGlobal(position));
}

void CVandrelDlg::OnDownload() {
    if (CommandsBusy() || !m_link.CommandsEnabled() || m_closeRequested || !m_jobThreadStarted) {
        return;
    }
    m_mirror->Sync();
    m_runs->ClearCancel();
    const bool accepted = m_job->DownloadOne(); // shows "No flash file is selected!" itself
    m_runActive = m_runActive || accepted;
    SignalJob(accepted);
}

void CVandrelDlg::OnDownloadAll() {
    if (CommandsBusy() || !m_connected || m_closeRequested || !m_jobThreadStarted) {
        return;
    }
    m_mirror->Sync();
    m_runs->ClearCancel();
    const bool accepted = m_job->DownloadAll(); // shows "No flash files to download!" itself
    m_runActive = m_runActive || accepted;
    SignalJob(accepted);
}

// ---- settings, tools, information ----

void CVandrelDlg::OnGlobalSettings() {
    CModalScope scope(this);
    CGlobalSettingsDlg dialog(IsPortOpen(), m_settings, m_portMap, this);
    if (dialog.exec() == QDialog::Accepted) {
        m_settings = dialog.Settings();
        m_portMap = dialog.PortMap();
        ApplyComPortMap(m_portMap);
    }
}

void CVandrelDlg::OnGetFlashId() {
    if (CommandsBusy() || !m_link.CommandsEnabled() || m_flashIdThread.joinable()) {
        return;
    }
    COstraMonitor* monitor = Monitor();
    ILogSink* log = m_log.get();
    m_flashIdRunning = true;
    UpdateCommands();
    m_flashIdThread = std::thread([this, monitor, log] {
        GetFlashId(*monitor, *log);
        QMetaObject::invokeMethod(this, &CVandrelDlg::OnFlashIdDone, Qt::QueuedConnection);
    });
}

void CVandrelDlg::OnFlashIdDone() {
    if (m_flashIdThread.joinable()) {
        m_flashIdThread.join(); // it has just ended
    }
    m_flashIdRunning = false;
    UpdateCommands();
    TryFinishClose();
}

void CVandrelDlg::OnEraseFlash() {
    if (CommandsBusy() || !m_link.CommandsEnabled() || !EraseFlashToolAvailable()) {
        return;
    }
    CModalScope scope(this);
    RunEraseFlashTool(Monitor(), this);
}

void CVandrelDlg::OnAbout() {
    CModalScope scope(this);
    CInformationDlg dialog(this, m_options.modulePath);
    dialog.exec();
}

// ---- closing ----

void CVandrelDlg::closeEvent(QCloseEvent* event) {
    if (m_shutdownDone) {
        event->accept();
        return;
    }
    m_closeRequested = true;
    if (m_modalDepth > 0 || IsBusy()) {
        // a run ends after the file being sent, at once between files; the connect dialog gives
        // up; the window closes when the last of them has ended
        m_runs->CancelRun();
        if (m_connectDlg) {
            m_connectDlg->reject();
        }
        m_status->setText(QString::fromLatin1(kClosingText));
        UpdateCommands();
        event->ignore();
        return;
    }
    Shutdown();
    event->accept();
}

void CVandrelDlg::TryFinishClose() {
    if (m_closeRequested && !m_shutdownDone && m_modalDepth == 0 && !IsBusy()) {
        close();
    }
}

void CVandrelDlg::Shutdown() {
    m_shutdownDone = true;
    SaveSettings();
    // JobThread is idle here (a close waits for its jobs); it ends before the link it may use
    m_runs->CancelRun();
    m_job->Quit();
    CloseTargetLink();
    SaveWindowPlacement();
}
