#include "StationRelay.h"

void CStationDlg::CRelay::OnLog(int port, const std::string& text) {
    QString q = QString::fromStdString(text);
    q.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    Post([port, q](CStationDlg* w) { w->OnLog(port, q); });
}
