#include "platform/watch/QueueWatcher.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <utility>

#include "platform/watch/FolderWatch.h"

namespace ct {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often the fallback looks at the file. Slow on purpose: it only stands in where the
// folder cannot be watched, and a queue is not a latency-critical channel.
constexpr milliseconds kLookInterval{2000};

// A deadline that a time-out of any size (milliseconds::max() included) cannot overflow.
class Deadline {
public:
    explicit Deadline(milliseconds timeout) {
        const Clock::time_point now = Clock::now();
        if (timeout.count() <= 0)
            m_at = now;
        else if (timeout >= std::chrono::duration_cast<milliseconds>(Clock::time_point::max() - now))
            m_at = Clock::time_point::max();
        else
            m_at = now + timeout;
    }
    bool Passed() const { return Clock::now() >= m_at; }
    // The time left, short enough for poll() and WaitForMultipleObjects().
    milliseconds Left() const { return Until(m_at); }

    static milliseconds Until(Clock::time_point at) {
        const Clock::time_point now = Clock::now();
        if (at <= now)
            return milliseconds(0);
        constexpr milliseconds kLongest(std::numeric_limits<std::int32_t>::max());
        const auto left = std::chrono::ceil<milliseconds>(at - now);
        return std::min(left, kLongest);
    }

private:
    Clock::time_point m_at;
};

} // namespace

struct QueueWatcher::Impl {
    std::filesystem::path queueFile;
    std::unique_ptr<watch::FolderWatch> folder = watch::FolderWatch::Create();
    std::atomic<bool> stopped{false};
    // Only while the folder is not watched: what the last look saw, and when to look again.
    watch::FileState seen;
    Clock::time_point nextLook;

    // Tries the folder watch again and compares the file with what the last look saw. The
    // compare comes after the watch is set up, so a change in between is caught by one or the
    // other.
    bool Look() {
        nextLook = Clock::now() + kLookInterval;
        folder->Start(queueFile);
        const watch::FileState now = watch::ReadFileState(queueFile);
        const bool changed = !(now == seen);
        seen = now;
        return changed;
    }

    void FallBack() {
        folder->Cancel();
        seen = watch::ReadFileState(queueFile);
        nextLook = Clock::now() + kLookInterval;
    }
};

QueueWatcher::QueueWatcher(std::filesystem::path queueFile) : m_impl(std::make_unique<Impl>()) {
    m_impl->queueFile = std::move(queueFile);
    if (!m_impl->folder->Start(m_impl->queueFile))
        m_impl->FallBack();
}

QueueWatcher::~QueueWatcher() = default;

QueueWatcher::WaitResult QueueWatcher::Wait(milliseconds timeout) {
    Impl& impl = *m_impl;
    const Deadline deadline(timeout);
    for (;;) {
        if (impl.stopped.load())
            return WaitResult::Stopped;
        milliseconds slice = deadline.Left();
        if (!impl.folder->Active())
            slice = std::min(slice, Deadline::Until(impl.nextLook));
        switch (impl.folder->Await(slice)) {
        case watch::Heard::Stop:
            return WaitResult::Stopped;
        case watch::Heard::Queue:
            return WaitResult::Changed;
        case watch::Heard::Lost:
            // The folder went away or was moved: whatever was in it by that name is gone.
            impl.FallBack();
            return WaitResult::Changed;
        case watch::Heard::Nothing:
            break;
        }
        if (!impl.folder->Active() && Clock::now() >= impl.nextLook && impl.Look())
            return WaitResult::Changed;
        if (deadline.Passed())
            return impl.stopped.load() ? WaitResult::Stopped : WaitResult::TimedOut;
    }
}

void QueueWatcher::Stop() {
    m_impl->stopped.store(true);
    m_impl->folder->Signal();
}

bool QueueWatcher::IsNative() const {
    return m_impl->folder->Active();
}

const std::filesystem::path& QueueWatcher::QueueFile() const {
    return m_impl->queueFile;
}

} // namespace ct
