#include "platform/fs/GuardedRewrite.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

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


// The Windows rewrite keeps writers out while it runs, so nothing is ever left to settle.
SettleReport SettleLateWriters(const fs::path&) {
    return {};
}

void SettleAllLateWriters() {}

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
    int Release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }

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
}

// A file this process replaced, kept open so that what late writers add to it can still be
// carried into the new file once they are done. Settling is deferred to the next operation on
// the file (normally a whole FTP job later) instead of waiting for the writers right after
// the rename, which would cost every job a pause.
struct PendingOld {
    int fd = -1;
    std::size_t size = 0;  // bytes of the old file that the rewrite took into account
    mode_t permissions = 0666;
    Clock::time_point replacedAt;
    bool leases = false;
    RewriteOptions options;
};

class PendingRegistry {
public:
    ~PendingRegistry() {
        // At exit: nothing that a late writer managed to add may stay behind in an unlinked file.
        try {
            SettleAllLateWriters();
        } catch (...) {
        }
    }
    void Put(const fs::path& file, PendingOld pending) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& slot = m_pending[file.string()];
        if (slot.fd >= 0)
            ::close(slot.fd);  // cannot happen: a rewrite settles the previous one first
        slot = std::move(pending);
    }
    std::optional<PendingOld> Take(const fs::path& file) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_pending.find(file.string());
        if (it == m_pending.end())
            return std::nullopt;
        PendingOld p = std::move(it->second);
        m_pending.erase(it);
        return p;
    }
    bool Has(const fs::path& file) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_pending.count(file.string()) != 0;
    }
    std::vector<std::string> Files() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> files;
        for (const auto& entry : m_pending)
            files.push_back(entry.first);
        return files;
    }

private:
    std::mutex m_mutex;
    std::map<std::string, PendingOld> m_pending;
};

PendingRegistry& Registry() {
    static PendingRegistry registry;
    return registry;
}

// With the file's lock held: carries what late writers added to the previous version.
SettleReport SettleLocked(const fs::path& file) {
    SettleReport report;
    std::optional<PendingOld> pending = Registry().Take(file);
    if (!pending)
        return report;
    Fd old(pending->fd);
    // An open() that looked the name up just before the rename has not asked for write access
    // yet; give it a moment to get as far as the lease check, where it becomes visible.
    const auto grace = pending->leases ? std::chrono::milliseconds(1) : pending->options.fallbackWatch;
    std::this_thread::sleep_until(pending->replacedAt + grace);
    std::string late;
    if (pending->leases && WaitForReadLease(old.Get(), pending->options.lateWriterWait) == Lease::Granted) {
        late = ReadFrom(old.Get(), pending->size, file);
        ReleaseLease(old.Get());
        report.leaseConfirmed = true;
    } else {
        late = ReadFrom(old.Get(), pending->size, file);
    }
    if (!late.empty()) {
        late = AsWholeLines(std::move(late));
        AppendLines(file, late, pending->permissions);
        report.carriedBytes = late.size();
    }
    return report;
}

} // namespace

SettleReport SettleLateWriters(const fs::path& file) {
    if (!Registry().Has(file))
        return {};
    FlockGuard lock(LockFilePathFor(file));
    return SettleLocked(file);
}

void SettleAllLateWriters() {
    for (const auto& file : Registry().Files())
        SettleLateWriters(file);
}

RewriteReport RewriteFileGuarded(const fs::path& file, const RewritePlanner& planner, const RewriteOptions& options) {
    RewriteReport report;
    FlockGuard lock(LockFilePathFor(file));
    if (options.useLeases)
        PrepareLeaseSignal();
    const SettleReport earlier = SettleLocked(file);
    report.carriedBytes = earlier.carriedBytes;

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
        if (holding)
            ReleaseLease(old.Get());
        PendingOld pending;
        pending.size = current.size();
        pending.permissions = permissions;
        pending.replacedAt = Clock::now();
        pending.leases = leasesWork;
        pending.options = options;
        pending.fd = old.Release();
        Registry().Put(file, std::move(pending));
        return report;
    }
}

#endif

} // namespace ct
