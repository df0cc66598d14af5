#include "platform/fs/ReadOnlyFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ct {

namespace fs = std::filesystem;

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept
    : m_path(std::move(other.m_path)), m_identity(other.m_identity), m_mode(other.m_mode) {
#ifdef _WIN32
    m_handle = std::exchange(other.m_handle, nullptr);
#else
    m_fd = std::exchange(other.m_fd, -1);
#endif
}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
    if (this != &other) {
        Close();
        m_path = std::move(other.m_path);
        m_identity = other.m_identity;
        m_mode = other.m_mode;
#ifdef _WIN32
        m_handle = std::exchange(other.m_handle, nullptr);
#else
        m_fd = std::exchange(other.m_fd, -1);
#endif
    }
    return *this;
}

ReadOnlyFile::~ReadOnlyFile() {
    Close();
}

std::string ReadOnlyFile::Read(std::int64_t offset, std::int64_t length) const {
    std::string bytes;
    if (length <= 0)
        return bytes;
    bytes.resize(static_cast<std::size_t>(length));
    bytes.resize(ReadInto(offset, bytes.data(), bytes.size()));
    return bytes;
}

std::string ReadOnlyFile::ReadFrom(std::int64_t offset) const {
    std::string bytes;
    const std::int64_t size = Size();
    if (size > offset)
        bytes = Read(offset, size - offset);
    char buf[65536];
    for (;;) {
        const std::size_t n = ReadInto(offset + static_cast<std::int64_t>(bytes.size()), buf, sizeof buf);
        if (n == 0)
            return bytes;
        bytes.append(buf, n);
    }
}

#ifdef _WIN32

namespace {

std::string Describe(const std::string& what, const fs::path& file, DWORD error) {
    return what + " " + file.string() + " (error " + std::to_string(error) + ")";
}

} // namespace

std::optional<ReadOnlyFile> ReadOnlyFile::Open(const fs::path& file, Sharing sharing) {
    const DWORD share = sharing == Sharing::KeepWritersOut ? FILE_SHARE_READ
                                                           : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)
            return std::nullopt;
        if (e == ERROR_SHARING_VIOLATION)
            throw FileInUseError(Describe("cannot open", file, e));
        throw FileSystemError(Describe("cannot open", file, e));
    }
    ReadOnlyFile result;
    result.m_handle = h;
    result.m_path = file;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
        throw NotARegularFileError(file.string() + " is not a regular file");
    result.m_identity.device = info.dwVolumeSerialNumber;
    result.m_identity.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return result;
}

void ReadOnlyFile::Close() {
    if (m_handle)
        CloseHandle(m_handle);
    m_handle = nullptr;
}

std::int64_t ReadOnlyFile::Size() const {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(m_handle, &size))
        throw FileSystemError(Describe("cannot read the size of", m_path, GetLastError()));
    return size.QuadPart;
}

std::size_t ReadOnlyFile::ReadInto(std::int64_t offset, char* buffer, std::size_t length) const {
    std::size_t done = 0;
    while (done < length) {
        OVERLAPPED at{};
        const std::uint64_t position = static_cast<std::uint64_t>(offset) + done;
        at.Offset = static_cast<DWORD>(position & 0xffffffffu);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        DWORD got = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(length - done, 1u << 24));
        if (!ReadFile(m_handle, buffer + done, chunk, &got, &at)) {
            const DWORD e = GetLastError();
            if (e == ERROR_HANDLE_EOF)
                break;
            throw FileSystemError(Describe("cannot read", m_path, e));
        }
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

#else

namespace {

std::string Describe(const std::string& what, const fs::path& file, int error) {
    return what + " " + file.string() + ": " + std::strerror(error);
}

} // namespace

std::optional<ReadOnlyFile> ReadOnlyFile::Open(const fs::path& file, Sharing) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        throw FileSystemError(Describe("cannot open", file, errno));
    }
    ReadOnlyFile result;
    result.m_fd = fd;
    result.m_path = file;
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw FileSystemError(Describe("cannot examine", file, errno));
    if (!S_ISREG(st.st_mode))
        throw NotARegularFileError(file.string() + " is not a regular file");
    // Reads of a regular file never block; the flag only mattered for the open.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    result.m_identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    result.m_mode = st.st_mode & 07777;
    return result;
}

void ReadOnlyFile::Close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

int ReadOnlyFile::ReleaseFd() {
    return std::exchange(m_fd, -1);
}

std::int64_t ReadOnlyFile::Size() const {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0)
        throw FileSystemError(Describe("cannot examine", m_path, errno));
    return st.st_size;
}

std::size_t ReadOnlyFile::ReadInto(std::int64_t offset, char* buffer, std::size_t length) const {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(m_fd, buffer + done, length - done, static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw FileSystemError(Describe("cannot read", m_path, errno));
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

#endif

} // namespace ct
