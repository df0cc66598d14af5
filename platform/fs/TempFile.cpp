#include "platform/fs/TempFile.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "platform/fs/FileSystem.h"
#include "platform/fs/SafeFile.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ct {

namespace fs = std::filesystem;

namespace {

constexpr const char* kMarker = ".part-";
constexpr std::size_t kMarkerSize = 6;
constexpr std::size_t kRandomDigits = 16;
// Room for the marker and the digits within the usual 255-byte limit of a file name.
constexpr std::size_t kMaxBaseBytes = 200;
constexpr int kAttempts = 16;

std::string RandomDigits() {
    static thread_local std::random_device device;
    const std::uint64_t value = (static_cast<std::uint64_t>(device()) << 32) ^ device();
    static const char hex[] = "0123456789abcdef";
    std::string digits(kRandomDigits, '0');
    for (std::size_t i = 0; i < kRandomDigits; ++i)
        digits[i] = hex[(value >> (4 * (kRandomDigits - 1 - i))) & 0xf];
    return digits;
}

fs::path CandidateFor(const fs::path& target) {
    fs::path::string_type base = target.filename().native();
    if (base.size() > kMaxBaseBytes)
        base.resize(kMaxBaseBytes);
    fs::path name(base);
    name += std::string(kMarker) + RandomDigits();
    return target.parent_path() / name;
}

// A path for an error text, whatever the platform's narrow code page can show.
std::string Display(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

} // namespace

bool IsTempFileName(const fs::path& candidate) {
    const std::string name = Display(candidate.filename());
    if (name.size() <= kMarkerSize + kRandomDigits)
        return false;
    const std::size_t digitsAt = name.size() - kRandomDigits;
    if (name.compare(digitsAt - kMarkerSize, kMarkerSize, kMarker) != 0)
        return false;
    for (std::size_t i = digitsAt; i < name.size(); ++i) {
        const char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

TempFile::TempFile(TempFile&& other) noexcept
    : m_path(std::move(other.m_path)), m_open(other.m_open)
#ifdef _WIN32
      , m_handle(other.m_handle)
#else
      , m_fd(other.m_fd)
#endif
{
    other.m_open = false;
#ifdef _WIN32
    other.m_handle = nullptr;
#else
    other.m_fd = -1;
#endif
}

TempFile::~TempFile() {
    Discard();
}

#ifdef _WIN32

TempFile TempFile::CreateFor(const fs::path& target, const std::function<void(const fs::path&)>& recordName) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const fs::path candidate = CandidateFor(target);
        if (recordName)
            recordName(candidate);
        // CREATE_NEW fails on any existing name, a link included; the sharing lets the FTP
        // client open the file by name while this handle keeps its identity.
        HANDLE h = CreateFileW(candidate.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
                continue;
            throw FileSystemError("cannot create the temporary file " + Display(candidate) + " (error " +
                                  std::to_string(error) + ")");
        }
        TempFile file;
        file.m_path = candidate;
        file.m_handle = h;
        file.m_open = true;
        return file;
    }
    throw FileSystemError("no free temporary file name beside " + Display(target));
}

bool TempFile::StillOurs() const {
    BY_HANDLE_FILE_INFORMATION ours{};
    if (!GetFileInformationByHandle(static_cast<HANDLE>(m_handle), &ours))
        return false;
    HANDLE now = CreateFileW(m_path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (now == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION current{};
    const bool same = GetFileInformationByHandle(now, &current) &&
                      current.dwVolumeSerialNumber == ours.dwVolumeSerialNumber &&
                      current.nFileIndexHigh == ours.nFileIndexHigh && current.nFileIndexLow == ours.nFileIndexLow &&
                      !(current.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    CloseHandle(now);
    return same;
}

void TempFile::Close() noexcept {
    if (m_handle)
        CloseHandle(static_cast<HANDLE>(m_handle));
    m_handle = nullptr;
    m_open = false;
}

void TempFile::Discard() noexcept {
    if (!m_open)
        return;
    if (StillOurs())
        DeleteFileW(m_path.c_str());
    Close();
}

std::optional<TempFile> TempFile::Reopen(const fs::path& path) {
    if (!IsTempFileName(path))
        return std::nullopt;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) || info.nNumberOfLinks != 1 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        CloseHandle(h);
        return std::nullopt;
    }
    TempFile file;
    file.m_path = path;
    file.m_handle = h;
    file.m_open = true;
    return file;
}

#else

TempFile TempFile::CreateFor(const fs::path& target, const std::function<void(const fs::path&)>& recordName) {
    // The target's own mode when it exists; else what a plain create would give it.
    struct stat existing{};
    const bool keepMode = ::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const fs::path candidate = CandidateFor(target);
        if (recordName)
            recordName(candidate);
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              keepMode ? 0600 : 0666);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            throw FileSystemError("cannot create the temporary file " + Display(candidate) + ": " +
                                  std::strerror(errno));
        }
        TempFile file;
        file.m_path = candidate;
        file.m_fd = fd;
        file.m_open = true;
        if (keepMode && ::fchmod(fd, existing.st_mode & 07777) != 0) {
            const int error = errno;
            file.Discard();
            throw FileSystemError("cannot set the mode of the temporary file " + Display(candidate) + ": " +
                                  std::strerror(error));
        }
        return file;
    }
    throw FileSystemError("no free temporary file name beside " + Display(target));
}

bool TempFile::StillOurs() const {
    struct stat ours{};
    struct stat now{};
    if (::fstat(m_fd, &ours) != 0 || ::lstat(m_path.c_str(), &now) != 0)
        return false;
    return S_ISREG(now.st_mode) && now.st_dev == ours.st_dev && now.st_ino == ours.st_ino;
}

void TempFile::Close() noexcept {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_open = false;
}

void TempFile::Discard() noexcept {
    if (!m_open)
        return;
    if (StillOurs())
        ::unlink(m_path.c_str());
    Close();
}

std::optional<TempFile> TempFile::Reopen(const fs::path& path) {
    if (!IsTempFileName(path))
        return std::nullopt;
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) {
        ::close(fd);
        return std::nullopt;
    }
    TempFile file;
    file.m_path = path;
    file.m_fd = fd;
    file.m_open = true;
    return file;
}

#endif

void TempFile::Keep() noexcept {
    Close();
}

void TempFile::CommitTo(const fs::path& target) {
    if (!m_open)
        throw FileSystemError("the temporary file " + Display(m_path) + " is gone");
    if (!StillOurs()) {
        Discard();
        throw FileSystemError("the temporary file " + Display(m_path) + " was replaced while it was written");
    }
    // The data reaches the disk before the rename, and the rename before we return: after a
    // power cut the target holds the old file or the whole new one, never an empty one.
#ifdef _WIN32
    // Our handle only reads (the FTP client wrote through a handle of its own).
    FileResult<void> done = SyncToDiskByName(m_path);
    if (done)
        done = RenameOver(m_path, target, RenameStyle::Move);
    if (done)
        (void)SyncFolderOf(target);
#else
    FileResult<void> done = CommitTemporary(m_fd, m_path, target, RenameStyle::Move);
#endif
    if (!done) {
        Discard();
        FileFailure failure = done.Failure();
        failure.message = "cannot put the downloaded file in place as " + Display(target) + ": " + failure.message;
        throw SafeFileError(std::move(failure));
    }
    Close();
}

} // namespace ct
