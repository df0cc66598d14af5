#include "platform/fs/GuardedRewrite.h"

// The rewrite itself: plan over the current version, write the new one beside it, install it.

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

constexpr std::size_t kPrefixBytes = 512;

} // namespace

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
    return placeLate.place(std::move(plan), source);
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

#else

// ---------------------------------------------------------------------------------------
// POSIX

namespace rewrite_parts {

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


} // namespace rewrite_parts

namespace {

void WriteAt(int fd, const char* data, std::size_t length, std::int64_t offset, const fs::path& file) {
    std::size_t done = 0;
    while (done < length) {
        std::size_t want = length - done;
        const FileStepOutcome fault = AskFileStepHook(FileStep::Write, file, want);
        if (fault.error)
            throw FileSystemError(Describe("cannot write", file, fault.error));
        if (fault.writeOnly)
            want = std::min(want, *fault.writeOnly);
        const ssize_t n = ::pwrite(fd, data + done, want, static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw FileSystemError(Describe("cannot write", file, errno));
        if (n == 0)
            throw FileSystemError(Describe("cannot write", file, EIO));
        done += static_cast<std::size_t>(n);
    }
}

// The kernel copies within the file system (no trip through user space); where it cannot, a
// plain read and write does.
void CopyRange(int in, std::int64_t from, std::int64_t length, int out, std::int64_t at, const fs::path& file) {
    if (const FileStepOutcome fault = AskFileStepHook(FileStep::Write, file, static_cast<std::size_t>(length)); fault.error)
        throw FileSystemError(Describe("cannot write", file, fault.error));
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
    if (spare != entries.end() && ActiveReaders() == 0 && spare->fd.Valid() && NoOneElseHasItOpen(spare->fd.Get())) {
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

// Deletes the file for a Delete plan. The replaced version stays linked beside it for what late
// writers add. Releases the current version's lease once the name is gone.
void DeleteVersion(const fs::path& file, ReadOnlyFile& current, std::int64_t accounted, std::vector<LateEntry>& entries,
                   const RewriteOptions& options, bool& holding) {
    const fs::path link = LinkCurrent(file, current, accounted);
    if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
        const int error = errno;
        if (!link.empty())
            ::unlink(link.c_str());
        throw FileSystemError(Describe("cannot delete", file, error));
    }
    // An emptied queue must not come back after a power cut and run its jobs again.
    (void)SyncFolderOf(file);
    if (holding)
        ReleaseLease(current.Fd());
    holding = false;
    FinishCarries(file, entries); // only blank lines were late: nothing to keep of them
    entries.push_back(EntryForReplaced(link, current, accounted, options));
}

// The plan's new content in a fresh temporary file beside `file` (named in `temp`), on disk and
// closed, with the current version's mode and owner. Returns its size; `installed` is its state.
std::int64_t WriteTemporary(const fs::path& file, const RewritePlan& plan, const ReadOnlyFile* current,
                            std::vector<LateEntry>& entries, fs::path& temp, std::string& prefix, struct stat& installed) {
    const mode_t mode = current ? static_cast<mode_t>(current->Mode()) : 0600;
    Fd out = OpenTemporary(file, temp, entries, mode, OwnershipOf(current));
    RemoveUnlessKept tempGuard(temp);
    const std::int64_t written = WritePieces(out.Get(), plan, current, temp, prefix);
    if (::ftruncate(out.Get(), static_cast<off_t>(written)) != 0)
        throw FileSystemError(Describe("cannot write", temp, errno));
    if (::fstat(out.Get(), &installed) != 0)
        throw FileSystemError(Describe("cannot examine", temp, errno));
    // On disk before the rename: otherwise a power cut can leave the name on an empty file.
    SyncToDisk(out.Get(), temp).OrThrow();
    if (::close(out.Release()) != 0)
        throw FileSystemError(Describe("cannot write", temp, errno));
    tempGuard.Keep();
    return written;
}

// Renames the temporary file over the name (or to it, when nothing was there), with the links
// of the versions whose late bytes it carries renamed first to say so: a kill at any point
// leaves what the next operation needs. False, with nothing changed, when a producer created
// the file meanwhile.
bool InstallCarrying(const fs::path& file, const fs::path& temp, bool replacing, std::uint64_t newInode,
                     std::vector<LateEntry>& entries) {
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
            const fs::path intent = IntentLinkPath(file, e.identity.inode, e.carried, e.carryTo, newInode);
            if (::rename(e.link.c_str(), intent.c_str()) != 0)
                throw FileSystemError(Describe("cannot rename", e.link, errno));
            renamed.emplace_back(&e, e.link);
            e.link = intent;
        }
        if (replacing)
            InstallOver(temp, file);
        else
            installedNow = RenameWithoutReplacing(temp, file);
    } catch (...) {
        undoRenames();
        throw;
    }
    if (!installedNow)
        undoRenames();
    return installedNow;
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
        Collected late = Collect(file, entries, current ? &*current : nullptr, lateWait, placeLate);
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
        source.late = std::move(late.runs);
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
            DeleteVersion(file, *current, accounted, entries, options, holding);
            report.changed = true;
            report.carriedBytes = late.bytes;
            if (settled)
                settled->carriedBytes += late.bytes;
            if (options.committed)
                options.committed(report);
            return report;
        }

        fs::path temp;
        std::string prefix;
        struct stat installed {};
        const std::int64_t written =
            WriteTemporary(file, plan, current ? &*current : nullptr, entries, temp, prefix, installed);
        RemoveUnlessKept tempGuard(temp);

        // From the link on, a kill leaves the replaced version on disk for the next operation.
        fs::path link;
        if (current)
            link = LinkCurrent(file, *current, accounted);
        RemoveUnlessKept linkGuard(link);
        if (!InstallCarrying(file, temp, current.has_value(), static_cast<std::uint64_t>(installed.st_ino), entries))
            continue; // a producer created the file meanwhile: plan again over it
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

#endif

} // namespace ct
