#include "transfer/TThreadCopia.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <set>
#include <system_error>

#include "batch/BatchFileStore.h"
#include "batch/JobLine.h"
#include "platform/fs/TempFile.h"
#include "platform/ftp/TIdFTP.h"
#include "platform/sftp/SftpClient.h"
#include "transfer/AppGlobals.h"
#include "transfer/JobDelivery.h"
#include "transfer/JobPaths.h"
#include "transfer/JobReason.h"
#include "transfer/PartialDownloads.h"
#include "transfer/RemoteDirs.h"
#include "transfer/WatchScheduler.h"

namespace ct {

namespace fs = std::filesystem;

namespace {

constexpr double kMsPerDay = 86400000.0;

const char* const kTrayTitle = "Trasferimento su Cloud - Attendere...";

// A server that allows one session per client may still count the one the worker closed a
// moment ago; it is given this long before the one more try.
constexpr auto kBusyServerWait = std::chrono::milliseconds(1500);
// How often a wait looks at the stop request.
constexpr auto kStopPoll = std::chrono::milliseconds(20);
// The reachability probe's time limit: a stop must not wait for it long.
constexpr auto kProbeTimeout = std::chrono::milliseconds(900);

// A job that fails for a reason the worker finds itself rather than one the client raises.
class JobFailed : public CloudError {
public:
    using CloudError::CloudError;
};

std::string Count(std::int32_t done, std::int32_t total) {
    return std::to_string(done) + "/" + std::to_string(total);
}

// Job lines and the client speak UTF-8; the file system takes paths.
std::filesystem::path Utf8Path(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string Utf8Text(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The design's check that an upload's source exists, with the reason when it does not.
void CheckUploadSource(const std::string& f) {
    std::error_code ec;
    const auto status = f.empty() ? fs::file_status(fs::file_type::not_found) : fs::status(Utf8Path(f), ec);
    if (!fs::exists(status))
        throw JobFailed("local file not found");
    if (!fs::is_regular_file(status))
        throw JobFailed("local file is not a regular file");
}

const char* RunEndText(TThreadCopia::RunEnd end) {
    switch (end) {
    case TThreadCopia::RunEnd::Done:
        return "done";
    case TThreadCopia::RunEnd::Stopped:
        return "stopped";
    case TThreadCopia::RunEnd::ServersUnreachable:
        return "servers unreachable";
    case TThreadCopia::RunEnd::Error:
        break;
    }
    return "error";
}

// A refusal of the upload command itself, before a byte was sent, while the session goes on:
// what a server answers when the folder the client stood in has gone.
bool RefusedBeforeTransfer(const TransferError& error, bool transferBegun) {
    return error.Kind() == TransferErrorKind::Job && error.ReplyCode() >= 400 && error.ReplyCode() < 600 &&
           !transferBegun;
}

bool SwitchedOff(const char* value) {
    if (!value)
        return false;
    std::string text(value);
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text == "0" || text == "off" || text == "no" || text == "false";
}

} // namespace

std::unique_ptr<ITransferClient> DefaultTransferClient(const Endpoint& endpoint, IClock* clock) {
    // A protocol of its own is told by its endpoint here and gets a client of its own.
    if (endpoint.security == EndpointSecurity::Sftp) {
        auto sftp = std::make_unique<SftpClient>(endpoint);
        sftp->SetClock(clock);
        return sftp;
    }
    auto client = std::make_unique<TIdFTP>(endpoint);
    client->SetPipelining(!SwitchedOff(std::getenv("CLOUDTRANSFER_FTP_PIPELINING")));
    client->SetClock(clock);
    return client;
}

std::string FormatSpeed(double kbPerSecond, char decimalSeparator) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, kbPerSecond, std::chars_format::fixed, 2);
    std::string text = result.ec == std::errc() ? std::string(buffer, result.ptr) : std::string("0.00");
    for (char& c : text)
        if (c == '.')
            c = decimalSeparator;
    return text + " KB/s";
}

TThreadCopia::TThreadCopia() = default;

TThreadCopia::~TThreadCopia() = default;

bool TThreadCopia::HasClient() const {
    std::lock_guard<std::mutex> lock(clientMutex);
    return IdFTP != nullptr;
}

void TThreadCopia::RequestStop() {
    // The watch hears of it first: a watch that lowers AbortTransfer again (NoteForWatch) looks
    // at the watch's stop after doing so.
    {
        std::lock_guard<std::mutex> lock(clientMutex);
        if (scheduler)
            scheduler->Stop();
        else
            stopBeforeWatch = true;
    }
    AbortTransfer = true;
    std::lock_guard<std::mutex> lock(clientMutex);
    if (IdFTP)
        IdFTP->Abort();
}

fs::path TThreadCopia::BatchFileInUse() const {
    return BatchFile.empty() ? BatchFilePath() : BatchFile;
}

IClock& TThreadCopia::ClockInUse() const {
    return Clock ? *Clock : SystemClock();
}

std::string TThreadCopia::ReadFirstBatchLine() {
    return ct::ReadFirstBatchLine(BatchFileInUse());
}

void TThreadCopia::UpdateBatchFile(const std::string& search, const std::string& replacement) {
    // With an empty search the store removes the job's own line, which it finds by the
    // text the worker read, so a file changed meanwhile never loses another job.
    const bool moved = ct::UpdateBatchFile(BatchFileInUse(), search, replacement, search.empty() ? currentJobLine : "");
    if (!search.empty() && moved)
        --fileCloudTrCount;
}

void TThreadCopia::RunStep(void (TThreadCopia::*step)()) {
    if (isAthread)
        Synchronize([this, step] { (this->*step)(); });
    else
        (this->*step)();
}

bool TThreadCopia::StopSeen() const {
    return AbortTransfer || Terminated();
}

bool TThreadCopia::WaitUnlessStopped(std::chrono::milliseconds time) {
    IClock& clock = ClockInUse();
    const auto deadline = clock.Now() + time;
    while (!StopSeen()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock.Now());
        if (left.count() <= 0)
            return true;
        clock.Sleep(std::min(left, kStopPoll));
    }
    return false;
}

void TThreadCopia::Execute() {
    // What the run showed is on screen before the window shows how the run ended: the step
    // goes ahead of the end notification, and any look the display had planned is dropped.
    struct SettleDisplay {
        std::shared_ptr<RunDisplay>& display;
        ~SettleDisplay() {
            IMainThreadDispatcher* dispatcher = MainThreadDispatcher();
            if (!display)
                return;
            if (dispatcher && !dispatcher->IsMainThread())
                dispatcher->Post([settled = display] { settled->Settle(); });
            else
                display->Settle();
        }
    } settle{display};
    AbortTransfer = false;
    isDirty = false;
    m_runEnd = RunEnd::Done;
    m_runError.clear();
    std::error_code ec;
    if (!WatchQueue && !fs::exists(BatchFileInUse(), ec))
        return;
    {
        // Watching begins before the first read, so that no change after it goes unseen.
        auto made = WatchQueue ? std::make_unique<WatchScheduler>(BatchFileInUse(), ClockInUse()) : nullptr;
        std::lock_guard<std::mutex> lock(clientMutex);
        if (made && stopBeforeWatch)
            made->Stop();
        stopBeforeWatch = false;
        scheduler = std::move(made);
    }
    fileCloudTrCount = 0;
    writableChecked = false;
    sessionMayBeOpen = false;

    outcomeLog = std::make_unique<OutcomeLog>(OutcomeLog::PathFor(BatchFileInUse()));
    outcomeLog->echoToStandardError = LogToStandardError.load();
    LogRun("start", "");
    // A run killed during a download left its temporary file: it goes before anything else,
    // unless it is a part to resume on for a job still in the queue.
    RemoveLeftoverParts(BatchFileInUse());

    // The design lets an error outside the job guard leave Execute; it is recorded first, so
    // that run control can show it and an unattended start can report it in its exit status.
    try {
        RunWithClient();
    } catch (const std::exception& error) {
        m_runEnd = RunEnd::Error;
        m_runError = ShortReason(error.what());
        LogRun("end", m_runError);
        throw;
    } catch (...) {
        m_runEnd = RunEnd::Error;
        m_runError = "unexpected error";
        LogRun("end", m_runError);
        throw;
    }
    LogRun("end", RunEndText(m_runEnd));
}

void TThreadCopia::RunWithClient() {
    clientEndpoint = Endpoint{};
    // The clean-up runs however the run ends. The client leaves IdFTP under the lock, so a
    // stop request either reaches it before or finds no client at all.
    struct CleanUp {
        TThreadCopia& worker;
        ~CleanUp() {
            std::unique_ptr<ITransferClient> released = worker.SwapClient(nullptr);
            try {
                if (released)
                    released->Disconnect();
            } catch (...) {
            }
            // Lines that producers added to a version of the queue the run replaced are
            // carried into the file before the run reports its end.
            try {
                SettleBatchFile(worker.BatchFileInUse());
            } catch (...) {
            }
        }
    } cleanUp{*this};

    if (Terminated() || AbortTransfer) {
        m_runEnd = RunEnd::Stopped;
        return;
    }
    try {
        RunJobs();
    } catch (...) {
        // The run's own error is the one reported; what is pending is still written.
        outcomes.reset();
        throw;
    }
    // However the run ends (done, stopped, a signal), its outcomes are in the queue before the
    // window or the producers look at it again.
    FlushOutcomes();
    outcomes.reset();
}

std::string TThreadCopia::NextJobLine(const std::set<ServerKey>& unreachable) {
    if (scheduler) {
        // A watch chooses among what the file holds: the outcomes so far go in first.
        FlushOutcomes();
        // Line 1 is read as a run reads it (it carries late lines in and clears an exhausted
        // queue); the lines behind it are looked at only when it must wait.
        const std::string first = ReadFirstBatchLine();
        if (first.empty() || scheduler->MayStart(first))
            return first;
        return FindFirstBatchLine(BatchFileInUse(), [&](const std::string& line) {
                   return scheduler->MayStart(line);
               }).value_or(std::string());
    }
    // Lines whose outcomes are still on their way into the file are done with: skipped, each
    // pending outcome standing for one line of its text, so that a job is never taken twice.
    std::vector<std::string> pending = outcomes ? outcomes->PendingLines() : std::vector<std::string>();
    if (!pending.empty()) {
        auto found = FindFirstBatchLine(BatchFileInUse(), [&](const std::string& line) {
            const auto done = std::find(pending.begin(), pending.end(), line);
            if (done != pending.end()) {
                pending.erase(done);
                return false;
            }
            const ParsedJob parsed = ParseJob(line);
            const Job* job = std::get_if<Job>(&parsed);
            return !job || unreachable.count(ServerKey{job->endpoint.host, job->endpoint.port}) == 0;
        });
        if (found) {
            if (unreachable.empty())
                m_runEnd = RunEnd::Done;
            return *found;
        }
        // Nothing but finished jobs in sight: the file decides once it holds their outcomes.
        FlushOutcomes();
    }
    if (unreachable.empty()) {
        m_runEnd = RunEnd::Done;
        return ReadFirstBatchLine();
    }
    // Jobs of servers that could not be reached keep their places; the first other line is
    // next. A line that is not a job is taken too, so that the run stops at it as at the head.
    auto found = FindFirstBatchLine(BatchFileInUse(), [&](const std::string& line) {
        // A job that breaks a rule is taken too: it fails without a connection.
        const ParsedJob parsed = ParseJob(line);
        const Job* job = std::get_if<Job>(&parsed);
        return !job || unreachable.count(ServerKey{job->endpoint.host, job->endpoint.port}) == 0;
    });
    if (found)
        return *found;
    m_runEnd = ReadFirstBatchLine().empty() ? RunEnd::Done : RunEnd::ServersUnreachable;
    return {};
}

void TThreadCopia::RunJobs() {
    std::set<ServerKey> unreachable;
    for (;;) {
        // Terminate() is used only when the application closes during a run. A stop request
        // made during the pause ends the run here: the next job stays first, untouched.
        if (StopSeen() || (scheduler && scheduler->Stopped())) {
            m_runEnd = RunEnd::Stopped;
            return;
        }
        const std::string line = NextJobLine(unreachable);
        if (line.empty()) {
            if (scheduler && WaitForQueue())
                continue;
            if (scheduler)
                m_runEnd = RunEnd::Stopped;
            return;
        }
        isDirty = false;
        currentJobLine = line;
        jobReason.clear();
        jobRemotePath.clear();
        jobBytes = -1;
        ParsedJob parsed = ParseJob(line);
        const JobFault* fault = std::get_if<JobFault>(&parsed);
        if (fault && fault->kind == JobFault::Kind::NotAJob)
            throw JsonError(fault->rule);
        Job job = fault ? *fault->job : std::get<Job>(parsed);
        jobRemotePath = JobRemotePath(job);
        const ServerKey server{job.endpoint.host, job.endpoint.port};

        // Nothing is sent that the queue could not record afterwards.
        if (!writableChecked) {
            CheckBatchFileWritable(BatchFileInUse());
            writableChecked = true;
        }

        const auto started = ClockInUse().Now();
        // A job that breaks a rule fails before anything is sent for it.
        JobEnd end = JobEnd::Failed;
        if (fault) {
            jobReason = fault->rule;
        } else {
            UseClientFor(job.endpoint);
            end = RunJobGuarded(job);
            if (scheduler)
                end = NoteForWatch(end, job);
        }
        const double seconds = std::chrono::duration<double>(ClockInUse().Now() - started).count();

        // A stop seen at the end of a job leaves it first, whatever the job guard made of the
        // errors the stop caused (the folder walk swallows them).
        if (end != JobEnd::EndRun && AbortTransfer) {
            end = JobEnd::EndRun;
            m_runEnd = RunEnd::Stopped;
        }
        if (end == JobEnd::EndRun) {
            if (m_runEnd == RunEnd::Stopped)
                jobReason = "stop requested";
            else if (jobReason.empty())
                jobReason = "no connection could be had";
            LogJob(m_runEnd == RunEnd::ServersUnreachable ? "kept" : "stopped", job, seconds);
            return;
        }
        if (end == JobEnd::ServerDown) {
            // Nothing was done and the queue is as it was: no rewrite, no reload, no pause.
            unreachable.insert(server);
            jobReason = ShortReason(jobReason);
            LogJob("kept", job, seconds);
            continue;
        }
        FinishJob(end, line, job, seconds);
        if (scheduler && end == JobEnd::Failed && NextErrorMark(job))
            scheduler->JobFailed(job);
        else if (scheduler)
            scheduler->JobLeft(job);
        ReloadViewWhenDue();
        PauseBetweenJobs();
    }
}

void TThreadCopia::UseClientFor(const Endpoint& endpoint) {
    if (IdFTP && clientEndpoint == endpoint) {
        closedOwnSession = false;
        return;
    }
    // The session for another endpoint ends before the next begins.
    closedOwnSession = false;
    if (const std::unique_ptr<ITransferClient> old = SwapClient(nullptr)) {
        old->Disconnect();
        closedOwnSession = sessionMayBeOpen;
        sessionMayBeOpen = false;
    }
    std::unique_ptr<ITransferClient> client = ClientFactory ? ClientFactory(endpoint) : DefaultTransferClient(endpoint, Clock);
    if (!client)
        throw CloudError("no transfer client could be made");
    client->OnWorkBegin = [this](ITransferClient* sender, TWorkMode mode, std::int64_t total) {
        FTPWorkBegin(sender, mode, total);
    };
    client->OnWork = [this](ITransferClient* sender, TWorkMode mode, std::int64_t count) { FTPWork(sender, mode, count); };
    client->OnWorkEnd = [this](ITransferClient* sender, TWorkMode mode) { FTPWorkEnd(sender, mode); };
    SwapClient(std::move(client));
    clientEndpoint = endpoint;
}

std::unique_ptr<ITransferClient> TThreadCopia::SwapClient(std::unique_ptr<ITransferClient> client) {
    std::lock_guard<std::mutex> lock(clientMutex);
    std::swap(IdFTP, client);
    // A stop request that reached the old client (or none) reaches the new one too: the flag
    // is raised before the stop button takes the lock.
    if (IdFTP && AbortTransfer)
        IdFTP->Abort();
    return client;
}

TThreadCopia::JobEnd TThreadCopia::RunJobGuarded(const Job& job) {
    // The job guard: an error from here to the end of the transfer decides the job's fate by
    // its kind, and the run goes on.
    try {
        if (!EnsureConnected())
            return JobEnd::EndRun;
        sessionMayBeOpen = true;
        ++fileCloudTrCount;
        const bool goOn = job.direction == JobDirection::Upload ? UploadJob(job) : DownloadJob(job);
        if (!goOn) {
            m_runEnd = RunEnd::Stopped;
            return JobEnd::EndRun;
        }
        return isDirty ? JobEnd::Done : JobEnd::Failed;
    } catch (const TransferError& error) {
        switch (error.Kind()) {
        case TransferErrorKind::Unavailable:
            jobReason = error.Reason();
            return JobEnd::ServerDown;
        case TransferErrorKind::Aborted:
            AbortTransfer = true;
            m_runEnd = RunEnd::Stopped;
            return JobEnd::EndRun;
        case TransferErrorKind::RemoteMissing:
        case TransferErrorKind::Job:
            break;
        }
        jobReason = error.Reason();
        return JobEnd::Failed;
    } catch (const std::exception& error) {
        jobReason = error.what();
        return JobEnd::Failed;
    }
}

void TThreadCopia::FinishJob(JobEnd end, const std::string& line, Job& job, double seconds) {
    // The outcome is logged before the queue is rewritten: a job whose file is on the server
    // leaves its trace even when the rewrite then fails (a full disk), and so does that failure.
    // The line goes (replacement empty) or moves to the tail; it is found by the text read.
    auto rewrite = [&](const std::string&, const std::string& replacement) {
        RecordOutcome({currentJobLine, replacement}, job, seconds);
    };
    if (end == JobEnd::Done) {
        LogJob("done", job, seconds);  // a reason here says why nothing was fetched
        rewrite("", "");
        return;
    }
    jobReason = ShortReason(jobReason.empty() ? std::string("failed") : jobReason);
    TSuperObject& text = *job.line;
    if (auto mark = NextErrorMark(job)) {
        text.SetS("error", *mark);
        text.SetS("reason", jobReason);
        LogJob("failed", job, seconds);
        rewrite(line, text.AsJSon());
        return;
    }
    // The third failure: the job leaves the queue, but only once the dead-letter file holds it.
    text.SetS("reason", jobReason);
    AppendDeadLetter(BatchFileInUse(), text.AsJSon());
    LogJob("dropped", job, seconds);
    rewrite("", "");
}

bool TThreadCopia::EnsureConnected() {
    ITransferClient& client = *IdFTP;
    if (!client.Connected()) {
        try {
            client.Connect();
        } catch (const TransferError& error) {
            const bool busy = error.Kind() == TransferErrorKind::Unavailable && error.ReplyCode() >= 400 &&
                              error.ReplyCode() < 500;
            if (!busy || !closedOwnSession)
                throw;
            if (!WaitUnlessStopped(kBusyServerWait)) {
                m_runEnd = RunEnd::Stopped;
                return false;
            }
            client.Connect();
        }
    }
    if (client.Connected())
        return true;
    // Reached only when a connect returned without an error yet left no session: give the
    // network a moment, and when that does not help, tell a dead link from a dead server.
    if (!WaitUnlessStopped(std::chrono::milliseconds(1000))) {
        m_runEnd = RunEnd::Stopped;
        return false;
    }
    client.Connect();
    if (!client.Connected()) {
        if (StopSeen()) {
            m_runEnd = RunEnd::Stopped;
            return false;
        }
        const bool reachable = PingProbe ? PingProbe(kReachabilityHost) : Ping(kReachabilityHost, kProbeTimeout);
        if (!reachable) {
            AbortTransfer = true;
            m_runEnd = RunEnd::ServersUnreachable;
            return false;
        }
    }
    client.Connect();
    if (!client.Connected()) {
        AbortTransfer = true;
        m_runEnd = RunEnd::ServersUnreachable;
        return false;
    }
    return true;
}

bool TThreadCopia::UploadJob(const Job& job) {
    const std::string& f = job.localPath;
    CheckUploadSource(f);
    const std::string& d = job.remotePath;
    const std::string remoteName = UploadRemoteName(d);
    const std::string remoteDir = UploadRemoteDir(d);
    StrFile = f;
    ShowFile();
    const std::string folder = NormaliseRemoteDir(remoteDir, job.base);
    auto enterFolder = [&] {
        if (EnsureRemoteDir(remoteDir, *IdFTP, job.base))
            return true;
        // The walk swallows every error, those of a stop too.
        if (StopSeen())
            return false;
        throw JobFailed("remote folder " + folder + " could not be made");
    };
    // Where the client already stands in the folder, EnsureRemoteDir sends nothing.
    const bool alreadyThere = IdFTP->KnownCurrentDir() == folder;
    if (!enterFolder())
        return false;
    // With "publish": "rename" the target name only ever names a complete file.
    const std::string sendName = job.publish == JobPublish::Rename ? TemporaryUploadName(remoteName) : remoteName;
    TransferRequest request;
    request.localHash = VerificationFor(job, *IdFTP);
    PartialDownloadJournal journal(PartialDownloadJournal::PathFor(BatchFileInUse()));
    const std::string resumeKey = ResumeKeyOf(job);
    const bool resumable = UploadResumeStart(*IdFTP, f, sendName, resumeKey, journal, request);
    transferBegun = false;
    TransferResult result;
    try {
        result = IdFTP->PutFile(f, sendName, request);
    } catch (const TransferError& error) {
        // The folder may have gone since the job that walked to it: walk and try once more, so
        // that no job fails for having skipped the walk.
        if (!alreadyThere || !RefusedBeforeTransfer(error, transferBegun) || !IdFTP->Connected())
            throw;
        if (!enterFolder())
            return false;
        result = IdFTP->PutFile(f, sendName, request);
    }
    if (AbortTransfer)
        return false;
    if (result.startedAt > 0)
        AddNote(jobReason, "resumed at " + std::to_string(result.startedAt));
    if (request.localHash) {
        try {
            AddNote(jobReason, CheckTransferHash(job, *IdFTP, *request.localHash, sendName, result.localHash));
        } catch (...) {
            journal.ForgetKey(resumeKey);  // what the server holds is no base to go on from
            throw;
        }
    }
    if (sendName != remoteName)
        IdFTP->Rename(sendName, remoteName);
    if (resumable)
        journal.ForgetKey(resumeKey);
    if (job.mtime == JobMtime::Keep) {
        const auto localTime = LocalModifiedTime(Utf8Path(f));
        AddNote(jobReason, localTime && IdFTP->SetModifiedTime(remoteName, *localTime) ? "time kept" : "time not kept");
    }
    isDirty = true;
    return true;
}

bool TThreadCopia::DownloadJob(const Job& job) {
    const std::string& f = job.localPath;
    const auto remotePath = DownloadRemotePath(job.remotePath, job.base);
    if (!remotePath)
        throw JobFailed("no remote file named (\"d\" is empty)");
    // The finished file could never replace a folder: no transfer is worth making.
    std::error_code ec;
    if (!f.empty() && fs::is_directory(Utf8Path(f), ec))
        throw JobFailed("the local file " + f + " is a folder");
    StrFile = f;
    ShowFile();

    // -1: the server gave no size (no such file, or SIZE refused); RETR decides then.
    const std::int64_t size = IdFTP->Size(*remotePath);
    if (size == 0) {
        isDirty = true;  // the design's empty remote file: done, nothing fetched
        jobReason = "remote file is empty";
        return true;
    }
    const std::string folder = DownloadLocalFolder(f);
    if (folder.empty())
        throw JobFailed("the local file names no folder");
    fs::create_directories(Utf8Path(folder), ec);
    if (!fs::is_directory(Utf8Path(folder), ec))
        throw JobFailed("local folder " + folder + " could not be made");

    BytesToTransfer = size > static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max())
                          ? std::numeric_limits<std::uint32_t>::max()
                          : static_cast<std::uint32_t>(std::max<std::int64_t>(size, 0));

    TransferRequest request;
    request.localHash = VerificationFor(job, *IdFTP);
    // Small files start over: resuming them would cost more than it saves.
    const bool resumable = size >= kResumeMinimum;
    std::optional<std::int64_t> remoteTime;
    if (resumable || job.mtime == JobMtime::Keep)
        remoteTime = IdFTP->ModifiedTime(*remotePath);

    // The file arrives under a name of its own and replaces "f" only once complete. The
    // journal names it first, so that a run killed meanwhile leaves nothing the next run
    // does not know of: a part to resume on, with what it must match, or one to remove.
    PartialDownloadJournal journal(PartialDownloadJournal::PathFor(BatchFileInUse()));
    PartialRecord wanted{{}, ResumeKeyOf(job), size, remoteTime};
    std::optional<TempFile> part = resumable ? ResumablePart(journal, wanted, request) : std::nullopt;
    if (!part)
        part.emplace(TempFile::CreateFor(Utf8Path(f), [&](const fs::path& name) {
            wanted.part = name;
            resumable ? journal.Record(wanted) : journal.Record(name);
        }));
    bool keepPart = false;
    auto finish = [&] {
        if (keepPart) {
            part->Keep();
            return;
        }
        part->Discard();
        journal.Forget(part->Path());
    };
    try {
        TransferResult result;
        try {
            result = IdFTP->GetFile(*remotePath, Utf8Text(part->Path()), request);
        } catch (const TransferError& error) {
            if (error.Kind() != TransferErrorKind::RemoteMissing) {
                keepPart = resumable && fs::file_size(part->Path(), ec) > 0 && !ec;
                throw;
            }
            finish();
            isDirty = true;  // the design's missing remote file: done, nothing fetched
            jobReason = "remote file not found";
            return true;
        }
        if (AbortTransfer) {
            keepPart = resumable;
            finish();
            return false;
        }
        if (result.startedAt > 0)
            AddNote(jobReason, "resumed at " + std::to_string(result.startedAt));
        // A file that fails its check never replaces "f", and is no base to resume on.
        if (request.localHash)
            AddNote(jobReason, CheckTransferHash(job, *IdFTP, *request.localHash, *remotePath, result.localHash));
        part->CommitTo(Utf8Path(f));
    } catch (...) {
        finish();
        throw;
    }
    finish();
    if (job.mtime == JobMtime::Keep)
        AddNote(jobReason, remoteTime && SetLocalModifiedTime(Utf8Path(f), *remoteTime) ? "time kept" : "time not kept");
    isDirty = true;
    return true;
}

void TThreadCopia::PauseBetweenJobs() {
    // A stop request or the application's close ends the pause at once; the next job is then
    // not begun (the loop looks before it reads the next line).
    WaitUnlessStopped(std::chrono::seconds(SecDelay.load()));
}

void TThreadCopia::RecordOutcome(BatchOutcome outcome, const Job& job, double seconds) {
    if (!outcomes)
        outcomes = std::make_unique<BatchGroupCommit>(BatchFileInUse());
    const bool moves = !outcome.replacement.empty();
    try {
        unwrittenJobs.emplace_back(outcomes->Add(std::move(outcome)), JobEntry("unrecorded", job, seconds));
    } catch (const BatchGroupCommit::Failure& failure) {
        unwrittenJobs.emplace_back(std::numeric_limits<std::uint64_t>::max(), JobEntry("unrecorded", job, seconds));
        FailUnrecorded(failure);
    }
    const std::uint64_t written = outcomes->WrittenUpTo();
    while (!unwrittenJobs.empty() && unwrittenJobs.front().first < written)
        unwrittenJobs.pop_front();
    // A line moved to the tail comes round again: it counts once more then.
    if (moves)
        --fileCloudTrCount;
}

void TThreadCopia::FlushOutcomes() {
    if (!outcomes)
        return;
    try {
        outcomes->Flush();
    } catch (const BatchGroupCommit::Failure& failure) {
        FailUnrecorded(failure);
    }
    unwrittenJobs.clear();
}

void TThreadCopia::FailUnrecorded(const BatchGroupCommit::Failure& failure) {
    const std::string reason = ShortReason(std::string("the queue could not be rewritten: ") + failure.what());
    for (auto& [number, entry] : unwrittenJobs) {
        if (number < failure.firstUnwritten || !outcomeLog)
            continue;
        entry.reason = reason;
        outcomeLog->Write(entry);
    }
    unwrittenJobs.clear();
    throw BatchFileError(failure.what());
}

void TThreadCopia::ReloadViewWhenDue() {
    if (!InteractiveMode && !scheduler && !(CloudTransferFrm && CloudTransferFrm->QueueViewShown()))
        return; // nobody looks: a run-once unattended run pays no round trip per job
    // A short queue is rewritten in microseconds: the view follows every job. A long one costs
    // milliseconds a rewrite, and the view follows a few times a second, each time once the
    // file holds every outcome so far.
    constexpr auto kReloadEvery = std::chrono::milliseconds(100);
    constexpr std::uintmax_t kShortQueueBytes = 256 * 1024;
    const auto now = std::chrono::steady_clock::now();
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(BatchFileInUse(), ec);
    if (!ec && size > kShortQueueBytes && now - lastReload < kReloadEvery)
        return;
    FlushOutcomes();
    RunStep(&TThreadCopia::SyncReloadList);
    lastReload = std::chrono::steady_clock::now();
}

OutcomeEntry TThreadCopia::JobEntry(const std::string& outcome, const Job& job, double seconds) const {
    OutcomeEntry entry;
    entry.outcome = outcome;
    entry.direction = job.direction == JobDirection::Upload ? "put" : "get";
    entry.localFile = job.localPath;
    entry.host = ServerText(job.endpoint);
    entry.remotePath = jobRemotePath;
    entry.bytes = jobBytes;
    entry.seconds = seconds;
    entry.reason = jobReason;
    return entry;
}

void TThreadCopia::LogJob(const std::string& outcome, const Job& job, double seconds) {
    if (outcomeLog)
        outcomeLog->Write(JobEntry(outcome, job, seconds));
}

void TThreadCopia::LogRun(const std::string& outcome, const std::string& reason) {
    if (!outcomeLog)
        return;
    OutcomeEntry entry;
    entry.outcome = outcome;
    entry.localFile = Utf8Text(BatchFileInUse());
    entry.reason = reason;
    outcomeLog->Write(entry);
}

// Progress.

std::int64_t TThreadCopia::MaximumRule(std::int64_t total) const {
    return total > 0 ? total : static_cast<std::int64_t>(BytesToTransfer);
}

std::int32_t TThreadCopia::Scaled(std::int64_t count) const {
    const std::int64_t scaled = count >= 0 ? count >> progressShift : 0;
    return static_cast<std::int32_t>(std::min<std::int64_t>(scaled, std::numeric_limits<std::int32_t>::max()));
}

void TThreadCopia::FTPWorkBegin(ITransferClient*, TWorkMode, std::int64_t workCountMax) {
    transferBegun = true;
    STime = ClockInUse().NowDays();
    WorkCountMax = workCountMax;
    progressShift = 0;
    while ((MaximumRule(workCountMax) >> progressShift) > std::numeric_limits<std::int32_t>::max())
        ++progressShift;
    if (isAthread) {
        Display().BeginWork(Scaled(MaximumRule(workCountMax)));
    } else if (ProgressBarSpeed) {
        ProgressBarSpeed->Show();
        ProgressBarSpeed->SetMax(Scaled(MaximumRule(workCountMax)));
        ProgressBarSpeed->Repaint();
    }
    AverageSpeed = 0.0;
}

void TThreadCopia::FTPWork(ITransferClient*, TWorkMode, std::int64_t workCount) {
    const double elapsedDays = ClockInUse().NowDays() - STime;
    if (LabelSpeed) {
        const double seconds = std::floor(elapsedDays * kMsPerDay) / 1000.0;
        if (seconds > 0)
            AverageSpeed = (static_cast<double>(workCount) / 1024.0) / seconds;
        StrSpeed = FormatSpeed(AverageSpeed, DecimalSeparator.load());
        if (!isAthread) {
            LabelSpeed->SetCaption(StrSpeed);
            LabelSpeed->Repaint();
        }
    }
    WorkCount = workCount;
    jobBytes = workCount;
    if (isAthread) {
        Display().Progress(StrSpeed, Scaled(WorkCount));
    } else if (ProgressBarSpeed)
        ProgressBarSpeed->SetPosition(Scaled(WorkCount));
}

void TThreadCopia::FTPWorkEnd(ITransferClient*, TWorkMode) {
    BytesToTransfer = 0;
    if (isAthread) {
        Display().EndWork();
    } else if (ProgressBarSpeed) {
        ProgressBarSpeed->SetPosition(0);
        ProgressBarSpeed->Hide();
        ProgressBarSpeed->Repaint();
        if (LabelSpeed)
            LabelSpeed->Repaint();
    }
    AverageSpeed = 0.0;
}

void TThreadCopia::SyncWorkBegin() {
    if (ProgressBarSpeed) {
        ProgressBarSpeed->SetMax(Scaled(MaximumRule(WorkCountMax)));
        ProgressBarSpeed->Show();
    }
    if (LabelSpeed)
        LabelSpeed->Show();
}

void TThreadCopia::SyncShowSpeed() {
    if (LabelSpeed)
        LabelSpeed->SetCaption(StrSpeed);
}

void TThreadCopia::SyncProgressPos() {
    if (ProgressBarSpeed)
        ProgressBarSpeed->SetPosition(Scaled(WorkCount));
}

void TThreadCopia::SyncWorkEnd() {
    if (ProgressBarSpeed) {
        ProgressBarSpeed->SetPosition(0);
        ProgressBarSpeed->Hide();
    }
    if (LabelSpeed)
        LabelSpeed->Hide();
}

RunDisplay& TThreadCopia::Display() {
    if (!display)
        display = RunDisplay::Create(LabelFile, LabelSpeed, ProgressBarSpeed, BalloonHint);
    return *display;
}

void TThreadCopia::ShowFile() {
    if (!isAthread) {
        SyncShowFile();
        return;
    }
    // A threaded run's window paints from its own event loop: no immediate repaint.
    const std::string count = Count(fileCloudTrCount, fileCloudTotCount);
    Display().ShowFile(count + "- file: " + StrFile, std::string(kTrayTitle) + "\r\n File " + count, kTrayTitle,
                       "File " + count);
}

void TThreadCopia::SyncShowFile() {
    const std::string count = Count(fileCloudTrCount, fileCloudTotCount);
    if (LabelFile) {
        LabelFile->SetCaption(count + "- file: " + StrFile);
        LabelFile->Repaint();
    }
    if (BalloonHint) {
        BalloonHint->SetHint(std::string(kTrayTitle) + "\r\n File " + count);
        BalloonHint->ShowBalloonHint(kTrayTitle, "File " + count, TBalloonHintIcon::bitNone, 10);
    }
}

void TThreadCopia::SyncReloadList() {
    if (CloudTransferFrm && (InteractiveMode || WatchQueue || CloudTransferFrm->QueueViewShown()))
        CloudTransferFrm->LoadBatchList();
}

} // namespace ct
