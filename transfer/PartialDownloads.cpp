#include "transfer/PartialDownloads.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/fs/FileSystem.h"
#include "platform/fs/TempFile.h"

namespace ct {

namespace fs = std::filesystem;

namespace {

std::string Utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

fs::path FromUtf8(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

std::vector<std::string> SplitLines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        std::size_t stop = end;
        if (stop > start && bytes[stop - 1] == '\r')
            --stop;
        if (stop > start)
            lines.push_back(bytes.substr(start, stop - start));
        start = end + 1;
    }
    return lines;
}

#ifdef _WIN32
std::string ReadJournal(const fs::path& file) {
    return ReadFileIfExists(file).value_or(std::string());
}
#else
// Read without following a link and without blocking on anything but a regular file.
std::string ReadJournal(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return {};
        throw FileSystemError("cannot open " + Utf8(file) + ": " + std::strerror(errno));
    }
    struct stat st{};
    std::string bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            bytes.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return bytes;
}
#endif

} // namespace

PartialDownloadJournal::PartialDownloadJournal(fs::path file) : m_file(std::move(file)) {}

fs::path PartialDownloadJournal::PathFor(const fs::path& batchFile) {
    return batchFile.parent_path() / "cloud_transfer.parts";
}

std::vector<std::string> PartialDownloadJournal::Entries() const {
    return SplitLines(ReadJournal(m_file));
}

void PartialDownloadJournal::Keep(const std::vector<std::string>& entries) {
    if (entries.empty()) {
        DeleteFileQuietly(m_file);
        return;
    }
    std::string bytes;
    for (const auto& entry : entries)
        bytes += entry + "\n";
    ReplaceFileAtomically(m_file, bytes, ReplaceMode::ReplaceExisting, 0600u);
}

void PartialDownloadJournal::RemoveLeftovers() noexcept {
    try {
        std::vector<std::string> left;
        for (const auto& entry : Entries()) {
            const fs::path part = FromUtf8(entry);
            if (!IsTempFileName(part))
                continue;
            std::error_code ec;
            const auto status = fs::symlink_status(part, ec);
            if (ec || !fs::exists(status))
                continue;
            // remove() never follows a link: a link planted at the name goes, its target stays.
            if (fs::is_directory(status) || !fs::remove(part, ec))
                left.push_back(entry);
        }
        Keep(left);
    } catch (...) {
    }
}

void PartialDownloadJournal::Record(const fs::path& part) {
    const std::string line = Utf8(part) + "\n";
#ifdef _WIN32
    std::ofstream out(m_file, std::ios::binary | std::ios::app);
    out << line;
    out.flush();
    if (!out)
        throw FileSystemError("cannot write " + Utf8(m_file));
#else
    const int fd = ::open(m_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        throw FileSystemError("cannot open " + Utf8(m_file) + ": " + std::strerror(errno));
    struct stat st{};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const bool written = regular && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    const int error = errno;
    ::close(fd);
    if (!written)
        throw FileSystemError("cannot write " + Utf8(m_file) + (regular ? std::string(": ") + std::strerror(error)
                                                                        : std::string(": not a regular file")));
#endif
}

void PartialDownloadJournal::Forget(const fs::path& part) noexcept {
    try {
        std::vector<std::string> entries = Entries();
        const std::string gone = Utf8(part);
        entries.erase(std::remove(entries.begin(), entries.end(), gone), entries.end());
        Keep(entries);
    } catch (...) {
    }
}

} // namespace ct
