// The main window's file list: its columns and context menu, Add, Remove, Remove All, Move Up and
// Move Down, and the paths the settings keep.
#include "VandrelDlg.h"

#include <QFileDialog>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>

#include "ControlId.h"
#include "FECFileDialog.h"
#include "ListMirror.h"
#include "LogPage.h"
#include "ModalScope.h"
#include "Resources.h"
#include "XListCtrl.h"
#include "download/FlashFile.h"

namespace {

constexpr const char* kUnsupportCaption = "Unsupport file error";
constexpr const char* kUnsupportText =
    "\r\nis not a valid OSTRA(*.m0) flash file.\r\n\r\nPlease select a correct OSTRA flash file again!";

} // namespace

void CVandrelDlg::SetupFileList() {
    m_list->SetFullRowSelect(true);
    m_list->SetShowSelectionAlways(true);
    m_list->InsertColumn(0, QStringLiteral("Pathname"), LVCFMT_LEFT, 400);
    m_list->InsertColumn(1, QStringLiteral("Size"), LVCFMT_CENTER, 60);
    m_list->SetImageList(LoadResBitmap(IDB_FILE_LIST).toImage(), 16, Qt::white);
    TS_DROP_RULES rules;
    rules.flags = DROP_FILES | DROP_FILTER_EXT;
    rules.filter = QStringLiteral(".m0");
    m_list->SetDropRules(rules);
    // five rows and the header
    m_list->setMinimumHeight(5 * 22 + 30);
    m_list->setMaximumHeight(5 * 22 + 40);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_list, &QWidget::customContextMenuRequested, this, &CVandrelDlg::ShowContextMenu);
    m_list->installEventFilter(this);

    // JobThread reads the list from a copy: refresh it on every change
    QAbstractItemModel* model = m_list->model();
    auto sync = [this] {
        if (m_mirror) {
            m_mirror->Sync();
        }
    };
    connect(model, &QAbstractItemModel::rowsInserted, this, sync);
    connect(model, &QAbstractItemModel::rowsRemoved, this, sync);
    connect(model, &QAbstractItemModel::rowsMoved, this, sync);
    connect(model, &QAbstractItemModel::modelReset, this, sync);
    connect(model, &QAbstractItemModel::dataChanged, this, sync);
    connect(m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this, sync);
    connect(m_list->selectionModel(), &QItemSelectionModel::currentChanged, this, sync);
}

void CVandrelDlg::LayoutColumns() {
    const int w = m_list->viewport()->width();
    const int first = w * 43 / 50;
    m_list->SetColumnWidth(0, first);
    m_list->SetColumnWidth(1, qMax(0, w - first));
}

bool CVandrelDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_list && (event->type() == QEvent::Resize || event->type() == QEvent::Show)) {
        QTimer::singleShot(0, this, &CVandrelDlg::LayoutColumns);
    }
    return QMainWindow::eventFilter(watched, event);
}

std::vector<std::string> CVandrelDlg::ListPaths() const {
    std::vector<std::string> paths;
    for (int row = 0; row < m_list->GetItemCount() && row < MAX_SAVED_FLASH_FILES; ++row) {
        paths.push_back(m_list->GetItemText(row, 0).toStdString());
    }
    return paths;
}

void CVandrelDlg::OnAdd() {
    if (m_runActive) {
        return;
    }
    QString path;
    {
        CModalScope scope(this);
        QFileDialog dialog(this, QStringLiteral("Open"));
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setDefaultSuffix(QStringLiteral("m0"));
        CFECFileDialog::SetFilter(dialog, QString::fromLatin1(CFECFileDialog::kDefaultFilter));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
            return;
        }
        path = dialog.selectedFiles().constFirst();
    }
    AddChosenFile(path);
}

void CVandrelDlg::AddChosenFile(const QString& path) {
    if (IsValidFlashFile(path.toStdString())) {
        m_list->AddFile(path); // a duplicate, a sixth file or a file that does not open: nothing added
        return;
    }
    CModalScope scope(this);
    QMessageBox box(QMessageBox::Critical, QString::fromLatin1(kUnsupportCaption),
                    CLogPage::ShownForm(path + QString::fromLatin1(kUnsupportText)), QMessageBox::Ok, this);
    box.exec();
}

void CVandrelDlg::OnRemove() {
    const int row = m_list->GetCurSel();
    if (row >= 0 && !m_runActive) {
        m_list->DeleteItem(row);
    }
}

void CVandrelDlg::OnRemoveAll() {
    if (!m_runActive) {
        m_list->DeleteAllItems();
    }
}

void CVandrelDlg::OnMoveUp() {
    const int row = m_list->GetCurSel();
    if (row >= 0 && !m_runActive) {
        m_list->MoveItem(row, row - 1);
    }
}

void CVandrelDlg::OnMoveDown() {
    const int row = m_list->GetCurSel();
    if (row >= 0 && !m_runActive) {
        m_list->MoveItem(row, row + 2);
    }
}

void CVandrelDlg::ShowContextMenu(const QPoint& position) {
    UpdateCommands();
    QMenu menu(this);
    menu.addAction(m_commands[ID_FILE_LIST_ADD]);
    menu.addAction(m_commands[ID_FILE_LIST_REMOVE]);
    menu.addSeparator();
    menu.addAction(m_commands[ID_FILE_LIST_MOVE_UP]);
    menu.addAction(m_commands[ID_FILE_LIST_MOVE_DOWN]);
    menu.addSeparator();
    menu.addAction(m_commands[ID_FILE_LIST_DOWNLOAD]);
    menu.exec(m_list->viewport()->mapToGlobal(position));
}
