#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

#include "batch/Job.h"
#include "platform/thread/Clock.h"
#include "platform/watch/QueueWatcher.h"
#include "transfer/RetrySchedule.h"

namespace ct {

// Which queued job a watching worker may start now, and the wait when none may.
//
// A run over the queue ends when no job is left to start; a watch instead waits for the queue
// to change or for the next pause to run out. Two kinds of pause keep work from being tried
// again too soon: a server that could not be reached waits its pause (its jobs stay in place,
// unmarked, and are passed over meanwhile), and a job that failed waits its own, so that the
// jobs behind it are not held up by its retries. Both grow with each failure in a row
// (RetrySchedule) and end at the first success.
//
// Owned by the worker's thread; only Stop() may be called from another thread.
class WatchScheduler {
public:
    using TimePoint = RetrySchedule::TimePoint;

    // The pauses come from CLOUDTRANSFER_RETRY_SECONDS.
    WatchScheduler(std::filesystem::path queueFile, IClock& clock);

    // True for a line that may be started now: a job (or a job that breaks a rule: it fails
    // without a connection) whose server and whose own pause are not running. A line that is
    // not a job at all is passed over; it stays where it is for someone to mend or delete.
    bool MayStart(const std::string& line) const;

    void ServerDown(const Endpoint& endpoint);
    void ServerAnswered(const Endpoint& endpoint);
    // A job that failed and stays in the queue with its mark waits before its next try.
    void JobFailed(const Job& job);
    // A job that left the queue (done or dropped): a job queued again later starts at once.
    void JobLeft(const Job& job);

    // Blocks until the queue file may have changed, a pause has run out, or Stop(). False once
    // stopped. A change that came while the worker was busy ends the next wait at once.
    bool WaitForWork();

    // Safe from any thread, more than once; the current and every later wait return false.
    void Stop();
    bool Stopped() const { return m_stopped; }

private:
    IClock& m_clock;
    QueueWatcher m_watcher;
    RetrySchedule m_servers;
    RetrySchedule m_jobs;
    std::atomic<bool> m_stopped{false};
};

// What names one job across its retries: its line without the marks a failure adds.
std::string JobKey(const Job& job);

} // namespace ct
