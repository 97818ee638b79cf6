#include "ModalScope.h"

#include <QTimer>

#include "VandrelDlg.h"

CModalScope::CModalScope(CVandrelDlg* window) : m_window(window) {
    ++m_window->m_modalDepth;
    m_window->UpdateCommands();
}

CModalScope::~CModalScope() {
    --m_window->m_modalDepth;
    m_window->UpdateCommands();
    if (m_window->m_closeRequested) {
        QTimer::singleShot(0, m_window, [w = m_window] { w->TryFinishClose(); });
    }
}
