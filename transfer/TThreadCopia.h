#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "batch/BatchGroupCommit.h"
#include "batch/Job.h"
#include "platform/client/TransferClient.h"
#include "platform/ping/Ping.h"
#include "platform/thread/TThread.h"
#include "platform/thread/Clock.h"
#include "transfer/OutcomeLog.h"
#include "transfer/RunDisplay.h"
#include "transfer/StatusControls.h"

namespace ct {

class WatchScheduler;

// The transfer worker: one object serves one run over the batch file.
// Created suspended; run control sets the public fields, then either Start()s it
// (threaded run) or calls Execute() on the GUI thread (inline run).
class TThreadCopia : public TThread {
public:
    TThreadCopia();
    ~TThreadCopia() override;

    void Execute() override;

    // Stop request of the run: set by the stop button (GUI thread), read by the worker.
    std::atomic<bool> AbortTransfer{false};

    // "Termina": sets AbortTransfer and, when the worker holds a client at this moment,
    // asks it to abort whatever it is doing (the client's abort is sticky, so a stop between
    // two commands is not lost). Safe from any thread; never reaches a released client. The
    // run ends within a second whatever it was doing, the pause between jobs included.
    void RequestStop();

    // Set by run control before the run (not owned; each may be null).
    ILabelControl* LabelSpeed = nullptr;
    ILabelControl* LabelFile = nullptr;
    IProgressBarControl* ProgressBarSpeed = nullptr;
    ITrayIconControl* BalloonHint = nullptr;
    bool isAthread = false;
    std::int32_t fileCloudTotCount = 0;
    // A watch instead of a run: when no queued job can be started now the worker waits for the
    // queue to change or for a retry pause to run out (WatchScheduler) instead of ending; a
    // stop or an error ends it. A missing queue is waited for too.
    bool WatchQueue = false;

    // Seams: where the queue lies, how a job's client is made, how reachability is probed, where
    // time comes from.
    std::filesystem::path BatchFile;   // defaults to BatchFilePath()
    TransferClientFactory ClientFactory;  // defaults to DefaultTransferClient
    PingFunction PingProbe;            // defaults to the real Ping
    IClock* Clock = nullptr;           // not owned; defaults to SystemClock()

    // How the run ended, for run control and the exit status of an unattended start.
    enum class RunEnd {
        Done,                // the queue yielded no more jobs
        Stopped,             // a stop request ("Termina", closing, a signal)
        ServersUnreachable,  // jobs are left whose servers could not be reached in this run
        Error,               // an error stopped all work (RunError says which)
    };
    // Valid once Execute has returned (or raised: the run's error is recorded first).
    RunEnd HowRunEnded() const { return m_runEnd; }
    // Readable and password-free; empty unless HowRunEnded() is Error.
    std::string RunError() const { return m_runError; }

    // Read-only views for run control and tests.
    std::int32_t FileCloudTrCount() const { return fileCloudTrCount; }
    bool HasClient() const;

    // The batch store operations as the worker uses them (they keep fileCloudTrCount).
    std::string ReadFirstBatchLine();
    void UpdateBatchFile(const std::string& search, const std::string& replacement);

    // Work handlers bound to the client's events.
    void FTPWorkBegin(ITransferClient* sender, TWorkMode mode, std::int64_t workCountMax);
    void FTPWork(ITransferClient* sender, TWorkMode mode, std::int64_t workCount);
    void FTPWorkEnd(ITransferClient* sender, TWorkMode mode);

    // GUI-thread steps.
    void SyncShowFile();
    void SyncReloadList();
    void SyncShowSpeed();
    void SyncProgressPos();
    void SyncWorkBegin();
    void SyncWorkEnd();

private:
    // Runs a GUI-thread step: through Synchronize in a threaded run, directly inline.
    void RunStep(void (TThreadCopia::*step)());
    // A threaded run's display: what it shows goes to the GUI thread without waiting for it.
    RunDisplay& Display();
    void ShowFile();

    // What became of one job.
    enum class JobEnd {
        Done,         // remove its line
        Failed,       // mark it, or drop it at its third failure
        ServerDown,   // its server could not be reached: the line stays as it is
        EndRun,       // a stop, or no connection by the probe rule: the line stays first
    };
    // Host and port: a server that could not be reached is not tried again in the run.
    using ServerKey = std::pair<std::string, std::uint16_t>;

    RunEnd m_runEnd = RunEnd::Done;
    std::string m_runError;
    std::unique_ptr<ITransferClient> IdFTP;
    mutable std::mutex clientMutex;   // guards IdFTP against the stop button
    Endpoint clientEndpoint;          // the endpoint IdFTP was made for
    bool isDirty = false;
    std::uint32_t BytesToTransfer = 0;
    double STime = 0.0;               // days, as the date-time of the transfer's start
    double AverageSpeed = 0.0;        // KB/s
    std::string StrSpeed;
    std::string StrFile;
    std::int64_t WorkCount = 0;
    std::int64_t WorkCountMax = 0;
    std::int32_t fileCloudTrCount = 0;
    std::string currentJobLine;       // the job's line as read, for its removal
    // Right shift applied to the bar's maximum and position so that transfers of 2 GiB or
    // more still fit its 32-bit range; fixed at the start of each transfer.
    int progressShift = 0;

    // The job in hand, for its reason, the log and the download's temporary file.
    std::string jobReason;
    std::string jobRemotePath;
    std::int64_t jobBytes = -1;
    // A transfer's begin event came: the server accepted the transfer command.
    bool transferBegun = false;
    // Set when the worker itself closed a session to serve this job (another server or login):
    // a server that limits sessions per client may still count the old one for a moment.
    bool closedOwnSession = false;
    // A session was had since the last time the worker closed one.
    bool sessionMayBeOpen = false;
    bool writableChecked = false;
    std::unique_ptr<OutcomeLog> outcomeLog;
    std::shared_ptr<RunDisplay> display;
    // Set for the whole of a watch (WatchQueue); under clientMutex, for the stop button.
    std::unique_ptr<WatchScheduler> scheduler;
    // A stop that came before the watch began: it must still end the watch, which would
    // otherwise never end by itself.
    bool stopBeforeWatch = false;
    // The outcomes on their way into the queue (see BatchGroupCommit), and what the log says of
    // each should its rewrite fail.
    std::unique_ptr<BatchGroupCommit> outcomes;
    std::deque<std::pair<std::uint64_t, OutcomeEntry>> unwrittenJobs;
    // When the window last reloaded its view of the queue during the run.
    std::chrono::steady_clock::time_point lastReload{};

    std::filesystem::path BatchFileInUse() const;
    IClock& ClockInUse() const;
    void RunWithClient();
    void RunJobs();
    // The next line to work on: line 1, or, once servers have failed to answer, the first line
    // that is not a job for one of them. Empty when there is none.
    std::string NextJobLine(const std::set<ServerKey>& unreachable);
    // A watch's bookkeeping of how a job ended; gives the end the loop goes on with.
    JobEnd NoteForWatch(JobEnd end, const Job& job);
    // A watch with nothing to start now waits; false when a stop ended the wait.
    bool WaitForQueue();
    // Makes IdFTP the client for the endpoint: the one in hand when it serves that endpoint
    // (same server, same login: the session goes on), else a new one, the old one closed.
    void UseClientFor(const Endpoint& endpoint);
    // Puts client in IdFTP under the lock, and gives back the one it replaces.
    std::unique_ptr<ITransferClient> SwapClient(std::unique_ptr<ITransferClient> client);
    JobEnd RunJobGuarded(const Job& job);
    void FinishJob(JobEnd end, const std::string& line, Job& job, double seconds);
    // Each gives false when the run is to end (AbortTransfer set by the worker or seen).
    bool EnsureConnected();
    bool UploadJob(const Job& job);
    bool DownloadJob(const Job& job);
    void PauseBetweenJobs();
    // Waits up to the given time; false when a stop or the application's close cut it short.
    bool WaitUnlessStopped(std::chrono::milliseconds time);
    bool StopSeen() const;
    OutcomeEntry JobEntry(const std::string& outcome, const Job& job, double seconds) const;
    void LogJob(const std::string& outcome, const Job& job, double seconds);
    // Hands a job's outcome to the queue's group commit.
    void RecordOutcome(BatchOutcome outcome, const Job& job, double seconds);
    // Every outcome handed over is in the queue on return; false when there was none to wait for.
    void FlushOutcomes();
    // Logs the jobs a failed rewrite left unrecorded, then raises its error.
    [[noreturn]] void FailUnrecorded(const BatchGroupCommit::Failure& failure);
    // In a window's run, its view of the queue follows a few times a second, never behind the file.
    void ReloadViewWhenDue();
    void LogRun(const std::string& outcome, const std::string& reason);
    std::int64_t MaximumRule(std::int64_t total) const;
    std::int32_t Scaled(std::int64_t count) const;
};

// A job's client when no factory is given: the client for the endpoint's protocol (a TIdFTP
// for FTP and FTPS). The environment variable CLOUDTRANSFER_FTP_PIPELINING set to "0", "off"
// or "no" makes an FTP client send one command at a time. Its deadlines go by `clock` (null:
// the system's), the worker's own.
std::unique_ptr<ITransferClient> DefaultTransferClient(const Endpoint& endpoint, IClock* clock = nullptr);

// Formats a speed in KB/s as "0.00 KB/s" with the given decimal separator.
std::string FormatSpeed(double kbPerSecond, char decimalSeparator);

} // namespace ct
