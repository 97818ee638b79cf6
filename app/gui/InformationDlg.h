// CInformationDlg: "Vandrel information". The program icon, the version line, the maker's line,
// an "OK" button and the "Bug report" link.
#pragma once

#include <QDialog>
#include <string>

class CLinkLabel;
class QLabel;

class CInformationDlg : public QDialog {
    Q_OBJECT
public:
    // The address behind "Bug report".
    static constexpr const char* kBugReportUrl =
        "mailto:vandrel-bugs@example.org?subject=Vandrel%20bug%20report";
    // The fixed line naming the maker.
    static constexpr const char* kMakerLine = "Copyright (C) The Vandrel developers";

    // modulePath: the module whose version block gives the version line (the running program).
    explicit CInformationDlg(QWidget* parent = nullptr, const std::string& modulePath = "/proc/self/exe");

    QString VersionLine() const;
    CLinkLabel* BugReportLink() const { return m_link; }

private:
    QLabel* m_version;
    CLinkLabel* m_link;
};
