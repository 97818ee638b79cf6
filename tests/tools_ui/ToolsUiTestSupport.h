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

#include "LinkedHandset.h"
#include "quillet/Quillet.h"

namespace toolsui {

using testsupport::ESimLink;

using testsupport::FlashWriterOptions;

// A virtual handset on one link and an open monitor on it (COM1 or the USB device).
class CHandset : public testsupport::CLinkedHandset {
public:
    using testsupport::CLinkedHandset::CLinkedHandset;
    COstraMonitor* Monitor() { return MonitorPtr(); }
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
