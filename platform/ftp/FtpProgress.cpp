#include "platform/ftp/FtpProgress.h"

#include <algorithm>
#include <utility>

namespace ct::ftp {

namespace {

using namespace std::chrono_literals;

// Progress at most this often, so that a handler that waits for the GUI thread cannot slow
// a fast transfer down; the last count is always reported.
constexpr auto ProgressInterval = 50ms;

} // namespace

std::string SecondsText(std::chrono::milliseconds duration) {
    auto ms = duration.count();
    if (ms % 1000 == 0)
        return std::to_string(ms / 1000) + " s";
    return std::to_string(ms) + " ms";
}

void WorkReporter::Begin(std::int64_t expected) {
    m_begun = true;
    // The first count waits its interval too: a count a few milliseconds after the begin
    // tells of the buffers on the way (the server's receive queue), not of the link.
    m_last = m_clock.Now();
    if (m_client.OnWorkBegin)
        m_client.OnWorkBegin(&m_client, m_mode, expected);
}

void WorkReporter::Progress(std::int64_t count) {
    m_pending = count;
    Tick(m_clock.Now());
}

void WorkReporter::Tick(Clock::time_point now) {
    if (m_pending < 0 || now < m_last + ProgressInterval)
        return;
    m_last = now;
    const std::int64_t count = std::exchange(m_pending, -1);
    if (m_client.OnWork)
        m_client.OnWork(&m_client, m_mode, count);
}

Clock::time_point WorkReporter::Due() const {
    return m_pending < 0 ? Clock::time_point::max() : m_last + ProgressInterval;
}

void WorkReporter::Final(std::int64_t count) {
    if (m_begun && m_client.OnWork)
        m_client.OnWork(&m_client, m_mode, count);
}

void WorkReporter::End() {
    if (!m_begun)
        return;
    m_begun = false;
    if (m_client.OnWorkEnd)
        m_client.OnWorkEnd(&m_client, m_mode);
}

void WorkReporter::EndQuietly() noexcept {
    try {
        End();
    } catch (...) {
    }
}

std::int64_t UploadProgress::Sample() {
    const std::int64_t queued = m_data.Unacknowledged();
    // Where the system cannot tell (or over TLS, whose records the queue counts with their
    // framing), the count stays within what was written and never goes back.
    const std::int64_t taken = queued < 0 ? m_written : std::min(m_written, m_written - queued);
    if (taken <= m_taken)
        return 0;
    const std::int64_t gained = taken - m_taken;
    m_taken = taken;
    m_reporter.Progress(m_taken);
    return gained;
}

SpeedFloor::SpeedFloor(const FtpSettings& settings, IClock& clock)
    : m_bytes(settings.lowSpeedBytes), m_window(settings.lowSpeedWindow), m_end(clock.Now() + m_window) {}

bool SpeedFloor::Holds(Clock::time_point now) {
    if (now < m_end)
        return true;
    if (m_bytes > 0 && m_moved < m_bytes)
        return false;
    m_moved = 0;
    m_end = now + m_window;
    return true;
}

std::string SpeedFloor::Describe() const {
    return "fewer than " + std::to_string(m_bytes) + " bytes in " + SecondsText(m_window);
}

} // namespace ct::ftp
