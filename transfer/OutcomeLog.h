#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/fs/SafeFile.h"

namespace ct {

// One line of the outcome log.
struct OutcomeEntry {
    // "start" and "end" for the run; for a job "done", "failed" (requeued with its mark),
    // "dropped" (third failure, now in the dead-letter file), "kept" (its server could not be
    // reached; it stays in the queue unmarked) or "stopped" (the run was stopped during it).
    std::string outcome;
    std::string direction;   // "put", "get", or empty for the run's lines
    std::string localFile;
    std::string host;        // host:port
    std::string remotePath;
    std::int64_t bytes = -1;  // -1: not applicable
    double seconds = -1;      // -1: not applicable
    std::string reason;
};

// "cloud_transfer.log" beside the queue: one tab-separated line per job outcome and per run
// start and end, in the order time (UTC), outcome, direction, local file, host, remote path,
// bytes, seconds, reason; "-" stands for an empty field. Created owner-only (0600). When a line
// would take the file past rotateAt bytes the file becomes "cloud_transfer.log.1" (replacing
// the one before) and a new file is begun.
class OutcomeLog {
public:
    static constexpr std::uint64_t kRotateBytes = 1024 * 1024;

    explicit OutcomeLog(std::filesystem::path file, std::uint64_t rotateAt = kRotateBytes);
    static std::filesystem::path PathFor(const std::filesystem::path& batchFile);

    // Echo every line on standard error too (an unattended start from a terminal).
    bool echoToStandardError = false;

    // Never raises and never blocks a job: a log that cannot be written is skipped (and left
    // as it was), the first time with a word on standard error; the failure is returned.
    // secret (the job's password) is redacted from every field.
    std::optional<FileFailure> Write(const OutcomeEntry& entry, const std::string& secret = {}) noexcept;

    // The line Write appends, without its line end.
    static std::string FormatLine(const OutcomeEntry& entry, const std::string& secret);

private:
    std::optional<FileFailure> Append(const std::string& line);

    std::filesystem::path m_file;
    std::uint64_t m_rotateAt;
    std::atomic<bool> m_failureTold{false};
};

} // namespace ct
