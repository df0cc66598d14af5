#include "transfer/WatchScheduler.h"

#include <algorithm>
#include <utility>
#include <variant>

namespace ct {

namespace {

// How long a wait lasts when no pause is running: only a change or a stop ends it in practice.
constexpr std::chrono::milliseconds kQuietWait = std::chrono::hours(24);

std::string ServerKeyOf(const Endpoint& endpoint) {
    return ServerText(endpoint);
}

} // namespace

std::string JobKey(const Job& job) {
    // The members a producer writes to say what is moved where; "error" and "reason" change at
    // each failure and are left out. Two lines that ask for the same transfer share their pause.
    std::string key = job.direction == JobDirection::Upload ? "put" : "get";
    for (const std::string* part : {&job.localPath, &job.remotePath, &job.base, &job.endpoint.user}) {
        key += '\n';
        key += *part;
    }
    key += '\n';
    key += ServerText(job.endpoint);
    return key;
}

WatchScheduler::WatchScheduler(std::filesystem::path queueFile, IClock& clock)
    : m_clock(clock), m_watcher(std::move(queueFile)) {}

bool WatchScheduler::MayStart(const std::string& line) const {
    const ParsedJob parsed = ParseJob(line);
    const JobFault* fault = std::get_if<JobFault>(&parsed);
    const Job* job = JobOf(parsed);
    if (!job || (fault && fault->kind == JobFault::Kind::NotAJob))
        return false;
    const TimePoint now = m_clock.Now();
    const bool broken = fault != nullptr;
    return m_jobs.Due(JobKey(*job), now) && (broken || m_servers.Due(ServerKeyOf(job->endpoint), now));
}

void WatchScheduler::ServerDown(const Endpoint& endpoint) {
    m_servers.Failed(ServerKeyOf(endpoint), m_clock.Now());
}

void WatchScheduler::ServerAnswered(const Endpoint& endpoint) {
    m_servers.Succeeded(ServerKeyOf(endpoint));
}

void WatchScheduler::JobFailed(const Job& job) {
    m_jobs.Failed(JobKey(job), m_clock.Now());
}

void WatchScheduler::JobLeft(const Job& job) {
    m_jobs.Succeeded(JobKey(job));
}

bool WatchScheduler::WaitForWork() {
    if (m_stopped)
        return false;
    const TimePoint now = m_clock.Now();
    std::optional<TimePoint> due = m_servers.NextDue(now);
    if (const std::optional<TimePoint> job = m_jobs.NextDue(now))
        due = due ? std::min(*due, *job) : *job;
    // Rounded up, so that the wait does not end a hair before the pause and spin once more.
    const auto timeout = due ? std::chrono::ceil<std::chrono::milliseconds>(*due - now) : kQuietWait;
    return m_watcher.Wait(timeout) != QueueWatcher::WaitResult::Stopped && !m_stopped;
}

void WatchScheduler::Stop() {
    m_stopped = true;
    m_watcher.Stop();
}

} // namespace ct
