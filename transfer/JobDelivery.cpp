#include "transfer/JobDelivery.h"

#include <chrono>
#include <system_error>

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

} // namespace ct
