// Shared by the tests of the program's windows: a private settings folder, flash images written
// for the virtual handset, and a driver that photographs every modal window that opens and
// answers the message boxes, so that no test waits on a modal loop without a way out.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "Screenshot.h"
#include "SrecText.h"
#include "app/RegistryStore.h"

namespace apptest {

// Keeps the offscreen platform's notes on window hints out of the test output.
inline void QuietPlatformWarnings() {
    static QtMessageHandler previous = nullptr;
    previous =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            if (text.contains(QLatin1String("propagateSizeHints"))) {
                return;
            }
            if (previous) {
                previous(type, context, text);
            }
        });
}

// A settings folder of the test's own: $VANDREL_CONFIG_DIR points at it while it lives.
class CConfigDir {
public:
    CConfigDir() { qputenv("VANDREL_CONFIG_DIR", m_dir.path().toLocal8Bit()); }
    ~CConfigDir() { qunsetenv("VANDREL_CONFIG_DIR"); }
    QString Path() const { return m_dir.path(); }
    QString File(const QString& name) const { return m_dir.filePath(name); }
    std::string Std() const { return m_dir.path().toStdString(); }
    // The text of a root key's file ("HKEY_LOCAL_MACHINE"), empty when it does not exist.
    QString RootText(const QString& root = QStringLiteral("HKEY_LOCAL_MACHINE")) const {
        QDir dir(m_dir.path());
        for (const QString& name : dir.entryList(QDir::Files)) {
            if (name.startsWith(root)) {
                QFile file(dir.filePath(name));
                if (file.open(QIODevice::ReadOnly)) {
                    return QString::fromUtf8(file.readAll());
                }
            }
        }
        return {};
    }

private:
    QTemporaryDir m_dir;
};

// A value of the settings folder's store, as the program keeps it.
inline void PutInt(const CConfigDir& dir, const char* key, const char* name, int32_t value) {
    CRegistryStore store(dir.Std());
    store.SelectRoot(HKEY_LOCAL_MACHINE);
    QVERIFY(store.OpenPath(key, true) == 1);
    QVERIFY(store.PutInt(name, value) == 1);
}

inline int32_t GetInt(const CConfigDir& dir, const char* key, const char* name, int32_t fallback = -12345) {
    CRegistryStore store(dir.Std());
    store.SelectRoot(HKEY_LOCAL_MACHINE);
    if (store.OpenPath(key) != 1) {
        return fallback;
    }
    return store.GetInt(name, fallback);
}

inline void ClearPortEnvironment() {
    for (int n = 1; n <= 4; ++n) {
        qunsetenv(("VANDREL_COM" + std::to_string(n)).c_str());
    }
    qunsetenv("VANDREL_USB_DEVICE");
}

// An .m0 file: S0, the data cut into 32-byte S3 records from address, S7.
inline QString WriteM0(const QString& path, uint32_t address, std::size_t size, unsigned seed) {
    std::string text = "S00600004844521B\n";
    const std::vector<uint8_t> data = Pattern(size, seed);
    for (std::size_t at = 0; at < data.size(); at += 32) {
        const std::size_t n = std::min<std::size_t>(32, data.size() - at);
        text += S3Line(address + static_cast<uint32_t>(at),
                       std::vector<uint8_t>(data.begin() + static_cast<long>(at),
                                            data.begin() + static_cast<long>(at + n)));
    }
    text += "S70500000000FA\n";
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return {};
    }
    file.write(text.data(), static_cast<qint64>(text.size()));
    return path;
}

// A flash writer image: a kilobyte for the handset's RAM.
inline QString WriteFlashWriter(const QString& path) {
    return WriteM0(path, 0x20000000, 1024, 7);
}

// What the driver saw of a message box.
struct TS_BOX {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Photographs every modal window once and hands it to a handler as it is shown; message boxes are
// recorded and answered with their first button unless the handler took them. A modal window left
// open past the time limit is closed, and the test is failed, so a test can never hang on a modal
// loop.
class CModalDriver : public QObject {
public:
    using Handler = std::function<bool(QWidget*)>; // true: handled, leave it alone

    explicit CModalDriver(QString prefix, int limitMs = 90000)
        : m_prefix(std::move(prefix)), m_limitMs(limitMs) {
        m_timer.setInterval(25);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { Tick(); });
        m_timer.start();
        qApp->installEventFilter(this);
    }
    ~CModalDriver() override { qApp->removeEventFilter(this); }

    void SetHandler(Handler handler) { m_handler = std::move(handler); }
    const std::vector<TS_BOX>& Boxes() const { return m_boxes; }
    void ClearBoxes() { m_boxes.clear(); }
    QStringList Shots() const { return m_shots; }
    bool Failed() const { return m_failed; }
    // Pictures of the modal windows are named <prefix>-<name>; a name is used once.
    void Shoot(QWidget* w, const QString& name) {
        const QString full = m_prefix + QLatin1Char('-') + name;
        if (!m_shotNames.contains(full)) {
            m_shotNames.insert(full);
            testsupport::SaveScreenshot(w, full);
            m_shots << full;
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched->isWidgetType()) {
            auto* w = static_cast<QWidget*>(watched);
            if (w->isWindow() && (w->isModal() || qobject_cast<QDialog*>(w)) && !m_seen.contains(w)) {
                m_seen.insert(w);
                QObject::connect(w, &QObject::destroyed, this, [this, w] { m_seen.remove(w); });
                Handle(w);
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    static QString NameOf(QWidget* w) {
        QString name = w->objectName();
        if (name.isEmpty()) {
            name = QString::fromLatin1(w->metaObject()->className());
        }
        return name;
    }

    void Handle(QWidget* w) {
        if (m_handler && m_handler(w)) {
            return;
        }
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            m_boxes.push_back({box->windowTitle(), box->text(), box->icon()});
            QPointer<QMessageBox> guard(box);
            QTimer::singleShot(0, box, [this, guard] {
                if (!guard) {
                    return;
                }
                Shoot(guard, QStringLiteral("message-%1").arg(m_boxes.size()));
                if (!guard->buttons().isEmpty()) {
                    guard->buttons().constFirst()->click();
                }
            });
        }
    }

    void Tick() {
        QWidget* w = QApplication::activeModalWidget();
        if (!w) {
            m_current = nullptr;
            return;
        }
        if (w != m_current) {
            m_current = w;
            m_since.start();
        }
        if (m_since.elapsed() > m_limitMs) {
            QWARN(qPrintable(QStringLiteral("closing a modal window left open: ") + NameOf(w)));
            m_failed = true;
            m_since.start();
            w->close();
            if (auto* dialog = qobject_cast<QDialog*>(w)) {
                dialog->reject();
            }
        }
    }

    QString m_prefix;
    int m_limitMs;
    QTimer m_timer;
    Handler m_handler;
    QSet<QWidget*> m_seen;
    QPointer<QWidget> m_current;
    QElapsedTimer m_since;
    bool m_failed = false;
    std::vector<TS_BOX> m_boxes;
    QSet<QString> m_shotNames;
    QStringList m_shots;
};

// The log texts in the order given appear in the log in that order.
inline bool InOrder(const QString& log, const QStringList& parts, QString* missing) {
    qsizetype at = 0;
    for (const QString& part : parts) {
        const qsizetype found = log.indexOf(part, at);
        if (found < 0) {
            *missing = part;
            return false;
        }
        at = found + part.size();
    }
    return true;
}

#define VERIFY_IN_ORDER(log, ...)                                                                            \
    do {                                                                                                     \
        QString missing_;                                                                                    \
        QVERIFY2(InOrder(log, __VA_ARGS__, &missing_),                                                       \
                 qPrintable(QStringLiteral("missing (in order): [%1]\nin log:\n%2").arg(missing_, log)));    \
    } while (0)

} // namespace apptest
