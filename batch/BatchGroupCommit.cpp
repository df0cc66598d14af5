#include "batch/BatchGroupCommit.h"

#include <algorithm>
#include <utility>

namespace ct {

using SteadyClock = std::chrono::steady_clock;

BatchGroupCommit::BatchGroupCommit(std::filesystem::path file, Bounds bounds, Writer writer)
    : m_file(std::move(file)), m_bounds(bounds), m_writer(std::move(writer)) {
    if (!m_writer)
        m_writer = [this](const std::vector<BatchOutcome>& group) { return ApplyBatchOutcomes(m_file, group); };
    if (m_bounds.jobs == 0)
        m_bounds.jobs = 1;
    m_thread = std::thread([this] { Run(); });
}

BatchGroupCommit::~BatchGroupCommit() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void BatchGroupCommit::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return m_stop || (!m_unwritten.empty() && !m_failed); });
        // At the stop whatever is pending is still written: the run's last outcomes.
        if (m_unwritten.empty() || m_failed)
            return;
        // A rewrite that costs more than a job is put off a little, so that it takes several
        // outcomes at once: the copies, not the jobs, would otherwise use up the machine. One
        // that costs nothing (a short queue) is made at once.
        const auto gather = std::min<SteadyClock::duration>(4 * m_lastRewrite, m_bounds.age / 2);
        const auto due = m_unwritten.front().added + gather;
        m_changed.wait_until(lock, due, [&] {
            return m_stop || m_hurry || m_failed || m_unwritten.size() >= (m_bounds.jobs + 1) / 2;
        });
        m_hurry = false;
        if (m_failed)
            return;
        std::vector<BatchOutcome> group;
        group.reserve(m_unwritten.size());
        for (const Entry& entry : m_unwritten)
            group.push_back(entry.outcome);
        m_writing = group.size();
        lock.unlock();
        std::string failure;
        const auto started = SteadyClock::now();
        try {
            m_writer(group);
        } catch (const std::exception& error) {
            failure = error.what();
        } catch (...) {
            failure = "the queue could not be rewritten";
        }
        const auto took = SteadyClock::now() - started;
        lock.lock();
        m_lastRewrite = took;
        if (failure.empty()) {
            m_unwritten.erase(m_unwritten.begin(), m_unwritten.begin() + static_cast<std::ptrdiff_t>(m_writing));
            m_written += m_writing;
            ++m_rewrites;
        } else {
            m_failed = true;
            m_failure = failure;
        }
        m_writing = 0;
        m_changed.notify_all();
    }
}

bool BatchGroupCommit::Behind(SteadyClock::time_point now) const {
    return !m_unwritten.empty() &&
           (m_unwritten.size() >= m_bounds.jobs || now - m_unwritten.front().added >= m_bounds.age);
}

void BatchGroupCommit::RaiseFailure() const {
    if (m_failed)
        throw Failure(m_failure, m_written);
}

std::uint64_t BatchGroupCommit::Add(BatchOutcome outcome) {
    std::unique_lock<std::mutex> lock(m_mutex);
    RaiseFailure();
    const std::uint64_t number = m_written + m_unwritten.size();
    m_unwritten.push_back({std::move(outcome), SteadyClock::now()});
    m_changed.notify_all();
    while (!m_failed && Behind(SteadyClock::now())) {
        m_hurry = true;
        m_changed.notify_all();
        const auto oldest = m_unwritten.front().added;
        if (m_unwritten.size() >= m_bounds.jobs)
            m_changed.wait(lock);
        else
            m_changed.wait_until(lock, oldest + m_bounds.age);
    }
    RaiseFailure();
    return number;
}

void BatchGroupCommit::Flush() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_hurry = true;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return m_failed || m_unwritten.empty(); });
    RaiseFailure();
}

std::vector<std::string> BatchGroupCommit::PendingLines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> lines;
    lines.reserve(m_unwritten.size());
    for (const Entry& entry : m_unwritten)
        lines.push_back(entry.outcome.line);
    return lines;
}

std::uint64_t BatchGroupCommit::WrittenUpTo() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_written;
}

std::uint64_t BatchGroupCommit::Rewrites() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rewrites;
}

} // namespace ct
