#pragma once

// What the rewrite (GuardedRewrite.cpp), its lock (RewriteLock.cpp) and the replaced versions
// kept for late writers (LateVersions.cpp) share. For those three files only.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <cstring>
#include <sys/types.h>
#include <unistd.h>
#endif

#include "platform/fs/GuardedRewrite.h"
#include "platform/fs/ReadOnlyFile.h"

namespace ct::rewrite_parts {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline fs::path FolderOf(const fs::path& file) {
    return file.parent_path().empty() ? fs::path(".") : file.parent_path();
}

// A pause in a wait, on the rewrite clock: a test clock passes it at once; on the system's clock
// a pause keeps its microseconds.
void Pause(std::chrono::microseconds pause);

// How many RewriteReaderGuard objects live now.
int ActiveReaders();

// "<name>.late-<inode>-<carried>", and the name it has while a carry is being installed.
fs::path LateLinkPath(const fs::path& file, std::uint64_t inode, std::int64_t carried);
fs::path IntentLinkPath(const fs::path& file, std::uint64_t inode, std::int64_t carried, std::int64_t to,
                        std::uint64_t newInode);

#ifdef _WIN32

inline std::string Describe(const std::string& what, const fs::path& file, DWORD error) {
    return what + " " + file.string() + " (error " + std::to_string(error) + ")";
}

#else

inline std::string Describe(const std::string& what, const fs::path& file, int error) {
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

// The kernel's SIGIO for a lease break must not end the process.
void PrepareLeaseSignal();

enum class Lease { Granted, Busy, Unsupported };

Lease WaitForReadLease(int fd, std::chrono::milliseconds patience);
void ReleaseLease(int fd);
// Whether no other open file description of the file exists.
bool NoOneElseHasItOpen(int fd);

std::string ReadAt(int fd, std::int64_t offset, std::int64_t length, const fs::path& file);

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

LateRegistry& Registry();

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

struct Collected {
    std::vector<LateRun> runs;
    std::size_t bytes = 0;
    bool leaseConfirmed = false;
    bool stillWriting = false;
    bool Any() const { return bytes > 0; }
};

// A folder holding temporary files or replaced versions of the file.
bool FolderHasLeftovers(const fs::path& file);
// Under the lock: tidies and adopts what killed processes left beside the file.
void Scan(const fs::path& file, std::vector<LateEntry>& entries, const ReadOnlyFile* current);
// What late writers added to the replaced versions.
Collected Collect(const fs::path& file, std::vector<LateEntry>& entries, const ReadOnlyFile* current,
                  std::chrono::milliseconds wait, const LatePlacement& placement);
void DropDone(std::vector<LateEntry>& entries);
void FinishCarries(const fs::path& file, std::vector<LateEntry>& entries);
fs::path LinkCurrent(const fs::path& file, const ReadOnlyFile& current, std::int64_t accounted);
LateEntry EntryForReplaced(fs::path link, ReadOnlyFile& current, std::int64_t accounted, const RewriteOptions& options);

#endif

} // namespace ct::rewrite_parts
