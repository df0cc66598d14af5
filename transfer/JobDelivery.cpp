#include "transfer/JobDelivery.h"

#include <chrono>
#include <set>
#include <system_error>

#include "batch/BatchFileStore.h"
#include "platform/error/CloudError.h"
#include "transfer/JobPaths.h"

namespace ct {

namespace fs = std::filesystem;

std::optional<HashAlgorithm> VerificationFor(const Job& job, ITransferClient& client) {
    if (job.verify == JobVerify::Off)
        return std::nullopt;
    const std::vector<HashAlgorithm> offered = client.OfferedHashes();
    if (!offered.empty())
        return offered.front();
    if (job.verify == JobVerify::Hash)
        throw CloudError("verification required, but the server offers no hash");
    return std::nullopt;
}

std::string CheckTransferHash(const Job& job, ITransferClient& client, HashAlgorithm algorithm,
                              const std::string& remotePath, const std::optional<std::string>& localHash) {
    const std::string name = HashName(algorithm);
    const std::optional<std::string> remote = client.RemoteHash(algorithm, remotePath, 0, -1);
    if (!remote || !localHash) {
        if (job.verify == JobVerify::Hash)
            throw CloudError(name + " verification failed: the server gave no hash of the file");
        return "not verified (the server gave no " + name + ")";
    }
    if (*remote != *localHash)
        throw CloudError(name + " checksum mismatch");
    return "verified by " + name;
}

std::string ResumeKeyOf(const Job& job) {
    // Tabs between the parts: the key lives on one line of the journal.
    const std::string server = ServerText(job.endpoint) + " " + job.endpoint.user + "\t";
    if (job.direction == JobDirection::Upload)
        return "put\t" + server + job.base + "\t" + job.remotePath + "\t" + job.localPath;
    return "get\t" + server + DownloadRemotePath(job.remotePath, job.base).value_or("") + "\t" + job.localPath;
}

std::string TemporaryUploadName(const std::string& remoteName) {
    return "." + remoteName + ".part";
}

std::optional<std::int64_t> LocalModifiedTime(const fs::path& path) {
    std::error_code ec;
    const auto time = fs::last_write_time(path, ec);
    if (ec)
        return std::nullopt;
    const auto system = fs::file_time_type::clock::to_sys(time);
    return std::chrono::duration_cast<std::chrono::seconds>(system.time_since_epoch()).count();
}

bool SetLocalModifiedTime(const fs::path& path, std::int64_t unixSeconds) {
    const std::chrono::sys_seconds system{std::chrono::seconds(unixSeconds)};
    std::error_code ec;
    fs::last_write_time(path, fs::file_time_type::clock::from_sys(system), ec);
    return !ec;
}

void AddNote(std::string& reason, const std::string& note) {
    if (note.empty())
        return;
    reason += (reason.empty() ? "" : "; ") + note;
}

namespace {

fs::path Utf8(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

} // namespace

void RemoveLeftoverParts(const fs::path& batchFile) {
    PartialDownloadJournal journal(PartialDownloadJournal::PathFor(batchFile));
    std::error_code ec;
    if (!fs::exists(PartialDownloadJournal::PathFor(batchFile), ec))
        return;
    std::set<std::string> queued;
    try {
        for (const std::string& line : ReadAllBatchLines(batchFile).lines) {
            const ParsedJob parsed = ParseJob(line);
            if (const Job* job = JobOf(parsed))
                queued.insert(ResumeKeyOf(*job));
        }
    } catch (const std::exception&) {
        queued.clear();  // a queue that cannot be read keeps no part
    }
    journal.RemoveLeftovers([&](const PartialRecord& record) { return queued.count(record.key) > 0; });
}

bool UploadResumeStart(ITransferClient& client, const std::string& f, const std::string& sendName,
                       const std::string& key, PartialDownloadJournal& journal, TransferRequest& request) {
    std::error_code ec;
    const auto localSize = static_cast<std::int64_t>(fs::file_size(Utf8(f), ec));
    if (ec || localSize < kResumeMinimum || !client.CanResumeUpload())
        return false;
    const auto localTime = LocalModifiedTime(Utf8(f));
    // A try that was cut left this record: the local file must be as it was then.
    if (const auto record = journal.Find(key)) {
        if (record->remoteSize == localSize && record->remoteTime == localTime) {
            const std::int64_t there = client.Size(sendName);
            // A remote file larger than ours is not a part of it: start over.
            if (there > 0 && there <= localSize)
                request.startPosition = there;
            return true;
        }
        journal.ForgetKey(key);
    }
    journal.Record(PartialRecord{{}, key, localSize, localTime});
    return true;
}

std::optional<TempFile> ResumablePart(PartialDownloadJournal& journal, const PartialRecord& wanted,
                                      TransferRequest& request) {
    const auto record = journal.Find(wanted.key);
    if (!record)
        return std::nullopt;
    // Only onto the same remote file as when the part began.
    const bool same = record->remoteSize == wanted.remoteSize && record->remoteTime == wanted.remoteTime;
    std::optional<TempFile> part = same ? TempFile::Reopen(record->part) : std::nullopt;
    std::error_code ec;
    const auto have = part ? static_cast<std::int64_t>(fs::file_size(part->Path(), ec)) : 0;
    if (!part || ec || have > wanted.remoteSize) {
        if (auto stale = TempFile::Reopen(record->part))
            stale->Discard();
        journal.Forget(record->part);
        return std::nullopt;
    }
    request.startPosition = have;
    return part;
}

} // namespace ct
