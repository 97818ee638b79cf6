#include "InformationDlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "ControlId.h"
#include "LinkLabel.h"
#include "Resources.h"
#include "VersionBlock.h"

CInformationDlg::CInformationDlg(QWidget* parent, const std::string& modulePath)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(QStringLiteral("CInformationDlg"));
    setProperty("templateId", IDD_INFORMATION);
    setWindowTitle(QStringLiteral("Vandrel information"));

    auto* icon = new QLabel(this);
    icon->setPixmap(LoadResIcon(IDI_INFORMATION).pixmap(48, 48));
    icon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

    // an unreadable block leaves the three values empty; the fixed parts still appear
    CVersionBlock block;
    block.Open(modulePath);
    m_version = new QLabel(QString::fromStdString(block.VersionLine()), this);
    SetControlId(m_version, IDC_VERSION);
    m_version->setTextFormat(Qt::PlainText);
    m_version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* maker = new QLabel(QString::fromLatin1(kMakerLine), this);
    maker->setTextFormat(Qt::PlainText);

    m_link = new CLinkLabel(QStringLiteral("Bug report"), this);
    SetControlId(m_link, IDC_BUG_REPORT);
    m_link->SetURL(QString::fromLatin1(kBugReportUrl));
    m_link->SetUnderline(CLinkLabel::UNDERLINE_ALWAYS);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setText(QStringLiteral("OK"));
    SetControlId(ok, IDOK);
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(18, 18, 18, 14);
    grid->setHorizontalSpacing(16);
    grid->setVerticalSpacing(6);
    grid->addWidget(icon, 0, 0, 3, 1);
    grid->addWidget(m_version, 0, 1);
    grid->addWidget(maker, 1, 1);
    grid->addWidget(m_link, 2, 1, Qt::AlignLeft);
    grid->setRowMinimumHeight(3, 8);
    grid->addWidget(buttons, 4, 0, 1, 2);
    grid->setSizeConstraint(QLayout::SetFixedSize);
}

QString CInformationDlg::VersionLine() const {
    return m_version->text();
}
