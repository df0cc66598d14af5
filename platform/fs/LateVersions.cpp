#include "platform/fs/GuardedRewrite.h"

// Replaced versions kept for late writers: their links beside the file, the leases that tell
// when their writers are done, and the bytes those writers added.

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

std::atomic<int> g_readers{0};

} // namespace

namespace rewrite_parts {

int ActiveReaders() {
    return g_readers.load();
}

} // namespace rewrite_parts

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

} // namespace

namespace rewrite_parts {

fs::path LateLinkPath(const fs::path& file, std::uint64_t inode, std::int64_t carried) {
    return FolderOf(file) / (LatePrefix(file) + std::to_string(inode) + "-" + std::to_string(carried));
}

fs::path IntentLinkPath(const fs::path& file, std::uint64_t inode, std::int64_t carried, std::int64_t to,
                        std::uint64_t newInode) {
    return FolderOf(file) / (LatePrefix(file) + std::to_string(inode) + "-" + std::to_string(carried) + "-" +
                             std::to_string(to) + "-" + std::to_string(newInode));
}

} // namespace rewrite_parts

namespace {

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

#ifdef _WIN32

std::vector<fs::path> FilesWithLateWriters() {
    return {};
}

bool LateWritersPossible(const fs::path&) {
    return false;
}

#else

namespace rewrite_parts {

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

LateRegistry& Registry() {
    // Never destroyed: descriptors of replaced versions simply close with the process, and
    // their links stay for the next start, which is what a killed process leaves too.
    static LateRegistry* registry = new LateRegistry;
    return *registry;
}

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

std::int64_t WallClockNanos() {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::int64_t Nanos(const struct timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Whether a replaced version is still one to look at: its descriptor opened (a version adopted
// from a killed process has only its name), still under its name, and not the current version.
bool StillLate(const fs::path& file, LateEntry& e, const ReadOnlyFile* current) {
    if (!e.fd.Valid()) {
        Fd fd(::open(e.link.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<std::uint64_t>(st.st_ino) != e.identity.inode)
            return false; // gone, or not what its name says: not ours to carry
        e.identity.device = static_cast<std::uint64_t>(st.st_dev);
        e.fd = std::move(fd);
    } else if (!e.link.empty()) {
        struct stat st {};
        if (::lstat(e.link.c_str(), &st) != 0 || static_cast<std::uint64_t>(st.st_ino) != e.identity.inode) {
            // Another process has carried it since, under another name or to the end.
            Registry().RequestScan(file);
            return false;
        }
    }
    if (current && e.identity == current->Identity()) {
        // A link made by a rewrite that was killed before its rename: nothing was replaced.
        if (!e.link.empty())
            ::unlink(e.link.c_str());
        return false;
    }
    return true;
}

// Waits, up to the deadline, for the writers of a version to be done with it: a read lease
// shows it at once where the file system grants one; elsewhere only quiet can. Returns the
// lease got (held: the caller releases it) and the version's state at the end of the wait.
Lease AwaitWriters(LateEntry& e, Clock::time_point deadline, struct stat& st) {
    IClock& clock = RewriteClock();
    Lease lease = Lease::Unsupported;
    if (e.useLeases) {
        PrepareLeaseSignal();
        const auto left = std::max(Clock::duration::zero(), deadline - clock.Now());
        lease = WaitForReadLease(e.fd.Get(), std::chrono::duration_cast<std::chrono::milliseconds>(left));
    }
    for (;;) {
        if (::fstat(e.fd.Get(), &st) != 0) {
            const int error = errno;
            if (lease == Lease::Granted)
                ReleaseLease(e.fd.Get());
            throw FileSystemError(Describe("cannot examine", e.link, error));
        }
        if (lease != Lease::Unsupported)
            return lease;
        const std::int64_t changed = std::max(Nanos(st.st_mtim), Nanos(st.st_ctim));
        const auto quietFor = std::chrono::nanoseconds(WallClockNanos() - changed);
        if (quietFor >= e.quietPeriod)
            return lease;
        const auto left = deadline - clock.Now();
        if (left <= Clock::duration::zero())
            return lease;
        Pause(std::chrono::duration_cast<std::chrono::microseconds>(std::min<Clock::duration>(
            left, std::chrono::duration_cast<Clock::duration>(e.quietPeriod - quietFor) + std::chrono::milliseconds(1))));
    }
}

// Looks at every replaced version: what was added to it past the bytes already carried, and
// whether anybody may still add to it. Of a version still being written the placement says how
// much to take now; the rest waits for a later operation.
Collected Collect(const fs::path& file, std::vector<LateEntry>& entries, const ReadOnlyFile* current,
                  std::chrono::milliseconds wait, const LatePlacement& placement) {
    Collected out;
    const auto deadline = RewriteClock().Now() + wait;
    for (auto it = entries.begin(); it != entries.end();) {
        LateEntry& e = *it;
        e.done = false;
        e.carryTo = e.carried;
        if (!StillLate(file, e, current)) {
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
        struct stat st {};
        const Lease lease = AwaitWriters(e, deadline, st);
        e.owned = st.st_uid == ::geteuid();
        e.links = st.st_nlink;
        const std::int64_t size = st.st_size;
        if (size < e.carried)
            e.carried = size; // cut short by someone: nothing of it is late
        LateRun run{ReadAt(e.fd.Get(), e.carried, size - e.carried, e.link), std::nullopt};
        if (e.carried > 0 && !run.bytes.empty()) {
            const std::string previous = ReadAt(e.fd.Get(), e.carried - 1, 1, e.link);
            if (!previous.empty())
                run.before = previous.front();
        }
        if (lease == Lease::Granted) {
            e.done = true;
            out.leaseConfirmed = true;
            ReleaseLease(e.fd.Get());
        } else if (lease == Lease::Unsupported) {
            const std::int64_t changed = std::max(Nanos(st.st_mtim), Nanos(st.st_ctim));
            e.done = WallClockNanos() - changed >= std::chrono::nanoseconds(e.quietPeriod).count();
        }
        if (!e.done) {
            if (placement.takeNow)
                run.bytes.resize(std::min(placement.takeNow(run.bytes), run.bytes.size()));
            out.stillWriting = true;
        }
        e.carryTo = e.carried + static_cast<std::int64_t>(run.bytes.size());
        out.bytes += run.bytes.size();
        if (!run.bytes.empty())
            out.runs.push_back(std::move(run));
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

} // namespace rewrite_parts

std::vector<fs::path> FilesWithLateWriters() {
    return Registry().Files();
}

bool LateWritersPossible(const fs::path& file) {
    return Registry().Possible(file);
}

#endif

} // namespace ct
