#include "VandrelApp.h"

#include <QApplication>

#include "Resources.h"
#include "VandrelDlg.h"

void CVandrelApp::Prepare(QApplication& application) {
    QApplication::setApplicationName(QStringLiteral("Vandrel"));
    // No display name: on X11 and Wayland Qt appends it to every window title.
    QApplication::setDesktopFileName(QStringLiteral("org.vandrel.Vandrel"));
    application.setQuitOnLastWindowClosed(true);
    InitVandrelResources();
    // every window and dialog shows the program's icon
    QApplication::setWindowIcon(LoadResIcon(IDI_PROGRAM));
}

int CVandrelApp::Run(QApplication& application) {
    Prepare(application);
    CVandrelDlg window;
    window.show();
    return application.exec();
}
