#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/fs/FileSystem.h"
#include "platform/fs/ReadOnlyFile.h"
#include "platform/thread/Clock.h"

namespace ct {

// The side-file lock could not be had before the deadline: another process holds it.
class FileLockTimeout : public FileSystemError {
public:
    using FileSystemError::FileSystemError;
};

// "<file>.lock": the side file whose exclusive lock serialises every rewriter of the file.
// Cooperating producers may take it too around their appends.
std::filesystem::path LockFilePathFor(const std::filesystem::path& file);

// The file a name stands for: the name itself, or where its chain of symbolic links ends (a
// relative link read from the link's own folder), looked up anew at every call. A rewrite, its
// lock ("<target>.lock"), its temporary file and the links of replaced versions all work on that
// file in its own folder, so a file kept elsewhere through a link stays a link. Raises
// FileSystemError for a chain that does not end.
std::filesystem::path RewriteTargetOf(const std::filesystem::path& file);

// How long an operation waits for the side-file lock before it raises FileLockTimeout; about
// 10 s unless set. Process-wide, for every file.
void SetRewriteLockWait(std::chrono::milliseconds wait);
std::chrono::milliseconds RewriteLockWait();

// The clock that times the waits for the lock and for writers to finish: the system's unless
// set (a test clock lets those waits pass without real waiting). Process-wide; the clock must
// outlive its use.
void SetRewriteClock(IClock& clock);
IClock& RewriteClock();

// Why the file cannot be opened for writing now, in the system's words; nullopt when it can.
std::optional<std::string> WriteRefusal(const std::filesystem::path& file);
// Why the file's folder does not take the new file that a rewrite makes beside it (tried with a
// file of that kind, removed at once; call it under the lock); nullopt when it does.
std::optional<std::string> NewFileRefusal(const std::filesystem::path& file);

// The exclusive lock on "<file>.lock", held while the object lives. The lock file is created
// owner-only, never opened through a symbolic link, and must be a regular file.
class RewriteLock {
public:
    // Waits up to `wait`, then raises FileLockTimeout.
    RewriteLock(const std::filesystem::path& file, std::chrono::milliseconds wait);
    // nullopt when someone holds the lock right now.
    static std::optional<RewriteLock> TryAcquire(const std::filesystem::path& file);
    RewriteLock(RewriteLock&& other) noexcept;
    RewriteLock& operator=(RewriteLock&&) = delete;
    RewriteLock(const RewriteLock&) = delete;
    ~RewriteLock();

private:
    RewriteLock() = default;
    bool Open(const std::filesystem::path& file);
    bool TryLock();
#ifdef _WIN32
    void* m_handle = nullptr;
#else
    int m_fd = -1;
#endif
};

// One piece of a new version: a range of the current version's bytes, or bytes of its own.
struct RewritePiece {
    std::int64_t from = -1;  // >= 0: `length` bytes of the current version starting there
    std::int64_t length = 0;
    std::string bytes;       // from < 0: these bytes

    static RewritePiece Copy(std::int64_t from, std::int64_t length) { return {from, length, {}}; }
    static RewritePiece Bytes(std::string bytes) { return {-1, 0, std::move(bytes)}; }
};

// What a rewrite does once it has seen the file's current version.
struct RewritePlan {
    enum class Action { Keep, Replace, Delete };
    Action action = Action::Keep;
    std::string bytes;                  // the whole new content, when `pieces` is empty
    std::vector<RewritePiece> pieces;   // the new content, piece by piece
    // How many bytes of the current version the new content accounts for (-1: all it saw).
    // Bytes past it are carried in later, like those a producer adds late.
    std::int64_t accounted = -1;

    static RewritePlan Keep() { return {}; }
    static RewritePlan Replace(std::string bytes) { return {Action::Replace, std::move(bytes), {}, -1}; }
    static RewritePlan Build(std::vector<RewritePiece> pieces, std::int64_t accounted = -1) {
        return {Action::Replace, {}, std::move(pieces), accounted};
    }
    static RewritePlan Delete() { return {Action::Delete, {}, {}, -1}; }
};

// Bytes that a producer appended to one replaced version past those the file already holds.
struct LateRun {
    std::string bytes;
    // The byte just before them in that version, when the file already holds some of it.
    std::optional<char> before;
};

// What a planner sees: the current version, under the lock, and what producers added late to
// versions that were replaced before.
struct RewriteSource {
    const ReadOnlyFile* file = nullptr;  // nullptr: nothing at the name
    FileIdentity identity;
    std::int64_t size = 0;               // the bytes of the current version to plan over
    // No process held the current version open for writing while it was read (a lease showed
    // it): an unterminated last line is as complete as it will get in this version.
    bool writersGone = false;
    // Some process held it open for writing all along (the lease was refused for that reason):
    // an unterminated last line is probably still being written.
    bool writersActive = false;
    // What producers appended late to replaced versions, oldest first: every byte of it must be
    // kept. Keep or Delete of a version with late bytes goes through the caller's LatePlacement.
    std::vector<LateRun> late;

    bool Present() const { return file != nullptr; }
    bool HasLate() const { return !late.empty(); }
    std::string Read(std::int64_t offset, std::int64_t length) const { return file->Read(offset, length); }
};

using SourcePlanner = std::function<RewritePlan(const RewriteSource&)>;
// Where late bytes go; the caller knows what the file's records are, this module knows only
// bytes.
struct LatePlacement {
    // How many of the late bytes of a version that its writer may still add to are taken now
    // (all when unset); the rest waits for a later operation.
    std::function<std::size_t(std::string_view bytes)> takeNow;
    // Gets the planner's plan when the source has late bytes and returns one that keeps every
    // one of them (a Keep or Delete as it stands would lose them).
    std::function<RewritePlan(RewritePlan plan, const RewriteSource& source)> place;
};

// The plan's new content as bytes.
std::string Materialize(const RewritePlan& plan, const RewriteSource& source);

struct RewriteOptions {
    enum class Patience {
        Wait,    // waits for the lock (up to RewriteLockWait) and for writers (quietWait)
        NoWait,  // one try at the lock and at every lease; for a reader on the GUI thread
    };
    Patience patience = Patience::Wait;
    // Off only to exercise what file systems without leases get.
    bool useLeases = true;
    // How long to wait for writers of the current version to finish before reading it.
    std::chrono::milliseconds quietWait{500};
    // How long to wait, at this operation, for late writers of replaced versions; those still
    // writing then are carried in by a later operation.
    std::chrono::milliseconds lateWriterWait{0};
    // Without leases: how long a replaced version must stay unchanged before it counts as done.
    std::chrono::milliseconds fallbackWatch{1000};
    // Called after every change the operation makes, with the lock still held (so callers see
    // the changes of all threads in the order they were made).
    std::function<void(const struct RewriteReport&)> committed;
};

struct RewriteReport {
    bool changed = false;            // the file was replaced or deleted
    std::size_t carriedBytes = 0;    // late bytes of replaced versions taken into the new one
    bool beforePresent = false;
    FileIdentity before;             // the version planned over
    std::int64_t beforeSize = 0;     // its bytes the planner saw
    bool afterPresent = false;
    FileIdentity after;              // the version installed (when changed)
    std::int64_t afterSize = 0;
    std::string afterPrefix;         // its first bytes (up to 512), to recognise it later
};

// Read-modify-write of a file that outside programs append to without any lock.
//
// Under the side-file lock the current version is opened, the planner decides, and the new
// content is written to a temporary file in the same folder and renamed over the name (or the
// name is deleted): a killed process leaves the old or the new version, never a mix.
//
// Late writers. An appender may have opened the current version before the rename and write to
// it afterwards. On Linux a read lease (F_SETLEASE, F_RDLCK) is granted only while nobody holds
// the file open for writing, so the rewrite first waits for one before reading (nobody is
// half-way through a line then) and keeps it across the rename (appenders that open the file
// meanwhile wait in open() and then write to the replaced version). Before the rename the
// replaced version gets a hard link beside the file, "<name>.late-<inode>-<bytes>", which names
// how many of its bytes the new version already holds. The next operation (normally a whole job
// later, so nobody waits) takes a lease on it, and what was added past those bytes goes into
// that operation's new version. A version still being written to keeps its link, renamed after
// the bytes carried so far; one nobody writes to any more loses its link, or becomes the next
// temporary file, which spares a long file the cost of fresh pages. Because the link is on disk,
// a process killed at any instant loses nothing: the next operation, in this process or the
// next, finds the link and carries the bytes. While a carry is being installed the link is
// named "<name>.late-<inode>-<from>-<to>-<new inode>", so that after a kill the next operation
// can tell from the file's identity whether the new version (and the carry with it) made it,
// and nothing is carried twice. Temporary files of killed rewrites are removed under the lock.
//
// Where leases are refused (not the file's owner without CAP_LEASE, a file system without them)
// a replaced version counts as done once it has not changed for `fallbackWatch`; where hard
// links are refused, the replaced version is kept open by this process only.
//
// On Windows the current version is held open without write sharing while it is rewritten, so
// that a producer's open fails visibly (and it retries) instead of writing into a file about to
// be replaced; ReplaceFileW keeps the file's access list.
//
// Permissions: the temporary file is created with the current version's mode (0600 when there
// is none), so the content is never readable by more people than the file's. It takes the
// current version's group, and its owner where the process may give it (as root), before a byte
// of content is in it: a file shared through a group stays shared. A name that is a symbolic
// link is rewritten at its target (see RewriteTargetOf).
RewriteReport RewriteFileFromSource(const std::filesystem::path& file, const SourcePlanner& planner,
                                    const LatePlacement& placeLate, const RewriteOptions& options = {});

struct SettleReport {
    bool leaseConfirmed = false;   // a lease showed that no writer still held a replaced version
    std::size_t carriedBytes = 0;  // late bytes carried into the file
    bool stillWriting = false;     // a replaced version is still written to; its link stays
};

// Carries into the file whatever late writers added to versions that were replaced (by this
// process, or by one that was killed), waiting up to `wait` for them to finish, and removes the
// links of versions nobody writes to any more. `merge` plans the carry (and `placeLate` keeps
// what its plan would lose). Cheap when nothing is pending.
// `options`: its patience and its `committed` callback count.
SettleReport SettleLateWriters(const std::filesystem::path& file, std::chrono::milliseconds wait,
                               const SourcePlanner& merge, const LatePlacement& placeLate,
                               const RewriteOptions& options = {});
// The files with replaced versions still pending in this process.
std::vector<std::filesystem::path> FilesWithLateWriters();
// True while replaced versions of the file are pending in this process, and when it has not
// looked beside the file for those of other (killed) processes in the last second.
bool LateWritersPossible(const std::filesystem::path& file);

// While an object of this kind lives, no replaced version is reused as a temporary file: a
// reader in this process that holds a version open reads that version whole.
class RewriteReaderGuard {
public:
    RewriteReaderGuard();
    ~RewriteReaderGuard();
    RewriteReaderGuard(const RewriteReaderGuard&) = delete;
    RewriteReaderGuard& operator=(const RewriteReaderGuard&) = delete;
};

// "<name>.late-..." beside the file: a replaced version kept for its late bytes.
bool IsLateLinkFor(const std::filesystem::path& file, const std::filesystem::path& candidate);

} // namespace ct
