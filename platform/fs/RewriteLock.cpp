#include "platform/fs/GuardedRewrite.h"

// The side-file lock that serialises the rewriters of a file, and the clock its waits run on.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/fs/GuardedRewriteParts.h"
#include "platform/fs/SafeFile.h"

namespace ct {

using namespace rewrite_parts;

namespace {

std::atomic<long long> g_lockWaitMs{10000};
std::atomic<IClock*> g_clock{nullptr};

} // namespace

fs::path LockFilePathFor(const fs::path& file) {
    fs::path lock = file;
    lock += ".lock";
    return lock;
}

fs::path RewriteTargetOf(const fs::path& file) {
    fs::path at = file;
    // As many hops as the kernel follows (MAXSYMLINKS) before it gives up with ELOOP.
    for (int hop = 0; hop < 40; ++hop) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(at, ec)) || ec)
            return at;
        const fs::path to = fs::read_symlink(at, ec);
        if (ec)
            return at;
        at = to.is_absolute() ? to : FolderOf(at) / to;
    }
    throw FileSystemError("refused: " + file.string() + " is a chain of symbolic links that does not end");
}

void SetRewriteLockWait(std::chrono::milliseconds wait) {
    g_lockWaitMs = wait.count();
}

std::chrono::milliseconds RewriteLockWait() {
    return std::chrono::milliseconds(g_lockWaitMs.load());
}

void SetRewriteClock(IClock& clock) {
    g_clock = &clock;
}

IClock& RewriteClock() {
    IClock* clock = g_clock.load();
    return clock ? *clock : SystemClock();
}

namespace rewrite_parts {

// A pause in a wait, on the rewrite clock: a test clock passes it at once; on the system's clock
// a pause keeps its microseconds.
void Pause(std::chrono::microseconds pause) {
    IClock& clock = RewriteClock();
    if (&clock == &SystemClock())
        std::this_thread::sleep_for(pause);
    else
        clock.Sleep(std::chrono::ceil<std::chrono::milliseconds>(pause));
}

} // namespace rewrite_parts

#ifdef _WIN32

bool RewriteLock::Open(const fs::path& file) {
    // Beside the file a link leads to: producers that lock the file they append to, and every
    // link to the same file, meet at one lock, and a read-only folder of the link needs none.
    const fs::path lock = LockFilePathFor(RewriteTargetOf(file));
    // FILE_FLAG_OPEN_REPARSE_POINT: a link planted at the name is opened as itself, and refused.
    HANDLE h = CreateFileW(lock.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw FileSystemError(Describe("cannot open", lock, GetLastError()));
    m_handle = h;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        throw NotARegularFileError("the lock file " + lock.string() + " is not a regular file");
    return true;
}

std::optional<std::string> WriteRefusal(const fs::path& file) {
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "error " + std::to_string(GetLastError());
    CloseHandle(h);
    return std::nullopt;
}

std::optional<std::string> NewFileRefusal(const fs::path& file) {
    const fs::path probe = RewriteTempPathFor(file);
    HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "error " + std::to_string(GetLastError());
    CloseHandle(h);
    DeleteFileW(probe.c_str());
    return std::nullopt;
}

bool RewriteLock::TryLock() {
    OVERLAPPED whole{};
    if (LockFileEx(m_handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole))
        return true;
    const DWORD e = GetLastError();
    if (e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING)
        return false;
    throw FileSystemError("cannot lock (error " + std::to_string(e) + ")");
}

RewriteLock::RewriteLock(RewriteLock&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}

RewriteLock::~RewriteLock() {
    if (m_handle)
        CloseHandle(m_handle);
}

#else

bool RewriteLock::Open(const fs::path& file) {
    // Beside the file a link leads to: producers that lock the file they append to, and every
    // link to the same file, meet at one lock, and a read-only folder of the link needs none.
    const fs::path lock = LockFilePathFor(RewriteTargetOf(file));
    // O_NOFOLLOW: a symbolic link planted at the name would make us create or lock its target.
    m_fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (m_fd < 0) {
        if (errno == ELOOP)
            throw FileSystemError("the lock file " + lock.string() + " is a symbolic link");
        throw FileSystemError(Describe("cannot open", lock, errno));
    }
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw NotARegularFileError("the lock file " + lock.string() + " is not a regular file");
    return true;
}

std::optional<std::string> WriteRefusal(const fs::path& file) {
    if (::access(file.c_str(), W_OK) != 0)
        return std::string(std::strerror(errno));
    return std::nullopt;
}

std::optional<std::string> NewFileRefusal(const fs::path& file) {
    const fs::path probe = RewriteTempPathFor(file);
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return std::string(std::strerror(errno));
    ::close(fd);
    ::unlink(probe.c_str());
    return std::nullopt;
}

bool RewriteLock::TryLock() {
    for (;;) {
        if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno == EWOULDBLOCK)
            return false;
        if (errno != EINTR)
            throw FileSystemError(Describe("cannot lock", "the lock file", errno));
    }
}

RewriteLock::RewriteLock(RewriteLock&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

RewriteLock::~RewriteLock() {
    if (m_fd >= 0)
        ::close(m_fd); // closing the descriptor releases the lock
}

#endif

std::optional<RewriteLock> RewriteLock::TryAcquire(const fs::path& file) {
    RewriteLock lock;
    lock.Open(file);
    if (!lock.TryLock())
        return std::nullopt;
    return std::optional<RewriteLock>(std::move(lock));
}

RewriteLock::RewriteLock(const fs::path& file, std::chrono::milliseconds wait) {
    Open(file);
    IClock& clock = RewriteClock();
    const auto deadline = clock.Now() + wait;
    auto pause = std::chrono::milliseconds(1);
    while (!TryLock()) {
        if (clock.Now() >= deadline)
            throw FileLockTimeout(LockFilePathFor(file).string() + " has been locked by another process for more than " +
                                  std::to_string((wait.count() + 999) / 1000) + " s");
        Pause(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
}

} // namespace ct
