#include "ListMirror.h"

#include "XListCtrl.h"

int CListMirror::GetItemCount() {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_paths.size());
}

std::string CListMirror::GetItemText(int row) {
    std::lock_guard lock(m_mutex);
    return row >= 0 && row < static_cast<int>(m_paths.size()) ? m_paths[static_cast<std::size_t>(row)]
                                                              : std::string();
}

int CListMirror::GetCurSel() {
    std::lock_guard lock(m_mutex);
    return m_selected;
}

void CListMirror::SetCurSel(int row) {
    {
        std::lock_guard lock(m_mutex);
        m_selected = row >= 0 && row < static_cast<int>(m_paths.size()) ? row : -1;
    }
    m_list->SetCurSel(row); // handed to the UI thread when called from JobThread
}

void CListMirror::SetCellBold(int row, bool bold) {
    m_list->SetCellBold(row, 0, bold);
}

void CListMirror::Sync() {
    std::vector<std::string> paths;
    for (int row = 0; row < m_list->GetItemCount(); ++row) {
        paths.push_back(m_list->GetItemText(row, 0).toStdString());
    }
    const int selected = m_list->GetCurSel();
    std::lock_guard lock(m_mutex);
    m_paths = std::move(paths);
    m_selected = selected;
}
