#include "transfer/OutcomeLog.h"

#include <chrono>
#include <cstdio>

#include "transfer/JobReason.h"

namespace ct {

namespace fs = std::filesystem;

namespace {

std::string UtcTimestamp() {
    using namespace std::chrono;
    const auto now = floor<seconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss time{now - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

// A field never breaks the line or its columns.
std::string Field(const std::string& text, const std::string& secret) {
    if (text.empty())
        return "-";
    std::string field = RedactSecret(text, secret);
    for (char& c : field)
        if (c == '\r' || c == '\n' || c == '\t')
            c = ' ';
    return field;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", seconds);
    return text;
}

} // namespace

OutcomeLog::OutcomeLog(fs::path file, std::uint64_t rotateAt) : m_file(std::move(file)), m_rotateAt(rotateAt) {}

fs::path OutcomeLog::PathFor(const fs::path& batchFile) {
    return batchFile.parent_path() / "cloud_transfer.log";
}

std::string OutcomeLog::FormatLine(const OutcomeEntry& entry, const std::string& secret) {
    std::string line = UtcTimestamp();
    for (const std::string* text : {&entry.outcome, &entry.direction, &entry.localFile, &entry.host,
                                    &entry.remotePath}) {
        line += '\t';
        line += Field(*text, secret);
    }
    line += '\t';
    line += entry.bytes >= 0 ? std::to_string(entry.bytes) : "-";
    line += '\t';
    line += entry.seconds >= 0 ? Seconds(entry.seconds) : "-";
    line += '\t';
    line += Field(entry.reason, secret);
    return line;
}

std::optional<FileFailure> OutcomeLog::Write(const OutcomeEntry& entry, const std::string& secret) noexcept {
    try {
        const std::string line = FormatLine(entry, secret) + "\n";
        if (echoToStandardError) {
            std::fputs(line.c_str(), stderr);
            std::fflush(stderr);
        }
        return Append(line);
    } catch (...) {
        // The log is a record, never a reason for a job or a run to fail.
        return FileFailure{FileFault::IoError, 0, "cannot write the outcome log"};
    }
}

std::optional<FileFailure> OutcomeLog::Append(const std::string& line) {
    AppendOptions options;
    options.rotateAt = m_rotateAt;
    options.rotateTo = m_file;
    options.rotateTo += ".1";
    // On disk before the queue is rewritten after it, so that a power cut cannot keep the
    // rewrite and lose the line that tells what happened to the job.
    options.durability = Durability::OnDisk;
    FileResult<void> written = AppendOwnerOnly(m_file, line, options);
    if (written)
        return std::nullopt;
    if (!m_failureTold.exchange(true)) {
        std::fputs(("the outcome log is not written: " + written.Failure().message + "\n").c_str(), stderr);
        std::fflush(stderr);
    }
    return written.Failure();
}

} // namespace ct
