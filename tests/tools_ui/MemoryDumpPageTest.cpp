// The Memory Dump page against the virtual handset: the inputs it refuses before anything is sent,
// the size rules, the commands a dump to screen and a dump to file are split into on either link,
// the bytes that reach the hex view and the file, how failures are shown, its settings, and that
// neither closing the page nor taking its monitor away waits for a reply that does not come.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <memory>

#include "CaptionProgressCtrl.h"
#include "ControlId.h"
#include "FaceButton.h"
#include "FileDialogView.h"
#include "FileInfoLabel.h"
#include "HexEditBase.h"
#include "MemoryDumpPage.h"
#include "NumberSpinCtrl.h"
#include "Screenshot.h"
#include "ToolsUiTestSupport.h"
#include "resource.h"

using namespace toolsui;

namespace {

constexpr int kJobTimeoutMs = 20000;
// About what the main window's tab gives the page at its default size.
const QSize kTabSize(576, 270);

// Recognisable bytes in CS#0 from address 0.
std::vector<uint8_t> LoadPattern(CHandset& h, std::size_t length, uint32_t address = 0) {
    std::vector<uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 251 + 3);
    }
    h.Host().Handset().LoadMemory(address, bytes);
    return bytes;
}

QByteArray Bytes(const std::vector<uint8_t>& v) {
    return QByteArray(reinterpret_cast<const char*>(v.data()), static_cast<qsizetype>(v.size()));
}

QByteArray FileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

template <class T = QWidget>
T* Control(CMemoryDumpPage& page, int id) {
    T* control = FindControl<T>(&page, id);
    if (control == nullptr) {
        qFatal("no control %d", id);
    }
    return control;
}

struct SDump {
    uint32_t address;
    uint32_t count;
    int unit;
};

QString Describe(const std::vector<vsim::SCommandRecord>& dumps) {
    QStringList out;
    for (const vsim::SCommandRecord& r : dumps) {
        out << QStringLiteral("{0x%1, %2, %3}").arg(r.address, 0, 16).arg(r.length).arg(r.unit);
    }
    return out.join(QLatin1String(", "));
}

bool SameDumps(const std::vector<vsim::SCommandRecord>& got, const std::vector<SDump>& want) {
    if (got.size() != want.size()) {
        return false;
    }
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (got[i].address != want[i].address || got[i].length != want[i].count ||
            got[i].unit != want[i].unit) {
            return false;
        }
    }
    return true;
}

bool WaitForJob(CMemoryDumpPage& page) {
    if (!page.IsJobRunning()) {
        return true;
    }
    QSignalSpy finished(&page, &CMemoryDumpPage::JobFinished);
    return finished.wait(kJobTimeoutMs);
}

} // namespace

class MemoryDumpPageTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void emptyStartAddressReadsFromZero();
    void addressesThatAreNotHexAreRefusedBeforeAnythingIsSent_data();
    void addressesThatAreNotHexAreRefusedBeforeAnythingIsSent();
    void withoutALinkNothingIsTried();
    void sizeFollowsTheUnit();
    void thousandBytesToScreen_data();
    void thousandBytesToScreen();
    void failedScreenDumpKeepsTheView();
    void dumpToFileReadsInLinkSizedChunks_data();
    void dumpToFileReadsInLinkSizedChunks();
    void readFailureLeavesThePartialFile();
    void fileThatDoesNotOpen();
    void chooseBinFile();
    void modeSwitchShowsOneSet();
    void fitsTheMainWindowsTab();
    void settingsAreSavedAndRestored();
    void progressMidwayForAnyRange_data();
    void progressMidwayForAnyRange();
    void takingTheMonitorAwayStopsTheDump();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_oldConfig;
};

void MemoryDumpPageTest::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    // The page's settings go to the test's own folder.
    qputenv("VANDREL_CONFIG_DIR", m_dir->filePath(QStringLiteral("config")).toUtf8());
}

void MemoryDumpPageTest::cleanup() {
    m_dir.reset();
}

void MemoryDumpPageTest::emptyStartAddressReadsFromZero() {
    CHandset h;
    const std::vector<uint8_t> memory = LoadPattern(h, 64);
    CMemoryDumpPage page(nullptr, h.Monitor());
    page.resize(kTabSize);
    page.show();
    Control<QLineEdit>(page, IDC_SCREEN_START)->setText(QString());
    Control<QLineEdit>(page, IDC_DUMP_SIZE)->setText(QStringLiteral("48"));
    Control<QComboBox>(page, IDC_DUMP_UNIT)->setCurrentIndex(DUMP_BYTE);
    Control<QCheckBox>(page, IDC_ASCII_VIEW)->click();
    h.Host().ClearRecord();
    CMessageBoxCatcher boxes;
    QSignalSpy busy(&page, &CMemoryDumpPage::BusyChanged);
    QTest::mouseClick(Control<CFaceButton>(page, IDC_DUMP_SCREEN), Qt::LeftButton);
    QVERIFY(page.IsJobRunning());
    QVERIFY(!Control<CFaceButton>(page, IDC_DUMP_SCREEN)->isEnabled());
    QVERIFY(!Control<CFaceButton>(page, IDC_DUMP_MODE)->isEnabled());
    QVERIFY(WaitForJob(page));
    QCOMPARE(boxes.Texts, QStringList());
    QCOMPARE(busy.count(), 2);
    QCOMPARE(busy.at(0).at(0).toBool(), true);
    QCOMPARE(busy.at(1).at(0).toBool(), false);
    QVERIFY(SameDumps(h.Commands(vsim::cmd::MemoryDump), {{0, 48, DUMP_BYTE}}));
    QCOMPARE(Control<QLineEdit>(page, IDC_SCREEN_START)->text(), QStringLiteral("00000000"));
    QCOMPARE(page.HexView()->GetBaseAddress(), 0u);
    QCOMPARE(page.HexView()->GetDataLength(), 48);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(page.HexView()->GetDataPointer()), 48),
             Bytes(memory).left(48));
    QVERIFY(page.HexView()->GetShowAscii());
    QVERIFY(Control<CFaceButton>(page, IDC_DUMP_SCREEN)->isEnabled());
    QVERIFY(Control<CFaceButton>(page, IDC_DUMP_MODE)->isEnabled());

    page.HexView()->setFocus();
    page.HexView()->SetSelection(2, 9);
    page.HexView()->SetHighlight(18, 27);
    testsupport::SaveScreenshot(&page, QStringLiteral("tools_ui_dump_page_screen"));
}

void MemoryDumpPageTest::addressesThatAreNotHexAreRefusedBeforeAnythingIsSent_data() {
    QTest::addColumn<bool>("toFile");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::addColumn<QString>("message");
    const QString startText = QString::fromLatin1(DUMP_START_NOT_HEX_TEXT);
    const QString endText = QString::fromLatin1(DUMP_END_NOT_HEX_TEXT);
    const QString orderText = QString::fromLatin1(DUMP_RANGE_ORDER_TEXT);
    QTest::newRow("screen, letter g") << false << "12g4"
                                      << "" << startText;
    QTest::newRow("screen, 0x prefix") << false << "0x100"
                                       << "" << startText;
    QTest::newRow("screen, minus") << false << "-1"
                                   << "" << startText;
    QTest::newRow("screen, space") << false << " 12"
                                   << "" << startText;
    QTest::newRow("file, start") << true << "zz"
                                 << "100" << startText;
    QTest::newRow("file, end") << true << "100"
                               << "1g" << endText;
    QTest::newRow("file, equal") << true << "100"
                                 << "100" << orderText;
    QTest::newRow("file, reversed") << true << "200"
                                    << "100" << orderText;
    QTest::newRow("file, both empty") << true << ""
                                      << "" << orderText;
}

void MemoryDumpPageTest::addressesThatAreNotHexAreRefusedBeforeAnythingIsSent() {
    QFETCH(bool, toFile);
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(QString, message);
    CHandset h;
    CMemoryDumpPage page(nullptr, h.Monitor());
    page.SetFileMode(toFile);
    Control<QLineEdit>(page, toFile ? IDC_FILE_START : IDC_SCREEN_START)->setText(start);
    if (toFile) {
        Control<QLineEdit>(page, IDC_FILE_END)->setText(end);
        Control<QLineEdit>(page, IDC_BIN_FILE_PATH)->setText(m_dir->filePath(QStringLiteral("x.bin")));
    }
    h.Host().ClearRecord();
    CMessageBoxCatcher boxes;
    if (toFile) {
        page.StartDumpToFile();
    } else {
        page.DumpToScreen();
    }
    QCOMPARE(boxes.Texts, QStringList{message});
    QCOMPARE(boxes.Icons.value(0), QMessageBox::Critical);
    QVERIFY(!page.IsJobRunning());
    QCOMPARE(h.Host().Snapshot().commands.size(), size_t(0));
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("x.bin"))));
    if (message == QString::fromLatin1(DUMP_RANGE_ORDER_TEXT)) {
        // both addresses were accepted and are shown rewritten
        QCOMPARE(Control<QLineEdit>(page, IDC_FILE_START)->text().size(), 8);
        QCOMPARE(Control<QLineEdit>(page, IDC_FILE_END)->text().size(), 8);
    }
}

void MemoryDumpPageTest::withoutALinkNothingIsTried() {
    CMemoryDumpPage page;
    CMessageBoxCatcher boxes;
    page.DumpToScreen();
    page.SetFileMode(true);
    page.StartDumpToFile();
    const QString text = QString::fromLatin1(DUMP_NO_LINK_TEXT);
    QCOMPARE(boxes.Texts, (QStringList{text, text}));
    QCOMPARE(boxes.Icons.value(0), QMessageBox::NoIcon);
}

void MemoryDumpPageTest::sizeFollowsTheUnit() {
    CMemoryDumpPage page;
    auto* size = Control<QLineEdit>(page, IDC_DUMP_SIZE);
    auto* unit = Control<QComboBox>(page, IDC_DUMP_UNIT);
    page.show();

    struct SStep {
        int unit;         // -1: keep
        const char* type; // typed into the size edit (all of it replaced), or nullptr
        const char* shown;
    };
    const SStep steps[] = {
        {DUMP_BYTE, "1000", "1000"}, {-1, "1001", "1000"}, {DUMP_WORD, nullptr, "500"},
        {-1, "600", "500"},          {-1, "0", "1"},       {-1, "77", "77"},
        {DUMP_DWORD, nullptr, "77"}, {-1, "300", "250"},   {DUMP_BYTE, "999", "999"},
    };
    for (const SStep& s : steps) {
        if (s.unit >= 0) {
            unit->setCurrentIndex(s.unit);
        }
        if (s.type != nullptr) {
            size->selectAll();
            QTest::keyClicks(size, QString::fromLatin1(s.type));
        }
        QCOMPARE(size->text(), QString::fromLatin1(s.shown));
    }
    // the arrows stop at the unit's maximum and at 1
    unit->setCurrentIndex(DUMP_DWORD);
    size->setText(QStringLiteral("249"));
    page.SizeSpin()->Step(1);
    page.SizeSpin()->Step(1);
    QCOMPARE(size->text(), QStringLiteral("250"));
    size->setText(QStringLiteral("2"));
    page.SizeSpin()->Step(-5);
    QCOMPARE(size->text(), QStringLiteral("1"));
    // letters cannot be typed
    size->selectAll();
    QTest::keyClicks(size, QStringLiteral("a5"));
    QCOMPARE(size->text(), QStringLiteral("5"));
}

void MemoryDumpPageTest::thousandBytesToScreen_data() {
    QTest::addColumn<ESimLink>("link");
    QTest::addColumn<int>("unit");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("commands");
    QTest::newRow("UART dwords") << ESimLink::Uart << int(DUMP_DWORD) << 250 << 1;
    QTest::newRow("USB dwords") << ESimLink::Usb << int(DUMP_DWORD) << 250 << 2;
    QTest::newRow("USB words") << ESimLink::Usb << int(DUMP_WORD) << 500 << 2;
    QTest::newRow("USB bytes") << ESimLink::Usb << int(DUMP_BYTE) << 1000 << 2;
}

void MemoryDumpPageTest::thousandBytesToScreen() {
    QFETCH(ESimLink, link);
    QFETCH(int, unit);
    QFETCH(int, size);
    QFETCH(int, commands);
    CHandset h(link);
    const std::vector<uint8_t> memory = LoadPattern(h, 0x2000);
    CMemoryDumpPage page(nullptr, h.Monitor());
    Control<QComboBox>(page, IDC_DUMP_UNIT)->setCurrentIndex(unit);
    Control<QLineEdit>(page, IDC_DUMP_SIZE)->setText(QString::number(size));
    Control<QLineEdit>(page, IDC_SCREEN_START)->setText(QStringLiteral("400"));
    h.Host().ClearRecord();
    CMessageBoxCatcher boxes;
    page.DumpToScreen();
    QVERIFY(WaitForJob(page));
    QCOMPARE(boxes.Texts, QStringList());
    const auto dumps = h.Commands(vsim::cmd::MemoryDump);
    QVERIFY2(int(dumps.size()) == commands, qPrintable(Describe(dumps)));
    QCOMPARE(page.HexView()->GetBaseAddress(), 0x400u);
    QCOMPARE(page.HexView()->GetDataLength(), 1000);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(page.HexView()->GetDataPointer()), 1000),
             Bytes(memory).mid(0x400, 1000));
}

void MemoryDumpPageTest::failedScreenDumpKeepsTheView() {
    CHandset h;
    LoadPattern(h, 64);
    CMemoryDumpPage page(nullptr, h.Monitor());
    Control<QLineEdit>(page, IDC_DUMP_SIZE)->setText(QStringLiteral("16"));
    page.DumpToScreen();
    QVERIFY(WaitForJob(page));
    const QByteArray before(reinterpret_cast<const char*>(page.HexView()->GetDataPointer()), 16);

    h.Host().SetFault(vsim::EFault::CorruptReply, {.after = 0, .times = 1});
    Control<QLineEdit>(page, IDC_SCREEN_START)->setText(QStringLiteral("1000"));
    CMessageBoxCatcher boxes;
    page.DumpToScreen();
    QVERIFY(WaitForJob(page));
    QCOMPARE(boxes.Texts, QStringList{QStringLiteral("Memory read error(-104)")});
    QCOMPARE(boxes.Icons.value(0), QMessageBox::Critical);
    // the old bytes stay, with the address they were read from
    QCOMPARE(page.HexView()->GetBaseAddress(), 0u);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(page.HexView()->GetDataPointer()), 16), before);
    QCOMPARE(Control<QLineEdit>(page, IDC_SCREEN_START)->text(), QStringLiteral("00001000"));
}

void MemoryDumpPageTest::dumpToFileReadsInLinkSizedChunks_data() {
    QTest::addColumn<ESimLink>("link");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::addColumn<QList<int>>("dumps"); // address, count, unit, ...
    QTest::newRow("UART 0..0x406") << ESimLink::Uart << "0"
                                   << "406" << QList<int>{0, 250, 2, 1000, 7, 2, 1028, 2, 0};
    QTest::newRow("UART 0x10..0x12") << ESimLink::Uart << "10"
                                     << "12" << QList<int>{0x10, 2, 0};
    QTest::newRow("USB 0..0x406") << ESimLink::Usb << "0"
                                  << "406" << QList<int>{0, 249, 2, 996, 8, 2, 1028, 2, 0};
}

void MemoryDumpPageTest::dumpToFileReadsInLinkSizedChunks() {
    QFETCH(ESimLink, link);
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(QList<int>, dumps);
    CHandset h(link);
    const std::vector<uint8_t> memory = LoadPattern(h, 0x1000);
    CMemoryDumpPage page(nullptr, h.Monitor());
    page.resize(kTabSize);
    page.SetFileMode(true);
    page.show();
    const QString path = m_dir->filePath(QStringLiteral("dump.bin"));
    Control<QLineEdit>(page, IDC_BIN_FILE_PATH)->setText(path);
    Control<QLineEdit>(page, IDC_FILE_START)->setText(start);
    Control<QLineEdit>(page, IDC_FILE_END)->setText(end);
    h.Host().ClearRecord();
    CMessageBoxCatcher boxes;
    QTest::mouseClick(Control<CFaceButton>(page, IDC_DUMP_FILE), Qt::LeftButton);
    QVERIFY(page.IsJobRunning());
    QVERIFY(!Control<CFaceButton>(page, IDC_DUMP_FILE)->isEnabled());
    QVERIFY(!Control<CFaceButton>(page, IDC_DUMP_MODE)->isEnabled());
    QVERIFY(WaitForJob(page));
    QCOMPARE(boxes.Texts, QStringList());

    std::vector<SDump> want;
    for (int i = 0; i + 2 < dumps.size(); i += 3) {
        want.push_back({uint32_t(dumps[i]), uint32_t(dumps[i + 1]), dumps[i + 2]});
    }
    const auto got = h.Commands(vsim::cmd::MemoryDump);
    QVERIFY2(SameDumps(got, want), qPrintable(Describe(got)));
    const uint32_t first = start.toUInt(nullptr, 16);
    const uint32_t last = end.toUInt(nullptr, 16);
    QCOMPARE(FileBytes(path), Bytes(memory).mid(first, last - first));
    QCOMPARE(page.StatusText(), QStringLiteral("BIN file is created"));
    QVERIFY(Control<QLabel>(page, IDC_DUMP_STATUS)->isVisible());
    QCOMPARE(page.FileInfo()->GetText(), QStringLiteral("%1[%2 bytes]").arg(path).arg(last - first));
    QVERIFY(page.Progress()->isHidden());
    QVERIFY(page.ElapsedText().startsWith(QStringLiteral("Elapsed time     :  00:00:")));
    QVERIFY(Control<CFaceButton>(page, IDC_DUMP_FILE)->isEnabled());
    QVERIFY(Control<CFaceButton>(page, IDC_DUMP_MODE)->isEnabled());
    QCOMPARE(Control<QLineEdit>(page, IDC_FILE_START)->text(), QString::asprintf("%08x", first));
    QCOMPARE(Control<QLineEdit>(page, IDC_FILE_END)->text(), QString::asprintf("%08x", last));
    if (link == ESimLink::Uart && first == 0) {
        testsupport::SaveScreenshot(&page, QStringLiteral("tools_ui_dump_page_file_created"));
    }
}

void MemoryDumpPageTest::readFailureLeavesThePartialFile() {
    CHandset h;
    const std::vector<uint8_t> memory = LoadPattern(h, 0x1000);
    CMemoryDumpPage page(nullptr, h.Monitor());
    page.resize(kTabSize);
    page.SetFileMode(true);
    page.show();
    const QString path = m_dir->filePath(QStringLiteral("partial.bin"));
    Control<QLineEdit>(page, IDC_BIN_FILE_PATH)->setText(path);
    Control<QLineEdit>(page, IDC_FILE_START)->setText(QStringLiteral("0"));
    Control<QLineEdit>(page, IDC_FILE_END)->setText(QStringLiteral("c00"));
    h.Host().SetFault(vsim::EFault::CorruptReply, {.after = 2, .times = 1}); // the third chunk
    CMessageBoxCatcher boxes;
    page.StartDumpToFile();
    QVERIFY(WaitForJob(page));
    QCOMPARE(boxes.Texts, QStringList());
    QCOMPARE(page.StatusText(), QStringLiteral("Memory read error [ Error code : -104 ]"));
    QCOMPARE(FileBytes(path), Bytes(memory).left(2000));
    QCOMPARE(page.FileInfo()->GetText(), QString());
    QVERIFY(page.Progress()->isHidden());
    testsupport::SaveScreenshot(&page, QStringLiteral("tools_ui_dump_page_read_error"));
}

void MemoryDumpPageTest::fileThatDoesNotOpen() {
    CHandset h;
    CMemoryDumpPage page(nullptr, h.Monitor());
    page.SetFileMode(true);
    const QString path = m_dir->filePath(QStringLiteral("no-such-folder/dump.bin"));
    Control<QLineEdit>(page, IDC_BIN_FILE_PATH)->setText(path);
    Control<QLineEdit>(page, IDC_FILE_START)->setText(QStringLiteral("0"));
    Control<QLineEdit>(page, IDC_FILE_END)->setText(QStringLiteral("10"));
    h.Host().ClearRecord();
    CMessageBoxCatcher boxes;
    page.StartDumpToFile();
    QVERIFY(WaitForJob(page));
    QCOMPARE(boxes.Texts, QStringList{QStringLiteral("File Open Error")});
    QCOMPARE(boxes.Icons.value(0), QMessageBox::Critical);
    QVERIFY(boxes.Details.value(0).contains(path)); // the reason names the file
    QCOMPARE(h.Commands(vsim::cmd::MemoryDump).size(), size_t(0));
    QVERIFY(page.Progress()->isHidden());
    QVERIFY(Control<QLabel>(page, IDC_DUMP_STATUS)->isHidden());
    QVERIFY(Control<CFaceButton>(page, IDC_DUMP_FILE)->isEnabled());
}

void MemoryDumpPageTest::chooseBinFile() {
    CMemoryDumpPage page;
    page.SetFileMode(true);
    QStringList filters;
    QString suffix;
    bool listsDotless = false; // the all-files entry lists names without a dot too
    QFile dotless(QDir(m_dir->path()).filePath(QStringLiteral("dotless")));
    QVERIFY(dotless.open(QIODevice::WriteOnly));
    dotless.close();
    QTimer::singleShot(0, this, [&] {
        QElapsedTimer clock;
        clock.start();
        QFileDialog* dialog = nullptr;
        while (dialog == nullptr && clock.elapsed() < 10000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        }
        if (dialog == nullptr) {
            return;
        }
        filters = testsupport::FileTypesShown(dialog);
        suffix = dialog->defaultSuffix();
        listsDotless = testsupport::ListsFile(dialog, 1, m_dir->path(), QStringLiteral("dotless"));
        testsupport::SaveScreenshot(dialog, QStringLiteral("memory-dump-bin-dialog-all-files"));
        // as a user does: the folder, then the name typed without its suffix, then Enter
        dialog->setDirectory(m_dir->path());
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (name != nullptr) {
            name->setText(QStringLiteral("chosen"));
            QTest::keyClick(name, Qt::Key_Return);
        }
        if (dialog->isVisible()) {
            dialog->reject(); // fail, but do not hang
        }
    });
    QTest::mouseClick(Control<CFaceButton>(page, IDC_BIN_FILE_BUTTON), Qt::LeftButton);
    QCOMPARE(filters, (QStringList{QStringLiteral("Binary contents file for flash memory(*.bin)"),
                                   QString::fromUtf8("모든 화일(*.*)")}));
    QVERIFY(listsDotless);
    QCOMPARE(suffix, QStringLiteral("bin"));
    QCOMPARE(Control<QLineEdit>(page, IDC_BIN_FILE_PATH)->text(),
             QDir(m_dir->path()).filePath(QStringLiteral("chosen.bin")));
}

void MemoryDumpPageTest::modeSwitchShowsOneSet() {
    CMemoryDumpPage page;
    page.resize(kTabSize);
    page.show();
    const int screenIds[] = {IDC_SCREEN_START_LABEL, IDC_SCREEN_START,   IDC_DUMP_SIZE_LABEL,
                             IDC_DUMP_SIZE,          IDC_DUMP_SIZE_SPIN, IDC_DUMP_UNIT,
                             IDC_DUMP_SCREEN,        IDC_ASCII_VIEW,     IDC_HEX_VIEW};
    const int fileIds[] = {IDC_BIN_FILE_BUTTON,      IDC_BIN_FILE_PATH,    IDC_DUMP_FILE,
                           IDC_CONDITIONS_GROUP,     IDC_FILE_START_LABEL, IDC_FILE_START,
                           IDC_FILE_END_LABEL,       IDC_FILE_END,         IDC_RESULT_GROUP,
                           IDC_CURRENT_STATUS_LABEL, IDC_FILE_INFO_LABEL,  IDC_FILE_INFO,
                           IDC_DUMP_ELAPSED};
    for (bool toFile : {false, true, false}) {
        if (toFile != page.IsFileMode()) {
            QTest::mouseClick(Control<CFaceButton>(page, IDC_DUMP_MODE), Qt::LeftButton);
        }
        QCOMPARE(page.IsFileMode(), toFile);
        for (int id : screenIds) {
            QVERIFY2(Control(page, id)->isVisible() == !toFile, qPrintable(QString::number(id)));
        }
        for (int id : fileIds) {
            QVERIFY2(Control(page, id)->isVisible() == toFile, qPrintable(QString::number(id)));
        }
        QVERIFY(Control(page, IDC_DUMP_MODE)->isVisible());
        QVERIFY(Control(page, IDC_DUMP_PROGRESS)->isHidden()); // shown only while a dump runs
        QVERIFY(Control(page, IDC_DUMP_STATUS)->isHidden());   // shown once one has ended
        if (toFile) {
            testsupport::SaveScreenshot(&page, QStringLiteral("tools_ui_dump_page_file_idle"));
        }
    }
}

// The main window opens at 600 x 575 pixels; its tab leaves the page about 570 x 250.
void MemoryDumpPageTest::fitsTheMainWindowsTab() {
    CMemoryDumpPage page;
    for (bool toFile : {false, true}) {
        page.SetFileMode(toFile);
        const QSize least = page.minimumSizeHint();
        QVERIFY2(least.width() <= 560 && least.height() <= 240,
                 qPrintable(QStringLiteral("%1 x %2").arg(least.width()).arg(least.height())));
    }
}

void MemoryDumpPageTest::settingsAreSavedAndRestored() {
    const QString configDir = m_dir->filePath(QStringLiteral("config"));
    {
        CMemoryDumpPage page;
        // the defaults of an empty store
        QCOMPARE(Control<QLineEdit>(page, IDC_SCREEN_START)->text(), QStringLiteral("0000000"));
        QCOMPARE(Control<QLineEdit>(page, IDC_DUMP_SIZE)->text(), QStringLiteral("1"));
        QCOMPARE(Control<QComboBox>(page, IDC_DUMP_UNIT)->currentIndex(), 0);
        QVERIFY(!Control<QCheckBox>(page, IDC_ASCII_VIEW)->isChecked());
        QVERIFY(!page.IsFileMode());
        QCOMPARE(Control<QLineEdit>(page, IDC_FILE_START)->text(), QStringLiteral("0000000"));
        QCOMPARE(Control<QLineEdit>(page, IDC_FILE_END)->text(), QStringLiteral("0000000"));
        QCOMPARE(Control<QLineEdit>(page, IDC_BIN_FILE_PATH)->text(), QString());

        Control<QLineEdit>(page, IDC_SCREEN_START)->setText(QStringLiteral("1234abcd"));
        Control<QComboBox>(page, IDC_DUMP_UNIT)->setCurrentIndex(DUMP_WORD);
        Control<QLineEdit>(page, IDC_DUMP_SIZE)->setText(QStringLiteral("321"));
        Control<QCheckBox>(page, IDC_ASCII_VIEW)->click();
        page.SetFileMode(true);
        Control<QLineEdit>(page, IDC_FILE_START)->setText(QStringLiteral("8000"));
        Control<QLineEdit>(page, IDC_FILE_END)->setText(QStringLiteral("9000"));
        Control<QLineEdit>(page, IDC_BIN_FILE_PATH)->setText(QStringLiteral("/tmp/some where/dump.bin"));
    }
    const TS_MEMORY_DUMP_SETTINGS saved = ReadMemoryDumpSettings(configDir.toStdString());
    QCOMPARE(saved.OutputMode, 1);
    QCOMPARE(saved.ScreenStartAddress, std::string("1234abcd"));
    QCOMPARE(saved.Size, 321u);
    QCOMPARE(saved.Unit, int(DUMP_WORD));
    QCOMPARE(saved.ShowAscii, 1);
    QCOMPARE(saved.FileStartAddress, std::string("8000"));
    QCOMPARE(saved.FileEndAddress, std::string("9000"));
    QCOMPARE(saved.BinFilePath, std::string("/tmp/some where/dump.bin"));

    CMemoryDumpPage page;
    QVERIFY(page.IsFileMode());
    QCOMPARE(Control<QLineEdit>(page, IDC_SCREEN_START)->text(), QStringLiteral("1234abcd"));
    QCOMPARE(Control<QLineEdit>(page, IDC_DUMP_SIZE)->text(), QStringLiteral("321"));
    QCOMPARE(Control<QComboBox>(page, IDC_DUMP_UNIT)->currentIndex(), int(DUMP_WORD));
    QVERIFY(Control<QCheckBox>(page, IDC_ASCII_VIEW)->isChecked());
    QVERIFY(page.HexView()->GetShowAscii());
    QCOMPARE(Control<QLineEdit>(page, IDC_FILE_START)->text(), QStringLiteral("8000"));
    QCOMPARE(Control<QLineEdit>(page, IDC_FILE_END)->text(), QStringLiteral("9000"));
    QCOMPARE(Control<QLineEdit>(page, IDC_BIN_FILE_PATH)->text(), QStringLiteral("/tmp/some where/dump.bin"));
    // the saved unit's range is in force from the start
    QCOMPARE(page.SizeSpin()->GetMaximum(), 500.0);
}

void MemoryDumpPageTest::progressMidwayForAnyRange_data() {
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("how");
    QTest::newRow("low, page destroyed") << "0"
                                         << "7d0"
                                         << "Saving target flash memory to BIN file.. 50%"
                                         << "destroy";
    QTest::newRow("at 0x80000000, page destroyed") << "80000000"
                                                   << "80000fa0"
                                                   << "Saving target flash memory to BIN file.. 25%"
                                                   << "destroy";
    QTest::newRow("whole top half, page destroyed") << "80000000"
                                                    << "ffffffff"
                                                    << "Saving target flash memory to BIN file.. 0%"
                                                    << "destroy";
    QTest::newRow("at the top, monitor taken") << "fffff830"
                                               << "ffffffff"
                                               << "Saving target flash memory to BIN file.. 50%"
                                               << "monitor";
}

// The handset answers the first chunk and then no more: the dump waits for a reply (10 s) with its
// bar part-way. Neither destroying the page nor taking its monitor away may wait for that reply.
void MemoryDumpPageTest::progressMidwayForAnyRange() {
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(QString, text);
    QFETCH(QString, how);
    auto h = std::make_unique<CHandset>();
    auto* page = new CMemoryDumpPage(nullptr, h->Monitor());
    page->resize(kTabSize);
    page->SetFileMode(true);
    page->show();
    const QString path = m_dir->filePath(QStringLiteral("midway.bin"));
    Control<QLineEdit>(*page, IDC_BIN_FILE_PATH)->setText(path);
    Control<QLineEdit>(*page, IDC_FILE_START)->setText(start);
    Control<QLineEdit>(*page, IDC_FILE_END)->setText(end);
    h->Host().SetFault(vsim::EFault::DropReply, {.after = 1, .times = 1, .cid = vsim::cmd::MemoryDump});
    page->StartDumpToFile();
    QVERIFY(h->Host().WaitForCommands(2, std::chrono::milliseconds(kJobTimeoutMs)));
    QTRY_COMPARE_WITH_TIMEOUT(page->Progress()->GetWindowText(), text, 5000);
    QVERIFY(page->Progress()->isVisible());
    int lower = 0;
    int upper = 0;
    page->Progress()->GetRange(lower, upper);
    QCOMPARE(lower, 0);
    QVERIFY(upper > 0);
    QVERIFY(page->Progress()->GetPos() > 0 && page->Progress()->GetPos() <= upper);
    QVERIFY(page->IsJobRunning());
    QTest::qWait(1100); // one tick of the elapsed time
    if (start == QLatin1String("0")) {
        testsupport::SaveScreenshot(page, QStringLiteral("tools_ui_dump_page_file_running"));
    }

    QElapsedTimer clock;
    clock.start();
    if (how == QLatin1String("destroy")) {
        delete page;
        page = nullptr;
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    } else {
        page->SetMonitor(nullptr);
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        h->CloseLink(); // the monitor goes: the page must not touch it any more
        QVERIFY(WaitForJob(*page));
        QVERIFY(page->StatusText().startsWith(QStringLiteral("BIN file is incomplete")));
        QVERIFY(Control<CFaceButton>(*page, IDC_DUMP_FILE)->isEnabled());
        CMessageBoxCatcher boxes;
        page->StartDumpToFile();
        QCOMPARE(boxes.Texts, QStringList{QString::fromLatin1(DUMP_NO_LINK_TEXT)});
        delete page;
    }
    QCOMPARE(FileBytes(path).size(), 1000);
}

void MemoryDumpPageTest::takingTheMonitorAwayStopsTheDump() {
    // After a stopped dump the same monitor works again: the cancelled waits were switched back on.
    CHandset h;
    const std::vector<uint8_t> memory = LoadPattern(h, 0x100);
    CMemoryDumpPage page(nullptr, h.Monitor());
    page.SetFileMode(true);
    Control<QLineEdit>(page, IDC_BIN_FILE_PATH)->setText(m_dir->filePath(QStringLiteral("a.bin")));
    Control<QLineEdit>(page, IDC_FILE_START)->setText(QStringLiteral("0"));
    Control<QLineEdit>(page, IDC_FILE_END)->setText(QStringLiteral("100000"));
    h.Host().SetFault(vsim::EFault::DropReply, {.after = 3, .times = 1, .cid = vsim::cmd::MemoryDump});
    page.StartDumpToFile();
    QVERIFY(h.Host().WaitForCommands(4, std::chrono::milliseconds(kJobTimeoutMs)));
    page.StopJobAndWait();
    QVERIFY(WaitForJob(page));
    QVERIFY(page.StatusText().startsWith(QStringLiteral("BIN file is incomplete")));

    page.SetMonitor(nullptr);
    page.SetMonitor(h.Monitor());
    page.SetFileMode(false);
    Control<QLineEdit>(page, IDC_SCREEN_START)->setText(QStringLiteral("0"));
    Control<QLineEdit>(page, IDC_DUMP_SIZE)->setText(QStringLiteral("32"));
    Control<QComboBox>(page, IDC_DUMP_UNIT)->setCurrentIndex(DUMP_BYTE);
    CMessageBoxCatcher boxes;
    page.DumpToScreen();
    QVERIFY(WaitForJob(page));
    QCOMPARE(boxes.Texts, QStringList());
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(page.HexView()->GetDataPointer()), 32),
             Bytes(memory).left(32));
}

QTEST_MAIN(MemoryDumpPageTest)
#include "MemoryDumpPageTest.moc"
