// CModalScope: a modal section of the main window (a dialog or a message box): the commands
// follow it, and a close that arrived meanwhile is finished when it ends.
#pragma once

class CVandrelDlg;

class CModalScope {
public:
    explicit CModalScope(CVandrelDlg* window);
    ~CModalScope();
    CModalScope(const CModalScope&) = delete;
    CModalScope& operator=(const CModalScope&) = delete;

private:
    CVandrelDlg* m_window;
};
