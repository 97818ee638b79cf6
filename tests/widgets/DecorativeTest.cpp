// Face buttons, page tabs, the bevel line, the link label, the wave player and the resources.
#include "ControlId.h"
#include "FaceButton.h"
#include "LinkLabel.h"
#include "PageTabCtrl.h"
#include "Resources.h"
#include "RoundFaceButton.h"
#include "Screenshot.h"
#include "WavePlayer.h"
#include "cdxCRotBevelLine.h"

#include "platform/sound/SoundDevice.h"

#include <QFile>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class DecorativeTest : public QObject {
    Q_OBJECT
private slots:
    void faceButtonCheckMode();
    void faceButtonColoursAndLooks();
    void faceButtonMenu();
    void pageTabShowsTheSelectedPage();
    void bevelLineText();
    void linkLabel();
    void linkErrorTexts_data();
    void linkErrorTexts();
    void linkFailureIsReported();
    void wavePlayer();
    void resources();
};

void DecorativeTest::faceButtonCheckMode() {
    CFaceButton toggle;
    SetControlId(&toggle, IDC_CONNECT);
    toggle.setCheckable(true);
    toggle.SetIcons(IDI_CONNECT_IN, IDI_CONNECT_OUT);
    toggle.resize(44, 44);
    toggle.show();
    QVERIFY(QTest::qWaitForWindowExposed(&toggle));
    QCOMPARE(toggle.GetCheck(), 0);
    const QImage off = toggle.grab().toImage();
    testsupport::SaveScreenshot(&toggle, QStringLiteral("face-button-toggle-off"));
    QTest::mouseClick(&toggle, Qt::LeftButton);
    QCOMPARE(toggle.GetCheck(), 1);
    testsupport::SaveScreenshot(&toggle, QStringLiteral("face-button-toggle-on"));
    // Checked, it shows the "in" icon and the pressed look: another picture.
    toggle.clearFocus();
    QVERIFY(toggle.grab().toImage() != off);
    toggle.SetCheck(false);
    QCOMPARE(toggle.GetCheck(), 0);
    // Not a check box: set check does nothing.
    CFaceButton plain(QStringLiteral("&DUMP"));
    plain.SetCheck(true);
    QCOMPARE(plain.GetCheck(), 0);
}

void DecorativeTest::faceButtonColoursAndLooks() {
    CFaceButton button(QStringLiteral("&Start"));
    QCOMPARE(button.SetColor(6, Qt::red), 0);
    QCOMPARE(button.SetColor(-1, Qt::red), 0);
    QCOMPARE(button.SetColor(CFaceButton::COLOR_BK_OUT, QColor(10, 20, 30)), 1);
    QCOMPARE(button.GetColor(CFaceButton::COLOR_BK_OUT), QColor(10, 20, 30));
    button.resize(96, 30);
    button.setFocusPolicy(Qt::NoFocus);
    button.show();
    QVERIFY(QTest::qWaitForWindowExposed(&button));
    QEvent away(QEvent::Leave); // wherever the pointer happens to be
    QApplication::sendEvent(&button, &away);
    const QImage image = button.grab().toImage();
    QCOMPARE(image.pixelColor(10, 15), QColor(10, 20, 30));
    testsupport::SaveScreenshot(&button, QStringLiteral("face-button-colours"));
    button.SetTooltipText(QStringLiteral("Erase Flash Memory"));
    QCOMPARE(button.toolTip(), QStringLiteral("Erase Flash Memory"));
    button.SetTooltipText(QStringLiteral("Erase Flash Memory"), false);
    QVERIFY(button.toolTip().isEmpty());

    // Hover: with always-track on, entering marks it hovered and the hover colour shows.
    button.SetAlwaysTrack(true);
    button.SetColor(CFaceButton::COLOR_BK_IN, QColor(200, 220, 250));
    QEnterEvent enter(QPointF(5, 5), button.mapToGlobal(QPointF(5, 5)), button.mapToGlobal(QPointF(5, 5)));
    QApplication::sendEvent(&button, &enter);
    QVERIFY(button.IsHovered());
    QCOMPARE(button.grab().toImage().pixelColor(10, 15), QColor(200, 220, 250));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&button, &leave);
    QVERIFY(!button.IsHovered());

    // The rounded variant fills its hovered face with its first colour inside a black outline.
    CRoundFaceButton round(QStringLiteral("BIN file :"));
    round.SetRounded(true);
    round.SetAlwaysTrack(true);
    round.SetColor(CFaceButton::COLOR_BK_IN, QColor(220, 232, 251));
    round.resize(96, 30);
    round.show();
    QVERIFY(QTest::qWaitForWindowExposed(&round));
    QApplication::sendEvent(&round, &enter);
    const QImage face = round.grab().toImage();
    QCOMPARE(face.pixelColor(48, 0), QColor(Qt::black));
    QCOMPARE(face.pixelColor(8, 15), QColor(220, 232, 251));
    testsupport::SaveScreenshot(&round, QStringLiteral("round-face-button-hovered"));
}

void DecorativeTest::faceButtonMenu() {
    CFaceButton button(QStringLiteral("Menu"));
    QMenu menu;
    menu.addAction(QStringLiteral("one"));
    button.SetMenu(&menu);
    button.resize(80, 26);
    button.show();
    QVERIFY(QTest::qWaitForWindowExposed(&button));
    bool shown = false;
    QTimer::singleShot(50, &menu, [&] {
        shown = menu.isVisible();
        QVERIFY(button.isDown());
        menu.close();
    });
    QTest::mouseClick(&button, Qt::LeftButton);
    QVERIFY(shown);
    testsupport::SaveScreenshot(&button, QStringLiteral("face-button-menu"));
    QVERIFY(!button.isDown());
}

void DecorativeTest::pageTabShowsTheSelectedPage() {
    CPageTabCtrl tabs;
    tabs.resize(400, 200);
    QCOMPARE(tabs.InsertItem(0, QStringLiteral("Log Messages")), 0);
    QCOMPARE(tabs.InsertItem(1, QStringLiteral("Memory Dump")), 1);
    auto* log = new QPlainTextEdit;
    auto* dump = new QWidget;
    tabs.CreatePages({log, dump});
    QCOMPARE(tabs.tabText(0), QStringLiteral("Log Messages"));
    QCOMPARE(tabs.tabText(1), QStringLiteral("Memory Dump"));
    QCOMPARE(tabs.GetPage(0), log);
    QCOMPARE(tabs.GetPage(1), dump);
    QCOMPARE(tabs.GetPageCount(), 2);
    tabs.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tabs));
    QVERIFY(log->isVisible());
    QVERIFY(!dump->isVisible());

    // By mouse: the page of the clicked tab, with the focus.
    QTest::mouseClick(tabs.tabBar(), Qt::LeftButton, Qt::NoModifier, tabs.tabBar()->tabRect(1).center());
    QCOMPARE(tabs.GetCurSel(), 1);
    QVERIFY(dump->isVisible());
    QVERIFY(!log->isVisible());

    // By keyboard: the page follows the tab and the focus stays on the tabs.
    tabs.tabBar()->setFocus();
    QTest::keyClick(tabs.tabBar(), Qt::Key_Left);
    QCOMPARE(tabs.GetCurSel(), 0);
    QVERIFY(log->isVisible());
    QVERIFY(!dump->isVisible());
    QVERIFY(tabs.tabBar()->hasFocus());
    QTest::keyClick(tabs.tabBar(), Qt::Key_Right);
    QVERIFY(dump->isVisible());

    // By code.
    QSignalSpy shown(&tabs, &CPageTabCtrl::pageShown);
    QCOMPARE(tabs.SetCurSel(0), 1);
    QCOMPARE(shown.count(), 1);
    QVERIFY(log->isVisible());
    QCOMPARE(tabs.SetCurSel(5), 0);
    QCOMPARE(tabs.GetCurSel(), 0);
    testsupport::SaveScreenshot(&tabs, QStringLiteral("page-tab"));
}

void DecorativeTest::bevelLineText() {
    // Dark text pixels only where the text is: left, centre or right, or along a vertical line.
    auto darkColumns = [](QWidget& w) {
        const QImage image = w.grab().toImage();
        QVector<int> columns;
        for (int x = 0; x < image.width(); ++x)
            for (int y = 0; y < image.height(); ++y)
                if (qGray(image.pixel(x, y)) < 100) {
                    columns << x;
                    break;
                }
        return columns;
    };
    cdxCRotBevelLine line(QStringLiteral("Flash Writer File"));
    line.resize(300, 18);
    line.show();
    QVERIFY(QTest::qWaitForWindowExposed(&line));
    QVector<int> columns = darkColumns(line);
    QVERIFY(!columns.isEmpty());
    QVERIFY(columns.first() < 10 && columns.last() < 150);
    line.SetAlignment(Qt::AlignRight);
    columns = darkColumns(line);
    QVERIFY(columns.first() > 150 && columns.last() >= 280);
    // The line itself: highlight over shadow when raised, the reverse when sunken.
    const QImage raised = line.grab().toImage();
    const int y = line.height() / 2 - 1;
    QCOMPARE(raised.pixel(2, y), line.palette().color(QPalette::Light).rgb());
    QCOMPARE(raised.pixel(2, y + 1), line.palette().color(QPalette::Dark).rgb());
    line.SetSunken(true);
    const QImage sunken = line.grab().toImage();
    QCOMPARE(sunken.pixel(2, y), line.palette().color(QPalette::Dark).rgb());

    // Vertical: the text runs along the line; "~" turns it the other way and is not drawn.
    cdxCRotBevelLine down(QStringLiteral("Turned"));
    down.resize(20, 150);
    down.show();
    QVERIFY(QTest::qWaitForWindowExposed(&down));
    cdxCRotBevelLine up(QStringLiteral("~Turned"));
    up.resize(20, 150);
    up.show();
    QVERIFY(QTest::qWaitForWindowExposed(&up));
    const QImage a = down.grab().toImage();
    const QImage b = up.grab().toImage();
    QVERIFY(a != b);
    testsupport::SaveScreenshot(&line, QStringLiteral("bevel-line-right-sunken"));
    testsupport::SaveScreenshot(&down, QStringLiteral("bevel-line-vertical-90"));
    testsupport::SaveScreenshot(&up, QStringLiteral("bevel-line-vertical-270"));
    // 270 degrees is the 90-degree picture turned half around; the text starts at the bottom.
    auto firstDarkRow = [](const QImage& image, bool fromTop) {
        for (int i = 0; i < image.height(); ++i) {
            const int yy = fromTop ? i : image.height() - 1 - i;
            for (int x = 0; x < image.width(); ++x)
                if (qGray(image.pixel(x, yy)) < 100)
                    return i;
        }
        return -1;
    };
    QVERIFY(firstDarkRow(a, true) < 10);
    QVERIFY(firstDarkRow(b, false) < 10);
    QVERIFY(firstDarkRow(b, true) > 40);
}

void DecorativeTest::linkLabel() {
    QWidget parent;
    parent.resize(300, 100);
    auto* link = new CLinkLabel(QStringLiteral("Bug report"), &parent);
    QCOMPARE(link->GetURL(), QStringLiteral("Bug report"));
    link->SetURL(QStringLiteral("mailto:support@example.org"));
    QCOMPARE(link->text(), QStringLiteral("Bug report"));
    QCOMPARE(link->toolTip(), QStringLiteral("mailto:support@example.org"));
    QCOMPARE(link->CurrentColor(), QColor(0, 0, 238));
    QVERIFY(!link->font().underline());
    // Auto-size: the control fits its text in the underlined font.
    QFont underlined = link->font();
    underlined.setUnderline(true);
    QVERIFY(link->width() >= QFontMetrics(underlined).horizontalAdvance(link->text()));
    QVERIFY(link->width() <= QFontMetrics(underlined).horizontalAdvance(link->text()) + 8);

    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    testsupport::SaveScreenshot(&parent, QStringLiteral("link-label"));
    QTest::mouseMove(link, QPoint(3, 3));
    QVERIFY(link->IsHovered());
    QCOMPARE(link->CurrentColor(), QColor(255, 0, 0));
    QVERIFY(link->font().underline());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(link, &leave);
    QVERIFY(!link->IsHovered());
    QVERIFY(!link->font().underline());

    link->SetUnderline(CLinkLabel::UNDERLINE_ALWAYS);
    QVERIFY(link->font().underline());
    link->SetUnderline(CLinkLabel::UNDERLINE_NEVER);
    QTest::mouseMove(link, QPoint(4, 4));
    QVERIFY(!link->font().underline());

    QStringList opened;
    CLinkLabel::SetOpener([&](const QString& url) {
        opened << url;
        return CLinkLabel::kOpened;
    });
    QSignalSpy spy(link, &CLinkLabel::linkOpened);
    QTest::mouseClick(link, Qt::LeftButton, Qt::NoModifier, QPoint(3, 3));
    CLinkLabel::SetOpener({});
    QCOMPARE(opened, QStringList{QStringLiteral("mailto:support@example.org")});
    QCOMPARE(spy.count(), 1);
    QVERIFY(link->GetVisited());
    QEvent leave2(QEvent::Leave);
    QApplication::sendEvent(link, &leave2);
    QCOMPARE(link->CurrentColor(), QColor(85, 26, 139));
}

void DecorativeTest::linkErrorTexts_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0 << "The operating system is out\nof memory or resources.";
    QTest::newRow("2") << 2 << "The specified file was not found.";
    QTest::newRow("11") << 11 << "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).";
    QTest::newRow("26") << 26 << "A sharing violation occurred. ";
    QTest::newRow("30")
        << 30
        << "The DDE transaction could not\nbe completed because other DDE transactions\nwere being "
           "processed.";
    QTest::newRow("31") << 31 << "There is no application associated\nwith the given filename extension.";
    QTest::newRow("32") << 32 << "The specified dynamic-link library was not found.";
    QTest::newRow("other") << 7 << "Unknown Error (7) occurred.";
}

void DecorativeTest::linkErrorTexts() {
    QFETCH(int, code);
    QFETCH(QString, text);
    QCOMPARE(CLinkLabel::ErrorText(code), text);
}

void DecorativeTest::linkFailureIsReported() {
    CLinkLabel link(QStringLiteral("http://example.org/bugs"));
    CLinkLabel::SetOpener([](const QString&) { return 2; });
    QString shown;
    QTimer::singleShot(50, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->text();
            testsupport::SaveScreenshot(box, QStringLiteral("link-label-failure-message"));
            box->close();
        }
    });
    QVERIFY(!link.OpenURL());
    CLinkLabel::SetOpener({});
    QCOMPARE(shown, QStringLiteral("Unable to open hyperlink:\n\nThe specified file was not found."));
    QVERIFY(!link.GetVisited());
}

void DecorativeTest::wavePlayer() {
    // No sound card here: the player loads, plays nothing audible and never waits.
    qputenv("VANDREL_SOUND_DEVICE", "hw:99,0");
    CWavePlayer player;
    QVERIFY(player.LoadFromResource(QStringLiteral("Dizezazu.wav")));
    QVERIFY(player.IsLoaded());
    QVERIFY(player.Playback().Format());
    QCOMPARE(player.Playback().Format()->samplesPerSec, 22050u);
    player.Play(0, false);
    QTRY_VERIFY_WITH_TIMEOUT(!player.IsPlaying(), 10000);
    QVERIFY(!player.LoadFromResource(QStringLiteral("missing.wav")));
    QVERIFY(!player.IsLoaded());
    player.Play();
    QVERIFY(!player.IsPlaying());
    QVERIFY(!player.LoadFromFile(QStringLiteral("/nonexistent/Dizezazu.wav")));

    // The file beside the programs is the same chime.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Dizezazu.wav"));
    QVERIFY(QFile::copy(QStringLiteral(":/sounds/Dizezazu.wav"), path));
    QVERIFY(player.LoadFromFile(path));
    QFile truncated(path);
    QVERIFY(truncated.open(QIODevice::ReadWrite));
    QVERIFY(truncated.resize(truncated.size() / 2));
    truncated.close();
    QVERIFY(!player.LoadFromFile(path));
    QVERIFY(!player.LastError().isEmpty());
    qunsetenv("VANDREL_SOUND_DEVICE");
}

void DecorativeTest::resources() {
    struct Icon {
        int id;
        QList<int> sizes;
    } icons[] = {{IDI_PROGRAM, {16, 24, 32, 48, 64, 128, 256}}, {IDI_CONNECT_IN, {16, 24, 32, 48}},
                 {IDI_CONNECT_OUT, {16, 24, 32, 48}},           {IDI_INFORMATION, {32, 48, 64}},
                 {IDI_DUMP_TO_SCREEN, {16, 24, 32, 48}},        {IDI_DUMP_TO_FILE, {16, 24, 32, 48}}};
    for (const Icon& icon : icons) {
        const QIcon loaded = LoadResIcon(icon.id);
        QVERIFY2(!loaded.isNull(), qPrintable(QString::number(icon.id)));
        for (int size : icon.sizes) {
            const QImage image(ResIconPath(icon.id, size));
            QCOMPARE(image.size(), QSize(size, size));
            // Transparent corners, opaque middle: a real picture, not a blank square.
            QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
            QCOMPARE(image.pixelColor(size / 2, size / 2).alpha(), 255);
        }
    }
    QVERIFY(LoadResIcon(9999).isNull());
    QVERIFY(ResIconPath(IDI_PROGRAM, 17).isEmpty());
    const QPixmap files = LoadResBitmap(IDB_FILE_LIST);
    QCOMPARE(files.size() / files.devicePixelRatio(), QSize(16, 16));
    QVERIFY(LoadResBitmap(IDI_PROGRAM).isNull());
    QVERIFY(LoadResWave(QStringLiteral("Dizezazu.wav")).startsWith("RIFF"));
    QVERIFY(LoadResWave(QStringLiteral("nothing.wav")).isEmpty());
    // A few numbers other windows rely on.
    QCOMPARE(IDD_VANDREL_DIALOG, 102);
    QCOMPARE(IDC_FILE_LIST, 1103);
    QCOMPARE(ID_FILE_LIST_MOVE_DOWN, 32790);
    QCOMPARE(IDR_FILE_LIST_MENU, 153);
    QCOMPARE(IDC_DUMP_MODE, 1065);
}

QTEST_MAIN(DecorativeTest)
#include "DecorativeTest.moc"
