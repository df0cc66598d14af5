#include "platform/fs/GuardedRewrite.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/fs/FileSystem.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ct {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

fs::path LockFilePathFor(const fs::path& file) {
    fs::path lock = file;
    lock += ".lock";
    return lock;
}

#ifdef _WIN32

namespace {

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    void Close() {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
};

} // namespace

RewriteReport RewriteFileGuarded(const fs::path& file, const RewritePlanner& planner, const RewriteOptions&) {
    RewriteReport report;
    Handle lock;
    lock.h = CreateFileW(LockFilePathFor(file).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (lock.h == INVALID_HANDLE_VALUE)
        throw FileSystemError("cannot open " + LockFilePathFor(file).string());
    OVERLAPPED whole{};
    if (!LockFileEx(lock.h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole))
        throw FileSystemError("cannot lock " + LockFilePathFor(file).string());

    for (int attempt = 0;; ++attempt) {
        // No write sharing: a producer that tries to append now gets a sharing violation
        // (and can retry) instead of writing into a file that is about to be replaced.
        Handle old;
        old.h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (old.h == INVALID_HANDLE_VALUE) {
            DWORD e = GetLastError();
            if (e == ERROR_SHARING_VIOLATION && attempt < 100) {
                Sleep(10); // a producer is writing right now
                continue;
            }
            if (e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND)
                throw FileSystemError("cannot open " + file.string() + " (error " + std::to_string(e) + ")");
            RewritePlan plan = planner(std::nullopt);
            if (plan.action != RewritePlan::Action::Replace)
                return report;
            if (ReplaceFileAtomically(file, plan.bytes, ReplaceMode::OnlyIfAbsent)) {
                report.changed = true;
                return report;
            }
            continue;
        }
        std::string current;
        char buf[65536];
        DWORD got = 0;
        while (ReadFile(old.h, buf, sizeof buf, &got, nullptr) && got > 0)
            current.append(buf, got);
        RewritePlan plan = planner(current);
        if (plan.action == RewritePlan::Action::Keep)
            return report;
        if (plan.action == RewritePlan::Action::Delete) {
            old.Close();
            DeleteFileW(file.c_str());
        } else {
            // The temporary file is complete before the old one is let go; the window in
            // which a producer could slip in is the two calls below.
            old.Close();
            ReplaceFileAtomically(file, plan.bytes);
        }
        report.changed = true;
        return report;
    }
}

#else

namespace {

std::string Describe(const std::string& what, const fs::path& file, int error) {
    return what + " " + file.string() + ": " + std::strerror(error);
}

// Carried bytes go in as whole lines, like any producer's.
std::string AsWholeLines(std::string bytes) {
    if (!bytes.empty() && bytes.back() != '\n')
        bytes += "\r\n";
    return bytes;
}

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }

private:
    int m_fd;
};

class FlockGuard {
public:
    explicit FlockGuard(const fs::path& lockFile)
        : m_fd(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
        if (!m_fd.Valid())
            throw FileSystemError(Describe("cannot open", lockFile, errno));
        while (::flock(m_fd.Get(), LOCK_EX) != 0) {
            if (errno != EINTR)
                throw FileSystemError(Describe("cannot lock", lockFile, errno));
        }
    }
    // Closing the descriptor releases the lock.

private:
    Fd m_fd;
};

void IgnoreLeaseBreak(int) {}

// The kernel tells a lease holder of a lease break with SIGIO, whose default action ends the
// process. We never wait for that signal (we poll), so a no-op handler is all it needs; a
// handler someone else installed is left alone.
void PrepareLeaseSignal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (::sigaction(SIGIO, nullptr, &current) != 0)
            return;
        if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL) {
            struct sigaction quiet {};
            quiet.sa_handler = IgnoreLeaseBreak;
            sigemptyset(&quiet.sa_mask);
            quiet.sa_flags = SA_RESTART;
            ::sigaction(SIGIO, &quiet, nullptr);
        }
    });
}

enum class Lease { Granted, Busy, Unsupported };

Lease TryReadLease(int fd) {
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0)
        return Lease::Granted;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return Lease::Busy; // someone holds the file open for writing
    return Lease::Unsupported;
}

Lease WaitForReadLease(int fd, std::chrono::milliseconds patience) {
    const auto deadline = Clock::now() + patience;
    auto pause = std::chrono::microseconds(50);
    for (;;) {
        Lease lease = TryReadLease(fd);
        if (lease != Lease::Busy || Clock::now() >= deadline)
            return lease;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(5000));
    }
}

void ReleaseLease(int fd) {
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
}

std::string ReadFrom(int fd, std::size_t offset, const fs::path& file) {
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(offset + bytes.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw FileSystemError(Describe("cannot read", file, errno));
        if (n == 0)
            return bytes;
        bytes.append(buf, static_cast<std::size_t>(n));
    }
}

// Without a lease nobody can say when a writer of the old file is done; look a few times.
std::string WatchForLateBytes(int fd, std::size_t offset, std::chrono::milliseconds watch, const fs::path& file) {
    const auto deadline = Clock::now() + watch;
    auto pause = std::chrono::microseconds(500);
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(8000));
    }
    return ReadFrom(fd, offset, file);
}

void AppendLines(const fs::path& file, const std::string& bytes, mode_t permissions) {
    Fd fd(::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, permissions));
    if (!fd.Valid())
        throw FileSystemError(Describe("cannot append to", file, errno));
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd.Get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw FileSystemError(Describe("cannot append to", file, errno));
        done += static_cast<std::size_t>(n);
    }
    ::fsync(fd.Get());
}

} // namespace

RewriteReport RewriteFileGuarded(const fs::path& file, const RewritePlanner& planner, const RewriteOptions& options) {
    RewriteReport report;
    FlockGuard lock(LockFilePathFor(file));
    if (options.useLeases)
        PrepareLeaseSignal();

    for (;;) {
        Fd old(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
        if (!old.Valid()) {
            if (errno != ENOENT)
                throw FileSystemError(Describe("cannot open", file, errno));
            RewritePlan plan = planner(std::nullopt);
            if (plan.action != RewritePlan::Action::Replace)
                return report;
            // A producer may create the file between our look and our rename: never replace
            // what it wrote, plan again over it instead.
            if (ReplaceFileAtomically(file, plan.bytes, ReplaceMode::OnlyIfAbsent)) {
                report.changed = true;
                return report;
            }
            continue;
        }

        bool leasesWork = options.useLeases;
        bool holding = false;
        if (leasesWork) {
            Lease lease = WaitForReadLease(old.Get(), options.quietWait);
            holding = lease == Lease::Granted;
            leasesWork = lease != Lease::Unsupported;
        }
        // From here until the lease is released, an appender's open() of this file waits.
        const std::string current = ReadFrom(old.Get(), 0, file);
        struct stat info {};
        const mode_t permissions = ::fstat(old.Get(), &info) == 0 ? (info.st_mode & 07777) : 0666;

        RewritePlan plan = planner(current); // a throw closes `old`, which drops the lease
        if (plan.action == RewritePlan::Action::Keep)
            return report;
        if (plan.action == RewritePlan::Action::Replace) {
            ReplaceFileAtomically(file, plan.bytes, ReplaceMode::ReplaceExisting, permissions);
        } else {
            if (::unlink(file.c_str()) != 0 && errno != ENOENT)
                throw FileSystemError(Describe("cannot delete", file, errno));
        }
        report.changed = true;

        if (holding) {
            // An open() that looked the name up just before the rename has not asked for write
            // access yet; give it a moment to get as far as the lease, where it waits and
            // becomes visible to the next lease request.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ReleaseLease(old.Get());
        }
        std::string late;
        if (leasesWork && WaitForReadLease(old.Get(), options.lateWriterWait) == Lease::Granted) {
            late = ReadFrom(old.Get(), current.size(), file);
            ReleaseLease(old.Get());
            report.leaseConfirmed = true;
        } else {
            late = WatchForLateBytes(old.Get(), current.size(), options.fallbackWatch, file);
        }
        if (!late.empty()) {
            late = AsWholeLines(std::move(late));
            AppendLines(file, late, permissions);
            report.carriedBytes = late.size();
        }
        return report;
    }
}

#endif

} // namespace ct
