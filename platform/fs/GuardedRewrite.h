#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace ct {

// What a guarded rewrite does once it has seen the file's current bytes.
struct RewritePlan {
    enum class Action { Keep, Replace, Delete };
    Action action = Action::Keep;
    std::string bytes; // the new content, for Replace

    static RewritePlan Keep() { return {}; }
    static RewritePlan Replace(std::string bytes) { return {Action::Replace, std::move(bytes)}; }
    static RewritePlan Delete() { return {Action::Delete, {}}; }
};

// Gets the file's bytes, or nullopt when there is no file, and decides. May throw; nothing
// has been changed then.
using RewritePlanner = std::function<RewritePlan(const std::optional<std::string>& current)>;

struct RewriteOptions {
    // Off only to exercise the fallback that file systems without leases get.
    bool useLeases = true;
    // How long to wait for writers of the current file to finish before reading it.
    std::chrono::milliseconds quietWait{500};
    // How long to wait, after the replace, for writers that still hold the old file open.
    std::chrono::milliseconds lateWriterWait{10000};
    // Without a lease: how long to keep looking at the old file for late bytes.
    std::chrono::milliseconds fallbackWatch{20};
};

struct RewriteReport {
    bool changed = false;          // the file was replaced or deleted
    std::size_t carriedBytes = 0;  // late bytes of an earlier version appended before this rewrite
};

struct SettleReport {
    bool leaseConfirmed = false;   // a lease showed that no writer still held the old file
    std::size_t carriedBytes = 0;  // late bytes of the old file appended to the new one
};

// "<file>.lock": the side file whose exclusive flock() serialises every rewriter of the file.
// Cooperating producers may take it too around their appends.
std::filesystem::path LockFilePathFor(const std::filesystem::path& file);

// Read-modify-write of a file that outside programs append to without any lock.
//
// Under the side-file lock, the current file is read, the planner decides, and the new
// content replaces the file atomically (or the file is deleted). An appender may have opened
// the old file before the replace and write to it afterwards; re-reading the old file's tail
// cannot tell when such a writer is done. On Linux a read lease (F_SETLEASE, F_RDLCK) is
// granted only while no process holds the file open for writing, so the rewrite first waits
// for one before reading (nobody is half-way through a line then) and keeps it across the
// rename (writers that try to open the old file meanwhile wait in open()). The old file stays
// open afterwards; the next operation on the file (or SettleLateWriters) waits for another
// lease on it: from then on nobody can still write to it, and whatever was added past the
// bytes read is appended to the current file. Deferring that wait keeps it off the worker's
// path between two jobs. Where leases are refused (not the file's owner without CAP_LEASE, a
// file system without leases), the old file is only looked at again a short while after the
// replace, which narrows the window but cannot close it. On Windows the old file is held open
// without write sharing, so that a producer's open fails visibly instead of writing into a
// file about to be replaced.
//
// Durability: the new content is written to a temporary file and renamed over the original,
// so a killed process leaves either the old or the new file, never a mix. There is no fsync:
// it would cost every job several milliseconds on a disk; ext4 and its kin already order a
// rename over an existing file after the file's data.
RewriteReport RewriteFileGuarded(const std::filesystem::path& file, const RewritePlanner& planner,
                                 const RewriteOptions& options = {});

// Carries into the file what late writers added to a version that this process replaced or
// deleted, once they are done with it (waits for them). Cheap when nothing is pending. Called
// by the store before it reports an empty queue, at the end of a worker run, and at exit.
SettleReport SettleLateWriters(const std::filesystem::path& file);
void SettleAllLateWriters();

} // namespace ct
