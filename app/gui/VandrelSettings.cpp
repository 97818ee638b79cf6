// The main window's settings: the record, the list's files, the COM port map and the window's
// placement, read at start and written on close.
#include "VandrelDlg.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QGuiApplication>
#include <QScreen>
#include <QStyle>

#include "ListMirror.h"
#include "XListCtrl.h"

void CVandrelDlg::LoadSettings() {
    const TS_LOADED_SETTINGS loaded = ReadAppSettings(m_options.configDirectory);
    m_settings = loaded.Settings;
    m_radioValue = loaded.RadioValue;
    for (const std::string& path : loaded.FilePaths) {
        m_list->AddFile(QString::fromStdString(path)); // files gone or listed twice drop out silently
    }
    m_portMap = ReadComPortMap(m_options.configDirectory);
    ApplyComPortMap(m_portMap);
    if (QAbstractButton* button = m_portGroup->button(m_radioValue)) {
        button->setChecked(true);
    }
    if (m_mirror) {
        m_mirror->Sync();
    }
}

void CVandrelDlg::SaveSettings() {
    if (m_portGroup->checkedId() >= 0) {
        m_radioValue = m_portGroup->checkedId();
    }
    WriteAppSettings(m_settings, ListPaths(), m_options.configDirectory);
    WriteComPortMap(m_portMap, m_options.configDirectory);
}

void CVandrelDlg::RestoreWindowPlacement() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen) {
        // the default place: the middle of the work area
        const QRect work = screen->availableGeometry();
        move(work.center() - QPoint(width() / 2, height() / 2));
    }
    const std::optional<TS_WINDOW_PLACEMENT> placement = ReadWindowPlacement(m_options.configDirectory);
    if (!placement || !screen) {
        return; // the key does not open or a value is -1: the window keeps its default place
    }
    TS_SCREEN_METRICS metrics;
    const QRect work = screen->availableGeometry();
    metrics.WorkLeft = work.left();
    metrics.WorkTop = work.top();
    metrics.ScreenWidth = screen->geometry().width();
    metrics.ScreenHeight = screen->geometry().height();
    metrics.IconWidth = metrics.IconHeight = style()->pixelMetric(QStyle::PM_LargeIconSize);
    const TS_WINDOW_POSITION position = RestoredWindowPosition(*placement, metrics);
    move(position.x, position.y);
    m_normalFrame = QRect(QPoint(position.x, position.y), frameGeometry().size());
    m_restoredFramePlace = m_normalFrame.topLeft();
    if (placement->Status == 3) { // shown maximised when it was closed
        setWindowState(windowState() | Qt::WindowMaximized);
    }
    m_placementRestored = true;
}

void CVandrelDlg::SaveWindowPlacement() {
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    const QRect work = screen ? screen->availableGeometry() : QRect();
    // the frame's rectangle either way (normalGeometry() would be the client area's)
    QRect normal = frameGeometry();
    if ((isMaximized() || isMinimized()) && m_normalFrame.isValid()) {
        normal = m_normalFrame;
    }
    TS_WINDOW_PLACEMENT placement;
    placement.Status = isMaximized() ? 3 : isMinimized() ? 2 : 1;
    placement.Left = normal.left() - work.left();
    placement.Top = normal.top() - work.top();
    placement.Right = placement.Left + normal.width();
    placement.Bottom = placement.Top + normal.height();
    WriteWindowPlacement(placement, m_options.configDirectory);
}
