#include "platform/ftp/FtpLocalFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ct::ftp {

namespace {

std::filesystem::path NativePath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

} // namespace

FtpLocalFile::~FtpLocalFile() {
    Close();
}

#if defined(_WIN32)

bool FtpLocalFile::IsOpen() const {
    return m_handle != nullptr;
}

std::string FtpLocalFile::Open(const std::string& utf8Path, Mode mode) {
    Close();
    m_created = false;
    const auto path = NativePath(utf8Path);
    const DWORD access = mode == Mode::Read ? GENERIC_READ : GENERIC_WRITE;
    const DWORD share = mode == Mode::Read ? (FILE_SHARE_READ | FILE_SHARE_WRITE) : FILE_SHARE_READ;
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    if (mode != Mode::WriteNew) {
        h = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    }
    if (mode != Mode::Read && (mode == Mode::WriteNew || error == ERROR_FILE_NOT_FOUND)) {
        h = CreateFileW(path.c_str(), access, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        m_created = h != INVALID_HANDLE_VALUE;
    }
    if (h == INVALID_HANDLE_VALUE) {
        if (error == ERROR_FILE_EXISTS)
            return "the local file exists already";
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return "the local file does not exist";
        if (error == ERROR_ACCESS_DENIED)
            return "the local file cannot be opened (access denied)";
        return "the local file cannot be opened (error " + std::to_string(error) + ")";
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        return "the local file is not a regular file";
    }
    m_handle = h;
    m_size = (static_cast<std::int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return {};
}

bool FtpLocalFile::Truncate(std::int64_t length) {
    return Seek(length) && SetEndOfFile(static_cast<HANDLE>(m_handle));
}

bool FtpLocalFile::Seek(std::int64_t offset) {
    LARGE_INTEGER position{};
    position.QuadPart = offset;
    return SetFilePointerEx(static_cast<HANDLE>(m_handle), position, nullptr, FILE_BEGIN) != 0;
}

std::int64_t FtpLocalFile::Read(char* buffer, std::size_t length) {
    DWORD got = 0;
    DWORD want = static_cast<DWORD>(length > (1u << 30) ? (1u << 30) : length);
    if (!ReadFile(static_cast<HANDLE>(m_handle), buffer, want, &got, nullptr))
        return -1;
    return got;
}

bool FtpLocalFile::Write(const char* buffer, std::size_t length) {
    while (length > 0) {
        DWORD put = 0;
        DWORD want = static_cast<DWORD>(length > (1u << 30) ? (1u << 30) : length);
        if (!WriteFile(static_cast<HANDLE>(m_handle), buffer, want, &put, nullptr) || put == 0)
            return false;
        buffer += put;
        length -= put;
    }
    return true;
}

bool FtpLocalFile::Close() {
    if (!m_handle)
        return true;
    bool ok = CloseHandle(static_cast<HANDLE>(m_handle)) != 0;
    m_handle = nullptr;
    return ok;
}

#else

bool FtpLocalFile::IsOpen() const {
    return m_fd >= 0;
}

std::string FtpLocalFile::Open(const std::string& utf8Path, Mode mode) {
    Close();
    m_created = false;
    const auto path = NativePath(utf8Path);
    // O_NONBLOCK keeps a FIFO without a peer from blocking the open; what the handle is gets
    // checked before a single byte moves, and blocking I/O is restored for a regular file.
    const int base = O_CLOEXEC | O_NONBLOCK | (mode == Mode::Read ? O_RDONLY : O_WRONLY);
    int fd = -1;
    int error = ENOENT;
    if (mode != Mode::WriteNew) {
        fd = ::open(path.c_str(), base);
        error = fd < 0 ? errno : 0;
    }
    if (fd < 0 && mode != Mode::Read && error == ENOENT) {
        fd = ::open(path.c_str(), base | O_CREAT | O_EXCL, 0666);
        error = fd < 0 ? errno : 0;
        m_created = fd >= 0;
    }
    if (fd < 0) {
        if (error == EEXIST)
            return "the local file exists already";
        if (error == ENOENT)
            return "the local file does not exist";
        if (error == EISDIR || error == ENXIO)
            return "the local file is not a regular file";
        return std::string("the local file cannot be opened (") + std::strerror(error) + ")";
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return "the local file is not a regular file";
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return "the local file cannot be opened";
    }
    m_fd = fd;
    m_size = static_cast<std::int64_t>(st.st_size);
    return {};
}

bool FtpLocalFile::Truncate(std::int64_t length) {
    return ::ftruncate(m_fd, static_cast<off_t>(length)) == 0 && Seek(length);
}

bool FtpLocalFile::Seek(std::int64_t offset) {
    return ::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

std::int64_t FtpLocalFile::Read(char* buffer, std::size_t length) {
    for (;;) {
        ssize_t n = ::read(m_fd, buffer, length);
        if (n >= 0)
            return n;
        if (errno != EINTR)
            return -1;
    }
}

bool FtpLocalFile::Write(const char* buffer, std::size_t length) {
    while (length > 0) {
        ssize_t n = ::write(m_fd, buffer, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        buffer += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool FtpLocalFile::Close() {
    if (m_fd < 0)
        return true;
    bool ok = ::close(m_fd) == 0;
    m_fd = -1;
    return ok;
}

#endif

} // namespace ct::ftp
