// CMemoryDumpPage: the "Memory Dump" page of the main window. It reads target memory in one of two
// output modes, chosen with the mode toggle:
//  - to screen: up to 1000 bytes from a start address into the hex view;
//  - to file: every byte from a start address up to (not including) an end address into a BIN
//    file, with a progress bar, a status line, the file information and the elapsed time.
// Both reads run on the page's worker through the dump engines (MemoryDump.h, DumpToFile.h); the
// worker reaches the page's controls only through queued calls. The page's inputs are kept in the
// settings store (MemoryDumpSettings.h): read when the page is made, written when it goes.
//
// The page does not own the monitor. The main window lends it when a link opens and takes it back
// before the link closes:
//
//   page->SetMonitor(monitor);   // after the connection succeeded
//   page->SetMonitor(nullptr);   // BEFORE COstraMonitor::Quit and the monitor's destruction
//
// SetMonitor stops a running dump first and returns only when the worker no longer uses the old
// monitor (a short wait: the reply the dump waits for is cancelled). The page therefore never uses
// a monitor that has been destroyed, and the link is never closed under a running dump. A window
// that wants to close without waiting at all asks StopJob() first and goes on when JobFinished()
// has been emitted (or IsJobRunning() is false).
#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <string>
#include <vector>

#include "QueuedJobObserver.h"
#include "ToolWorker.h"
#include "download/ElapsedTimer.h"
#include "tools/DumpToFile.h"
#include "tools/MemoryDump.h"
#include "tools/MemoryDumpSettings.h"

class CCaptionProgressCtrl;
class CFaceButton;
class CFileInfoLabel;
class CHexEditBase;
class CNumberSpinCtrl;
class CRoundFaceButton;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;

class CMemoryDumpPage : public QWidget {
    Q_OBJECT
public:
    // ELAPSED_TIMER: the elapsed time of a dump to file, every 1000 ms.
    static constexpr int ELAPSED_TIMER = 4097;

    // monitor: the link to read through, or none. configDirectory: where the settings are kept
    // (empty: VANDREL_CONFIG_DIR, else the user's configuration folder).
    explicit CMemoryDumpPage(QWidget* parent = nullptr, COstraMonitor* monitor = nullptr,
                             const std::string& configDirectory = {});
    // Stops a running dump (briefly waiting for it) and saves the settings.
    ~CMemoryDumpPage() override;

    // Lends the page a monitor, or takes it back (nullptr). A dump that runs on another monitor is
    // stopped and waited for first; see above.
    void SetMonitor(COstraMonitor* monitor);
    COstraMonitor* GetMonitor() const { return m_monitor; }

    // A dump (to screen or to file) runs, or its end has not been shown yet.
    bool IsJobRunning() const { return m_job != JOB_NONE; }
    // Asks the running dump to end at its next command, cancelling the wait for the one in flight.
    // Returns at once; JobFinished follows.
    void StopJob();
    // StopJob, then waits (briefly) until the worker has let go of the monitor.
    void StopJobAndWait();

    // Writes the page's inputs to the settings store now (the destructor does it as well).
    void SaveSettings();

    // The buttons' actions (the buttons call them).
    void DumpToScreen();
    void ChooseBinFile();
    void StartDumpToFile();

    // Output mode: false = to screen, true = to file (the toggle's state).
    bool IsFileMode() const;
    void SetFileMode(bool toFile);

    // What the page shows, for tests and screenshots.
    CHexEditBase* HexView() const { return m_hexView; }
    CCaptionProgressCtrl* Progress() const { return m_progress; }
    CFileInfoLabel* FileInfo() const { return m_fileInfo; }
    CNumberSpinCtrl* SizeSpin() const { return m_sizeSpin; }
    QString StatusText() const;
    QString ElapsedText() const;
    // The result of the last dump to file; valid after JobFinished.
    const TS_DUMP_FILE_RESULT& LastFileDump() const { return m_fileResult; }
    const TS_MEMORY_READ& LastScreenDump() const { return m_screenRead; }

signals:
    // A dump has started (true) or ended (false): IsJobRunning() changed. The main window keeps
    // its own commands on the monitor waiting meanwhile.
    void BusyChanged(bool busy);
    // A dump has ended and the page shows its result.
    void JobFinished();

private:
    enum TE_PAGE_JOB { JOB_NONE, JOB_SCREEN, JOB_FILE };

    void BuildControls();
    void ShowModeControls();
    void LoadSettings();
    // The framework's data exchange: controls to members (ReadInputs) and back (WriteInputs).
    void ReadInputs();
    void WriteInputs();
    void OnUnitChanged();
    void OnSizeEdited();
    void OnAsciiClicked();
    void ApplySizeRange(int unit);
    void ApplyReport(const TS_JOB_REPORT& report);
    void ShowFileDumpStarted();
    void OnElapsedTick();
    void OnScreenDumpEnded();
    void OnFileDumpEnded();
    void SetBusy(bool busy);
    void Message(int icon, const QString& text, const QString& detail = {});
    void PlaceResultTitleButton();

    bool eventFilter(QObject* watched, QEvent* event) override;

    COstraMonitor* m_monitor;
    std::string m_configDirectory;
    TS_MEMORY_DUMP_SETTINGS m_values; // the members bound to the controls
    int m_lastUnit = -1;              // the unit whose size range the spin control has
    bool m_writingSize = false;

    // The running job's inputs and results.
    TE_PAGE_JOB m_job = JOB_NONE;
    uint32_t m_screenStart = 0;
    uint32_t m_screenSize = 0;
    int m_screenUnit = 0;
    std::vector<uint8_t> m_screenData;
    TS_MEMORY_READ m_screenRead;
    std::string m_filePath;
    uint32_t m_fileStart = 0;
    uint32_t m_fileEnd = 0;
    TS_DUMP_FILE_RESULT m_fileResult;
    bool m_fileDumpShown = false;

    CElapsedTimer m_stopwatch;
    QTimer m_elapsedTimer;
    CQueuedJobObserver m_observer;
    CToolWorker m_worker;

    // Controls of template 139.
    CFaceButton* m_modeToggle = nullptr;
    QLabel* m_screenStartLabel = nullptr;
    QLineEdit* m_screenStartEdit = nullptr;
    QLabel* m_sizeLabel = nullptr;
    QLineEdit* m_sizeEdit = nullptr;
    CNumberSpinCtrl* m_sizeSpin = nullptr;
    QComboBox* m_unitCombo = nullptr;
    CFaceButton* m_dumpScreenButton = nullptr;
    QCheckBox* m_asciiBox = nullptr;
    CHexEditBase* m_hexView = nullptr;
    CRoundFaceButton* m_binFileButton = nullptr;
    QLineEdit* m_binPathEdit = nullptr;
    QGroupBox* m_conditionsGroup = nullptr;
    QLabel* m_fileStartLabel = nullptr;
    QLineEdit* m_fileStartEdit = nullptr;
    QLabel* m_fileEndLabel = nullptr;
    QLineEdit* m_fileEndEdit = nullptr;
    CFaceButton* m_dumpFileButton = nullptr;
    QGroupBox* m_resultGroup = nullptr;
    QLabel* m_currentStatusLabel = nullptr;
    CCaptionProgressCtrl* m_progress = nullptr;
    QLabel* m_statusLine = nullptr;
    QLabel* m_fileInfoLabel = nullptr;
    CFileInfoLabel* m_fileInfo = nullptr;
    QLabel* m_elapsed = nullptr;
    QWidget* m_screenPanel = nullptr;
    QWidget* m_filePanel = nullptr;
};
