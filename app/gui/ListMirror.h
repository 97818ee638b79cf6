// CListMirror: the main window's file list as JobThread reads it: a copy kept under a lock,
// refreshed by the UI thread on every change of the rows or the selection. A selection JobThread
// makes is handed to the list on the UI thread.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "app/DownloadRuns.h"

class CXListCtrl;

class CListMirror : public IFileList {
public:
    explicit CListMirror(CXListCtrl* list) : m_list(list) {}

    int GetItemCount() override;
    std::string GetItemText(int row) override;
    int GetCurSel() override;
    void SetCurSel(int row) override;
    void SetCellBold(int row, bool bold) override;

    // UI thread: after any change of the rows or the selection.
    void Sync();

private:
    CXListCtrl* m_list;
    std::mutex m_mutex;
    std::vector<std::string> m_paths;
    int m_selected = -1;
};
