#include "platform/ftp/FtpWaiter.h"

#include <asio/post.hpp>

namespace ct::ftp {

namespace {

// How often a wait on a clock other than the system's looks at that clock.
constexpr auto ForeignClockSlice = std::chrono::milliseconds(50);

} // namespace

void FtpWaiter::Abort() {
    m_aborted.store(true);
    // One wake-up in flight is enough; a storm of aborts must not fill the queue.
    if (!m_wakePosted.exchange(true))
        asio::post(m_io, [this] { m_wakePosted.store(false); });
}

WaitEnd FtpWaiter::WaitForAny(IClock& clock, Clock::time_point deadline) {
    const bool systemClock = &clock == &SystemClock();
    for (;;) {
        if (m_aborted.load())
            return WaitEnd::Aborted;
        if (m_completions != m_seen) {
            m_seen = m_completions;
            return WaitEnd::Done;
        }
        if (clock.Now() >= deadline)
            return WaitEnd::TimedOut;
        if (systemClock)
            m_io.run_one_until(deadline);
        else
            m_io.run_one_for(ForeignClockSlice);
    }
}

} // namespace ct::ftp
