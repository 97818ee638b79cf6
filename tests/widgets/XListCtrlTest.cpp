// The flash file list: adding files, moving rows, drops, check and progress cells, painting.
#include "XListCtrl.h"
#include "ControlId.h"
#include "Resources.h"
#include "Screenshot.h"
#include "XHeaderCtrl.h"

#include <QFile>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QToolTip>
#include <QUrl>

namespace {

QString MakeFile(const QTemporaryDir& dir, const QString& name, qint64 bytes) {
    const QString path = dir.filePath(name);
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(QByteArray(bytes, 'S'));
    return path;
}

// The list as the main window sets it up.
std::unique_ptr<CXListCtrl> MainList() {
    auto list = std::make_unique<CXListCtrl>();
    SetControlId(list.get(), IDC_FILE_LIST);
    list->resize(460, 160);
    list->SetFullRowSelect(true);
    list->SetShowSelectionAlways(true);
    list->InsertColumn(0, QStringLiteral("Pathname"), LVCFMT_LEFT, 380);
    list->InsertColumn(1, QStringLiteral("Size"), LVCFMT_CENTER, 70);
    list->SetImageList(LoadResBitmap(IDB_FILE_LIST), 16);
    TS_DROP_RULES rules;
    rules.flags = DROP_FILES | DROP_FILTER_EXT;
    rules.filter = QStringLiteral(".m0");
    list->SetDropRules(rules);
    return list;
}

QPoint CellCentre(CXListCtrl& list, int row, int column) {
    return list.visualRect(list.model()->index(row, column)).center();
}

} // namespace

class XListCtrlTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void addFileSizesAndTips_data();
    void addFileSizesAndTips();
    void addFileRefusals();
    void moveItem_data();
    void moveItem();
    void drops_data();
    void drops();
    void dropRulesAndCallback();
    void checkCellsAndHeader();
    void disabledRowIgnoresClicks();
    void progressText_data();
    void progressText();
    void tooltipsPerCell();
    void outOfRangeIsRefused();
    void workerThreadCallsReachTheList();
    void paintsCellsAndEmptyMessage();
};

void XListCtrlTest::addFileSizesAndTips_data() {
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("size");
    QTest::newRow("empty") << qint64(0) << "0 KB";
    QTest::newRow("999 bytes") << qint64(999) << "0 KB";
    QTest::newRow("1000 bytes") << qint64(1000) << "1 KB";
    QTest::newRow("1023 bytes") << qint64(1023) << "1 KB";
    QTest::newRow("1,500,000 bytes") << qint64(1500000) << "1500 KB";
}

void XListCtrlTest::addFileSizesAndTips() {
    QFETCH(qint64, bytes);
    QFETCH(QString, size);
    auto list = MainList();
    const QString path = MakeFile(m_dir, QStringLiteral("size%1.m0").arg(bytes), bytes);
    QCOMPARE(list->AddFile(path), 0);
    QCOMPARE(list->GetItemCount(), 1);
    QCOMPARE(list->GetItemText(0, 0), path);
    QCOMPARE(list->GetItemText(0, 1), size);
    QCOMPARE(list->GetCellTip(0, 0), path);
    QCOMPARE(list->GetCell(0, 0).image, 0);
}

void XListCtrlTest::addFileRefusals() {
    auto list = MainList();
    const QString a = MakeFile(m_dir, QStringLiteral("a.m0"), 10);
    QCOMPARE(list->AddFile(a), 0);
    QCOMPARE(list->AddFile(a), -1); // exact duplicate
    // Letter case makes another file on Linux.
    const QString upper = MakeFile(m_dir, QStringLiteral("A.m0"), 10);
    QCOMPARE(list->AddFile(upper), 0);
    QCOMPARE(list->AddFile(m_dir.filePath(QStringLiteral("missing.m0"))), -1);
    QCOMPARE(list->AddFile(m_dir.path()), -1); // a folder is no file
    QFile locked(MakeFile(m_dir, QStringLiteral("locked.m0"), 10));
    locked.setPermissions(QFileDevice::WriteOwner);
    if (!QFile(locked.fileName()).open(QIODevice::ReadOnly)) // root reads anything
        QCOMPARE(list->AddFile(locked.fileName()), -1);
    for (int i = list->GetItemCount(); i < 5; ++i)
        QCOMPARE(list->AddFile(MakeFile(m_dir, QStringLiteral("f%1.m0").arg(i), 10)), 0);
    QCOMPARE(list->GetItemCount(), 5);
    QCOMPARE(list->AddFile(MakeFile(m_dir, QStringLiteral("sixth.m0"), 10)), -1);
    QCOMPARE(list->GetItemCount(), 5);

    // With DROP_DUPLICATES a listed path may come again.
    auto dup = MainList();
    TS_DROP_RULES rules;
    rules.flags = DROP_FILES | DROP_DUPLICATES;
    QCOMPARE(dup->SetDropRules(rules), 1);
    QCOMPARE(dup->AddFile(a), 0);
    QCOMPARE(dup->AddFile(a), 0);
}

void XListCtrlTest::moveItem_data() {
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("order");
    QTest::newRow("first up") << 0 << -1 << 0 << "abc";
    QTest::newRow("second up") << 1 << 0 << 1 << "bac";
    QTest::newRow("last up") << 2 << 1 << 1 << "acb";
    QTest::newRow("first down") << 0 << 2 << 1 << "bac";
    QTest::newRow("second down") << 1 << 3 << 1 << "acb";
    QTest::newRow("last down") << 2 << 4 << 1 << "abc";
    QTest::newRow("same place") << 1 << 1 << 0 << "abc";
    QTest::newRow("from past the end") << 3 << 0 << 0 << "abc";
}

void XListCtrlTest::moveItem() {
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(int, result);
    QFETCH(QString, order);
    auto list = MainList();
    for (const char* name : {"a", "b", "c"}) {
        const QString path = MakeFile(m_dir, QString::fromLatin1(name), 1000 * (name[0] - 'a' + 1));
        QCOMPARE(list->AddFile(path), 0);
    }
    // Attributes that do not move with a row.
    list->SetCellBold(from < 3 ? from : 0, 0, true);
    list->SetCellColors(from < 3 ? from : 0, 1, QColor(Qt::red), QColor(Qt::yellow));
    list->SetCurSel(from < 3 ? from : 0);
    QCOMPARE(list->MoveItem(from, to), result);
    QCOMPARE(list->GetItemCount(), 3);
    QString got;
    for (int row = 0; row < 3; ++row) {
        const QString name = QFileInfo(list->GetItemText(row, 0)).fileName();
        got += name;
        // The size travels with its path.
        QCOMPARE(list->GetItemText(row, 1), QStringLiteral("%1 KB").arg(name[0].unicode() - 'a' + 1));
    }
    QCOMPARE(got, order);
    if (result == 1) {
        const int moved = got.indexOf(QChar(u'a' + from));
        const XListCell cell = list->GetCell(moved, 0);
        QCOMPARE(cell.bold, 0);
        QVERIFY(cell.tip.isEmpty());
        QCOMPARE(cell.image, 0);
        QVERIFY(!list->GetCell(moved, 1).textColor.isValid());
        QCOMPARE(list->GetCurSel(), -1);
    }
}

void XListCtrlTest::drops_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind"); // file, folder, link, dangling
    QTest::addColumn<bool>("added");
    QTest::newRow(".m0") << "plain.m0"
                         << "file" << true;
    QTest::newRow(".M0") << "CAPS.M0"
                         << "file" << true;
    QTest::newRow(".m0 mixed case") << "mixed.M0"
                                    << "file" << true;
    QTest::newRow("x.m0.bak") << "x.m0.bak"
                              << "file" << false;
    QTest::newRow("no extension") << "m0"
                                  << "file" << false;
    QTest::newRow(".cp64") << "packed.cp64"
                           << "file" << false;
    QTest::newRow("folder named .m0") << "dir.m0"
                                      << "folder" << false;
    QTest::newRow("link to .m0") << "target.m0"
                                 << "link" << true;
    QTest::newRow("dangling link") << "gone.m0"
                                   << "dangling" << false;
}

void XListCtrlTest::drops() {
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(bool, added);
    QTemporaryDir dir;
    auto list = MainList();
    QString dropped = dir.filePath(name);
    QString expected = dropped;
    if (kind == QLatin1String("file")) {
        MakeFile(dir, name, 5);
    } else if (kind == QLatin1String("folder")) {
        QDir().mkpath(dropped);
    } else if (kind == QLatin1String("link")) {
        QDir().mkpath(dir.filePath(QStringLiteral("real")));
        expected = MakeFile(dir, QStringLiteral("real/") + name, 5);
        dropped = dir.filePath(QStringLiteral("shortcut"));
        QVERIFY(QFile::link(expected, dropped));
    } else {
        dropped = dir.filePath(QStringLiteral("dangling.m0"));
        QVERIFY(QFile::link(dir.filePath(name), dropped));
    }
    // Through Qt's drop handling, as from a file manager.
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(dropped)});
    const QPoint at = list->viewport()->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list->viewport(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list->viewport(), &drop);
    QCOMPARE(list->GetItemCount(), added ? 1 : 0);
    if (added)
        QCOMPARE(list->GetItemText(0, 0), QFileInfo(expected).canonicalFilePath());
}

void XListCtrlTest::dropRulesAndCallback() {
    auto list = MainList();
    TS_DROP_RULES rules;
    rules.flags = DROP_FILES | DROP_FOLDERS | DROP_CALLBACK;
    QCOMPARE(list->SetDropRules(rules), 0); // a callback rule without a callback
    QCOMPARE(list->GetDropRules().flags, quint32(DROP_FILES | DROP_FILTER_EXT));
    QStringList seen;
    rules.callback = [&](const QString& path, int kind) {
        seen << QStringLiteral("%1:%2").arg(kind).arg(QFileInfo(path).fileName());
    };
    QCOMPARE(list->SetDropRules(rules), 1);
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath(QStringLiteral("sub")));
    const QString file = MakeFile(dir, QStringLiteral("any.bin"), 1);
    QCOMPARE(
        list->DropPaths({dir.filePath(QStringLiteral("sub")), file, dir.filePath(QStringLiteral("none"))}),
        2);
    QCOMPARE(seen, QStringList({QStringLiteral("64:sub"), QStringLiteral("128:any.bin")}));
    QCOMPARE(list->GetItemCount(), 0); // the callback took them, not AddFile
}

void XListCtrlTest::checkCellsAndHeader() {
    auto list = MainList();
    list->show();
    QVERIFY(QTest::qWaitForWindowExposed(list.get()));
    for (int i = 0; i < 3; ++i)
        list->AddFile(MakeFile(m_dir, QStringLiteral("chk%1.m0").arg(i), 1));
    for (int row = 0; row < 3; ++row)
        QCOMPARE(list->SetCellCheck(row, 1, 1), 1);
    QCOMPARE(list->GetHeaderCheck(1), 0); // no header box: stays 0
    QCOMPARE(list->SetHeaderCheck(1, 1), 1);
    QCOMPARE(list->SetCellCheck(0, 1, 1), 1); // updates the header: all checked
    QCOMPARE(list->GetHeaderCheck(1), 2);
    QCOMPARE(list->CountCheckedCells(1), 3);

    QSignalSpy clicked(list.get(), &CXListCtrl::checkBoxClicked);
    // A click anywhere in the cell toggles it, and the header follows.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, CellCentre(*list, 1, 1));
    QCOMPARE(list->GetCellCheck(1, 1), 0);
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(clicked.at(0).at(0).toInt(), 1);
    QCOMPARE(clicked.at(0).at(1).toInt(), 1);
    QCOMPARE(list->GetHeaderCheck(1), 1);
    QCOMPARE(list->GetCurSel(), 1); // the click also selects

    // A click on the header checks every row (state 1 -> 2), another unchecks them.
    QSignalSpy column(list.get(), &CXListCtrl::columnClicked);
    const int headerX = list->header()->sectionViewportPosition(1) + 10;
    QTest::mouseClick(list->header()->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(headerX, 5));
    QCOMPARE(column.count(), 1);
    QCOMPARE(list->GetHeaderCheck(1), 2);
    QCOMPARE(list->CountCheckedCells(1), 3);
    QTest::mouseClick(list->header()->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(headerX, 5));
    QCOMPARE(list->GetHeaderCheck(1), 1);
    QCOMPARE(list->CountCheckedCells(1), 0);
    // Cells without a box are left alone.
    QCOMPARE(list->GetCellCheck(0, 0), -1);

    // A cell without a check box is not toggled by a click.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, CellCentre(*list, 2, 0));
    QCOMPARE(list->GetCellCheck(2, 0), -1);
    QCOMPARE(clicked.count(), 1);

    // The header draws its own check box pictures.
    const QImage header = list->header()->grab().toImage();
    const QRect section(list->header()->sectionViewportPosition(1), 0, list->header()->sectionSize(1),
                        list->header()->height());
    bool box = false;
    for (int x = section.left(); x < section.left() + 30 && !box; ++x)
        box = header.pixelColor(x, section.center().y()) == list->palette().color(QPalette::Base);
    QVERIFY2(box, "no check box picture in the header item");
    testsupport::SaveScreenshot(list.get(), QStringLiteral("xlistctrl-check-cells"));
}

void XListCtrlTest::disabledRowIgnoresClicks() {
    auto list = MainList();
    list->show();
    QVERIFY(QTest::qWaitForWindowExposed(list.get()));
    list->AddFile(MakeFile(m_dir, QStringLiteral("d0.m0"), 1));
    list->AddFile(MakeFile(m_dir, QStringLiteral("d1.m0"), 1));
    list->SetCellCheck(1, 1, 0);
    QCOMPARE(list->SetRowEnabled(1, false), 1);
    QCOMPARE(list->IsRowEnabled(1), 0);
    QSignalSpy clicked(list.get(), &CXListCtrl::checkBoxClicked);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, CellCentre(*list, 1, 1));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, CellCentre(*list, 1, 0));
    QCOMPARE(list->GetCellCheck(1, 1), 0);
    QCOMPARE(list->GetCurSel(), -1);
    QCOMPARE(clicked.count(), 0);
    // The enabled row still takes clicks.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, CellCentre(*list, 0, 0));
    QCOMPARE(list->GetCurSel(), 0);
    testsupport::SaveScreenshot(list.get(), QStringLiteral("xlistctrl-disabled-row"));
}

void XListCtrlTest::progressText_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("percent");
    QTest::addColumn<QString>("text");
    QTest::newRow("default") << QString() << 50 << "50%";
    QTest::newRow("own format") << "%d of 100" << 7 << "7 of 100";
    QTest::newRow("percent signs") << "%%%i%%" << 3 << "%3%";
    // Anything else of a format is text: no reading of missing arguments.
    QTest::newRow("no conversions") << "%s %x %n" << 9 << "%s %x %n";
    QTest::newRow("trailing percent") << "done %" << 100 << "done %";
}

void XListCtrlTest::progressText() {
    QFETCH(QString, format);
    QFETCH(int, percent);
    QFETCH(QString, text);
    QCOMPARE(CXListCtrl::FormatPercent(format, percent), text);
}

void XListCtrlTest::tooltipsPerCell() {
    auto list = MainList();
    list->show();
    QVERIFY(QTest::qWaitForWindowExposed(list.get()));
    const QString longName = QString(120, QLatin1Char('n')) + QStringLiteral(".m0");
    const QString path = MakeFile(m_dir, longName, 10);
    QCOMPARE(list->AddFile(path), 0);
    QCOMPARE(list->GetCellTip(0, 0), path);
    auto tipAt = [&](int column) {
        QToolTip::hideText();
        for (int i = 0; i < 100 && QToolTip::isVisible(); ++i)
            QTest::qWait(20);
        const QPoint at = CellCentre(*list, 0, column);
        QHelpEvent help(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
        QApplication::sendEvent(list->viewport(), &help);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    QCOMPARE(tipAt(0), path.left(CXListCtrl::kMaxTipLength));
    testsupport::SaveScreenshot(list.get(), QStringLiteral("xlistctrl-long-path"));
    QCOMPARE(tipAt(1), QString()); // the size cell has no tip
    list->SetCellTip(0, 1, QStringLiteral("1 KB = 1000 bytes"));
    QCOMPARE(tipAt(1), QStringLiteral("1 KB = 1000 bytes"));
    list->ClearAllTips();
    QCOMPARE(tipAt(0), QString());
}

void XListCtrlTest::outOfRangeIsRefused() {
    auto list = MainList();
    list->InsertItem(0, QStringLiteral("row"));
    QCOMPARE(list->InsertItem(-1, QStringLiteral("x")), -1);
    QCOMPARE(list->InsertItem(7, QStringLiteral("appended")), 1); // past the end appends
    for (auto [row, column] : {std::pair{-1, 0}, std::pair{2, 0}, std::pair{0, 2}, std::pair{0, -1}}) {
        QCOMPARE(list->SetItemText(row, column, QStringLiteral("x")), 0);
        QCOMPARE(list->GetItemText(row, column), QString());
        QCOMPARE(list->SetCellCheck(row, column, 1), 0);
        QCOMPARE(list->GetCellCheck(row, column), -1);
        QCOMPARE(list->SetCellBold(row, column, true), 0);
        QCOMPARE(list->SetCellTip(row, column, QStringLiteral("t")), 0);
        QCOMPARE(list->SetCellProgress(row, column), 0);
    }
    QCOMPARE(list->GetHeaderCheck(5), -1);
    QCOMPARE(list->SetHeaderCheck(0, 3), 0);
    QCOMPARE(list->DeleteItem(9), 0);
    QCOMPARE(list->SetCellCheck(0, 0, 2), 0);
    const QStringList strings{QStringLiteral("one"), QStringLiteral("two")};
    QCOMPARE(list->SetCellCombo(0, 1, true, nullptr), 0);
    QCOMPARE(list->SetCellCombo(0, 1, true, &strings, 10, 5), 1); // a selection outside becomes 0
    QCOMPARE(list->GetItemText(0, 1), QStringLiteral("one"));
    QCOMPARE(list->SetRowData(0, 0xCAFEu), 1);
    QCOMPARE(list->GetRowData(0), 0xCAFEu);
    QCOMPARE(list->GetRowData(3), 0u);
    QCOMPARE(list->SetCurSel(4), 0);
    QCOMPARE(list->SetCurSel(1), 1);
    QCOMPARE(list->SetCurSel(-1), 1); // -1: no row stays selected
    QCOMPARE(list->GetCurSel(), -1);
    QCOMPARE(list->DeleteAllItems(), 1);
    QCOMPARE(list->GetItemCount(), 0);
}

void XListCtrlTest::workerThreadCallsReachTheList() {
    auto list = MainList();
    list->InsertItem(0, QStringLiteral("a"));
    list->InsertItem(1, QStringLiteral("b"));
    QThread* worker = QThread::create([&list] {
        list->SetCellBold(1, 0, true);
        list->SetCurSel(1);
    });
    worker->start();
    QVERIFY(worker->wait(10000));
    delete worker;
    QTRY_COMPARE(list->GetCellBold(1, 0), 1);
    QTRY_COMPARE(list->GetCurSel(), 1);
}

void XListCtrlTest::paintsCellsAndEmptyMessage() {
    auto list = MainList();
    list->show();
    QVERIFY(QTest::qWaitForWindowExposed(list.get()));
    testsupport::SaveScreenshot(list.get(), QStringLiteral("xlistctrl-empty"));
    // The empty message is drawn: dark text pixels in the middle band below the header.
    QImage empty = list->viewport()->grab().toImage();
    int dark = 0;
    for (int y = 10; y < 40; ++y)
        for (int x = 0; x < empty.width(); ++x)
            dark += qGray(empty.pixel(x, y)) < 128;
    QVERIFY2(dark > 50, "no message in the empty list");

    list->AddFile(MakeFile(m_dir, QStringLiteral("paint & co.m0"), 2048));
    list->SetItemText(0, 1, QString());
    list->SetCellProgress(0, 1);
    list->SetCellProgressPos(0, 1, 50);
    list->SetCellCheck(0, 0, 1);
    QApplication::processEvents();
    const QImage image = list->viewport()->grab().toImage();
    const QRect cell = list->visualRect(list->model()->index(0, 1));
    // Progress: the bar starts at l + 2 and ends at l + 2 + (r - (l + 2)) * 50 / 100.
    const int l = cell.left() + 1;
    const int r = cell.left() + cell.width() - 2;
    const int x = l + 2 + (r - (l + 2)) * 50 / 100;
    const QColor highlight = list->palette().color(QPalette::Active, QPalette::Highlight);
    QCOMPARE(image.pixelColor(l + 3, cell.bottom() - 2), highlight);
    QCOMPARE(image.pixelColor(x + 2, cell.bottom() - 2), QColor(224, 224, 224));
    // Check box: the first stroke of the tick at box left + 1 + 9, top + 3.
    const QRect first = list->visualRect(list->model()->index(0, 0));
    const int boxLeft = first.left() + 9 + 1;
    QCOMPARE(image.pixelColor(boxLeft + 9, first.top() + 4), QColor(Qt::black));
    QCOMPARE(image.pixelColor(boxLeft + 3, first.top() + 6), QColor(Qt::black));
    QCOMPARE(image.pixelColor(boxLeft + 12, first.top() + 4), list->palette().color(QPalette::Base));
    testsupport::SaveScreenshot(list.get(), QStringLiteral("xlistctrl-cells"));
}

QTEST_MAIN(XListCtrlTest)
#include "XListCtrlTest.moc"
