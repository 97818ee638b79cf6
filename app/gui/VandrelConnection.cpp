// The main window's link to the target: the connect toggle and the port type, the connect dialog,
// opening and closing the link (the monitor its users share).
#include "VandrelDlg.h"

#include <QButtonGroup>
#include <QLabel>
#include <QRadioButton>

#include "FaceButton.h"
#include "LogPage.h"
#include "ModalScope.h"
#include "ToolWindows.h"

void CVandrelDlg::SetRadiosEnabled(bool enabled) {
    m_rs232->setEnabled(enabled);
    m_usb->setEnabled(enabled);
}

void CVandrelDlg::OnConnectClicked() {
    if (m_connect->GetCheck()) {
        // the click asks for a connection: the toggle stays off until the target has answered
        m_connect->SetCheck(false);
        m_downloadAll->setEnabled(false);
        ConnectTarget();
    } else if (IsPortOpen() || Monitor()) {
        CloseTargetLink();
        m_connect->SetCheck(false);
        m_downloadAll->setEnabled(false);
        m_status->setText(QString::fromLatin1(linktext::PORT_NOT_OPENED));
        SetRadiosEnabled(true);
    }
}

void CVandrelDlg::OnPortTypeClicked() {
    m_radioValue = m_portGroup->checkedId();
    m_settings.PortConfig.PortType = m_radioValue;
}

void CVandrelDlg::ConnectTarget() {
    if (CommandsBusy() || m_closeRequested) {
        return;
    }
    CloseTargetLink();
    SetRadiosEnabled(false);
    int result = QDialog::Rejected;
    {
        CConnectDlg dialog(this);
        m_connectDlg = &dialog;
        CModalScope scope(this);
        result = dialog.exec();
        m_connectDlg = nullptr;
    }
    if (result == QDialog::Accepted && !m_closeRequested && Monitor()) {
        m_connect->SetCheck(true);
        m_connected = true;
        if (m_dumpPage) {
            m_dumpPage->SetMonitor(Monitor());
        }
        m_job->Connected();
        SignalJob(m_jobThreadStarted);
    } else {
        // a port that did not open keeps its reason on the status line
        QString failure;
        if (Monitor() && !IsPortOpen()) {
            failure = QString::fromStdString(m_link.StatusText());
            const std::string reason = m_link.PortErrorText();
            if (!reason.empty()) {
                failure += QStringLiteral(" - ") + QString::fromStdString(reason);
            }
        }
        CloseTargetLink();
        m_status->setText(failure);
    }
    UpdateCommands();
}

bool CVandrelDlg::OpenTargetLink() {
    const bool open = m_link.OpenTargetLink(m_settings.PortConfig);
    m_status->setText(QString::fromStdString(m_link.StatusText()));
    if (open) {
        m_runs->SetMonitor(m_link.Monitor());
        ApplyLogFont();
        m_logPage->ClearLog();
    }
    return open;
}

void CVandrelDlg::CloseTargetLink() {
    if (m_link.Monitor()) {
        // the users of the monitor let it go before it is destroyed
        if (m_dumpPage) {
            m_dumpPage->SetMonitor(nullptr);
        }
        m_runs->SetMonitor(nullptr);
    }
    m_link.CloseTargetLink();
    m_connected = false;
    SetRadiosEnabled(true);
    m_status->clear();
    UpdateCommands();
}
