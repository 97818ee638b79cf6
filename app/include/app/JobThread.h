// JobThread: the main window's worker. It waits on its events and runs, one at a time, the target
// status query after a connection and the Download / Download All runs, so that the window stays
// responsive. Requests that must run on the UI thread (the download dialogs) go there through the
// host; the UI thread never waits for this thread except in Quit, after the run was cancelled.
//
//   CJobThread job(runs, log, host);       // runs: CDownloadRuns with SetAppDownloadPoster set
//   job.Start();
//   job.Connected();                       // after the connect dialog ended with OK
//   job.DownloadAll();                     // the Download All button
//   ...
//   job.Quit();                            // on close: ends a run after its file, then the thread
#pragma once

#include <functional>
#include <thread>

#include "app/DownloadRuns.h"
#include "download/JobObserver.h"
#include "platform/Events.h"

class IJobThreadHost {
public:
    virtual ~IJobThreadHost() = default;
    // A boot loader answered after the connection: have the UI thread run the flash-writer
    // download (CDownloadRuns::FlashWriterDownload). Posted, never waited for.
    virtual void PostFlashWriterDownload() = 0;
    // A command was refused: "No flash file is selected!", "No flash files to download!" (the
    // stop icon in the GUI). Called on the thread that gave the command.
    virtual void ShowRefusal(const std::string& text) = 0;
};

class CJobThread {
public:
    CJobThread(CDownloadRuns& runs, ILogSink& log, IJobThreadHost& host);
    // Quits and waits for the thread.
    ~CJobThread();
    CJobThread(const CJobThread&) = delete;
    CJobThread& operator=(const CJobThread&) = delete;

    // Creates the thread; false when it cannot be made (the commands then have no effect).
    bool Start();
    // Cancels a run in progress (it ends after the file being sent, at once between files),
    // signals quit and waits for the thread.
    void Quit();
    bool IsRunning() const { return m_thread.joinable(); }

    // ConnectedEvent: the status query, and the flash writer when a boot loader runs.
    void Connected();
    // The Download command: false (with the refusal shown) when no row is selected.
    bool DownloadOne();
    // The Download All command: false (with the refusal shown) when the list is empty.
    bool DownloadAll();

    // Called on JobThread after each job it ran (tests wait on it).
    void SetJobDoneHook(std::function<void()> hook) { m_jobDone = std::move(hook); }

private:
    void Body();
    void StatusQuery();

    CDownloadRuns& m_runs;
    ILogSink& m_log;
    IJobThreadHost& m_host;
    platform::ManualResetEvent m_quit;
    platform::ManualResetEvent m_connected;
    platform::ManualResetEvent m_downloadOne;
    platform::ManualResetEvent m_downloadAll;
    std::function<void()> m_jobDone;
    std::thread m_thread;
};
