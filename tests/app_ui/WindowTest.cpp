// The main window without a target: first start, the settings it keeps, its place, its title and
// information box, the log page, the file list commands, Global Settings and closing.
#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "AppUiTestSupport.h"
#include "ControlId.h"
#include "FaceButton.h"
#include "FileDialogView.h"
#include "FileEditCtrl.h"
#include "GlobalSettingsDlg.h"
#include "InformationDlg.h"
#include "LinkLabel.h"
#include "LogPage.h"
#include "PageTabCtrl.h"
#include "ToolWindows.h"
#include "VandrelDlg.h"
#include "VersionBlock.h"
#include "XListCtrl.h"
#include "platform/RegistryStore.h"
#include "quillet/PortMap.h"
#include "resource.h"

using namespace apptest;

namespace {

void PutText(const CConfigDir& dir, const char* key, const char* name, const QString& value) {
    CRegistryStore store(dir.Std());
    store.SelectRoot(HKEY_LOCAL_MACHINE);
    QVERIFY(store.OpenPath(key, true) == 1);
    QVERIFY(store.PutText(name, value.toStdString()) == 1);
}

QString GetText(const CConfigDir& dir, const char* key, const char* name) {
    CRegistryStore store(dir.Std());
    store.SelectRoot(HKEY_LOCAL_MACHINE);
    if (store.OpenPath(key) != 1) {
        return QStringLiteral("<no key>");
    }
    return QString::fromStdString(store.GetText(name, "<none>"));
}

const char* const kSlots[] = {"1st flash file path", "2nd flash file path", "3rd flash file path",
                              "4th flash file path", "5th flash file path"};

// A file name that passes the flash file rule, in the test's folder.
QString Image(const QTemporaryDir& dir, int n) {
    return WriteM0(dir.filePath(QStringLiteral("vimage%1.m0").arg(n)), 0x00006000u + 0x1000u * n, 64, n);
}

// A socket that stands for a USB device.
class CSocketFile {
public:
    explicit CSocketFile(const QString& path) : m_path(path) {
        m_fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.toLocal8Bit().constData());
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    ~CSocketFile() {
        ::close(m_fd);
        ::unlink(m_path.toLocal8Bit().constData());
    }

private:
    QString m_path;
    int m_fd = -1;
};

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QApplication::setApplicationName(QStringLiteral("Vandrel"));
        QuietPlatformWarnings();
        ClearPortEnvironment();
    }

    void firstStartGivesTheDefaults() {
        CConfigDir config;
        CModalDriver driver(QStringLiteral("first-start"));
        {
            CVandrelDlg window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            const AppSettings& s = window.Settings();
            QCOMPARE(s.PortConfig.PortType, 0);
            QCOMPARE(s.PortConfig.Port, 0);
            QCOMPARE(s.PortConfig.Baud, 12);
            QCOMPARE(s.PortConfig.Databits, 3);
            QCOMPARE(s.FlashWriterPath[0], std::string());
            QCOMPARE(s.FlashWriterPath[1], std::string());
            QCOMPARE(window.FileList()->GetItemCount(), 0);
            QVERIFY(FindControl<QRadioButton>(&window, IDC_RADIO_RS232)->isChecked());
            QVERIFY(!FindControl<QRadioButton>(&window, IDC_RADIO_USB)->isChecked());
            // left 171 and top 20 from the work area's origin
            QVERIFY(window.PlacementRestored());
            const QRect work = QGuiApplication::primaryScreen()->availableGeometry();
            QCOMPARE(window.frameGeometry().topLeft(), work.topLeft() + QPoint(171, 20));
            // no link: the link commands and Download All are off, the connect toggle is on
            QVERIFY(!window.DownloadAllButton()->isEnabled());
            QVERIFY(window.ConnectToggle()->isEnabled());
            QVERIFY(!window.Command(ID_FLASH_TOOLS_GET_FLASH_ID)->isEnabled());
            QVERIFY(!window.Command(ID_FLASH_TOOLS_ERASE_FLASH)->isEnabled());
            QVERIFY(!window.Command(ID_FILE_LIST_DOWNLOAD)->isEnabled());
            QCOMPARE(window.StatusLine()->text(), QString());
            QCOMPARE(window.PageTab()->count(), 2);
            QCOMPARE(window.PageTab()->tabText(0), QStringLiteral("Log Messages"));
            QCOMPARE(window.PageTab()->tabText(1), QStringLiteral("Memory Dump"));
            QCOMPARE(window.PageTab()->GetPage(0), static_cast<QWidget*>(window.LogPage()));
            testsupport::SaveScreenshot(&window, QStringLiteral("main-window-first-start"));
            QVERIFY(window.close());
            QVERIFY(window.ShutdownDone());
        }
        CRegistryStore store(config.Std());
        store.SelectRoot(HKEY_LOCAL_MACHINE);
        QVERIFY(store.HasKey(KEY_COM_PORT_CONFIG));
        QVERIFY(store.HasKey(KEY_FLASH_DOWNLOAD_OPTIONS));
        QVERIFY(store.HasKey(KEY_WINDOWS));
        QCOMPARE(GetInt(config, KEY_COM_PORT_CONFIG, "Baud"), 12);
        QCOMPARE(GetInt(config, KEY_FLASH_DOWNLOAD_OPTIONS, "Number of flash files in list"), 0);
        QCOMPARE(GetInt(config, KEY_WINDOWS, "Left"), 171);
        QCOMPARE(GetInt(config, KEY_WINDOWS, "Top"), 20);
        QCOMPARE(GetInt(config, KEY_WINDOWS, "Status"), 1);
        QVERIFY(driver.Boxes().empty());
    }

    void settingsRoundTrip_data() {
        QTest::addColumn<int>("storedCount");
        QTest::addColumn<int>("rows");
        QTest::newRow("nine stored, five restored") << 9 << 5;
        QTest::newRow("zero stored, none restored") << 0 << 0;
        QTest::newRow("two stored") << 2 << 2;
        QTest::newRow("negative count") << 0xFFFF << 0;
    }
    void settingsRoundTrip() {
        QFETCH(int, storedCount);
        QFETCH(int, rows);
        CConfigDir config;
        QTemporaryDir images;
        QStringList paths;
        for (int n = 0; n < 5; ++n) {
            paths << Image(images, n);
            PutText(config, KEY_FLASH_DOWNLOAD_OPTIONS, kSlots[n], paths.back());
        }
        PutInt(config, KEY_FLASH_DOWNLOAD_OPTIONS, "Number of flash files in list", storedCount);
        PutInt(config, KEY_COM_PORT_CONFIG, "Databits", 2);
        PutInt(config, KEY_COM_PORT_CONFIG, "Port type", 1);
        PutInt(config, KEY_COM_PORT_CONFIG, "Port", 2);
        PutInt(config, KEY_COM_PORT_CONFIG, "Baud", 5);
        PutText(config, KEY_FLASH_DOWNLOAD_OPTIONS, "UART-FlashWriter path", QStringLiteral("/w/uart.m0"));
        PutText(config, KEY_FLASH_DOWNLOAD_OPTIONS, "USB-FlashWriter path", QStringLiteral("/w/usb.m0"));
        PutText(config, KEY_COM_PORT_CONFIG, "COM3 device", QStringLiteral("/dev/ttyUSB7"));
        {
            CVandrelDlg window;
            QCOMPARE(window.FileList()->GetItemCount(), rows);
            for (int row = 0; row < rows; ++row) {
                QCOMPARE(window.FileList()->GetItemText(row, 0), paths[row]);
            }
            QCOMPARE(window.Settings().PortConfig.Databits, 3);
            QCOMPARE(window.Settings().PortConfig.PortType, 1);
            QCOMPARE(window.Settings().PortConfig.Port, 2);
            QCOMPARE(window.Settings().PortConfig.Baud, 5);
            QVERIFY(FindControl<QRadioButton>(&window, IDC_RADIO_USB)->isChecked());
            // the saved device map is in force: COM3 opens the stored device
            QCOMPARE(QString::fromStdString(QuilletResolveDevice("COM3")), QStringLiteral("/dev/ttyUSB7"));
            QVERIFY(window.close());
        }
        QCOMPARE(GetInt(config, KEY_COM_PORT_CONFIG, "Databits"), 3);
        QCOMPARE(GetInt(config, KEY_COM_PORT_CONFIG, "Port type"), 1);
        QCOMPARE(GetInt(config, KEY_COM_PORT_CONFIG, "Baud"), 5);
        QCOMPARE(GetInt(config, KEY_FLASH_DOWNLOAD_OPTIONS, "Number of flash files in list"), rows);
        for (int n = 0; n < 5; ++n) {
            QCOMPARE(GetText(config, KEY_FLASH_DOWNLOAD_OPTIONS, kSlots[n]), n < rows ? paths[n] : QString());
        }
        QCOMPARE(GetText(config, KEY_FLASH_DOWNLOAD_OPTIONS, "UART-FlashWriter path"),
                 QStringLiteral("/w/uart.m0"));
        QCOMPARE(GetText(config, KEY_FLASH_DOWNLOAD_OPTIONS, "USB-FlashWriter path"),
                 QStringLiteral("/w/usb.m0"));
        QCOMPARE(GetText(config, KEY_COM_PORT_CONFIG, "COM3 device"), QStringLiteral("/dev/ttyUSB7"));
        QuilletSetComPath(3, "");
    }

    void windowPlacement_data() {
        QTest::addColumn<int>("left");
        QTest::addColumn<int>("top");
        QTest::addColumn<bool>("restored");
        QTest::newRow("stored place") << 40 << 30 << true;
        QTest::newRow("far right and below") << 100000 << 100000 << true;
        QTest::newRow("left is -1") << -1 << 30 << false;
        QTest::newRow("top is -1") << 40 << -1 << false;
    }
    void windowPlacement() {
        QFETCH(int, left);
        QFETCH(int, top);
        QFETCH(bool, restored);
        CConfigDir config;
        PutInt(config, KEY_WINDOWS, "Left", left);
        PutInt(config, KEY_WINDOWS, "Top", top);
        CVandrelDlg window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.PlacementRestored(), restored);
        QScreen* screen = QGuiApplication::primaryScreen();
        const QRect work = screen->availableGeometry();
        const int icon = window.style()->pixelMetric(QStyle::PM_LargeIconSize);
        const QPoint at = window.frameGeometry().topLeft();
        if (restored) {
            QCOMPARE(at.x(), qMin(work.left() + left, screen->geometry().width() - icon));
            QCOMPARE(at.y(), qMin(work.top() + top, screen->geometry().height() - icon));
        } else {
            // the default place: the middle of the work area
            const QPoint offset = window.frameGeometry().center() - work.center();
            QVERIFY2(qAbs(offset.x()) <= 20 && qAbs(offset.y()) <= 20,
                     qPrintable(QStringLiteral("%1, %2").arg(offset.x()).arg(offset.y())));
        }
        // the place is stored again at close
        window.move(work.topLeft() + QPoint(55, 44));
        QVERIFY(window.close());
        QCOMPARE(GetInt(config, KEY_WINDOWS, "Left"), 55);
        QCOMPARE(GetInt(config, KEY_WINDOWS, "Top"), 44);
        QCOMPARE(GetInt(config, KEY_WINDOWS, "Right") - 55, window.frameGeometry().width());
    }

    void titleAndInformationBox_data() {
        QTest::addColumn<QString>("module");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("line");
        QTest::newRow("the program's block")
            << QStringLiteral(VANDREL_PROGRAM)
            << QStringLiteral("Vandrel for R3700 - Version 3.0.0 (Build #052)")
            << QStringLiteral("Vandrel for R3700 - Version 3.0.0 (Build #052)");
        QTest::newRow("no block") << QCoreApplication::applicationFilePath()
                                  << QString::fromLatin1(CVandrelDlg::kTemplateTitle)
                                  << QStringLiteral(" - Version  (Build #)");
    }
    void titleAndInformationBox() {
        QFETCH(QString, module);
        QFETCH(QString, title);
        QFETCH(QString, line);
        CConfigDir config;
        CVandrelDlg::TS_OPTIONS options;
        options.modulePath = module.toStdString();
        CVandrelDlg window(options);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.windowTitle(), title);

        // the Help menu item with the text of string 101 opens the information box
        QAction* about = window.Command(IDM_ABOUTBOX);
        QVERIFY(about);
        QCOMPARE(about->text(), QStringLiteral("Vandrel 정보(&A)..."));
        QString shown, heading, link;
        const bool withBlock = QTest::currentDataTag() == QLatin1String("the program's block");
        CModalDriver driver(withBlock ? QStringLiteral("information")
                                      : QStringLiteral("information-no-block"));
        driver.SetHandler([&](QWidget* w) {
            auto* box = qobject_cast<CInformationDlg*>(w);
            if (!box) {
                return false;
            }
            shown = box->VersionLine();
            heading = box->windowTitle();
            link = box->BugReportLink()->text();
            driver.Shoot(box, QStringLiteral("box"));
            QTimer::singleShot(0, box, &QDialog::accept);
            return true;
        });
        QTimer::singleShot(0, about, &QAction::trigger);
        QTRY_VERIFY_WITH_TIMEOUT(!shown.isEmpty(), 20000);
        QCOMPARE(shown, line);
        QCOMPARE(heading, QStringLiteral("Vandrel information"));
        QCOMPARE(link, QStringLiteral("Bug report"));
        if (withBlock) {
            testsupport::SaveScreenshot(&window, QStringLiteral("main-window-idle"));
        }
        QVERIFY(window.close());
    }

    void logPageKeepsItsTextFromTheKeyboard() {
        CLogPage page;
        page.resize(400, 200);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        page.AppendLog(QStringLiteral("first line\r\nsecond\tline\r"));
        page.AppendLog(QStringLiteral("\nthird line\r\n"));
        QCOMPARE(page.Text(), QStringLiteral("first line\r\nsecond\tline\r\nthird line\r\n"));
        QCOMPARE(page.ShownText(), QStringLiteral("first line\nsecond\tline\nthird line\n"));
        QPlainTextEdit* edit = page.Edit();
        QCOMPARE(GetControlId(edit), IDC_LOG);
        edit->setFocus();
        const int caret = edit->textCursor().position();
        for (int key : {int(Qt::Key_A), int(Qt::Key_Backspace), int(Qt::Key_Delete), int(Qt::Key_Return),
                        int(Qt::Key_Home), int(Qt::Key_Up), int(Qt::Key_PageUp)}) {
            QTest::keyClick(edit, static_cast<Qt::Key>(key));
        }
        QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(page.ShownText(), QStringLiteral("first line\nsecond\tline\nthird line\n"));
        QCOMPARE(edit->textCursor().position(), caret);
        // a selection made with the mouse copies
        QTextCursor cursor = edit->textCursor();
        cursor.setPosition(0);
        cursor.setPosition(5, QTextCursor::KeepAnchor);
        edit->setTextCursor(cursor);
        QApplication::clipboard()->clear();
        QTest::keyClick(edit, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("first"));
        page.ClearLog();
        QCOMPARE(page.ShownText(), QString());
        QCOMPARE(page.Text(), QString());
    }

    void addRefusesANameTheDropAccepts() {
        CConfigDir config;
        QTemporaryDir images;
        QDir(images.path()).mkpath(QStringLiteral("img"));
        const QString amain = WriteM0(images.filePath(QStringLiteral("img/amain.m0")), 0x6000, 64, 1);
        const QString vmain = WriteM0(images.filePath(QStringLiteral("img/vmain.m0")), 0x6000, 64, 2);
        CVandrelDlg window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        CModalDriver driver(QStringLiteral("add"));

        // Add, through the file dialog: its labels as they stand, all files listed under "All Files"
        // (names without a dot too); a name that does not start with v or V is refused
        QFile dotless(images.filePath(QStringLiteral("img/vREADME")));
        QVERIFY(dotless.open(QIODevice::WriteOnly));
        dotless.close();
        QStringList types;
        bool listsDotless = false;
        driver.SetHandler([&](QWidget* w) {
            auto* files = qobject_cast<QFileDialog*>(w);
            if (!files) {
                return false;
            }
            driver.Shoot(files, QStringLiteral("file-dialog"));
            QTimer::singleShot(0, files, [&, files] {
                types = testsupport::FileTypesShown(files);
                listsDotless = testsupport::ListsFile(files, 1, QFileInfo(amain).absolutePath(),
                                                      QStringLiteral("vREADME"));
                driver.Shoot(files, QStringLiteral("file-dialog-all-files"));
                files->setDirectory(QFileInfo(amain).absolutePath());
                if (auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
                    name->setText(QFileInfo(amain).fileName());
                }
                static_cast<QDialog*>(files)->done(QDialog::Accepted);
            });
            return true;
        });
        QTimer::singleShot(0, &window, [&] { FindControl<QPushButton>(&window, IDC_ADD)->click(); });
        QTRY_COMPARE_WITH_TIMEOUT(driver.Boxes().size(), std::size_t(1), 20000);
        QCOMPARE(types, QStringList(
                            {QStringLiteral("Motorola S-records(*.m0)"), QStringLiteral("All Files (*.*)")}));
        QVERIFY(listsDotless);
        const TS_BOX box = driver.Boxes().front();
        QCOMPARE(box.title, QStringLiteral("Unsupport file error"));
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.text,
                 amain + QStringLiteral("\nis not a valid OSTRA(*.m0) flash file.\n\nPlease select a "
                                        "correct OSTRA flash file again!"));
        QCOMPARE(window.FileList()->GetItemCount(), 0);

        // the same file dropped on the list is taken: dropping applies the extension alone
        QCOMPARE(window.FileList()->DropPaths({amain}), 1);
        QCOMPARE(window.FileList()->GetItemCount(), 1);
        // a good name is added; the same path again, silently not
        driver.SetHandler({});
        window.AddChosenFile(vmain);
        window.AddChosenFile(vmain);
        QCOMPARE(window.FileList()->GetItemCount(), 2);
        QCOMPARE(window.FileList()->GetItemText(1, 0), vmain);
        QCOMPARE(driver.Boxes().size(), std::size_t(1));
        QCOMPARE(window.ListPaths(), (std::vector<std::string>{amain.toStdString(), vmain.toStdString()}));
        QVERIFY(window.close());
        QCOMPARE(GetText(config, KEY_FLASH_DOWNLOAD_OPTIONS, "1st flash file path"), amain);
    }

    void listCommandsMoveAndRemove() {
        CConfigDir config;
        QTemporaryDir images;
        CVandrelDlg window;
        CXListCtrl* list = window.FileList();
        QStringList paths;
        for (int n = 0; n < 4; ++n) {
            paths << Image(images, n);
            window.AddChosenFile(paths.back());
        }
        auto texts = [list] {
            QStringList out;
            for (int row = 0; row < list->GetItemCount(); ++row) {
                out << list->GetItemText(row, 0);
            }
            return out;
        };
        list->SetCurSel(0);
        window.Command(ID_FILE_LIST_MOVE_UP)->trigger(); // the first row up: refused
        QCOMPARE(texts(), paths);
        list->SetCurSel(3);
        window.Command(ID_FILE_LIST_MOVE_DOWN)->trigger(); // the last row down: stays last
        QCOMPARE(texts(), paths);
        list->SetCurSel(1);
        window.Command(ID_FILE_LIST_MOVE_DOWN)->trigger();
        QCOMPARE(texts(), (QStringList{paths[0], paths[2], paths[1], paths[3]}));
        list->SetCurSel(2);
        window.Command(ID_FILE_LIST_MOVE_UP)->trigger();
        QCOMPARE(texts(), paths);
        list->SetCurSel(-1);
        window.Command(ID_FILE_LIST_REMOVE)->trigger(); // nothing selected: nothing removed
        QCOMPARE(list->GetItemCount(), 4);
        list->SetCurSel(2);
        FindControl<QPushButton>(&window, IDC_REMOVE)->click();
        QCOMPARE(texts(), (QStringList{paths[0], paths[1], paths[3]}));
        FindControl<QPushButton>(&window, IDC_REMOVE_ALL)->click();
        QCOMPARE(list->GetItemCount(), 0);
        QVERIFY(window.close());
    }

    void globalSettingsValidation_data() {
        QTest::addColumn<QString>("uart");
        QTest::addColumn<QString>("usb");
        QTest::addColumn<QString>("comDevice");
        QTest::addColumn<QString>("usbDevice");
        QTest::addColumn<QString>("message");
        const QString good = QStringLiteral("<good>");
        QTest::newRow("both files exist") << good << good << QString() << QString() << QString();
        QTest::newRow("empty RS232 file")
            << QString() << good << QString() << QString() << QStringLiteral("Enter an existing file.");
        QTest::newRow("missing USB file") << good << QStringLiteral("/nowhere/w.m0") << QString() << QString()
                                          << QStringLiteral("/nowhere/w.m0 does not exist.");
        QTest::newRow("a folder") << QStringLiteral("<folder>") << good << QString() << QString()
                                  << QStringLiteral("<folder> is not a file.");
        QTest::newRow("COM device that is a file")
            << good << good << QStringLiteral("<good>") << QString()
            << QStringLiteral("COM1 device <good> is not a serial device.");
        QTest::newRow("COM device missing") << good << good << QStringLiteral("/dev/ttyNOPE9") << QString()
                                            << QStringLiteral("COM1 device /dev/ttyNOPE9 does not exist.");
        QTest::newRow("COM device on a character device")
            << good << good << QStringLiteral("/dev/null") << QString() << QString();
        QTest::newRow("USB device on a socket")
            << good << good << QString() << QStringLiteral("<socket>") << QString();
        QTest::newRow("USB device that is a file")
            << good << good << QString() << QStringLiteral("<good>")
            << QStringLiteral("USB device <good> is neither a device nor a "
                              "socket.");
        QTest::newRow("USB device through libusb, not plugged in")
            << good << good << QString() << QStringLiteral("usb:1234:5678@1-2") << QString();
        QTest::newRow("USB device text that does not parse")
            << good << good << QString() << QStringLiteral("usb:1234")
            << QStringLiteral(
                   "'usb:1234' is not a USB device: give usb:VVVV:PPPP, usb:VVVV:PPPP@BUS-PORT or "
                   "usb:BUS-PORT (hexadecimal ids, e.g. usb:1234:5678@1-2.3), optionally followed by "
                   "#INTERFACE");
    }
    void globalSettingsValidation() {
        QFETCH(QString, uart);
        QFETCH(QString, usb);
        QFETCH(QString, comDevice);
        QFETCH(QString, usbDevice);
        QFETCH(QString, message);
        ClearPortEnvironment();
        QTemporaryDir dir;
        const QString good = WriteFlashWriter(dir.filePath(QStringLiteral("writer.m0")));
        const QString socket = dir.filePath(QStringLiteral("csr0"));
        CSocketFile socketFile(socket);
        auto resolve = [&](QString s) {
            s.replace(QStringLiteral("<good>"), good);
            s.replace(QStringLiteral("<folder>"), dir.path());
            s.replace(QStringLiteral("<socket>"), socket);
            return s;
        };
        AppSettings settings;
        TS_COM_PORT_MAP map;
        CGlobalSettingsDlg dialog(false, settings, map);
        dialog.UartWriterEdit()->setText(resolve(uart));
        dialog.UsbWriterEdit()->setText(resolve(usb));
        dialog.ComDeviceCombo()->setEditText(resolve(comDevice));
        dialog.UsbDeviceCombo()->setEditText(resolve(usbDevice));
        QCOMPARE(dialog.ValidationMessage(), resolve(message));

        // OK: a message keeps the dialog open, none ends it with the values taken
        dialog.show();
        CModalDriver driver(QStringLiteral("global-settings"));
        QTimer::singleShot(0, &dialog, &CGlobalSettingsDlg::accept);
        if (message.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(dialog.result(), int(QDialog::Accepted), 20000);
            QCOMPARE(QString::fromStdString(dialog.Settings().FlashWriterPath[PORT_UART]), resolve(uart));
            QCOMPARE(QString::fromStdString(dialog.PortMap().ComDevice[0]), resolve(comDevice));
            QCOMPARE(QString::fromStdString(dialog.PortMap().UsbDevice), resolve(usbDevice));
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(driver.Boxes().size(), std::size_t(1), 20000);
            QCOMPARE(driver.Boxes().front().text, resolve(message));
            QVERIFY(dialog.isVisible());
            QVERIFY(dialog.result() != QDialog::Accepted);
        }
    }

    void globalSettingsFromTheWindow() {
        CConfigDir config;
        ClearPortEnvironment();
        QTemporaryDir dir;
        const QString uart = WriteFlashWriter(dir.filePath(QStringLiteral("uart-writer.m0")));
        const QString usb = WriteFlashWriter(dir.filePath(QStringLiteral("usb-writer.m0")));
        CVandrelDlg window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        CModalDriver driver(QStringLiteral("global-settings"));
        bool seen = false;
        driver.SetHandler([&](QWidget* w) {
            auto* dialog = qobject_cast<CGlobalSettingsDlg*>(w);
            if (!dialog) {
                return false;
            }
            seen = true;
            // nothing open: the RS232 group is enabled
            if (!FindControl<QComboBox>(dialog, IDC_PORT)->isEnabled() ||
                !FindControl<QComboBox>(dialog, IDC_BAUDRATE)->isEnabled()) {
                QWARN("the RS232 group is disabled without a link");
                return true;
            }
            dialog->UartWriterEdit()->setText(uart);
            dialog->UsbWriterEdit()->setText(usb);
            dialog->PortCombo()->setCurrentIndex(1);
            dialog->ComDeviceCombo()->setEditText(QStringLiteral("/dev/null"));
            dialog->BaudCombo()->setCurrentIndex(11);
            driver.Shoot(dialog, QStringLiteral("dialog"));
            QTimer::singleShot(0, dialog, &CGlobalSettingsDlg::accept);
            return true;
        });
        QTimer::singleShot(0, window.Command(ID_GLOBAL_SETTINGS), &QAction::trigger);
        QTRY_VERIFY_WITH_TIMEOUT(seen && !QApplication::activeModalWidget(), 20000);
        QCOMPARE(window.Settings().PortConfig.Port, 1);
        QCOMPARE(window.Settings().PortConfig.Baud, 11);
        QCOMPARE(QString::fromStdString(window.Settings().FlashWriterPath[0]), uart);
        QCOMPARE(QString::fromStdString(window.Settings().FlashWriterPath[1]), usb);
        QCOMPARE(QString::fromStdString(QuilletResolveDevice("COM2")), QStringLiteral("/dev/null"));
        QVERIFY(window.close());
        QCOMPARE(GetText(config, KEY_COM_PORT_CONFIG, "COM2 device"), QStringLiteral("/dev/null"));
        QCOMPARE(GetInt(config, KEY_COM_PORT_CONFIG, "Port"), 1);
        QCOMPARE(GetInt(config, KEY_COM_PORT_CONFIG, "Baud"), 11);
        QCOMPARE(GetText(config, KEY_FLASH_DOWNLOAD_OPTIONS, "UART-FlashWriter path"), uart);
        QuilletSetComPath(2, "");
    }

    void globalSettingsDisablesTheRs232Group_data() {
        QTest::addColumn<bool>("portOpen");
        QTest::addColumn<int>("portType");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("RS232, no link") << false << 0 << true;
        QTest::newRow("link open") << true << 0 << false;
        QTest::newRow("USB") << false << 1 << false;
    }
    void globalSettingsDisablesTheRs232Group() {
        QFETCH(bool, portOpen);
        QFETCH(int, portType);
        QFETCH(bool, enabled);
        AppSettings settings;
        settings.PortConfig.PortType = portType;
        CGlobalSettingsDlg dialog(portOpen, settings, TS_COM_PORT_MAP{});
        for (int id : {IDC_RS232_HEADING, IDC_PORT, IDC_BAUDRATE, IDC_PORT_LABEL, IDC_BAUDRATE_LABEL}) {
            QWidget* control = FindControl(&dialog, id);
            QVERIFY2(control, qPrintable(QString::number(id)));
            QCOMPARE(control->isEnabled(), enabled);
        }
        QCOMPARE(dialog.ComDeviceCombo()->isEnabled(), enabled);
        // the flash writer files can change in every case
        QVERIFY(dialog.UartWriterEdit()->isEnabled());
        QVERIFY(dialog.UsbWriterEdit()->isEnabled());
        QCOMPARE(dialog.UsbDeviceCombo()->isEnabled(), !portOpen);
    }

    void globalSettingsShowsWhatTheEnvironmentDecides() {
        ClearPortEnvironment();
        qputenv("VANDREL_COM1", "/tmp/from-environment");
        CGlobalSettingsDlg dialog(false, AppSettings{}, TS_COM_PORT_MAP{});
        QCOMPARE(dialog.ComDeviceCombo()->currentText(), QStringLiteral("/tmp/from-environment"));
        QVERIFY(!dialog.ComDeviceCombo()->isEnabled());
        dialog.PortCombo()->setCurrentIndex(1);
        QVERIFY(dialog.ComDeviceCombo()->isEnabled());
        QVERIFY(dialog.ComDeviceCombo()->lineEdit()->placeholderText().contains(QStringLiteral("(default)")));
        ClearPortEnvironment();
    }

    void closeBoxShowsTheMessageThenCancels() {
        AppSettings settings;
        settings.FlashWriterPath[0] = "/nowhere/uart.m0";
        settings.FlashWriterPath[1] = "/nowhere/usb.m0";
        CGlobalSettingsDlg dialog(false, settings, TS_COM_PORT_MAP{});
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        CModalDriver driver(QStringLiteral("global-settings-close"));
        QTimer::singleShot(0, &dialog, &QWidget::close);
        QTRY_COMPARE_WITH_TIMEOUT(driver.Boxes().size(), std::size_t(1), 20000);
        QCOMPARE(driver.Boxes().front().text, QStringLiteral("/nowhere/uart.m0 does not exist."));
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 20000);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(dialog.Settings().FlashWriterPath[0], std::string("/nowhere/uart.m0"));
    }

    void enterAndEscapeDoNotEndTheProgram() {
        CConfigDir config;
        CVandrelDlg window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        for (QWidget* target : {static_cast<QWidget*>(&window), static_cast<QWidget*>(window.FileList()),
                                static_cast<QWidget*>(window.LogPage()->Edit())}) {
            target->setFocus();
            QTest::keyClick(target, Qt::Key_Escape);
            QTest::keyClick(target, Qt::Key_Return);
            QTest::keyClick(target, Qt::Key_Enter);
        }
        QVERIFY(window.isVisible());
        QVERIFY(!window.ShutdownDone());
        // Quit (Ctrl+Q) runs the shutdown steps
        QAction* quit = window.Command(0);
        QVERIFY(quit);
        QCOMPARE(quit->shortcut(), QKeySequence(QKeySequence::Quit));
        quit->trigger();
        QVERIFY(window.ShutdownDone());
        QVERIFY(!window.isVisible());
        QCOMPARE(GetInt(config, KEY_WINDOWS, "Status"), 1);
    }

    void portTypeRadiosChangeTheSettingsAtOnce() {
        CConfigDir config;
        {
            CVandrelDlg window;
            FindControl<QRadioButton>(&window, IDC_RADIO_USB)->click();
            QCOMPARE(window.Settings().PortConfig.PortType, int(PORT_USB));
            FindControl<QRadioButton>(&window, IDC_RADIO_RS232)->click();
            QCOMPARE(window.Settings().PortConfig.PortType, int(PORT_UART));
            FindControl<QRadioButton>(&window, IDC_RADIO_USB)->click();
            QVERIFY(window.close());
        }
        QCOMPARE(GetInt(config, KEY_COM_PORT_CONFIG, "Port type"), int(PORT_USB));
        CVandrelDlg again;
        QVERIFY(FindControl<QRadioButton>(&again, IDC_RADIO_USB)->isChecked());
        QVERIFY(again.close());
    }

    void memoryDumpTabGetsNoMonitorWithoutALink() {
        CConfigDir config;
        CVandrelDlg window;
        auto* page = dynamic_cast<IMonitorPage*>(window.MemoryDumpPage());
        QVERIFY(page);
        if (auto* placeholder = dynamic_cast<CMemoryDumpPlaceholder*>(page)) {
            QCOMPARE(placeholder->Monitor(), static_cast<COstraMonitor*>(nullptr));
        }
        QCOMPARE(window.PageTab()->GetPage(1), window.MemoryDumpPage());
        QVERIFY(window.close());
    }
};

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
