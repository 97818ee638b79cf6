// The file path edit: parsing, wildcards, links, validation, drops and browsing.
#include "FileEditCtrl.h"
#include "Screenshot.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QSignalSpy>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

// Watchers of OnModal() still waiting; a test's leftovers are removed before the next test.
QList<QPointer<QTimer>> g_watchers;

// Runs action on the next modal window that opens (a dialog or a message box), if one opens
// within five seconds.
void OnModal(std::function<void(QWidget*)> action) {
    auto* timer = new QTimer;
    g_watchers.append(timer);
    timer->setInterval(20);
    auto deadline = std::make_shared<QDeadlineTimer>(5000);
    QObject::connect(timer, &QTimer::timeout, [timer, action, deadline] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal || deadline->hasExpired()) {
            timer->stop();
            timer->deleteLater();
            if (modal)
                action(modal);
        }
    });
    timer->start();
}

} // namespace

class FileEditCtrlTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_tmp;
    QString D; // the canonical test folder

    QString Make(const QString& name) {
        const QString path = D + QLatin1Char('/') + name;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write("S0030000FC\n");
        return path;
    }

private slots:
    void initTestCase();
    void cleanup() {
        for (const QPointer<QTimer>& t : std::as_const(g_watchers))
            delete t.data();
        g_watchers.clear();
    }
    void parsing_data();
    void parsing();
    void validation_data();
    void validation();
    void validateShowsTheMessage();
    void flags();
    void buttonGeometry();
    void drops_data();
    void drops();
    void browseStartsAtTheTypedPath_data();
    void browseStartsAtTheTypedPath();
    void browseWritesTheChoice();
    void browseCanBeCancelled();
    void ctrlFullStopAndButtonBrowse();
    void folderBrowse();
};

void FileEditCtrlTest::initTestCase() {
    D = QFileInfo(m_tmp.path()).canonicalFilePath();
    Make(QStringLiteral("a.m0"));
    Make(QStringLiteral("b.m0"));
    Make(QStringLiteral("w/x1.m0"));
    Make(QStringLiteral("w/x2.m0"));
    Make(QStringLiteral("w/x3.txt"));
    QDir().mkpath(D + QStringLiteral("/w/xdir.m0"));
    QDir().mkpath(D + QStringLiteral("/sub"));
    QVERIFY(QFile::link(D + QStringLiteral("/a.m0"), D + QStringLiteral("/ln.m0")));
}

void FileEditCtrlTest::parsing_data() {
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("paths");
    const quint32 F = FILEEDIT_FILE;
    const quint32 M = FILEEDIT_FILE | FILEEDIT_MULTIPLE;
    const quint32 W = FILEEDIT_WILDCARDS;
    const quint32 DIR = FILEEDIT_FOLDER;
    auto d = [this](const QString& rest) { return D + rest; };
    QTest::newRow("one file") << F << d("/a.m0") << QStringList{d("/a.m0")};
    QTest::newRow("leading separators and spaces")
        << F << " ; ;" + d("/a.m0") + "   " << QStringList{d("/a.m0")};
    QTest::newRow("nothing") << F << "  ; ;  " << QStringList{};
    QTest::newRow("single mode takes the first") << F << d("/a.m0; b.m0") << QStringList{d("/a.m0")};
    QTest::newRow("several, relative to the first")
        << M << d("/a.m0; b.m0 ;sub/c.m0") << QStringList{d("/a.m0"), d("/b.m0"), d("/sub/c.m0")};
    QTest::newRow("several, one absolute")
        << M << d("/a.m0; /etc/hosts") << QStringList{d("/a.m0"), "/etc/hosts"};
    QTest::newRow("dot dot") << F << d("/sub/../a.m0") << QStringList{d("/a.m0")};
    QTest::newRow("link resolved") << F << d("/ln.m0") << QStringList{d("/a.m0")};
    QTest::newRow("link kept") << (F | FILEEDIT_KEEP_LINKS) << d("/ln.m0") << QStringList{d("/ln.m0")};
    QTest::newRow("wildcard, first match") << (F | W) << d("/w/*.m0") << QStringList{d("/w/x1.m0")};
    QTest::newRow("wildcard, every file")
        << (M | W) << d("/w/x*") << QStringList{d("/w/x1.m0"), d("/w/x2.m0"), d("/w/x3.txt")};
    QTest::newRow("wildcard in a later name")
        << (M | W) << d("/a.m0; w/x?.m0") << QStringList{d("/a.m0"), d("/w/x1.m0"), d("/w/x2.m0")};
    QTest::newRow("wildcard without a match") << (M | W) << d("/w/*.none") << QStringList{};
    QTest::newRow("wildcards off") << F << d("/w/*.m0") << QStringList{d("/w/*.m0")};
    QTest::newRow("folder") << DIR << d("/sub/") << QStringList{d("/sub")};
    QTest::newRow("folder with slash") << (DIR | FILEEDIT_SLASH) << d("/sub") << QStringList{d("/sub/")};
    QTest::newRow("root keeps its slash") << DIR << "/" << QStringList{"/"};
    QTest::newRow("root with slash") << (DIR | FILEEDIT_SLASH) << "/" << QStringList{"/"};
    QTest::newRow("folder: first entry only") << DIR << d("/sub;") + D << QStringList{d("/sub")};
}

void FileEditCtrlTest::parsing() {
    QFETCH(quint32, flags);
    QFETCH(QString, text);
    QFETCH(QStringList, paths);
    CFileEditCtrl edit(nullptr, flags);
    edit.setText(text);
    QCOMPARE(edit.GetStartPosition(), paths.isEmpty() ? 0 : 1);
    QCOMPARE(edit.GetPaths(), paths);
    QCOMPARE(edit.FirstPath(), paths.value(0));
    // Walking by position gives the same and ends with 0.
    int position = edit.GetStartPosition();
    QStringList walked;
    while (position)
        walked << edit.GetNextPathName(position);
    QCOMPARE(walked, paths);
}

void FileEditCtrlTest::validation_data() {
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message");
    const quint32 F = FILEEDIT_FILE;
    QTest::newRow("empty") << F << ""
                           << "Enter an existing file.";
    QTest::newRow("empty folder edit") << quint32(FILEEDIT_FOLDER) << " "
                                       << "Enter an existing file.";
    QTest::newRow("missing") << F << D + "/missing.m0" << D + "/missing.m0 does not exist.";
    QTest::newRow("folder in file mode") << F << D + "/sub" << D + "/sub is not a file.";
    QTest::newRow("file in folder mode")
        << quint32(FILEEDIT_FOLDER) << D + "/a.m0" << D + "/a.m0 is not a folder.";
    QTest::newRow("good file") << F << D + "/a.m0"
                               << "";
    QTest::newRow("good folder") << quint32(FILEEDIT_FOLDER) << D + "/sub"
                                 << "";
    QTest::newRow("second missing") << (F | FILEEDIT_MULTIPLE) << D + "/a.m0; nope.m0"
                                    << D + "/nope.m0 does not exist.";
}

void FileEditCtrlTest::validation() {
    QFETCH(quint32, flags);
    QFETCH(QString, text);
    QFETCH(QString, message);
    CFileEditCtrl edit(nullptr, flags);
    edit.setText(text);
    QCOMPARE(edit.ValidationMessage(), message);
}

void FileEditCtrlTest::validateShowsTheMessage() {
    QWidget dialog;
    auto* edit = new CFileEditCtrl(&dialog, FILEEDIT_FILE);
    auto* other = new QLineEdit(&dialog);
    other->move(0, 40);
    edit->setText(D + QStringLiteral("/sub"));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    other->setFocus();
    QString shown;
    OnModal([&](QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            shown = box->text();
            testsupport::SaveScreenshot(box, QStringLiteral("file-edit-validation-message"));
        }
        modal->close();
    });
    QVERIFY(!edit->Validate());
    QCOMPARE(shown, D + QStringLiteral("/sub is not a file."));
    QTRY_COMPARE(dialog.focusWidget(), edit);
    edit->setText(D + QStringLiteral("/a.m0"));
    QVERIFY(edit->Validate());
}

void FileEditCtrlTest::flags() {
    CFileEditCtrl edit;
    QCOMPARE(edit.SetFlags(0), 0);
    QCOMPARE(edit.SetFlags(FILEEDIT_FILE | FILEEDIT_FOLDER), 0);
    QCOMPARE(edit.GetFlags(), quint32(FILEEDIT_FILE));
    QCOMPARE(edit.SetFlags(FILEEDIT_FILE | FILEEDIT_MULTIPLE | FILEEDIT_KEEP_LINKS), 1);
    QVERIFY(edit.FileDialog());
    QCOMPARE(edit.FileDialog()->fileMode(), QFileDialog::ExistingFiles);
    // The dialog's own options are what the flags report.
    edit.FileDialog()->setFileMode(QFileDialog::ExistingFile);
    QCOMPARE(edit.GetFlags(), quint32(FILEEDIT_FILE | FILEEDIT_KEEP_LINKS));
    QCOMPARE(edit.SetFlags(FILEEDIT_FOLDER), 1);
    QVERIFY(!edit.FileDialog());
    QCOMPARE(edit.FileDialog() == nullptr, true);
    QCOMPARE(CFECFileDialog::NameFiltersFrom(QString::fromLatin1(CFECFileDialog::kDefaultFilter)),
             QStringList(
                 {QStringLiteral("Motorola S-records(*.m0) (*.m0)"), QStringLiteral("All Files (*.*) (*)")}));
}

void FileEditCtrlTest::buttonGeometry() {
    CFileEditCtrl edit;
    edit.resize(300, 26);
    edit.show();
    QVERIFY(QTest::qWaitForWindowExposed(&edit));
    const int frame = edit.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, &edit);
    const int inner = edit.height() - 2 * frame;
    QCOMPARE(edit.ButtonRect().width(), inner * 8 / 10);
    testsupport::SaveScreenshot(&edit, QStringLiteral("file-edit-default-button"));
    QCOMPARE(edit.SetButtonWidth(20), -1);
    QCOMPARE(edit.ButtonRect(), QRect(edit.width() - frame - 20, frame, 20, inner));
    QCOMPARE(edit.textMargins().right(), 22);
    edit.SetFlags(FILEEDIT_FILE | FILEEDIT_LEFT_BUTTON);
    QCOMPARE(edit.ButtonRect(), QRect(frame, frame, 20, inner));
    QCOMPARE(edit.textMargins().left(), 22);
    QCOMPARE(edit.ButtonState(), int(CFileEditCtrl::BUTTON_NORMAL));
    edit.SetFlags(FILEEDIT_FILE | FILEEDIT_FLAT);
    edit.clearFocus();
    QEvent away(QEvent::Leave); // wherever the pointer happens to be
    QApplication::sendEvent(&edit, &away);
    QCOMPARE(edit.ButtonState(), CFileEditCtrl::BUTTON_NORMAL + CFileEditCtrl::BUTTON_FLAT);
    edit.setEnabled(false);
    QCOMPARE(edit.ButtonState() & CFileEditCtrl::BUTTON_DISABLED, int(CFileEditCtrl::BUTTON_DISABLED));
    edit.setEnabled(true);
    // Held down on the button it is drawn pressed; released elsewhere it does not browse.
    edit.SetFlags(FILEEDIT_FILE);
    QSignalSpy starting(&edit, &CFileEditCtrl::browseStarting);
    const QPoint centre = edit.ButtonRect().center();
    QTest::mousePress(&edit, Qt::LeftButton, Qt::NoModifier, centre);
    QCOMPARE(edit.ButtonState(), int(CFileEditCtrl::BUTTON_PRESSED));
    testsupport::SaveScreenshot(&edit, QStringLiteral("file-edit-button-pressed"));
    QTest::mouseMove(&edit, QPoint(5, 5));
    QCOMPARE(edit.ButtonState(), int(CFileEditCtrl::BUTTON_NORMAL));
    QTest::mouseRelease(&edit, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QCOMPARE(starting.count(), 0);
}

void FileEditCtrlTest::drops_data() {
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<QStringList>("dropped");
    QTest::addColumn<QString>("text");
    const QString a = D + "/a.m0";
    const QString b = D + "/b.m0";
    const QString x = D + "/w/x1.m0";
    QTest::newRow("single takes the first of three") << quint32(FILEEDIT_FILE) << QStringList{a, b, x} << a;
    QTest::newRow("several, relative to the first")
        << quint32(FILEEDIT_FILE | FILEEDIT_MULTIPLE) << QStringList{a, b, x} << a + "; b.m0; w/x1.m0";
    QTest::newRow("other folder stays whole")
        << quint32(FILEEDIT_FILE | FILEEDIT_MULTIPLE) << QStringList{x, a} << x + "; " + a;
    QTest::newRow("link resolved") << quint32(FILEEDIT_FILE) << QStringList{D + "/ln.m0"} << a;
    QTest::newRow("link kept") << quint32(FILEEDIT_FILE | FILEEDIT_KEEP_LINKS) << QStringList{D + "/ln.m0"}
                               << D + "/ln.m0";
    QTest::newRow("folder mode takes the first")
        << quint32(FILEEDIT_FOLDER) << QStringList{D + "/sub", a} << D + "/sub";
}

void FileEditCtrlTest::drops() {
    QFETCH(quint32, flags);
    QFETCH(QStringList, dropped);
    QFETCH(QString, text);
    CFileEditCtrl edit(nullptr, flags);
    edit.setText(QStringLiteral("old text"));
    QSignalSpy spy(&edit, &CFileEditCtrl::filesDropped);
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& p : dropped)
        urls << QUrl::fromLocalFile(p);
    mime.setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&edit, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&edit, &drop);
    QCOMPARE(edit.text(), text);
    QCOMPARE(spy.count(), 1);
}

void FileEditCtrlTest::browseStartsAtTheTypedPath_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    QTest::newRow("existing file") << D + "/w/x1.m0" << D + "/w"
                                   << "x1.m0";
    QTest::newRow("folder") << D + "/w" << D + "/w"
                            << "";
    QTest::newRow("missing folders") << D + "/nope/deeper/f.m0" << D << "";
    QTest::newRow("missing file") << D + "/w/gone.m0" << D + "/w"
                                  << "";
}

void FileEditCtrlTest::browseStartsAtTheTypedPath() {
    QFETCH(QString, text);
    QFETCH(QString, folder);
    QFETCH(QString, name);
    CFileEditCtrl edit;
    edit.setText(text);
    QString seenFolder;
    QString seenName;
    QString accept;
    OnModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        QVERIFY(dialog);
        seenFolder = dialog->directory().absolutePath();
        if (auto* field = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            seenName = field->text();
        accept = dialog->labelText(QFileDialog::Accept);
        testsupport::SaveScreenshot(dialog, QStringLiteral("file-edit-browse-dialog"));
        dialog->reject();
    });
    edit.Browse();
    QCOMPARE(seenFolder, folder);
    QCOMPARE(seenName, name);
    QCOMPARE(accept, QStringLiteral("OK"));
    QCOMPARE(edit.text(), text); // cancelled: unchanged
}

void FileEditCtrlTest::browseWritesTheChoice() {
    CFileEditCtrl edit(nullptr, FILEEDIT_FILE | FILEEDIT_MULTIPLE);
    edit.setText(D + QStringLiteral("/w/x1.m0"));
    QSignalSpy done(&edit, &CFileEditCtrl::browseDone);
    OnModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        QVERIFY(dialog);
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
            ->setText(QStringLiteral("\"x2.m0\" \"x1.m0\""));
        static_cast<QDialog*>(dialog)->accept();
    });
    edit.Browse();
    QCOMPARE(done.count(), 1);
    // The dialog hands the files back in its own order; the first is written in full.
    QCOMPARE(edit.text(), D + QStringLiteral("/w/x1.m0; x2.m0"));
}

void FileEditCtrlTest::browseCanBeCancelled() {
    CFileEditCtrl edit;
    edit.setText(D + QStringLiteral("/a.m0"));
    connect(&edit, &CFileEditCtrl::browseStarting, [](CFileEditCtrl*, bool* cancel) { *cancel = true; });
    bool opened = false;
    OnModal([&](QWidget* modal) {
        opened = true;
        modal->close();
    });
    edit.Browse();
    QTest::qWait(100);
    QVERIFY(!opened);
}

void FileEditCtrlTest::ctrlFullStopAndButtonBrowse() {
    CFileEditCtrl edit;
    edit.resize(300, 26);
    edit.SetButtonWidth(20);
    edit.show();
    QVERIFY(QTest::qWaitForWindowExposed(&edit));
    QSignalSpy starting(&edit, &CFileEditCtrl::browseStarting);
    int dialogs = 0;
    auto closeNext = [&] {
        OnModal([&](QWidget* modal) {
            ++dialogs;
            static_cast<QDialog*>(modal)->reject();
        });
    };
    closeNext();
    QTest::keyClick(&edit, Qt::Key_Period, Qt::ControlModifier);
    QCOMPARE(dialogs, 1);
    closeNext();
    QTest::keyClick(&edit, Qt::Key_Period, Qt::ControlModifier | Qt::KeypadModifier);
    QCOMPARE(dialogs, 2);
    closeNext();
    QTest::mouseClick(&edit, Qt::LeftButton, Qt::NoModifier, edit.ButtonRect().center());
    QCOMPARE(dialogs, 3);
    QCOMPARE(starting.count(), 3);
    QTest::keyClick(&edit, Qt::Key_Period); // a plain full stop is text
    QCOMPARE(edit.text(), QStringLiteral("."));
}

void FileEditCtrlTest::folderBrowse() {
    CFileEditCtrl edit(nullptr, FILEEDIT_FOLDER | FILEEDIT_SLASH);
    edit.setText(D + QStringLiteral("/sub/"));
    QString seen;
    OnModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        QVERIFY(dialog);
        seen = dialog->directory().absolutePath();
        testsupport::SaveScreenshot(dialog, QStringLiteral("file-edit-folder-browser"));
        dialog->setDirectory(D + QStringLiteral("/w"));
        static_cast<QDialog*>(dialog)->accept();
    });
    edit.Browse();
    QCOMPARE(seen, D + QStringLiteral("/sub"));
    QCOMPARE(edit.text(), D + QStringLiteral("/w/"));
}

QTEST_MAIN(FileEditCtrlTest)
#include "FileEditCtrlTest.moc"
