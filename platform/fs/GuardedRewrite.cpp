#include "platform/fs/GuardedRewrite.h"

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

#include "platform/fs/SafeFile.h"

namespace ct {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<long long> g_lockWaitMs{10000};
std::atomic<IClock*> g_clock{nullptr};
std::atomic<int> g_readers{0};
constexpr std::size_t kPrefixBytes = 512;

fs::path FolderOf(const fs::path& file) {
    return file.parent_path().empty() ? fs::path(".") : file.parent_path();
}

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

namespace {

// A pause in a wait, on the rewrite clock: a test clock passes it at once; on the system's clock
// a pause keeps its microseconds.
void Pause(std::chrono::microseconds pause) {
    IClock& clock = RewriteClock();
    if (&clock == &SystemClock())
        std::this_thread::sleep_for(pause);
    else
        clock.Sleep(std::chrono::ceil<std::chrono::milliseconds>(pause));
}

} // namespace

RewriteReaderGuard::RewriteReaderGuard() {
    ++g_readers;
}

RewriteReaderGuard::~RewriteReaderGuard() {
    --g_readers;
}

namespace {

struct LateName {
    std::uint64_t inode = 0;
    std::int64_t carried = 0;
    // Set while a carry is being installed: the bytes carried then and the new version's inode.
    std::optional<std::int64_t> carriedTo;
    std::uint64_t newInode = 0;
};

std::string LatePrefix(const fs::path& file) {
    return file.filename().string() + ".late-";
}

[[maybe_unused]] fs::path LateLinkPath(const fs::path& file, std::uint64_t inode, std::int64_t carried) {
    return FolderOf(file) / (LatePrefix(file) + std::to_string(inode) + "-" + std::to_string(carried));
}

[[maybe_unused]] fs::path IntentLinkPath(const fs::path& file, std::uint64_t inode, std::int64_t carried, std::int64_t to,
                        std::uint64_t newInode) {
    return FolderOf(file) / (LatePrefix(file) + std::to_string(inode) + "-" + std::to_string(carried) + "-" +
                             std::to_string(to) + "-" + std::to_string(newInode));
}

std::optional<LateName> ParseLateName(const fs::path& file, const fs::path& candidate) {
    const std::string prefix = LatePrefix(file);
    const std::string name = candidate.filename().string();
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    std::vector<std::uint64_t> numbers;
    std::size_t pos = prefix.size();
    while (pos <= name.size()) {
        std::size_t end = name.find('-', pos);
        if (end == std::string::npos)
            end = name.size();
        if (end == pos || end - pos > 19)
            return std::nullopt;
        std::uint64_t value = 0;
        for (std::size_t i = pos; i < end; ++i) {
            if (name[i] < '0' || name[i] > '9')
                return std::nullopt;
            value = value * 10 + static_cast<std::uint64_t>(name[i] - '0');
        }
        numbers.push_back(value);
        pos = end + 1;
    }
    if (numbers.size() != 2 && numbers.size() != 4)
        return std::nullopt;
    LateName parsed;
    parsed.inode = numbers[0];
    parsed.carried = static_cast<std::int64_t>(numbers[1]);
    if (numbers.size() == 4) {
        parsed.carriedTo = static_cast<std::int64_t>(numbers[2]);
        parsed.newInode = numbers[3];
    }
    return parsed;
}

} // namespace

bool IsLateLinkFor(const fs::path& file, const fs::path& candidate) {
    return ParseLateName(file, candidate).has_value();
}

std::string Materialize(const RewritePlan& plan, const RewriteSource& source) {
    if (plan.pieces.empty())
        return plan.bytes;
    std::string bytes;
    for (const auto& piece : plan.pieces) {
        if (piece.from >= 0)
            bytes += source.Read(piece.from, piece.length);
        else
            bytes += piece.bytes;
    }
    return bytes;
}

namespace {

// A plan that would lose late bytes (Keep, Delete) goes through the caller's placement of them.
RewritePlan PlacingLate(RewritePlan plan, const RewriteSource& source, const LatePlacement& placeLate) {
    if (!source.HasLate())
        return plan;
    return placeLate(std::move(plan), source);
}

std::optional<RewriteLock> TakeLock(const fs::path& file, RewriteOptions::Patience patience) {
    if (patience == RewriteOptions::Patience::NoWait) {
        std::optional<RewriteLock> lock = RewriteLock::TryAcquire(file);
        if (!lock)
            throw FileLockTimeout(LockFilePathFor(file).string() + " is locked by another process");
        return lock;
    }
    std::optional<RewriteLock> lock;
    lock.emplace(file, RewriteLockWait());
    return lock;
}

} // namespace

#ifdef _WIN32

// ---------------------------------------------------------------------------------------
// Windows: writers are kept out while a rewrite runs, so nothing is ever late.

namespace {

std::string Describe(const std::string& what, const fs::path& file, DWORD error) {
    return what + " " + file.string() + " (error " + std::to_string(error) + ")";
}

std::mutex g_scanMutex;
std::map<std::string, bool> g_scanned;

void RemoveStaleTempsOnce(const fs::path& file) {
    {
        std::lock_guard<std::mutex> lock(g_scanMutex);
        if (g_scanned[file.string()])
            return;
        g_scanned[file.string()] = true;
    }
    std::error_code ec;
    for (fs::directory_iterator it(FolderOf(file), ec), end; !ec && it != end; it.increment(ec))
        if (IsRewriteTempFor(file, it->path()))
            DeleteFileW(it->path().c_str());
}

} // namespace

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

RewriteReport RewriteFileFromSource(const fs::path& name, const SourcePlanner& planner, const LatePlacement& placeLate,
                                    const RewriteOptions& options) {
    const fs::path file = RewriteTargetOf(name);
    std::optional<RewriteLock> lock = TakeLock(file, options.patience);
    RemoveStaleTempsOnce(file);
    RewriteReport report;
    for (int attempt = 0;; ++attempt) {
        // No write sharing: a producer that tries to append now gets a sharing violation (and
        // can retry) instead of writing into a file that is about to be replaced.
        std::optional<ReadOnlyFile> current;
        try {
            current = ReadOnlyFile::Open(file, ReadOnlyFile::Sharing::KeepWritersOut);
        } catch (const FileInUseError&) {
            if (attempt >= 100 || options.patience == RewriteOptions::Patience::NoWait)
                throw;
            Sleep(10); // a producer is writing right now
            continue;
        }
        RewriteSource source;
        if (current) {
            source.file = &*current;
            source.identity = current->Identity();
            source.size = current->Size();
            source.writersGone = true;
        }
        report.beforePresent = current.has_value();
        report.before = source.identity;
        report.beforeSize = source.size;
        const RewritePlan plan = PlacingLate(planner(source), source, placeLate);
        if (plan.action == RewritePlan::Action::Keep)
            return report;
        if (plan.action == RewritePlan::Action::Delete) {
            if (!current)
                return report;
            current.reset();
            if (!DeleteFileW(file.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
                throw FileSystemError(Describe("cannot delete", file, GetLastError()));
            report.changed = true;
            if (options.committed)
                options.committed(report);
            return report;
        }
        const std::string bytes = Materialize(plan, source);
        const fs::path temp = RewriteTempPathFor(file);
        HANDLE out = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out == INVALID_HANDLE_VALUE)
            throw FileSystemError(Describe("cannot create", temp, GetLastError()));
        std::size_t done = 0;
        bool ok = true;
        while (ok && done < bytes.size()) {
            DWORD wrote = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
            ok = WriteFile(out, bytes.data() + done, chunk, &wrote, nullptr) != 0;
            done += wrote;
        }
        FileResult<void> synced = ok ? SyncToDisk(out, temp) : FileResult<void>();
        CloseHandle(out);
        if (!ok || !synced) {
            DeleteFileW(temp.c_str());
            if (!synced)
                synced.OrThrow();
            throw FileSystemError("cannot write " + temp.string());
        }
        const bool existed = current.has_value();
        current.reset();
        try {
            if (existed) {
                InstallOver(temp, file);
            } else if (!RenameWithoutReplacing(temp, file)) {
                DeleteFileW(temp.c_str());
                continue; // a producer created the file meanwhile: plan again over it
            }
        } catch (...) {
            DeleteFileW(temp.c_str());
            throw;
        }
        (void)SyncFolderOf(file);
        report.changed = true;
        report.afterPresent = true;
        report.afterSize = static_cast<std::int64_t>(bytes.size());
        report.afterPrefix = bytes.substr(0, kPrefixBytes);
        if (auto installed = ReadOnlyFile::Open(file))
            report.after = installed->Identity();
        if (options.committed)
            options.committed(report);
        return report;
    }
}

SettleReport SettleLateWriters(const fs::path&, std::chrono::milliseconds, const SourcePlanner&, const LatePlacement&,
                               const RewriteOptions&) {
    return {};
}

std::vector<fs::path> FilesWithLateWriters() {
    return {};
}

bool LateWritersPossible(const fs::path&) {
    return false;
}

#else

// ---------------------------------------------------------------------------------------
// POSIX

namespace {

std::string Describe(const std::string& what, const fs::path& file, int error) {
    return what + " " + file.string() + ": " + std::strerror(error);
}

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    ~Fd() { Reset(); }
    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release() { return std::exchange(m_fd, -1); }
    void Reset() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
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
    IClock& clock = RewriteClock();
    const auto deadline = clock.Now() + patience;
    auto pause = std::chrono::microseconds(50);
    for (;;) {
        Lease lease = TryReadLease(fd);
        if (lease != Lease::Busy || clock.Now() >= deadline)
            return lease;
        Pause(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(5000));
    }
}

void ReleaseLease(int fd) {
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
}

// Whether no other open file description of the file exists: a write lease is granted only
// then. A reader elsewhere that opened the queue just before a rewrite goes on reading the
// version it opened, so that version must never be overwritten under it.
bool NoOneElseHasItOpen(int fd) {
    PrepareLeaseSignal();
    if (::fcntl(fd, F_SETLEASE, F_WRLCK) != 0)
        return false;
    ReleaseLease(fd);
    return true;
}

std::string ReadAt(int fd, std::int64_t offset, std::int64_t length, const fs::path& file) {
    std::string bytes;
    if (length <= 0)
        return bytes;
    bytes.resize(static_cast<std::size_t>(length));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done,
                                  static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw FileSystemError(Describe("cannot read", file, errno));
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

void WriteAt(int fd, const char* data, std::size_t length, std::int64_t offset, const fs::path& file) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(fd, data + done, length - done, static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw FileSystemError(Describe("cannot write", file, errno));
        done += static_cast<std::size_t>(n);
    }
}

// The kernel copies within the file system (no trip through user space); where it cannot, a
// plain read and write does.
void CopyRange(int in, std::int64_t from, std::int64_t length, int out, std::int64_t at, const fs::path& file) {
    static std::atomic<bool> kernelCopy{true};
    loff_t inOffset = from;
    loff_t outOffset = at;
    std::int64_t left = length;
    while (left > 0 && kernelCopy.load(std::memory_order_relaxed)) {
        const ssize_t n = ::copy_file_range(in, &inOffset, out, &outOffset, static_cast<std::size_t>(left), 0);
        if (n > 0) {
            left -= n;
            continue;
        }
        if (n == 0)
            throw FileSystemError("cannot copy " + file.string() + ": it ended early");
        if (errno == EINTR)
            continue;
        if (errno == ENOSYS || errno == EOPNOTSUPP || errno == EXDEV || errno == EINVAL) {
            if (errno == ENOSYS || errno == EOPNOTSUPP)
                kernelCopy = false;
            break;
        }
        throw FileSystemError(Describe("cannot copy", file, errno));
    }
    std::string buffer;
    while (left > 0) {
        buffer = ReadAt(in, inOffset, std::min<std::int64_t>(left, 1 << 20), file);
        if (buffer.empty())
            throw FileSystemError("cannot copy " + file.string() + ": it ended early");
        WriteAt(out, buffer.data(), buffer.size(), outOffset, file);
        inOffset += static_cast<loff_t>(buffer.size());
        outOffset += static_cast<loff_t>(buffer.size());
        left -= static_cast<std::int64_t>(buffer.size());
    }
}

// A replaced version of the file, kept for what late writers add to it.
struct LateEntry {
    fs::path link;                     // its name beside the file; empty: only `fd` keeps it
    Fd fd;
    FileIdentity identity;
    std::int64_t carried = 0;          // its bytes that the file already holds
    std::optional<Clock::time_point> replacedAt;
    bool useLeases = true;
    std::chrono::milliseconds quietPeriod{1000};
    // What the last look at it found.
    bool done = false;                 // nobody can add to it any more
    bool owned = false;                // ours, so it may become a temporary file
    nlink_t links = 0;
    std::int64_t carryTo = 0;          // carried after this operation
};

struct FileState {
    std::vector<LateEntry> entries;
    std::optional<Clock::time_point> lastScan;
};

// Per process: the replaced versions of each file. Every change happens under the file's lock,
// so only one thread works on a file's entries at a time; the mutex keeps the map itself safe.
class LateRegistry {
public:
    std::vector<LateEntry> Take(const fs::path& file) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_files[file.string()].entries, {});
    }
    void Put(const fs::path& file, std::vector<LateEntry> entries) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& slot = m_files[file.string()].entries;
        for (auto& e : entries)
            slot.push_back(std::move(e));
    }
    bool ScanDue(const fs::path& file) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto& last = m_files[file.string()].lastScan;
        return !last || Clock::now() - *last >= std::chrono::seconds(1);
    }
    void MarkScanned(const fs::path& file) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_files[file.string()].lastScan = Clock::now();
    }
    void RequestScan(const fs::path& file) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_files[file.string()].lastScan.reset();
    }
    // Replaced versions of this process are pending, or other processes may have left some
    // since the folder was last looked at.
    bool Possible(const fs::path& file) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_files.find(file.string());
        return it == m_files.end() || !it->second.lastScan ||
               Clock::now() - *it->second.lastScan >= std::chrono::seconds(1) || !it->second.entries.empty();
    }
    bool HasEntries(const fs::path& file) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_files.find(file.string());
        return it != m_files.end() && !it->second.entries.empty();
    }
    std::vector<fs::path> Files() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<fs::path> files;
        for (const auto& [name, state] : m_files)
            if (!state.entries.empty())
                files.emplace_back(name);
        return files;
    }

private:
    std::mutex m_mutex;
    std::map<std::string, FileState> m_files;
};

LateRegistry& Registry() {
    // Never destroyed: descriptors of replaced versions simply close with the process, and
    // their links stay for the next start, which is what a killed process leaves too.
    static LateRegistry* registry = new LateRegistry;
    return *registry;
}

// A file's entries, taken out of the registry for one operation under the lock and put back
// however it ends.
class Checkout {
public:
    explicit Checkout(fs::path file) : m_file(std::move(file)), entries(Registry().Take(m_file)) {}
    ~Checkout() { Registry().Put(m_file, std::move(entries)); }
    Checkout(const Checkout&) = delete;
    Checkout& operator=(const Checkout&) = delete;

private:
    fs::path m_file;

public:
    std::vector<LateEntry> entries;
};

// Removes a path unless disarmed.
class RemoveUnlessKept {
public:
    explicit RemoveUnlessKept(fs::path path) : m_path(std::move(path)) {}
    ~RemoveUnlessKept() {
        if (!m_path.empty())
            ::unlink(m_path.c_str());
    }
    void Keep() { m_path.clear(); }

private:
    fs::path m_path;
};

bool FolderHasLeftovers(const fs::path& file) {
    std::error_code ec;
    for (fs::directory_iterator it(FolderOf(file), ec), end; !ec && it != end; it.increment(ec))
        if (IsRewriteTempFor(file, it->path()) || IsLateLinkFor(file, it->path()))
            return true;
    return false;
}

// Under the lock: removes temporary files of killed rewrites, settles the names of carries that
// a kill interrupted, and adopts replaced versions that other (killed) processes left.
void Scan(const fs::path& file, std::vector<LateEntry>& entries, const ReadOnlyFile* current) {
    std::error_code ec;
    std::vector<fs::path> found;
    for (fs::directory_iterator it(FolderOf(file), ec), end; !ec && it != end; it.increment(ec))
        found.push_back(it->path());
    for (const auto& path : found) {
        if (IsRewriteTempFor(file, path)) {
            ::unlink(path.c_str());
            continue;
        }
        const std::optional<LateName> parsed = ParseLateName(file, path);
        if (!parsed)
            continue;
        fs::path name = path;
        std::int64_t carried = parsed->carried;
        if (parsed->carriedTo) {
            // The carry made it exactly when the version it went into is the file now.
            const bool installed = current && current->Identity().inode == parsed->newInode;
            carried = installed ? *parsed->carriedTo : parsed->carried;
            name = LateLinkPath(file, parsed->inode, carried);
            if (::rename(path.c_str(), name.c_str()) != 0)
                continue;
        }
        const bool known = std::any_of(entries.begin(), entries.end(), [&](const LateEntry& e) {
            return e.link == name || (e.identity.inode == parsed->inode && e.fd.Valid());
        });
        if (known)
            continue;
        LateEntry entry;
        entry.link = name;
        entry.identity.inode = parsed->inode;
        entry.carried = carried;
        entries.push_back(std::move(entry));
    }
    Registry().MarkScanned(file);
}

struct Collected {
    std::string late;
    std::string tail;
    std::string continuation;
    std::size_t bytes = 0;
    bool leaseConfirmed = false;
    bool stillWriting = false;
    bool Any() const { return bytes > 0; }
};

std::int64_t WallClockNanos() {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::int64_t Nanos(const struct timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Looks at every replaced version: what was added to it past the bytes already carried, and
// whether anybody may still add to it. Of a version still being written only whole lines are
// taken; its unfinished line waits for a later operation.
Collected Collect(const fs::path& file, std::vector<LateEntry>& entries, const ReadOnlyFile* current,
                  std::chrono::milliseconds wait) {
    Collected out;
    IClock& clock = RewriteClock();
    const auto deadline = clock.Now() + wait;
    auto addLines = [&](std::string_view lines) {
        if (lines.empty())
            return;
        if (!out.tail.empty()) {
            out.late += out.tail + "\r\n";
            out.tail.clear();
        }
        out.late += lines;
    };
    for (auto it = entries.begin(); it != entries.end();) {
        LateEntry& e = *it;
        e.done = false;
        e.carryTo = e.carried;
        if (!e.fd.Valid()) {
            Fd fd(::open(e.link.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            struct stat st {};
            if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
                static_cast<std::uint64_t>(st.st_ino) != e.identity.inode) {
                it = entries.erase(it); // gone, or not what its name says: not ours to carry
                continue;
            }
            e.identity.device = static_cast<std::uint64_t>(st.st_dev);
            e.fd = std::move(fd);
        } else if (!e.link.empty()) {
            struct stat st {};
            if (::lstat(e.link.c_str(), &st) != 0 || static_cast<std::uint64_t>(st.st_ino) != e.identity.inode) {
                // Another process has carried it since, under another name or to the end.
                Registry().RequestScan(file);
                it = entries.erase(it);
                continue;
            }
        }
        if (current && e.identity == current->Identity()) {
            // A link made by a rewrite that was killed before its rename: nothing was replaced.
            if (!e.link.empty())
                ::unlink(e.link.c_str());
            it = entries.erase(it);
            continue;
        }
        // An open() that looked the name up just before the rename has not asked for write
        // access yet; it needs a moment to get as far as the lease check, where it shows. An
        // operation that may not wait leaves so young a version to a later one (its link keeps
        // it safe meanwhile), so that back-to-back jobs never sleep here.
        if (e.replacedAt && Clock::now() < *e.replacedAt + std::chrono::milliseconds(1)) {
            if (wait <= std::chrono::milliseconds(0)) {
                ++it;
                continue;
            }
            std::this_thread::sleep_until(*e.replacedAt + std::chrono::milliseconds(1));
        }
        Lease lease = Lease::Unsupported;
        if (e.useLeases) {
            PrepareLeaseSignal();
            const auto left = std::max(Clock::duration::zero(), deadline - clock.Now());
            lease = WaitForReadLease(e.fd.Get(), std::chrono::duration_cast<std::chrono::milliseconds>(left));
        }
        struct stat st {};
        for (;;) {
            if (::fstat(e.fd.Get(), &st) != 0) {
                const int error = errno;
                if (lease == Lease::Granted)
                    ReleaseLease(e.fd.Get());
                throw FileSystemError(Describe("cannot examine", e.link, error));
            }
            if (lease != Lease::Unsupported)
                break;
            // Without a lease the only sign that writers are done is quiet: wait for it as
            // long as the caller lets us.
            const std::int64_t changed = std::max(Nanos(st.st_mtim), Nanos(st.st_ctim));
            const auto quietFor = std::chrono::nanoseconds(WallClockNanos() - changed);
            if (quietFor >= e.quietPeriod)
                break;
            const auto left = deadline - clock.Now();
            if (left <= Clock::duration::zero())
                break;
            Pause(std::chrono::duration_cast<std::chrono::microseconds>(std::min<Clock::duration>(
                left, std::chrono::duration_cast<Clock::duration>(e.quietPeriod - quietFor) + std::chrono::milliseconds(1))));
        }
        e.owned = st.st_uid == ::geteuid();
        e.links = st.st_nlink;
        const std::int64_t size = st.st_size;
        if (size < e.carried)
            e.carried = size; // cut short by someone: nothing of it is late
        std::string bytes = ReadAt(e.fd.Get(), e.carried, size - e.carried, e.link);
        bool continues = false;
        if (e.carried > 0 && !bytes.empty())
            continues = ReadAt(e.fd.Get(), e.carried - 1, 1, e.link) != "\n";
        if (lease == Lease::Granted) {
            e.done = true;
            out.leaseConfirmed = true;
            ReleaseLease(e.fd.Get());
        } else if (lease == Lease::Unsupported) {
            const std::int64_t changed = std::max(Nanos(st.st_mtim), Nanos(st.st_ctim));
            e.done = WallClockNanos() - changed >= std::chrono::nanoseconds(e.quietPeriod).count();
        }
        if (!e.done) {
            const std::size_t lastEnd = bytes.rfind('\n');
            bytes.resize(lastEnd == std::string::npos ? 0 : lastEnd + 1);
            out.stillWriting = true;
        }
        e.carryTo = e.carried + static_cast<std::int64_t>(bytes.size());
        out.bytes += bytes.size();
        std::string_view rest = bytes;
        if (continues) {
            const std::size_t end = rest.find('\n');
            const std::string_view continuation = end == std::string_view::npos ? rest : rest.substr(0, end + 1);
            if (out.late.empty() && out.tail.empty() && out.continuation.empty())
                out.continuation = continuation;
            else if (!continuation.empty() && continuation.back() == '\n')
                addLines(continuation);
            else
                addLines(std::string(continuation) + "\r\n");
            rest.remove_prefix(continuation.size());
        }
        const std::size_t lastEnd = rest.rfind('\n');
        const std::size_t complete = lastEnd == std::string_view::npos ? 0 : lastEnd + 1;
        addLines(rest.substr(0, complete));
        if (complete < rest.size()) {
            if (!out.tail.empty())
                out.late += out.tail + "\r\n";
            out.tail = rest.substr(complete);
        }
        ++it;
    }
    return out;
}

// Removes the links of versions that nobody writes to any more and that hold nothing late.
void DropDone(std::vector<LateEntry>& entries) {
    for (auto it = entries.begin(); it != entries.end();) {
        if (it->done && it->carryTo == it->carried) {
            if (!it->link.empty())
                ::unlink(it->link.c_str());
            it = entries.erase(it);
        } else {
            ++it;
        }
    }
}

// After the new version is in place: the carried bytes are in it.
void FinishCarries(const fs::path& file, std::vector<LateEntry>& entries) {
    for (auto it = entries.begin(); it != entries.end();) {
        LateEntry& e = *it;
        const bool carrying = e.carryTo > e.carried;
        if (e.done) {
            if (!e.link.empty())
                ::unlink(e.link.c_str());
            it = entries.erase(it);
            continue;
        }
        if (carrying) {
            e.carried = e.carryTo;
            if (!e.link.empty()) {
                const fs::path name = LateLinkPath(file, e.identity.inode, e.carried);
                if (::rename(e.link.c_str(), name.c_str()) == 0)
                    e.link = name;
            }
        }
        ++it;
    }
}

// A hard link to the version about to be replaced, named after the bytes the new one holds.
fs::path LinkCurrent(const fs::path& file, const ReadOnlyFile& current, std::int64_t accounted) {
    const fs::path name = LateLinkPath(file, current.Identity().inode, accounted);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::link(file.c_str(), name.c_str()) == 0) {
            struct stat st {};
            if (::lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)} ==
                    current.Identity())
                return name;
            ::unlink(name.c_str()); // the name is a symbolic link: its target is not replaced anyway
            return {};
        }
        if (errno != EEXIST)
            return {}; // no hard links here: our descriptor keeps the version instead
        ::unlink(name.c_str());
    }
    return {};
}

LateEntry EntryForReplaced(fs::path link, ReadOnlyFile& current, std::int64_t accounted, const RewriteOptions& options) {
    LateEntry entry;
    entry.link = std::move(link);
    entry.identity = current.Identity();
    entry.fd = Fd(current.ReleaseFd());
    entry.carried = accounted;
    entry.replacedAt = Clock::now();
    entry.useLeases = options.useLeases;
    entry.quietPeriod = options.fallbackWatch;
    return entry;
}

// Who the current version belongs to.
struct Ownership {
    uid_t owner = 0;
    gid_t group = 0;
};

std::optional<Ownership> OwnershipOf(const ReadOnlyFile* current) {
    struct stat st {};
    if (!current || ::fstat(current->Fd(), &st) != 0)
        return std::nullopt;
    return Ownership{st.st_uid, st.st_gid};
}

// The current version's owner and group on the new one. Giving a file away is root's right; any
// process may give its own file a group it belongs to. What is refused stays the process's, as
// any file it makes would. A change of owner clears the set-id bits, so the mode comes last.
void KeepOwnership(int fd, const std::optional<Ownership>& wanted, mode_t mode) {
    struct stat st {};
    if (!wanted || ::fstat(fd, &st) != 0 || (st.st_uid == wanted->owner && st.st_gid == wanted->group))
        return;
    if (::fchown(fd, wanted->owner, wanted->group) != 0 && st.st_gid != wanted->group)
        (void)::fchown(fd, static_cast<uid_t>(-1), wanted->group);
    if ((mode & 07000) != 0)
        ::fchmod(fd, mode);
}

// The temporary file for the new version: a replaced version nobody writes to or reads any more when
// there is one (its pages are there already: writing a long file afresh costs far more), else
// a new file. Either way it has the file's mode, group and (where permitted) owner before a byte
// of the new content is in it.
Fd OpenTemporary(const fs::path& file, fs::path& temp, std::vector<LateEntry>& entries, mode_t mode,
                 const std::optional<Ownership>& ownership) {
    auto spare = std::find_if(entries.begin(), entries.end(), [](const LateEntry& e) {
        return e.done && e.carryTo == e.carried && e.owned && e.links == 1 && !e.link.empty();
    });
    if (spare != entries.end() && g_readers.load() == 0 && spare->fd.Valid() && NoOneElseHasItOpen(spare->fd.Get())) {
        temp = RewriteTempPathFor(file);
        const bool renamed = ::rename(spare->link.c_str(), temp.c_str()) == 0;
        entries.erase(spare);
        if (renamed) {
            Fd fd(::open(temp.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
            struct stat st {};
            if (fd.Valid() && ::fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode) &&
                ((st.st_mode & 07777) == mode || ::fchmod(fd.Get(), mode) == 0)) {
                KeepOwnership(fd.Get(), ownership, mode);
                return fd;
            }
            ::unlink(temp.c_str());
        }
    }
    temp = RewriteTempPathFor(file);
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
    if (!fd.Valid())
        throw FileSystemError(Describe("cannot create", temp, errno));
    struct stat st {};
    // The umask may have taken bits of the file's own mode.
    if (::fstat(fd.Get(), &st) == 0 && (st.st_mode & 07777) != mode)
        ::fchmod(fd.Get(), mode);
    KeepOwnership(fd.Get(), ownership, mode);
    return fd;
}

std::int64_t WritePieces(int out, const RewritePlan& plan, const ReadOnlyFile* current, const fs::path& temp,
                         std::string& prefix) {
    std::int64_t offset = 0;
    auto keepPrefix = [&](const char* data, std::size_t length) {
        if (prefix.size() < kPrefixBytes)
            prefix.append(data, std::min(length, kPrefixBytes - prefix.size()));
    };
    auto write = [&](const std::string& bytes) {
        WriteAt(out, bytes.data(), bytes.size(), offset, temp);
        keepPrefix(bytes.data(), bytes.size());
        offset += static_cast<std::int64_t>(bytes.size());
    };
    if (plan.pieces.empty()) {
        write(plan.bytes);
        return offset;
    }
    for (const auto& piece : plan.pieces) {
        if (piece.from < 0) {
            write(piece.bytes);
            continue;
        }
        if (!current)
            throw FileSystemError("a plan copies from " + temp.string() + " that has no current version");
        if (piece.length <= 0)
            continue;
        if (prefix.size() < kPrefixBytes) {
            const std::string head = current->Read(piece.from, std::min<std::int64_t>(piece.length, kPrefixBytes));
            keepPrefix(head.data(), head.size());
        }
        CopyRange(current->Fd(), piece.from, piece.length, out, offset, temp);
        offset += piece.length;
    }
    return offset;
}

// One rewrite with the lock held. `settling`: only carry late bytes (nothing to do without
// them). Returns after the file was changed, or when the plan kept it.
RewriteReport RewriteUnderLock(const fs::path& file, const SourcePlanner& planner, const LatePlacement& placeLate,
                               const RewriteOptions& options, std::vector<LateEntry>& entries,
                               std::chrono::milliseconds lateWait, bool settling, SettleReport* settled) {
    RewriteReport report;
    for (;;) {
        std::optional<ReadOnlyFile> current = ReadOnlyFile::Open(file);
        if (Registry().ScanDue(file))
            Scan(file, entries, current ? &*current : nullptr);
        const Collected late = Collect(file, entries, current ? &*current : nullptr, lateWait);
        if (settled) {
            settled->leaseConfirmed = settled->leaseConfirmed || late.leaseConfirmed;
            settled->stillWriting = late.stillWriting;
        }
        if (settling && !late.Any()) {
            DropDone(entries);
            return report;
        }

        RewriteSource source;
        Lease lease = Lease::Unsupported;
        if (current) {
            source.file = &*current;
            source.identity = current->Identity();
            if (options.useLeases) {
                const auto quiet = options.patience == RewriteOptions::Patience::NoWait ? std::chrono::milliseconds(0)
                                                                                         : options.quietWait;
                lease = WaitForReadLease(current->Fd(), quiet);
            }
            // From here until the lease is released, an appender's open() of this version waits.
            source.writersGone = lease == Lease::Granted;
            source.writersActive = lease == Lease::Busy;
            source.size = current->Size();
        }
        bool holding = lease == Lease::Granted;
        struct LeaseGuard {
            const ReadOnlyFile* file;
            bool& holding;
            ~LeaseGuard() {
                if (holding)
                    ReleaseLease(file->Fd());
            }
        } leaseGuard{current ? &*current : nullptr, holding};
        source.late = late.late;
        source.lateTail = late.tail;
        source.lateContinuation = late.continuation;
        report.beforePresent = current.has_value();
        report.before = source.identity;
        report.beforeSize = source.size;

        const RewritePlan plan = PlacingLate(planner(source), source, placeLate);
        if (plan.action == RewritePlan::Action::Keep || (plan.action == RewritePlan::Action::Delete && !current)) {
            if (settling)
                DropDone(entries);
            return report;
        }
        const std::int64_t accounted = plan.accounted < 0 ? source.size : std::min(plan.accounted, source.size);

        if (plan.action == RewritePlan::Action::Delete) {
            const fs::path link = LinkCurrent(file, *current, accounted);
            if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
                const int error = errno;
                if (!link.empty())
                    ::unlink(link.c_str());
                throw FileSystemError(Describe("cannot delete", file, error));
            }
            // An emptied queue must not come back after a power cut and run its jobs again.
            (void)SyncFolderOf(file);
            if (holding)
                ReleaseLease(current->Fd());
            holding = false;
            FinishCarries(file, entries); // only blank lines were late: nothing to keep of them
            entries.push_back(EntryForReplaced(link, *current, accounted, options));
            report.changed = true;
            report.carriedBytes = late.bytes;
            if (settled)
                settled->carriedBytes += late.bytes;
            if (options.committed)
                options.committed(report);
            return report;
        }

        const mode_t mode = current ? static_cast<mode_t>(current->Mode()) : 0600;
        fs::path temp;
        Fd out = OpenTemporary(file, temp, entries, mode, OwnershipOf(current ? &*current : nullptr));
        RemoveUnlessKept tempGuard(temp);
        std::string prefix;
        const std::int64_t written = WritePieces(out.Get(), plan, current ? &*current : nullptr, temp, prefix);
        if (::ftruncate(out.Get(), static_cast<off_t>(written)) != 0)
            throw FileSystemError(Describe("cannot write", temp, errno));
        struct stat installed {};
        if (::fstat(out.Get(), &installed) != 0)
            throw FileSystemError(Describe("cannot examine", temp, errno));
        // On disk before the rename: otherwise a power cut can leave the name on an empty file.
        SyncToDisk(out.Get(), temp).OrThrow();
        if (::close(out.Release()) != 0)
            throw FileSystemError(Describe("cannot write", temp, errno));

        // From the link on, a kill leaves the replaced version on disk for the next operation.
        fs::path link;
        if (current)
            link = LinkCurrent(file, *current, accounted);
        RemoveUnlessKept linkGuard(link);
        std::vector<std::pair<LateEntry*, fs::path>> renamed;
        auto undoRenames = [&] {
            for (auto& [entry, previous] : renamed) {
                if (::rename(entry->link.c_str(), previous.c_str()) == 0)
                    entry->link = previous;
            }
        };
        bool installedNow = true;
        try {
            for (auto& e : entries) {
                if (e.carryTo <= e.carried || e.link.empty())
                    continue;
                const fs::path intent = IntentLinkPath(file, e.identity.inode, e.carried, e.carryTo,
                                                       static_cast<std::uint64_t>(installed.st_ino));
                if (::rename(e.link.c_str(), intent.c_str()) != 0)
                    throw FileSystemError(Describe("cannot rename", e.link, errno));
                renamed.emplace_back(&e, e.link);
                e.link = intent;
            }
            if (current)
                InstallOver(temp, file);
            else
                installedNow = RenameWithoutReplacing(temp, file);
        } catch (...) {
            undoRenames();
            throw;
        }
        if (!installedNow) {
            undoRenames();
            continue; // a producer created the file meanwhile: plan again over it
        }
        // The rename (and the links beside it) survive a power cut once the folder is synced;
        // a folder that cannot be synced cannot undo the rename either.
        (void)SyncFolderOf(file);
        tempGuard.Keep();
        linkGuard.Keep();
        if (holding)
            ReleaseLease(current->Fd());
        holding = false;
        FinishCarries(file, entries);
        if (current)
            entries.push_back(EntryForReplaced(link, *current, accounted, options));

        report.changed = true;
        report.carriedBytes = late.bytes;
        report.afterPresent = true;
        report.after = {static_cast<std::uint64_t>(installed.st_dev), static_cast<std::uint64_t>(installed.st_ino)};
        report.afterSize = written;
        report.afterPrefix = std::move(prefix);
        if (settled)
            settled->carriedBytes += late.bytes;
        if (options.committed)
            options.committed(report);
        return report;
    }
}

} // namespace

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

RewriteReport RewriteFileFromSource(const fs::path& name, const SourcePlanner& planner, const LatePlacement& placeLate,
                                    const RewriteOptions& options) {
    const fs::path file = RewriteTargetOf(name);
    std::optional<RewriteLock> lock = TakeLock(file, options.patience);
    if (options.useLeases)
        PrepareLeaseSignal();
    Checkout checkout(file);
    const auto lateWait = options.patience == RewriteOptions::Patience::NoWait ? std::chrono::milliseconds(0)
                                                                              : options.lateWriterWait;
    return RewriteUnderLock(file, planner, placeLate, options, checkout.entries, lateWait, false, nullptr);
}

SettleReport SettleLateWriters(const fs::path& name, std::chrono::milliseconds wait, const SourcePlanner& merge,
                               const LatePlacement& placeLate, const RewriteOptions& given) {
    const fs::path file = RewriteTargetOf(name);
    const RewriteOptions::Patience patience = given.patience;
    SettleReport report;
    if (!Registry().Possible(file))
        return report;
    std::error_code ec;
    if (!fs::is_directory(FolderOf(file), ec)) {
        // The folder went, and the replaced versions with it: nothing is left to carry anywhere.
        Registry().Take(file);
        return report;
    }
    if (!Registry().HasEntries(file) && !FolderHasLeftovers(file)) {
        Registry().MarkScanned(file);
        return report;
    }
    std::optional<RewriteLock> lock = TakeLock(file, patience);
    PrepareLeaseSignal();
    Checkout checkout(file);
    RewriteOptions options;
    options.patience = patience;
    options.committed = given.committed;
    const SourcePlanner& planner = merge;
    if (patience == RewriteOptions::Patience::NoWait)
        wait = std::chrono::milliseconds(0);
    // A carry replaces the file in its turn; the next round makes sure nobody was late for that
    // one either, and removes its link.
    for (int round = 0; round < 3; ++round) {
        const std::size_t before = report.carriedBytes;
        RewriteUnderLock(file, planner, placeLate, options, checkout.entries, wait, true, &report);
        if (report.carriedBytes == before)
            break;
    }
    return report;
}

std::vector<fs::path> FilesWithLateWriters() {
    return Registry().Files();
}

bool LateWritersPossible(const fs::path& file) {
    return Registry().Possible(file);
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
