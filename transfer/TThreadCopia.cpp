#include "transfer/TThreadCopia.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "batch/BatchFileStore.h"
#include "batch/JobLine.h"
#include "platform/fs/GuardedRewrite.h"
#include "platform/ftp/TIdFTP.h"
#include "transfer/AppGlobals.h"
#include "transfer/JobPaths.h"
#include "transfer/RemoteDirs.h"

namespace ct {

namespace fs = std::filesystem;

namespace {

constexpr double kMsPerDay = 86400000.0;
// Days from the date-time epoch (1899-12-30) to the Unix epoch.
constexpr double kUnixEpochDays = 25569.0;

double NowDays() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::duration<double, std::milli>>(sinceEpoch).count();
    return ms / kMsPerDay + kUnixEpochDays;
}

const char* const kTrayTitle = "Trasferimento su Cloud - Attendere...";

std::string Count(std::int32_t done, std::int32_t total) {
    return std::to_string(done) + "/" + std::to_string(total);
}

bool IsExistingFile(const std::string& name) {
    std::error_code ec;
    return !name.empty() && fs::is_regular_file(fs::path(name), ec);
}

long ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<long>(getpid());
#endif
}

// A download lands under this name first and replaces "f" only once complete, so an
// interrupted transfer never leaves a truncated file where the user expects the real one.
class PartialFile {
public:
    explicit PartialFile(const std::string& target) : m_path(target + ".part-" + std::to_string(ProcessId())) {}
    ~PartialFile() {
        if (!m_committed) {
            std::error_code ec;
            fs::remove(m_path, ec);
        }
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    std::string Name() const { return m_path.string(); }
    void CommitTo(const std::string& target) {
        fs::rename(m_path, fs::path(target));  // raises on failure; the destructor cleans up
        m_committed = true;
    }

private:
    fs::path m_path;
    bool m_committed = false;
};

} // namespace

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
    AbortTransfer = true;
    std::lock_guard<std::mutex> lock(clientMutex);
    if (IdFTP)
        IdFTP->Abort();
}

fs::path TThreadCopia::BatchFileInUse() const {
    return BatchFile.empty() ? BatchFilePath() : BatchFile;
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

void TThreadCopia::Execute() {
    AbortTransfer = false;
    isDirty = false;
    std::error_code ec;
    if (!fs::exists(BatchFileInUse(), ec))
        return;
    fileCloudTrCount = 0;

    std::unique_ptr<IFtpClient> client = ClientFactory ? ClientFactory() : std::make_unique<TIdFTP>();
    if (!client)
        throw CloudError("no FTP client could be made");
    client->OnWorkBegin = [this](IFtpClient* sender, TWorkMode mode, std::int64_t total) {
        FTPWorkBegin(sender, mode, total);
    };
    client->OnWork = [this](IFtpClient* sender, TWorkMode mode, std::int64_t count) { FTPWork(sender, mode, count); };
    client->OnWorkEnd = [this](IFtpClient* sender, TWorkMode mode) { FTPWorkEnd(sender, mode); };
    client->SetPassive(true);
    client->SetTransferType(TIdFTPTransferType::ftBinary);
    {
        std::lock_guard<std::mutex> lock(clientMutex);
        IdFTP = std::move(client);
    }

    // The clean-up runs however the run ends. The client leaves IdFTP under the lock, so a
    // stop request either reaches it before or finds no client at all.
    struct CleanUp {
        TThreadCopia& worker;
        ~CleanUp() {
            try {
                worker.IdFTP->Disconnect();
            } catch (...) {
            }
            std::unique_ptr<IFtpClient> released;
            {
                std::lock_guard<std::mutex> lock(worker.clientMutex);
                released = std::move(worker.IdFTP);
            }
            // Lines that producers added to a version of the queue the run replaced are
            // carried into the file before the run reports its end.
            try {
                SettleLateWriters(worker.BatchFileInUse());
            } catch (...) {
            }
        }
    } cleanUp{*this};

    if (Terminated() || AbortTransfer)
        return;
    RunJobs();
}

void TThreadCopia::RunJobs() {
    for (;;) {
        // Terminate() is used only when the application closes during a run: no new job.
        if (Terminated())
            return;
        const std::string line = ReadFirstBatchLine();
        if (line.empty())
            return;
        isDirty = false;
        currentJobLine = line;
        const ISuperObject job = SO(line);
        const ISuperObject ftp = job->O("ftp");
        if (!ftp)
            throw CloudError("the job line has no \"ftp\" settings");

        IFtpClient& client = *IdFTP;
        if (ftp->S("h") != client.Host()) {
            client.Disconnect();
            client.SetHost(ftp->S("h"));
        }
        if (ftp->S("u") != client.Username()) {
            client.Disconnect();
            client.SetUsername(ftp->S("u"));
        }
        if (ftp->S("p") != client.Password()) {
            client.Disconnect();
            client.SetPassword(ftp->S("p"));
        }
        if (ftp->I("t") != static_cast<std::int64_t>(client.Port())) {
            client.Disconnect();
            client.SetPort(static_cast<std::uint16_t>(static_cast<std::uint64_t>(ftp->I("t")) & 0xffffu));
        }

        // The job guard: any error from here to the end of the transfer fails the job
        // (or, for a download that counts as done, ends it) and the run goes on.
        bool goOn = true;
        try {
            goOn = EnsureConnected();
            if (goOn) {
                ++fileCloudTrCount;
                goOn = IsUploadJob(*job) ? UploadJob(*job) : DownloadJob(*job);
            }
        } catch (...) {
        }
        if (!goOn)
            return;

        if (AbortTransfer)
            return;
        if (isDirty) {
            UpdateBatchFile("", "");
        } else if (auto mark = NextErrorMark(*job)) {
            job->SetS("error", *mark);
            UpdateBatchFile(line, job->AsJSon());
        } else {
            UpdateBatchFile("", "");
        }
        RunStep(&TThreadCopia::SyncReloadList);
        PauseBetweenJobs();
    }
}

bool TThreadCopia::EnsureConnected() {
    IFtpClient& client = *IdFTP;
    if (!client.Connected())
        client.Connect();
    if (client.Connected())
        return true;
    // Reached only when a connect returned without an error yet left no session: give the
    // network a moment, and when that does not help, tell a dead link from a dead server.
    Sleep(1000);
    client.Connect();
    if (!client.Connected()) {
        const bool reachable = PingProbe ? PingProbe(kReachabilityHost) : Ping(kReachabilityHost);
        if (!reachable) {
            AbortTransfer = true;
            return false;
        }
    }
    client.Connect();
    if (!client.Connected()) {
        AbortTransfer = true;
        return false;
    }
    return true;
}

bool TThreadCopia::UploadJob(const TSuperObject& job) {
    const std::string f = job.S("f");
    if (!IsExistingFile(f))
        return true;  // failed
    const std::string d = job.S("d");
    const std::string remoteName = UploadRemoteName(d);
    const std::string remoteDir = UploadRemoteDir(d);
    StrFile = f;
    RunStep(&TThreadCopia::SyncShowFile);
    if (!EnsureRemoteDir(remoteDir, *IdFTP, job.S("b")))
        return true;  // failed
    IdFTP->Put(f, remoteName, false, -1);
    if (AbortTransfer)
        return false;
    isDirty = true;
    return true;
}

bool TThreadCopia::DownloadJob(const TSuperObject& job) {
    const std::string f = job.S("f");
    const auto remotePath = DownloadRemotePath(job.S("d"), job.S("b"));
    if (!remotePath)
        return true;  // failed: no remote path
    StrFile = f;
    RunStep(&TThreadCopia::SyncShowFile);

    // Size reports a file the server does not have as -1; any other trouble raises and
    // fails the job like a failed upload.
    const std::int64_t size = IdFTP->Size(*remotePath);
    if (size <= 0) {
        isDirty = true;  // nothing to fetch: done
        return true;
    }
    const std::string folder = DownloadLocalFolder(f);
    if (folder.empty())
        return true;  // failed: "f" names no folder
    std::error_code ec;
    fs::create_directories(fs::path(folder), ec);
    if (!fs::is_directory(fs::path(folder), ec))
        return true;  // failed: the folder cannot be made

    BytesToTransfer = size > static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max())
                          ? std::numeric_limits<std::uint32_t>::max()
                          : static_cast<std::uint32_t>(size);
    PartialFile part(f);
    IdFTP->Get(*remotePath, part.Name(), true, false);
    if (AbortTransfer)
        return false;  // the partial file goes; the job stays first
    part.CommitTo(f);
    isDirty = true;
    return true;
}

void TThreadCopia::PauseBetweenJobs() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(SecDelay.load());
    // A stop request does not shorten the pause; only the application's close does.
    while (!Terminated()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return;
        Sleep(static_cast<std::uint32_t>(std::min<std::int64_t>(left.count(), 50)));
    }
}

// Progress.

std::int64_t TThreadCopia::MaximumRule(std::int64_t total) const {
    return total > 0 ? total : static_cast<std::int64_t>(BytesToTransfer);
}

std::int32_t TThreadCopia::Scaled(std::int64_t count) const {
    const std::int64_t scaled = count >= 0 ? count >> progressShift : 0;
    return static_cast<std::int32_t>(std::min<std::int64_t>(scaled, std::numeric_limits<std::int32_t>::max()));
}

void TThreadCopia::FTPWorkBegin(IFtpClient*, TWorkMode, std::int64_t workCountMax) {
    STime = NowDays();
    WorkCountMax = workCountMax;
    progressShift = 0;
    while ((MaximumRule(workCountMax) >> progressShift) > std::numeric_limits<std::int32_t>::max())
        ++progressShift;
    if (isAthread) {
        Synchronize([this] { SyncWorkBegin(); });
    } else if (ProgressBarSpeed) {
        ProgressBarSpeed->Show();
        ProgressBarSpeed->SetMax(Scaled(MaximumRule(workCountMax)));
        ProgressBarSpeed->Repaint();
    }
    AverageSpeed = 0.0;
}

void TThreadCopia::FTPWork(IFtpClient*, TWorkMode, std::int64_t workCount) {
    const double elapsedDays = NowDays() - STime;
    if (LabelSpeed) {
        const double seconds = std::floor(elapsedDays * kMsPerDay) / 1000.0;
        if (seconds > 0)
            AverageSpeed = (static_cast<double>(workCount) / 1024.0) / seconds;
        StrSpeed = FormatSpeed(AverageSpeed, DecimalSeparator.load());
        if (isAthread) {
            Synchronize([this] { SyncShowSpeed(); });
        } else {
            LabelSpeed->SetCaption(StrSpeed);
            LabelSpeed->Repaint();
        }
    }
    WorkCount = workCount;
    if (isAthread)
        Synchronize([this] { SyncProgressPos(); });
    else if (ProgressBarSpeed)
        ProgressBarSpeed->SetPosition(Scaled(WorkCount));
}

void TThreadCopia::FTPWorkEnd(IFtpClient*, TWorkMode) {
    BytesToTransfer = 0;
    if (isAthread) {
        Synchronize([this] { SyncWorkEnd(); });
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
    if (InteractiveMode && CloudTransferFrm)
        CloudTransferFrm->LoadBatchList();
}

} // namespace ct
