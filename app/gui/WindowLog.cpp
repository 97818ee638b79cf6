#include "WindowLog.h"

#include <QThread>

#include "LogPage.h"
#include "VandrelDlg.h"

void CWindowLog::AppendLog(const std::string& text) {
    const QString q = QString::fromStdString(text);
    if (QThread::currentThread() == m_window->thread()) {
        m_window->AppendLog(q);
    } else {
        QMetaObject::invokeMethod(
            m_window, [w = m_window, q] { w->AppendLog(q); }, Qt::QueuedConnection);
    }
}

void CWindowLog::ClearLog() {
    if (QThread::currentThread() == m_window->thread()) {
        m_window->LogPage()->ClearLog();
    } else {
        QMetaObject::invokeMethod(
            m_window, [w = m_window] { w->LogPage()->ClearLog(); }, Qt::QueuedConnection);
    }
}
