#include "batch/BatchGroupCommit.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace ct {

using SteadyClock = std::chrono::steady_clock;

namespace {

// A rewrite cheaper than this is made at once, unless outcomes come in a burst: then it waits
// kGather for those that follow. Each rewrite copies the whole file however little it changes,
// and a thousand small jobs a second would otherwise cost a thousand copies, the writer's CPU
// taken from the transfers. An outcome counts as part of a burst when it comes within kBurstGap
// of the one before.
constexpr auto kCheapRewrite = std::chrono::milliseconds(1);
constexpr auto kGather = std::chrono::milliseconds(10);
constexpr auto kBurstGap = std::chrono::milliseconds(5);
// What a rewrite is guessed to cost per byte of the queue before one has been timed: a copy
// within the page cache, about a gigabyte a second.
constexpr auto kGuessPerMegabyte = std::chrono::microseconds(1000);

} // namespace

BatchGroupCommit::BatchGroupCommit(std::filesystem::path file, Bounds bounds, Writer writer)
    : m_file(std::move(file)), m_bounds(bounds), m_writer(std::move(writer)) {
    if (!m_writer)
        m_writer = [this](const std::vector<BatchOutcome>& group) { return ApplyBatchOutcomes(m_file, group); };
    if (m_bounds.jobs == 0)
        m_bounds.jobs = 1;
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(m_file, ec);
    if (!ec)
        m_firstGuess = kGuessPerMegabyte * static_cast<std::int64_t>(size >> 20);
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
        while (!WriteDue(SteadyClock::now())) {
            const Entry& front = m_unwritten.front();
            const auto latest = Gathering() ? front.added + kGather : front.added + m_bounds.age - RewriteCost();
            m_changed.wait_until(lock, latest);
        }
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
            // A hurry is over once nothing is left: a flush that came while this rewrite was
            // being picked must not rush the next run of jobs.
            if (m_unwritten.empty())
                m_hurry = false;
        } else {
            m_failed = true;
            m_failure = failure;
        }
        m_writing = 0;
        m_changed.notify_all();
    }
}

SteadyClock::duration BatchGroupCommit::RewriteCost() const {
    return m_rewrites > 0 ? m_lastRewrite : m_firstGuess;
}

// A costly rewrite is begun late enough to take as many outcomes as it can, and early enough
// that it ends, at the pace jobs end now, when the oldest outcome is `age` old or `jobs` are
// pending. When it takes longer than the last one, Add holds the run for the difference: the
// bounds hold either way.
bool BatchGroupCommit::WriteDue(SteadyClock::time_point now) const {
    if (m_stop || m_hurry || m_failed || m_unwritten.size() >= m_bounds.jobs)
        return true;
    if (Gathering())
        return now >= m_unwritten.front().added + kGather;
    const auto cost = RewriteCost();
    if (cost < kCheapRewrite)
        return true;
    if (now + cost >= m_unwritten.front().added + m_bounds.age)
        return true;
    const std::size_t pending = m_unwritten.size();
    if (pending < 2)
        return false;
    const double perJob = std::chrono::duration<double>(m_unwritten.back().added - m_unwritten.front().added).count() /
                          static_cast<double>(pending - 1);
    const double during = perJob > 0 ? std::chrono::duration<double>(cost).count() / perJob : 1e9;
    return static_cast<double>(pending) + during >= static_cast<double>(m_bounds.jobs);
}

bool BatchGroupCommit::Gathering() const {
    return RewriteCost() < kCheapRewrite && !m_unwritten.empty() && m_unwritten.front().burst;
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
    const auto now = SteadyClock::now();
    const bool burst = m_added > 0 && now - m_lastAdded < kBurstGap;
    m_unwritten.push_back({std::move(outcome), now, burst});
    ++m_added;
    m_lastAdded = now;
    // A writer gathering a burst waits for its time or the bound of jobs: no need to wake it.
    if (m_unwritten.size() == 1 || !Gathering() || m_unwritten.size() >= m_bounds.jobs)
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
