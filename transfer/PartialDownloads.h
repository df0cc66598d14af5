#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace ct {

// "cloud_transfer.parts" beside the queue: the temporary files of downloads in progress, one
// path a line (UTF-8), owner-only. A name is recorded before its file is created and forgotten
// after the file is gone, so a run killed at any instant leaves no temporary file that the
// journal does not name; the next run removes them before its first job.
class PartialDownloadJournal {
public:
    explicit PartialDownloadJournal(std::filesystem::path file);
    static std::filesystem::path PathFor(const std::filesystem::path& batchFile);

    // Removes every listed file that is still there and still has a temporary file's name (a
    // name of any other form is never removed), then the journal itself, keeping only names
    // whose file could not be removed. Never raises.
    void RemoveLeftovers() noexcept;
    // Raises FileSystemError when the name cannot be recorded.
    void Record(const std::filesystem::path& part);
    // Drops the name once its file is gone; the journal goes when it names nothing. Never raises.
    void Forget(const std::filesystem::path& part) noexcept;

private:
    std::vector<std::string> Entries() const;
    void Keep(const std::vector<std::string>& entries);

    std::filesystem::path m_file;
};

} // namespace ct
