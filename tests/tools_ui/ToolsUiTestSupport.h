// Shared by the erase tool and Memory Dump page tests: a virtual handset with an open monitor, a
// catcher that closes the message boxes a window opens (and remembers them), and small helpers.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QMetaType>
#include <QObject>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

#include "SimHarness.h"
#include "quillet/Quillet.h"

namespace toolsui {

using testsupport::ESimLink;

inline vsim::SSimulatorOptions FlashWriterOptions() {
    vsim::SSimulatorOptions o;
    o.startRunner = vsim::ERunner::FlashWriter;
    return o;
}

// A virtual handset on one link and an open monitor on it (COM1 or the USB device).
class CHandset {
public:
    explicit CHandset(ESimLink link = ESimLink::Uart,
                      const vsim::SSimulatorOptions& options = FlashWriterOptions())
        : m_sim(link, options) {
        m_sim.ExportEnvironment(1);
        const TS_PORT_CONFIG config{link == ESimLink::Usb ? PORT_USB : PORT_UART, 0, 12, 3, 0, 0, 0};
        m_monitor = std::make_unique<COstraMonitor>(config);
        m_monitor->Initialize();
    }
    ~CHandset() { CloseLink(); }

    bool IsOpen() const { return m_monitor && m_monitor->IsSerialOpen() != 0; }
    COstraMonitor* Monitor() { return m_monitor.get(); }
    vsim::CSimulatorHost& Host() { return m_sim.Host(); }
    const std::string& Dir() const { return m_sim.Dir(); }
    // Quits and destroys the monitor, as the main window does when the link closes.
    void CloseLink() {
        if (m_monitor) {
            m_monitor->Quit();
            m_monitor.reset();
        }
    }
    // The recorded commands with one identifier.
    std::vector<vsim::SCommandRecord> Commands(uint8_t cid) {
        std::vector<vsim::SCommandRecord> out;
        for (const vsim::SCommandRecord& r : Host().Snapshot().commands) {
            if (r.cid == cid) {
                out.push_back(r);
            }
        }
        return out;
    }

private:
    testsupport::CSimHarness m_sim;
    std::unique_ptr<COstraMonitor> m_monitor;
};

// Closes every message box that becomes the active modal window, while it lives (at most
// lifetimeMs, so that a test that fails cannot leave it polling), and remembers each one.
class CMessageBoxCatcher : public QObject {
public:
    explicit CMessageBoxCatcher(int lifetimeMs = 60000) {
        m_timer.setInterval(15);
        connect(&m_timer, &QTimer::timeout, this, [this] { Poll(); });
        m_timer.start();
        m_life.start();
        m_lifetimeMs = lifetimeMs;
    }

    QStringList Texts;
    QStringList Details;
    QList<QMessageBox::Icon> Icons;

private:
    void Poll() {
        if (m_life.elapsed() > m_lifetimeMs) {
            m_timer.stop();
            return;
        }
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || box->property("caught").toBool()) {
            return;
        }
        box->setProperty("caught", true);
        Texts << box->text();
        Details << box->informativeText();
        Icons << box->icon();
        if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
            ok->click();
        } else {
            box->reject();
        }
    }

    QTimer m_timer;
    QElapsedTimer m_life;
    qint64 m_lifetimeMs = 0;
};

} // namespace toolsui

Q_DECLARE_METATYPE(testsupport::ESimLink)
