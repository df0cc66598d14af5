#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>

// The platform's part of QueueWatcher: hearing about one folder's changes, and being woken.
// Private to platform/watch/.

namespace ct::watch {

enum class Heard {
    Nothing,  // the time ran out, or only other files of the folder changed
    Queue,    // an event named the queue file (or events were lost: it may have)
    Lost,     // the folder went away or stopped reporting; the watch is over
    Stop,     // the stop signal is set
};

class FolderWatch {
public:
    // Makes the stop signal; throws std::system_error when the system has none left to give.
    static std::unique_ptr<FolderWatch> Create();
    virtual ~FolderWatch() = default;

    // Begins to watch the queue file's folder; false when it cannot be watched. The events of
    // the queue file that come after this returns are heard.
    virtual bool Start(const std::filesystem::path& queueFile) = 0;
    // Ends the folder watch (the stop signal stays).
    virtual void Cancel() = 0;
    virtual bool Active() const = 0;

    // Blocks up to `time` for the stop signal and, while active, for the folder's events.
    // Every event waiting is taken at once, so that a burst is heard once.
    virtual Heard Await(std::chrono::milliseconds time) = 0;

    // Sets the stop signal for good. Safe from any thread.
    virtual void Signal() = 0;
};

// What the slow look compares: a file replaced by a rename or recreated differs in its
// identity even when its size and times do not.
struct FileState {
    bool exists = false;
    std::uint64_t device = 0;
    std::uint64_t identity = 0;
    std::int64_t size = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
    bool operator==(const FileState&) const = default;
};

FileState ReadFileState(const std::filesystem::path& file);

} // namespace ct::watch
