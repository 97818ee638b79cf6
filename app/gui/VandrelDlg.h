// CVandrelDlg: the main window. It owns the file list, the log, the settings, the link to the
// target (the one monitor, while a link exists), JobThread and the sound, and hands the runs'
// per-file downloads and the flash writer download to the download dialog.
//
// Threads: the UI thread runs every command and every dialog. JobThread (CJobThread) runs the
// target status query after a connection and the Download / Download All runs; it reaches the
// window only through posted events (the two registered messages) and queued calls (the log, the
// list's selection and bold rows, the sound), and reads the list from a copy kept under a lock, so
// the UI thread never waits for it while it may be waiting for the UI thread. Get Flash ID and the
// connect dialog's target poll run on short-lived workers of their own for the same reason.
//
// Files: VandrelDlg.cpp builds the window and its menus, enables the commands and closes;
// VandrelFileList.cpp the file list, VandrelConnection.cpp the link, VandrelJobs.cpp the runs and
// the flash tools, VandrelSettings.cpp the settings and the placement, VandrelStationHost.cpp the
// production station's host.
//
// Closing: the window closes at once when nothing uses the monitor; otherwise the run in progress
// is asked to end after the file being sent (at once between files), and the window closes as soon
// as it has. Nothing waits without end.
#pragma once

#include <QEvent>
#include <QMainWindow>
#include <QPointer>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ConnectDlg.h"
#include "SendSrecordDlg.h"
#include "StationDlg.h"
#include "VersionBlock.h"
#include "WavePlayer.h"
#include "app/AppSettings.h"
#include "app/ComPortMap.h"
#include "app/DownloadRuns.h"
#include "app/JobThread.h"
#include "download/TargetConnection.h"

class CFaceButton;
class CListMirror;
class CLogPage;
class CPageTabCtrl;
class CWindowLog;
class CXListCtrl;
class IMonitorPage;
class QAction;
class QButtonGroup;
class QLabel;
class QPushButton;
class QRadioButton;

// "CVandrelDlg_SendFlashWriterCodeMsg" and "CVandrelDlg_SendAppCodeMsg", registered at start.
extern const QEvent::Type g_sendFlashWriterCodeMsg;
extern const QEvent::Type g_sendAppCodeMsg;

struct TS_VANDREL_OPTIONS {
    // The module whose version block titles the window (the running program).
    std::string modulePath = "/proc/self/exe";
    // Where the settings are kept; empty: $VANDREL_CONFIG_DIR, then $XDG_CONFIG_HOME/vandrel.
    std::string configDirectory;
    // The chime, looked for in the working folder; the program's own copy when it is not there.
    QString soundFile = QStringLiteral("Dizezazu.wav");
};

class CVandrelDlg : public QMainWindow, private IRunHost, private IJobThreadHost, private IStationHost {
    Q_OBJECT
public:
    using TS_OPTIONS = TS_VANDREL_OPTIONS;
    // The title when the program carries no version block.
    static constexpr const char* kTemplateTitle = "Vandrel for R3700 version 2.0.0";
    // The caption line painted at the top of the window.
    static constexpr const char* kCaptionLine = "R3700 Flash Downloader";

    explicit CVandrelDlg(const TS_OPTIONS& options = TS_OPTIONS(), QWidget* parent = nullptr);
    ~CVandrelDlg() override;

    // ---- the log (UI thread; Log() from any thread)
    void AppendLog(const QString& text);
    void AppendLogTime(const QString& label);
    ILogSink& Log();
    CLogPage* LogPage() const { return m_logPage; }

    // ---- the link
    void ConnectTarget();
    bool OpenTargetLink();
    void CloseTargetLink();
    COstraMonitor* Monitor() const { return m_link.Monitor(); }
    bool IsPortOpen() const { return m_link.IsPortOpen(); }
    // Get Flash ID, Erase Flash and Download need an open link.
    bool LinkCommandsEnabled() const { return m_link.CommandsEnabled(); }
    void ApplyLogFont();
    std::string FileVersion() const { return m_version.Value("FileVersion"); }
    int PortType() const { return m_settings.PortConfig.PortType; }
    const AppSettings& Settings() const { return m_settings; }
    const TS_COM_PORT_MAP& PortMap() const { return m_portMap; }

    // ---- the commands (the buttons and menus call these)
    void OnConnectClicked();
    void OnPortTypeClicked();
    void OnAdd();
    // Adds a path as Add does after the file dialog: refused with the "Unsupport file error" box
    // unless it passes the flash file name rule.
    void AddChosenFile(const QString& path);
    void OnRemove();
    void OnRemoveAll();
    void OnMoveUp();
    void OnMoveDown();
    void OnDownload();
    void OnDownloadAll();
    void OnGlobalSettings();
    void OnGetFlashId();
    void OnEraseFlash();
    void OnAbout();
    // "Production Station...": opens the station window (or brings it to the front).
    void OnProductionStation();

    // ---- state, for the tests
    CXListCtrl* FileList() const { return m_list; }
    CFaceButton* ConnectToggle() const { return m_connect; }
    QPushButton* DownloadAllButton() const { return m_downloadAll; }
    QLabel* StatusLine() const { return m_status; }
    CPageTabCtrl* PageTab() const { return m_tabs; }
    QWidget* MemoryDumpPage() const { return m_dumpWidget; }
    QAction* Command(int id) const;
    CConnectDlg* ActiveConnectDialog() const { return m_connectDlg; }
    CSendSrecordDlg* ActiveDownloadDialog() const { return m_downloadDlg; }
    CStationDlg* StationWindow() const { return m_stationDlg; }
    // The station runs: the window's own link stays closed.
    bool StationRunning() const { return m_stationRunning; }
    // Chimes played for handsets the station finished (a failure counts once).
    int StationChimes() const { return m_stationChimes; }
    CDownloadRuns& Runs() { return *m_runs; }
    CJobThread& JobThread() { return *m_job; }
    // A job of the window uses the monitor (a run, the status query, Get Flash ID); a close
    // waits for it.
    bool IsBusy() const;
    // ... or the Memory Dump page runs one of its own: the commands that use the monitor wait.
    bool CommandsBusy() const;
    // The shutdown steps have run (the window is closed or closing).
    bool ShutdownDone() const { return m_shutdownDone; }
    bool CloseRequested() const { return m_closeRequested; }
    // The stored placement applied at start: nothing when the window kept its default place.
    bool PlacementRestored() const { return m_placementRestored; }
    // Runs after every JobThread job has been handled on the UI thread (tests wait on it).
    int JobsDone() const { return m_jobsDone; }

    // The window's list of paths, as the settings store them.
    std::vector<std::string> ListPaths() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend class CModalScope;

    // IRunHost: the download dialog and the file messages, on the UI thread.
    TS_SESSION_OUTCOME RunDownloadSession(int32_t mode, const std::string& path,
                                          COstraMonitor* monitor) override;
    void ShowFileMessage(const std::string& text, const std::string& path, int errnum) override;
    // IJobThreadHost
    void PostFlashWriterDownload() override;
    void ShowRefusal(const std::string& text) override;
    // IStationHost
    std::vector<std::string> StationFiles() override { return ListPaths(); }
    const AppSettings& StationAppSettings() override { return m_settings; }
    bool StationStarting(QString* refusal) override;
    void StationStopped() override;
    void StationResult(const QString& logBlock, bool ok, bool chime) override;

    void BuildWindow();
    void BuildMenus();
    void SetupFileList();
    void LoadSettings();
    void SaveSettings();
    void RestoreWindowPlacement();
    void SaveWindowPlacement();
    void SetTitle();
    void UpdateCommands();
    void SetRadiosEnabled(bool enabled);
    void ShowContextMenu(const QPoint& position);
    void LayoutColumns();
    void OnFlashWriterEvent();
    void OnAppCodeEvent();
    void OnJobDone();
    void OnFlashIdDone();
    void SignalJob(bool accepted);
    void TryFinishClose();
    void Shutdown();
    void ShowStopBox(const QString& text);

    TS_OPTIONS m_options;
    AppSettings m_settings;
    TS_COM_PORT_MAP m_portMap;
    int m_radioValue = -1;
    CVersionBlock m_version;
    CWavePlayer m_wave;
    QFont m_captionFont;
    QFont m_logFont;

    // controls
    CXListCtrl* m_list = nullptr;
    QPushButton* m_add = nullptr;
    QPushButton* m_remove = nullptr;
    QPushButton* m_removeAll = nullptr;
    QPushButton* m_downloadAll = nullptr;
    CPageTabCtrl* m_tabs = nullptr;
    CLogPage* m_logPage = nullptr;
    QWidget* m_dumpWidget = nullptr;
    IMonitorPage* m_dumpPage = nullptr;
    CFaceButton* m_connect = nullptr;
    QRadioButton* m_rs232 = nullptr;
    QRadioButton* m_usb = nullptr;
    QButtonGroup* m_portGroup = nullptr;
    QLabel* m_status = nullptr;
    std::map<int, QAction*> m_commands;

    // the link and the jobs
    CTargetConnection m_link;
    bool m_connected = false; // the connect dialog ended with OK; Download All is enabled
    std::unique_ptr<CListMirror> m_mirror;
    std::unique_ptr<CWindowLog> m_log;
    std::unique_ptr<CDownloadRuns> m_runs;
    std::unique_ptr<CJobThread> m_job;
    bool m_jobThreadStarted = false;
    int m_jobsPending = 0; // jobs signalled to JobThread and not yet reported done
    int m_jobsDone = 0;
    bool m_runActive = false; // a Download or Download All run is among them
    std::thread m_flashIdThread;
    bool m_flashIdRunning = false;

    // modal sections the window runs (dialogs, message boxes); a close waits for them to end
    int m_modalDepth = 0;
    QPointer<CConnectDlg> m_connectDlg;
    QPointer<CSendSrecordDlg> m_downloadDlg;
    QPointer<CStationDlg> m_stationDlg;
    bool m_stationRunning = false;
    int m_stationChimes = 0;

    bool m_closeRequested = false;
    bool m_shutdownDone = false;
    bool m_placementRestored = false;
    // The frame's rectangle the last time the window stood neither maximised nor minimised: what
    // a close while maximised saves, so that the window comes back where its frame stood.
    QRect m_normalFrame;
    // Where the restored frame belongs until the window first stands framed and normal: a place
    // set before the window is shown counts as its client area's under some window managers.
    std::optional<QPoint> m_restoredFramePlace;
};
