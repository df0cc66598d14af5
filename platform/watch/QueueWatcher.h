#pragma once

#include <chrono>
#include <filesystem>
#include <memory>

namespace ct {

// Wakes a waiting thread when the queue file may have changed: created, appended to, truncated,
// deleted, or replaced by a rename (a rewrite of ours or a producer's). The file is followed by
// its name, never by the inode it had when the watch began, so a replaced or recreated queue is
// watched as well as the first one; the file may be absent at the start.
//
// The folder is watched, not the file (inotify on Linux, ReadDirectoryChangesW on Windows), and
// only events that name the queue count. Where the folder cannot be watched (no inotify left, a
// file system that does not report changes) the file's size, times and identity are compared
// every two seconds instead, and the native watch is tried again at each look.
//
// A change that comes while nobody waits is kept for the next Wait; a burst of changes wakes
// one Wait, not one each. Idle, a Wait blocks in the kernel and costs no CPU.
class QueueWatcher {
public:
    enum class WaitResult {
        Changed,   // the file may differ from what the caller last read: read it again
        TimedOut,  // nothing happened within the time given
        Stopped,   // Stop() was called; every later Wait returns this at once
    };

    explicit QueueWatcher(std::filesystem::path queueFile);
    ~QueueWatcher();
    QueueWatcher(const QueueWatcher&) = delete;
    QueueWatcher& operator=(const QueueWatcher&) = delete;

    // Blocks until a change, the time-out or Stop(). One thread waits at a time.
    WaitResult Wait(std::chrono::milliseconds timeout);

    // Wakes the waiting thread at once and makes every later Wait return Stopped. Safe from any
    // thread, a signal handler excepted, and more than once.
    void Stop();

    // False while the watch is the slow fallback look (for the log and for tests). Ask it from
    // the waiting thread, or while nobody waits.
    bool IsNative() const;

    const std::filesystem::path& QueueFile() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

} // namespace ct
