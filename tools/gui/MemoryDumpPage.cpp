#include "MemoryDumpPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QStyleOptionGroupBox>
#include <QVBoxLayout>

#include <climits>
#include <cstdio>

#include "CaptionProgressCtrl.h"
#include "ControlId.h"
#include "FECFileDialog.h"
#include "FaceButton.h"
#include "FileInfoLabel.h"
#include "HexEditBase.h"
#include "NumberSpinCtrl.h"
#include "RoundFaceButton.h"
#include "resource.h"

namespace {

constexpr const char* kDumpScreenTooltip = "Show a contents of target flash memory.";
constexpr const char* kDumpFileTooltip = "Save a contents of target flash memory into the BIN file.";
constexpr const char* kResultTitle = "                   / Status / Result";
// The file types of the BIN file dialog; the second label reads 모든 화일(*.*).
const char* const kBinFilter = "Binary contents file for flash memory(*.bin)|*.bin|"
                               "\xEB\xAA\xA8\xEB\x93\xA0 \xED\x99\x94\xEC\x9D\xBC(*.*)|*.*||";
constexpr int kAddressDigits = 8;

QString Latin(const char* text) {
    return QString::fromLatin1(text);
}

int ToInt(uint32_t value) {
    return value > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

QLabel* MakeLabel(const char* text, int id, QWidget* parent) {
    auto* label = new QLabel(Latin(text), parent);
    SetControlId(label, id);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLineEdit* MakeAddressEdit(int id, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    SetControlId(edit, id);
    edit->setMaxLength(kAddressDigits);
    const QFontMetrics fm(edit->font());
    edit->setFixedWidth(fm.horizontalAdvance(QStringLiteral("DDDDDDDDD")) + 16);
    return edit;
}

} // namespace

CMemoryDumpPage::CMemoryDumpPage(QWidget* parent, COstraMonitor* monitor, const std::string& configDirectory)
    : QWidget(parent), m_monitor(monitor), m_configDirectory(configDirectory),
      m_observer(this, [this](const TS_JOB_REPORT& report) { ApplyReport(report); }), m_worker(this) {
    setObjectName(QStringLiteral("CMemoryDumpPage"));
    setProperty("templateId", IDD_MEMORY_DUMP_PAGE);
    BuildControls();

    // 1. the hex view
    m_hexView->SetAddressDigits(kAddressDigits, false);
    m_hexView->SetShowAddress(true, false);
    m_hexView->SetBytesPerRow(8, true, false);
    m_hexView->SetReadOnly(true, false);
    // 2. tooltips, the rounded button, the toggle's icons
    m_dumpScreenButton->SetTooltipText(Latin(kDumpScreenTooltip));
    m_dumpFileButton->SetTooltipText(Latin(kDumpFileTooltip));
    m_binFileButton->SetRounded(true);
    m_modeToggle->SetIcons(IDI_DUMP_TO_FILE, IDI_DUMP_TO_SCREEN);
    // 3. the spin control
    m_sizeSpin->SetDecimalPlaces(-1);
    m_sizeSpin->SetRangeAndDelta(1.0, 1000.0, 1.0);
    // 4. nothing to show yet of a dump to file
    m_fileInfo->SetText(QString());
    m_fileInfo->SetPathEllipsis(true);
    m_progress->hide();
    m_statusLine->hide();
    // 5. the settings
    LoadSettings();

    m_elapsedTimer.setObjectName(QStringLiteral("ELAPSED_TIMER"));
    m_elapsedTimer.setInterval(DUMP_ELAPSED_TIMER_MS);
    connect(&m_elapsedTimer, &QTimer::timeout, this, &CMemoryDumpPage::OnElapsedTick);
}

CMemoryDumpPage::~CMemoryDumpPage() {
    m_elapsedTimer.stop();
    m_worker.StopAndWait(); // short: the wait for a reply in flight is cancelled
    SaveSettings();
}

// ---- controls ----

void CMemoryDumpPage::BuildControls() {
    m_modeToggle = new CFaceButton(this);
    SetControlId(m_modeToggle, IDC_DUMP_MODE);
    m_modeToggle->setCheckable(true);
    m_modeToggle->SetIconSize(32);
    m_modeToggle->setFixedSize(44, 44);
    connect(m_modeToggle, &QPushButton::toggled, this, [this] { ShowModeControls(); });

    // To screen.
    m_screenPanel = new QWidget(this);
    m_screenStartLabel = MakeLabel("Start Addr : 0x", IDC_SCREEN_START_LABEL, m_screenPanel);
    m_screenStartEdit = MakeAddressEdit(IDC_SCREEN_START, m_screenPanel);
    m_sizeLabel = MakeLabel("Size :", IDC_DUMP_SIZE_LABEL, m_screenPanel);
    m_sizeEdit = new QLineEdit(m_screenPanel);
    SetControlId(m_sizeEdit, IDC_DUMP_SIZE);
    m_sizeEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,5}")), m_sizeEdit));
    m_sizeEdit->setFixedWidth(QFontMetrics(m_sizeEdit->font()).horizontalAdvance(QStringLiteral("00000")) +
                              14);
    m_sizeSpin = new CNumberSpinCtrl(m_screenPanel);
    SetControlId(m_sizeSpin, IDC_DUMP_SIZE_SPIN);
    m_sizeSpin->SetBuddy(m_sizeEdit);
    m_unitCombo = new QComboBox(m_screenPanel);
    SetControlId(m_unitCombo, IDC_DUMP_UNIT);
    m_unitCombo->addItems(
        {QStringLiteral("BYTE(8bit)"), QStringLiteral("WORD(16bit)"), QStringLiteral("DWORD(32bit)")});
    m_dumpScreenButton = new CFaceButton(QStringLiteral("&DUMP"), m_screenPanel);
    SetControlId(m_dumpScreenButton, IDC_DUMP_SCREEN);
    m_dumpScreenButton->setMinimumWidth(72);
    m_asciiBox = new QCheckBox(QStringLiteral("ASCII view"), m_screenPanel);
    SetControlId(m_asciiBox, IDC_ASCII_VIEW);
    m_hexView = new CHexEditBase(m_screenPanel);
    SetControlId(m_hexView, IDC_HEX_VIEW);
    m_hexView->setMinimumSize(420, 140);

    // Where to read, then what to do with it, then the bytes.
    auto* inputs = new QHBoxLayout;
    inputs->setSpacing(6);
    inputs->addWidget(m_screenStartLabel);
    inputs->addWidget(m_screenStartEdit);
    inputs->addSpacing(12);
    inputs->addWidget(m_sizeLabel);
    auto* sizePair = new QHBoxLayout;
    sizePair->setSpacing(0);
    sizePair->addWidget(m_sizeEdit);
    sizePair->addWidget(m_sizeSpin);
    inputs->addLayout(sizePair);
    inputs->addWidget(m_unitCombo);
    inputs->addStretch(1);
    auto* actions = new QHBoxLayout;
    actions->setSpacing(12);
    actions->addWidget(m_dumpScreenButton);
    actions->addWidget(m_asciiBox);
    actions->addStretch(1);
    auto* screenLayout = new QVBoxLayout(m_screenPanel);
    screenLayout->setContentsMargins(0, 0, 0, 0);
    screenLayout->setSpacing(8);
    screenLayout->addLayout(inputs);
    screenLayout->addLayout(actions);
    screenLayout->addWidget(m_hexView, 1);

    connect(m_unitCombo, &QComboBox::currentIndexChanged, this, [this] { OnUnitChanged(); });
    connect(m_sizeEdit, &QLineEdit::textChanged, this, [this] { OnSizeEdited(); });
    connect(m_asciiBox, &QCheckBox::clicked, this, [this] { OnAsciiClicked(); });
    connect(m_dumpScreenButton, &QPushButton::clicked, this, [this] { DumpToScreen(); });
    connect(m_screenStartEdit, &QLineEdit::returnPressed, this, [this] { DumpToScreen(); });

    // To file.
    m_filePanel = new QWidget(this);
    m_binFileButton = new CRoundFaceButton(QStringLiteral("BIN file :"), m_filePanel);
    SetControlId(m_binFileButton, IDC_BIN_FILE_BUTTON);
    m_binPathEdit = new QLineEdit(m_filePanel);
    SetControlId(m_binPathEdit, IDC_BIN_FILE_PATH);
    m_conditionsGroup = new QGroupBox(QStringLiteral("Conditions"), m_filePanel);
    SetControlId(m_conditionsGroup, IDC_CONDITIONS_GROUP);
    m_fileStartLabel = MakeLabel("Start Address : 0x", IDC_FILE_START_LABEL, m_conditionsGroup);
    m_fileStartEdit = MakeAddressEdit(IDC_FILE_START, m_conditionsGroup);
    m_fileEndLabel = MakeLabel("End Address : 0x", IDC_FILE_END_LABEL, m_conditionsGroup);
    m_fileEndEdit = MakeAddressEdit(IDC_FILE_END, m_conditionsGroup);
    m_resultGroup = new QGroupBox(Latin(kResultTitle), m_filePanel);
    SetControlId(m_resultGroup, IDC_RESULT_GROUP);
    // The button sits in the blank head of the result frame's title: "[Dump] / Status / Result".
    m_dumpFileButton = new CFaceButton(QStringLiteral("&Dump"), m_filePanel);
    SetControlId(m_dumpFileButton, IDC_DUMP_FILE);
    m_currentStatusLabel = MakeLabel("Current status    :", IDC_CURRENT_STATUS_LABEL, m_resultGroup);
    m_progress = new CCaptionProgressCtrl(m_resultGroup);
    SetControlId(m_progress, IDC_DUMP_PROGRESS);
    m_statusLine = new QLabel(m_resultGroup);
    SetControlId(m_statusLine, IDC_DUMP_STATUS);
    m_statusLine->setTextFormat(Qt::PlainText);
    m_statusLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_fileInfoLabel = MakeLabel("File information :", IDC_FILE_INFO_LABEL, m_resultGroup);
    m_fileInfo = new CFileInfoLabel(m_resultGroup);
    SetControlId(m_fileInfo, IDC_FILE_INFO);
    m_elapsed = MakeLabel(DUMP_ELAPSED_LABEL, IDC_DUMP_ELAPSED, m_resultGroup);

    auto* pathRow = new QHBoxLayout;
    pathRow->setSpacing(6);
    pathRow->addWidget(m_binFileButton);
    pathRow->addWidget(m_binPathEdit, 1);

    auto* conditions = new QHBoxLayout(m_conditionsGroup);
    conditions->setContentsMargins(12, 8, 12, 10);
    conditions->setSpacing(6);
    conditions->addWidget(m_fileStartLabel);
    conditions->addWidget(m_fileStartEdit);
    conditions->addSpacing(24);
    conditions->addWidget(m_fileEndLabel);
    conditions->addWidget(m_fileEndEdit);
    conditions->addStretch(1);

    // The progress bar and the status line share the place beside "Current status".
    auto* statusCell = new QWidget(m_resultGroup);
    auto* statusLayout = new QHBoxLayout(statusCell);
    statusLayout->setContentsMargins(0, 0, 0, 0);
    m_progress->setParent(statusCell);
    m_statusLine->setParent(statusCell);
    statusLayout->addWidget(m_progress, 1);
    statusLayout->addWidget(m_statusLine, 1);
    statusCell->setFixedHeight(24);

    auto* result = new QGridLayout(m_resultGroup);
    result->setContentsMargins(12, 16, 12, 10);
    result->setHorizontalSpacing(10);
    result->setVerticalSpacing(8);
    result->addWidget(m_currentStatusLabel, 0, 0);
    result->addWidget(statusCell, 0, 1);
    result->addWidget(m_fileInfoLabel, 1, 0);
    result->addWidget(m_fileInfo, 1, 1);
    result->addWidget(m_elapsed, 2, 0, 1, 2);
    result->setColumnStretch(1, 1);

    auto* fileLayout = new QVBoxLayout(m_filePanel);
    fileLayout->setContentsMargins(0, 0, 0, 0);
    fileLayout->setSpacing(10);
    fileLayout->addLayout(pathRow);
    fileLayout->addWidget(m_conditionsGroup);
    fileLayout->addSpacing(4);
    fileLayout->addWidget(m_resultGroup);
    fileLayout->addStretch(1);
    m_resultGroup->installEventFilter(this);
    m_dumpFileButton->raise();

    connect(m_binFileButton, &QPushButton::clicked, this, [this] { ChooseBinFile(); });
    connect(m_dumpFileButton, &QPushButton::clicked, this, [this] { StartDumpToFile(); });

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(10);
    layout->addWidget(m_modeToggle, 0, Qt::AlignTop);
    auto* panels = new QVBoxLayout;
    panels->setContentsMargins(0, 0, 0, 0);
    panels->addWidget(m_screenPanel, 1);
    panels->addWidget(m_filePanel, 1);
    layout->addLayout(panels, 1);
}

bool CMemoryDumpPage::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_resultGroup &&
        (event->type() == QEvent::Resize || event->type() == QEvent::Move || event->type() == QEvent::Show ||
         event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)) {
        PlaceResultTitleButton();
    }
    return QWidget::eventFilter(watched, event);
}

void CMemoryDumpPage::PlaceResultTitleButton() {
    QStyleOptionGroupBox option;
    option.initFrom(m_resultGroup);
    option.text = m_resultGroup->title();
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    option.lineWidth = 1;
    const QRect label = m_resultGroup->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                               QStyle::SC_GroupBoxLabel, m_resultGroup);
    const QFontMetrics fm(m_resultGroup->font());
    // The blank head of the title, less a little air before " / Status".
    const int blank = fm.horizontalAdvance(
        m_resultGroup->title().left(m_resultGroup->title().size() - m_resultGroup->title().trimmed().size()));
    const int width = std::max(blank - 4, m_dumpFileButton->sizeHint().width());
    const int height = std::max(label.height() + 8, 24);
    const QPoint origin = m_resultGroup->geometry().topLeft();
    m_dumpFileButton->setGeometry(origin.x() + label.left() - 2, origin.y() + label.center().y() - height / 2,
                                  width, height);
    m_dumpFileButton->raise();
}

void CMemoryDumpPage::ShowModeControls() {
    const bool toFile = IsFileMode();
    for (QWidget* w : std::initializer_list<QWidget*>{m_screenStartLabel, m_screenStartEdit, m_sizeLabel,
                                                      m_sizeEdit, m_sizeSpin, m_unitCombo, m_dumpScreenButton,
                                                      m_asciiBox, m_hexView}) {
        w->setVisible(!toFile);
    }
    for (QWidget* w : std::initializer_list<QWidget*>{
             m_binFileButton, m_binPathEdit, m_dumpFileButton, m_conditionsGroup, m_fileStartLabel,
             m_fileStartEdit, m_fileEndLabel, m_fileEndEdit, m_resultGroup, m_currentStatusLabel,
             m_fileInfoLabel, m_fileInfo, m_elapsed}) {
        w->setVisible(toFile);
    }
    // The status line belongs to the file mode, but is shown only once a dump has ended.
    m_screenPanel->setVisible(!toFile);
    m_filePanel->setVisible(toFile);
    if (toFile) {
        PlaceResultTitleButton();
    }
}

bool CMemoryDumpPage::IsFileMode() const {
    return m_modeToggle->isChecked();
}

void CMemoryDumpPage::SetFileMode(bool toFile) {
    m_modeToggle->setChecked(toFile);
    ShowModeControls();
}

QString CMemoryDumpPage::StatusText() const {
    return m_statusLine->text();
}

QString CMemoryDumpPage::ElapsedText() const {
    return m_elapsed->text();
}

// ---- settings and data exchange ----

void CMemoryDumpPage::LoadSettings() {
    m_values = ReadMemoryDumpSettings(m_configDirectory);
    m_hexView->SetShowAscii(m_values.ShowAscii != 0, false);
    // The size range follows the saved unit from the start.
    ApplySizeRange(m_values.Unit);
    m_modeToggle->setChecked(m_values.OutputMode != 0);
    ShowModeControls();
    WriteInputs();
}

void CMemoryDumpPage::SaveSettings() {
    ReadInputs();
    m_values.Size = ClampDumpSize(m_values.Size, m_values.Unit);
    WriteMemoryDumpSettings(m_values, m_configDirectory);
}

void CMemoryDumpPage::ReadInputs() {
    m_values.OutputMode = IsFileMode() ? 1 : 0;
    m_values.ShowAscii = m_asciiBox->isChecked() ? 1 : 0;
    m_values.ScreenStartAddress = m_screenStartEdit->text().toStdString();
    m_values.Size = m_sizeEdit->text().toUInt();
    m_values.Unit = m_unitCombo->currentIndex() < 0 ? 0 : m_unitCombo->currentIndex();
    m_values.FileStartAddress = m_fileStartEdit->text().toStdString();
    m_values.FileEndAddress = m_fileEndEdit->text().toStdString();
    m_values.BinFilePath = m_binPathEdit->text().toStdString();
}

void CMemoryDumpPage::WriteInputs() {
    m_writingSize = true;
    m_asciiBox->setChecked(m_values.ShowAscii != 0);
    m_screenStartEdit->setText(QString::fromStdString(m_values.ScreenStartAddress));
    m_sizeEdit->setText(QString::number(m_values.Size));
    m_unitCombo->setCurrentIndex(m_values.Unit);
    m_fileStartEdit->setText(QString::fromStdString(m_values.FileStartAddress));
    m_fileEndEdit->setText(QString::fromStdString(m_values.FileEndAddress));
    m_binPathEdit->setText(QString::fromStdString(m_values.BinFilePath));
    m_writingSize = false;
}

// ---- size range ----

void CMemoryDumpPage::ApplySizeRange(int unit) {
    m_lastUnit = unit;
    m_sizeSpin->SetRangeAndDelta(1.0, static_cast<double>(MaxDumpUnits(unit)), 1.0);
}

void CMemoryDumpPage::OnUnitChanged() {
    if (m_writingSize) {
        return;
    }
    ReadInputs();
    if (m_values.Unit == m_lastUnit) {
        return;
    }
    ApplySizeRange(m_values.Unit);
    m_values.Size = ClampDumpSize(m_values.Size, m_values.Unit);
    m_writingSize = true;
    m_sizeSpin->SetPos(m_values.Size);
    m_writingSize = false;
}

void CMemoryDumpPage::OnSizeEdited() {
    if (m_writingSize) {
        return;
    }
    ReadInputs();
    if (m_sizeEdit->text().isEmpty()) {
        return; // being typed; a dump takes an empty size as 1
    }
    const uint32_t size = ClampDumpSize(m_values.Size, m_values.Unit);
    if (size != m_values.Size || m_sizeEdit->text() != QString::number(size)) {
        m_values.Size = size;
        m_writingSize = true;
        m_sizeSpin->SetPos(size);
        m_writingSize = false;
    }
}

void CMemoryDumpPage::OnAsciiClicked() {
    ReadInputs();
    m_hexView->SetShowAscii(m_values.ShowAscii != 0);
    update();
}

// ---- messages ----

void CMemoryDumpPage::Message(int icon, const QString& text, const QString& detail) {
    QMessageBox box(static_cast<QMessageBox::Icon>(icon), QStringLiteral("Vandrel"), text, QMessageBox::Ok,
                    this);
    if (!detail.isEmpty()) {
        box.setInformativeText(detail);
    }
    box.exec();
}

void CMemoryDumpPage::SetBusy(bool busy) {
    m_dumpScreenButton->setEnabled(!busy);
    m_dumpFileButton->setEnabled(!busy);
    m_modeToggle->setEnabled(!busy);
    emit BusyChanged(busy);
}

// ---- dump to screen ----

void CMemoryDumpPage::DumpToScreen() {
    if (m_job != JOB_NONE) {
        return;
    }
    if (!CanReachTarget(m_monitor)) {
        Message(QMessageBox::NoIcon, Latin(DUMP_NO_LINK_TEXT));
        return;
    }
    ReadInputs();
    uint32_t start = 0;
    std::string message;
    if (!CheckScreenDumpInput(m_values.ScreenStartAddress, start, message)) {
        Message(QMessageBox::Critical, Latin(message.c_str()));
        return;
    }
    m_values.Size = ClampDumpSize(m_values.Size, m_values.Unit);
    WriteInputs();
    if (UnitBytes(m_values.Unit) == 0) {
        return; // no such unit: nothing is read
    }

    m_screenStart = start;
    m_screenSize = m_values.Size;
    m_screenUnit = m_values.Unit;
    m_screenRead = TS_MEMORY_READ{};
    m_job = JOB_SCREEN;
    SetBusy(true);
    COstraMonitor* monitor = m_monitor;
    const bool started = m_worker.Start(
        monitor,
        [this, monitor] {
            m_screenRead =
                ::DumpToScreen(*monitor, m_screenStart, m_screenSize, static_cast<TE_DUMP_UNIT>(m_screenUnit),
                               m_screenData, m_worker.StopFlag());
        },
        [this] { OnScreenDumpEnded(); });
    if (!started) {
        m_job = JOB_NONE;
        SetBusy(false);
        Message(QMessageBox::Critical, QStringLiteral("The dump could not be started: no worker thread."));
    }
}

void CMemoryDumpPage::OnScreenDumpEnded() {
    m_job = JOB_NONE;
    SetBusy(false);
    if (m_screenRead.Stopped || (m_worker.StopRequested() && !m_screenRead.Ok())) {
        // stopped by the page (the link is closing or the page goes): nothing to say
    } else if (!m_screenRead.Ok()) {
        Message(QMessageBox::Critical, QString::fromStdString(ScreenDumpErrorText(m_screenRead)));
    } else {
        // The address labels change with the bytes, so that they always belong together.
        m_hexView->SetBaseAddress(m_screenStart, false);
        m_hexView->SetData(m_screenData.data(), static_cast<qint64>(m_screenData.size()));
    }
    emit JobFinished();
}

// ---- dump to file ----

void CMemoryDumpPage::ChooseBinFile() {
    QFileDialog dialog(this, QStringLiteral("Save As"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("bin"));
    CFECFileDialog::SetFilter(dialog, QString::fromUtf8(kBinFilter));
    const QString current = m_binPathEdit->text();
    if (!current.isEmpty() && QFileInfo(current).absoluteDir().exists()) {
        dialog.setDirectory(QFileInfo(current).absolutePath());
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return;
    }
    ReadInputs();
    m_values.BinFilePath = dialog.selectedFiles().constFirst().toStdString();
    WriteInputs();
}

void CMemoryDumpPage::StartDumpToFile() {
    if (m_job != JOB_NONE) {
        return;
    }
    if (!CanReachTarget(m_monitor)) {
        Message(QMessageBox::NoIcon, Latin(DUMP_NO_LINK_TEXT));
        return;
    }
    ReadInputs();
    uint32_t start = 0;
    uint32_t end = 0;
    std::string message;
    const bool accepted =
        CheckFileDumpInput(m_values.FileStartAddress, m_values.FileEndAddress, start, end, message);
    WriteInputs();
    if (!accepted) {
        Message(QMessageBox::Critical, Latin(message.c_str()));
        return;
    }

    m_filePath = m_values.BinFilePath;
    m_fileStart = start;
    m_fileEnd = end;
    m_fileResult = TS_DUMP_FILE_RESULT{};
    m_fileDumpShown = false;
    m_job = JOB_FILE;
    SetBusy(true);
    COstraMonitor* monitor = m_monitor;
    const bool started = m_worker.Start(
        monitor,
        [this, monitor] {
            TS_JOB_HOOKS hooks;
            hooks.Observer = &m_observer;
            hooks.Stop = m_worker.StopFlag();
            m_fileResult = ::DumpToFile(*monitor, m_filePath, m_fileStart, m_fileEnd, hooks);
        },
        [this] { OnFileDumpEnded(); });
    if (!started) {
        m_job = JOB_NONE;
        SetBusy(false);
        Message(QMessageBox::Critical, QStringLiteral("The dump could not be started: no worker thread."));
    }
}

void CMemoryDumpPage::ShowFileDumpStarted() {
    // The file is open: the dump is under way.
    m_fileDumpShown = true;
    m_progress->SetRange32(0, 1);
    m_progress->SetPos(0);
    m_progress->SetWindowText(QString::fromStdString(DumpSavingText(0, uint64_t{m_fileEnd} - m_fileStart)));
    m_progress->show();
    m_statusLine->hide();
    m_statusLine->clear();
    m_elapsed->setText(Latin(DUMP_ELAPSED_LABEL));
    m_fileInfo->SetText(QString());
    m_stopwatch.Start();
    m_elapsedTimer.start();
}

void CMemoryDumpPage::ApplyReport(const TS_JOB_REPORT& report) {
    if (m_job != JOB_FILE) {
        return;
    }
    if (report.Range) {
        if (!m_fileDumpShown) {
            ShowFileDumpStarted();
        }
        m_progress->SetRange32(ToInt(report.Low), ToInt(report.High));
    }
    if (!m_fileDumpShown) {
        return;
    }
    if (report.Pos) {
        m_progress->SetPos(ToInt(report.Position));
    }
    if (report.Text) {
        m_progress->SetWindowText(QString::fromStdString(report.ProgressText));
    }
    // The status line is written once the dump has ended.
}

void CMemoryDumpPage::OnElapsedTick() {
    m_elapsed->setText(QString::fromStdString(DumpElapsedText(m_stopwatch.ElapsedSeconds())));
}

void CMemoryDumpPage::OnFileDumpEnded() {
    m_observer.Flush();
    m_job = JOB_NONE;
    const TS_DUMP_FILE_RESULT& r = m_fileResult;
    if (m_fileDumpShown) {
        m_stopwatch.Stop();
        m_elapsedTimer.stop();
        OnElapsedTick(); // the time it took
        m_progress->hide();
    }
    SetBusy(false);

    switch (r.Outcome) {
    case DUMP_FILE_OPEN_ERROR:
    case DUMP_FILE_BAD_RANGE:
        Message(QMessageBox::Critical, QString::fromStdString(r.MessageBox),
                QString::fromStdString(r.Detail));
        break;
    case DUMP_FILE_READ_ERROR:
        if (m_worker.StopRequested()) {
            // The page cancelled the reply the dump waited for: it was stopped, not refused.
            char text[160];
            std::snprintf(text, sizeof text,
                          "BIN file is incomplete: the dump was stopped at 0x%08x [ %llu bytes ]", r.Reached,
                          static_cast<unsigned long long>(r.BytesWritten));
            m_statusLine->setText(Latin(text));
        } else {
            m_statusLine->setText(QString::fromStdString(r.StatusText));
        }
        m_statusLine->show();
        m_fileInfo->SetText(QString());
        break;
    default: // created, stopped, write error
        m_statusLine->setText(QString::fromStdString(r.StatusText));
        m_statusLine->show();
        m_fileInfo->SetText(QString::fromStdString(r.FileInfo));
        break;
    }
    emit JobFinished();
}

// ---- the monitor and stopping ----

void CMemoryDumpPage::SetMonitor(COstraMonitor* monitor) {
    if (monitor == m_monitor) {
        return;
    }
    if (m_worker.IsRunning()) {
        // The old monitor may be destroyed once this returns.
        StopJobAndWait();
    }
    m_monitor = monitor;
}

void CMemoryDumpPage::StopJob() {
    m_worker.RequestStop();
}

void CMemoryDumpPage::StopJobAndWait() {
    m_worker.StopAndWait();
}
