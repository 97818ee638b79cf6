#include "VandrelDlg.h"

#include <QAction>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "CaptionLine.h"
#include "ConnectDlg.h"
#include "ControlId.h"
#include "FaceButton.h"
#include "GlobalSettingsDlg.h"
#include "InformationDlg.h"
#include "ListMirror.h"
#include "LogPage.h"
#include "ModalScope.h"
#include "PageTabCtrl.h"
#include "RegisteredEvent.h"
#include "Resources.h"
#include "StatusLine.h"
#include "ToolWindows.h"
#include "WindowLog.h"
#include "XListCtrl.h"

const QEvent::Type g_sendFlashWriterCodeMsg = RegisterEventName("CVandrelDlg_SendFlashWriterCodeMsg");
const QEvent::Type g_sendAppCodeMsg = RegisterEventName("CVandrelDlg_SendAppCodeMsg");

namespace {

constexpr const char* kClosingText = "Closing: the download in progress ends first...";
constexpr const char* kStationClosingText = "Closing: the production station stops first...";

} // namespace

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
    // the station window goes first: its ports end before anything they report to
    delete m_stationDlg;
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
    tools->addSeparator();
    tools->addAction(command(ID_FLASH_TOOLS_PRODUCTION_STATION, QStringLiteral("Production &Station..."),
                             &CVandrelDlg::OnProductionStation));
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
    m_connect->setEnabled(!busy && !m_closeRequested && !m_stationRunning);
    m_downloadAll->setEnabled(m_connected && !busy && !m_closeRequested && !m_stationRunning);
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
    m_commands[ID_FLASH_TOOLS_PRODUCTION_STATION]->setEnabled(!m_closeRequested);
    if (m_dumpWidget) {
        m_dumpWidget->setEnabled(!IsBusy());
    }
}

// ---- events: the posted requests, the frame's place ----

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

// ---- settings, information ----

void CVandrelDlg::OnGlobalSettings() {
    CModalScope scope(this);
    CGlobalSettingsDlg dialog(IsPortOpen(), m_settings, m_portMap, this);
    if (dialog.exec() == QDialog::Accepted) {
        m_settings = dialog.Settings();
        m_portMap = dialog.PortMap();
        ApplyComPortMap(m_portMap);
    }
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
    if (m_stationDlg) {
        // the station closes first; while its ports stop, the window waits for it
        m_stationDlg->close();
        if (m_stationDlg && m_stationDlg->IsRunning()) {
            m_status->setText(QString::fromLatin1(kStationClosingText));
            UpdateCommands();
            event->ignore();
            return;
        }
    }
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
    if (m_closeRequested && !m_shutdownDone && m_modalDepth == 0 && !IsBusy() &&
        !(m_stationDlg && m_stationDlg->IsRunning())) {
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
