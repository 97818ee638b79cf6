// The program's windows as a window manager on a real X server sees them: the titles it reads
// and the place a window comes back to. Run by under-x.sh (Xvfb with a window manager).
#include <QGuiApplication>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QWindow>
#include <QtTest>

#include "AppUiTestSupport.h"
#include "GlobalSettingsDlg.h"
#include "InformationDlg.h"
#include "VandrelApp.h"
#include "VandrelDlg.h"
#include "app/AppSettings.h"

using namespace apptest;

namespace {

// The window's name properties as X clients read them, e.g. {"_NET_WM_NAME": "Global Settings"}.
QMap<QString, QString> NameProperties(const QWidget* window) {
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(window->winId()),
                                          QStringLiteral("_NET_WM_NAME"), QStringLiteral("WM_NAME")});
    QMap<QString, QString> names;
    if (!xprop.waitForFinished(10000)) {
        return names;
    }
    static const QRegularExpression line(QStringLiteral("^(\\w+)\\([^)]*\\) = \"(.*)\"$"));
    for (const QString& text : QString::fromUtf8(xprop.readAllStandardOutput()).split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch m = line.match(text);
        if (m.hasMatch()) {
            names.insert(m.captured(1), m.captured(2));
        }
    }
    return names;
}

// The whole screen, frames and titles drawn by the window manager, in the screenshots folder.
void SaveScreen(const QString& name) {
    QDir().mkpath(QStringLiteral(VANDREL_SCREENSHOT_DIR));
    QProcess::execute(QStringLiteral("import"),
                      {QStringLiteral("-window"), QStringLiteral("root"),
                       QStringLiteral(VANDREL_SCREENSHOT_DIR "/") + name + QStringLiteral(".png")});
}

// Whether the window manager has put its frame round the window.
bool Framed(const QWidget& window) {
    return window.windowHandle() && !window.windowHandle()->frameMargins().isNull();
}

} // namespace

class WindowManagerTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            QSKIP("needs an X server (run through under-x.sh)");
        }
        CVandrelApp::Prepare(*qApp); // as the program starts
        QuietPlatformWarnings();
        ClearPortEnvironment();
    }

    // Each window's title reaches the window manager exactly as the window has it.
    void titlesTheWindowManagerReads() {
        CConfigDir config;
        TS_VANDREL_OPTIONS options;
        options.modulePath = VANDREL_PROGRAM;
        CVandrelDlg window(options);
        CGlobalSettingsDlg settings(false, AppSettings{}, TS_COM_PORT_MAP{}, &window);
        CInformationDlg information(&window, VANDREL_PROGRAM);
        QMessageBox box(QMessageBox::Warning, QApplication::applicationName(), QStringLiteral("text"),
                        QMessageBox::Ok, &window);
        const struct {
            QWidget* w;
            QString title;
            QString picture;
        } windows[] = {
            {&window, QStringLiteral("Vandrel for R3700 - Version 3.0.0 (Build #052)"),
             QStringLiteral("main")},
            {&settings, QStringLiteral("Global Settings"), QStringLiteral("settings")},
            {&information, QStringLiteral("Vandrel information"), QStringLiteral("information")},
            {&box, QStringLiteral("Vandrel"), QStringLiteral("message-box")},
        };
        for (const auto& [w, title, picture] : windows) {
            w->show();
            QVERIFY(QTest::qWaitForWindowExposed(w));
            QCOMPARE(w->windowTitle(), title);
            QMap<QString, QString> names;
            QTRY_VERIFY_WITH_TIMEOUT((names = NameProperties(w)).size() == 2, 10000);
            QCOMPARE(names.value(QStringLiteral("_NET_WM_NAME")), title);
            QCOMPARE(names.value(QStringLiteral("WM_NAME")), title);
            SaveScreen(QStringLiteral("x11-title-") + picture);
            w->hide();
        }
    }

    // Closed where it stands or maximised, the window comes back with its frame where it stood.
    void placementRoundTrip_data() {
        QTest::addColumn<bool>("maximised");
        QTest::newRow("closed normal") << false;
        QTest::newRow("closed maximised") << true;
    }
    void placementRoundTrip() {
        QFETCH(bool, maximised);
        CConfigDir config;
        const QRect work = QGuiApplication::primaryScreen()->availableGeometry();
        const QPoint place = work.topLeft() + QPoint(120, 90);
        const QString tag =
            QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-'));
        // moved and closed; then opened (normal: its frame where it stood) and closed as it came
        // back: the same place saved both times
        for (int round = 0; round < 2; ++round) {
            CVandrelDlg window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            // the window manager has framed it
            QTRY_VERIFY_WITH_TIMEOUT(Framed(window), 20000);
            if (round == 0) {
                window.move(place);
                QTRY_COMPARE_WITH_TIMEOUT(window.frameGeometry().topLeft(), place, 10000);
                if (maximised) {
                    window.showMaximized();
                }
            }
            if (maximised) {
                QTRY_VERIFY_WITH_TIMEOUT(window.isMaximized() && window.frameGeometry().topLeft() != place,
                                         10000);
            } else {
                QTRY_COMPARE_WITH_TIMEOUT(window.frameGeometry().topLeft(), place, 10000);
            }
            SaveScreen(QStringLiteral("x11-placement-%1-%2").arg(tag).arg(round));
            QVERIFY(window.close());
            QCOMPARE(GetInt(config, KEY_WINDOWS, "Left"), 120);
            QCOMPARE(GetInt(config, KEY_WINDOWS, "Top"), 90);
        }
    }
};

QTEST_MAIN(WindowManagerTest)
#include "WindowManagerTest.moc"
