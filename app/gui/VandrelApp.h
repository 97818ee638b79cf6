// The application object: it makes the main window, shows it, and ends the program when the
// window has closed.
#pragma once

class QApplication;

class CVandrelApp {
public:
    // Sets the program's name (the caption of its message boxes) and resources; call before any
    // window exists.
    static void Prepare(QApplication& application);
    // Shows the main window and returns the program's exit code when it has closed.
    static int Run(QApplication& application);
};
