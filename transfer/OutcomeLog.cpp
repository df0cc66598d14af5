#include "transfer/OutcomeLog.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif


namespace ct {

namespace fs = std::filesystem;

namespace {

std::string UtcTimestamp() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &now);
#else
    gmtime_r(&now, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// A field never breaks the line or its columns.
std::string Field(const std::string& text) {
    if (text.empty())
        return "-";
    std::string field = text;
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

std::string OutcomeLog::FormatLine(const OutcomeEntry& entry) {
    std::string line = UtcTimestamp();
    for (const std::string* text : {&entry.outcome, &entry.direction, &entry.localFile, &entry.host,
                                    &entry.remotePath}) {
        line += '\t';
        line += Field(*text);
    }
    line += '\t';
    line += entry.bytes >= 0 ? std::to_string(entry.bytes) : "-";
    line += '\t';
    line += entry.seconds >= 0 ? Seconds(entry.seconds) : "-";
    line += '\t';
    line += Field(entry.reason);
    return line;
}

void OutcomeLog::Write(const OutcomeEntry& entry) noexcept {
    try {
        const std::string line = FormatLine(entry) + "\n";
        if (echoToStandardError) {
            std::fputs(line.c_str(), stderr);
            std::fflush(stderr);
        }
        Append(line);
    } catch (...) {
        // The log is a record, never a reason for a job or a run to fail.
    }
}

#ifdef _WIN32

void OutcomeLog::Append(const std::string& line) {
    std::error_code ec;
    const auto size = fs::file_size(m_file, ec);
    if (!ec && size > 0 && size + line.size() > m_rotateAt) {
        fs::path old = m_file;
        old += ".1";
        fs::rename(m_file, old, ec);
    }
    std::ofstream out(m_file, std::ios::binary | std::ios::app);
    out << line;
}

#else

namespace {
int OpenLog(const fs::path& file) {
    return ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
}
} // namespace

void OutcomeLog::Append(const std::string& line) {
    int fd = OpenLog(m_file);
    if (fd < 0)
        return;
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        static_cast<std::uint64_t>(st.st_size) + line.size() > m_rotateAt) {
        ::close(fd);
        fs::path old = m_file;
        old += ".1";
        if (::rename(m_file.c_str(), old.c_str()) != 0)
            return;
        fd = OpenLog(m_file);
        if (fd < 0)
            return;
    } else if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return;
    }
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(fd, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

#endif

} // namespace ct
