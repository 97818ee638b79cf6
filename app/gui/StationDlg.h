// CStationDlg: the production station window, a non-modal view over its model (CStationModel: the
// job and its store, the engine, each port's state, the tallies). It lists the ports to choose
// from with a check box each, shows one tile per chosen port in a grid that fits the window, and
// shows the tally of the shift.
//
// The main window lends it its file list and settings (IStationHost) and closes its own link while
// the station runs. The engine reports on the ports' threads; every report is posted to the UI
// thread (CRelay) and applied there. The UI thread never waits for a port: Stop and a close ask the
// engine to stop (a download ends at its next block boundary) and a short timer sees the ports'
// threads end, then the engine goes and the window closes if a close was asked for.
#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "app/StationModel.h"
#include "app/StationSetup.h"
#include "station/StationEngine.h"

class CStationTile;
class QCheckBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

// What the station window needs of the main window (UI thread).
class IStationHost {
public:
    virtual ~IStationHost() = default;
    // The flash files in the list, in order.
    virtual std::vector<std::string> StationFiles() = 0;
    virtual const AppSettings& StationAppSettings() = 0;
    // The station is about to run: the main window closes its link. False, with the reason, when
    // the main window cannot let it go now (a job of its own runs).
    virtual bool StationStarting(QString* refusal) = 0;
    // Every port has stopped.
    virtual void StationStopped() = 0;
    // A handset has finished: its block for the log; the chime (ok false: the failure's cue).
    virtual void StationResult(const QString& logBlock, bool ok, bool chime) = 0;
};

class CLineHistoryDlg;

class CStationDlg : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kTitle = "Production Station";

    CStationDlg(IStationHost& host, std::string configDirectory, QWidget* parent = nullptr);
    ~CStationDlg() override;

    void Start();
    void Stop();
    void ResetTally();
    // The port list again (ports found since); not while running.
    void RefreshPorts();

    bool IsRunning() const { return m_model.Running(); }

    // A production line's job (docs/JOBS.md): its images, flash writer and verify are used instead
    // of the main window's list and settings, every handset gets a serial and a record. The job
    // file is read at once: false with the reason on the status line (the job in use, if any,
    // stays). Its record store is then opened off the UI thread (a server over the network may take
    // its connect time-out; the window answers meanwhile, and Start waits): the job is in use once
    // the store answers, or the status line says why it did not. Not while running.
    bool OpenJob(const QString& path);
    // A job's store is being opened.
    bool OpeningJob() const { return m_opening != 0; }
    void CloseJob();
    bool HasJob() const { return m_model.HasJob(); }
    // The History window over the job's store (or the default one).
    CLineHistoryDlg* ShowHistory();
    int Passed() const { return m_model.Passed(); }
    int Failed() const { return m_model.Failed(); }
    const CStationModel& Model() const { return m_model; }

    // ---- for the tests
    QListWidget* PortList() const { return m_portList; }
    QCheckBox* VerifyBox() const { return m_verify; }
    QCheckBox* WatchBox() const { return m_watch; }
    QPushButton* StartButton() const { return m_start; }
    QPushButton* StopButton() const { return m_stop; }
    QPushButton* ResetButton() const { return m_reset; }
    QLabel* TallyLabel() const { return m_tally; }
    QLabel* StatusLabel() const { return m_status; }
    QLabel* JobLabel() const { return m_jobLabel; }
    QPushButton* OpenJobButton() const { return m_openJob; }
    QLineEdit* OperatorEdit() const { return m_operator; }
    const std::vector<CStationTile*>& Tiles() const { return m_tiles; }
    // Ticks the ports with these labels only (as a click on each box would).
    void ChoosePorts(const std::vector<std::string>& labels);
    // Opens (or shows again) the log of a tile's handset, as its context menu does.
    QPlainTextEdit* ShowTileLog(int tile);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    class CRelay;
    struct TS_TILE_RUN {
        QElapsedTimer clock;
        QString log; // of the last handset that began
        QPointer<QPlainTextEdit> logView;
    };

    // the engine's reports, on the UI thread
    void OnBegin(int port);
    void OnPhase(int port, TE_STATION_PHASE phase);
    void OnProgress(int port, uint64_t done, uint64_t total);
    void OnLog(int port, const QString& text);
    void OnEnd(int port, const TS_STATION_RESULT& result, int64_t attempt);
    void OnWaiting(int port, bool away);
    void OnRefused(int port, const QString& reason);
    void OnPortState(int port, TE_STATION_PORT_STATE state);
    void OnStoreState(TE_STATION_STORE state, const QString& reason);

    std::vector<TS_STATION_CHOICE> ChosenPorts() const;
    void RebuildTiles();
    void LayoutTiles();
    void UpdateControls();
    void UpdateTally();
    // the tile of a port as the model holds it: its look in words, and the line under it
    void ShowState(int port, const QString& words);
    void ShowReason(int port);
    static QString WaitingWords();
    void Tick();
    void PollEngine();
    void SaveChoice();
    void AskJob();
    // The job's store opened off the UI thread (generation: the open it answers).
    void JobStoreOpened(int generation, const TS_JOB_OPENING& opening, bool opened);
    // Today's tally asked of the store off the UI thread; one question at a time, asked again when
    // an end came meanwhile.
    void CountToday();
    // work() runs on a pool thread; done(window, its result) on the UI thread, if the window is
    // still there.
    template <typename Work, typename Done>
    void OffThread(Work work, Done done);

    IStationHost& m_host;
    std::string m_configDirectory;
    std::vector<TS_STATION_CHOICE> m_choices;

    QListWidget* m_portList;
    QCheckBox* m_verify;
    QCheckBox* m_watch;
    QPushButton* m_start;
    QPushButton* m_stop;
    QPushButton* m_reset;
    QLabel* m_tally;
    QLabel* m_status;
    QWidget* m_tileArea;
    QGridLayout* m_grid;
    std::vector<CStationTile*> m_tiles;
    std::vector<TS_TILE_RUN> m_runs;
    int m_columns = 0;

    std::unique_ptr<CRelay> m_relay; // outlives the model's engine
    CStationModel m_model;
    int m_generation = 0; // reports of an earlier run are dropped
    bool m_stopping = false;
    bool m_closeRequested = false;
    QTimer m_poll;
    QTimer m_clock;

    // the production line
    QPushButton* m_openJob;
    QPushButton* m_closeJob;
    QPushButton* m_history;
    QLabel* m_jobLabel;
    QLineEdit* m_operator;
    QPointer<CLineHistoryDlg> m_historyDlg;
    int m_opening = 0;   // the generation of the job's store being opened; 0: none
    int m_openCount = 0; // opens asked so far
    bool m_counting = false;
    bool m_countAgain = false;
};
