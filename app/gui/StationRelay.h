// CStationDlg::CRelay: the engine's reports to the station window, posted to the window's thread;
// those of an earlier run are dropped there.
#pragma once

#include <QPointer>

#include <atomic>

#include "StationDlg.h"

class CStationDlg::CRelay final : public IStationObserver {
public:
    explicit CRelay(CStationDlg* window) : m_window(window) {}
    void SetGeneration(int generation) { m_generation.store(generation); }

    void OnBegin(int port, const std::string&) override {
        m_window->m_model.AttemptBegun(port);
        Post([port](CStationDlg* w) { w->OnBegin(port); });
    }
    void OnPhase(int port, TE_STATION_PHASE phase) override {
        Post([port, phase](CStationDlg* w) { w->OnPhase(port, phase); });
    }
    void OnProgress(int port, uint64_t done, uint64_t total) override {
        Post([port, done, total](CStationDlg* w) { w->OnProgress(port, done, total); });
    }
    void OnLog(int port, const std::string& text) override;
    void OnEnd(int port, const TS_STATION_RESULT& result) override {
        // the attempt that ended, taken here: the port may begin the next before the end is shown
        const int64_t attempt = m_window->m_model.AttemptOfJob(port);
        Post([port, result, attempt](CStationDlg* w) { w->OnEnd(port, result, attempt); });
    }
    void OnWaiting(int port, bool away) override {
        Post([port, away](CStationDlg* w) { w->OnWaiting(port, away); });
    }
    void OnRefused(int port, const std::string& reason) override {
        Post([port, q = QString::fromStdString(reason)](CStationDlg* w) { w->OnRefused(port, q); });
    }
    void OnPortState(int port, TE_STATION_PORT_STATE state) override {
        Post([port, state](CStationDlg* w) { w->OnPortState(port, state); });
    }
    void OnStoreState(TE_STATION_STORE state, const std::string& reason) override {
        Post([state, q = QString::fromStdString(reason)](CStationDlg* w) { w->OnStoreState(state, q); });
    }

private:
    template <typename F>
    void Post(F f) {
        const int generation = m_generation.load();
        QPointer<CStationDlg> window(m_window);
        QMetaObject::invokeMethod(
            m_window,
            [window, generation, f] {
                if (window && window->m_generation == generation) {
                    f(window.data());
                }
            },
            Qt::QueuedConnection);
    }

    CStationDlg* m_window;
    std::atomic<int> m_generation{0};
};
