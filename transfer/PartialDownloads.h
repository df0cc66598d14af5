#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ct {

// What a kept part of a download must match to be resumed on.
struct PartialRecord {
    std::filesystem::path part;
    // The job it belongs to (PartialKeyFor): its server, remote path and local file.
    std::string key;
    // The remote file as it was when the part began: SIZE, and MDTM where the server gave it.
    std::int64_t remoteSize = -1;
    std::optional<std::int64_t> remoteTime;
};

// "cloud_transfer.parts" beside the queue: the temporary files of downloads in progress, one
// a line (UTF-8), owner-only. A name is recorded before its file is created and forgotten
// after the file is gone, so a run killed at any instant leaves no temporary file that the
// journal does not name. A line with a job's key and the remote file's size is a part kept
// to resume on (a JSON object); a bare path is a part nobody will resume.
class PartialDownloadJournal {
public:
    explicit PartialDownloadJournal(std::filesystem::path file);
    static std::filesystem::path PathFor(const std::filesystem::path& batchFile);

    // Removes every listed file that is still there and still has a temporary file's name (a
    // name of any other form is never removed), then the journal itself, keeping only names
    // whose file could not be removed. Never raises.
    void RemoveLeftovers() noexcept { RemoveLeftovers([](const PartialRecord&) { return false; }); }
    // The same, but a part to resume on whose record `stillWanted` accepts (its job is still
    // in the queue) stays, with its line.
    void RemoveLeftovers(const std::function<bool(const PartialRecord&)>& stillWanted) noexcept;
    // Raises FileSystemError when the name cannot be recorded.
    void Record(const std::filesystem::path& part);
    // Records a part to resume on, with what it must match; raises like Record.
    void Record(const PartialRecord& record);
    // The part kept for the job of this key, if any (the last recorded).
    std::optional<PartialRecord> Find(const std::string& key) const;
    // Drops the lines of a key (a record with no file: an upload's).
    void ForgetKey(const std::string& key) noexcept;
    // Drops the name once its file is gone; the journal goes when it names nothing. Never raises.
    void Forget(const std::filesystem::path& part) noexcept;

private:
    std::vector<std::string> Entries() const;
    static PartialRecord Read(const std::string& entry);
    void Keep(const std::vector<std::string>& entries);

    std::filesystem::path m_file;
};

} // namespace ct
