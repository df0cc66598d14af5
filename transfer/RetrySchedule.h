#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace ct {

// When a server that did not answer, or a job that failed, may be tried again. Each key (a
// server's "host:port", or a job) waits a pause that grows with its failures in a row: the first
// pause, then 1.5 times the one before, never more than 15 minutes, each spread by up to ±20 %
// so that many programs cut off by the same outage do not come back in step. One success
// brings a key back to the first pause.
//
// Pure bookkeeping over the time points it is handed (the worker's IClock::Now()); it never
// reads a clock or waits. Not thread-safe: one worker owns it.
class RetrySchedule {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Pause = std::chrono::milliseconds;
    // A spread in [-1, 1]; -1 shortens a pause by the whole 20 %, 1 lengthens it as much.
    using Jitter = std::function<double()>;

    static constexpr Pause kDefaultFirstPause{15000};
    static constexpr Pause kLongestPause{15 * 60 * 1000};
    static constexpr double kGrowth = 1.5;
    static constexpr double kSpread = 0.2;

    // The first pause from CLOUDTRANSFER_RETRY_SECONDS, jittered at random.
    RetrySchedule();
    RetrySchedule(Pause firstPause, Jitter jitter);

    // Before this point the key must not be tried; the distant past for a key that has not
    // failed since its last success.
    TimePoint NotBefore(const std::string& key) const;
    bool Due(const std::string& key, TimePoint now) const { return NotBefore(key) <= now; }

    // Records a failure at `now`; returns the pause the key now waits.
    Pause Failed(const std::string& key, TimePoint now);
    // Back to the first pause. Also the way to forget a key that has left the queue.
    void Succeeded(const std::string& key);

    // The earliest point after `now` at which a waiting key becomes due; nullopt when no key
    // waits (a key already due is not waiting: the caller can try it now).
    std::optional<TimePoint> NextDue(TimePoint now) const;

private:
    struct Entry {
        double baseMs = 0;     // the pause before its spread, grown at each failure
        TimePoint notBefore{};
    };

    Pause m_firstPause;
    Jitter m_jitter;
    std::map<std::string, Entry> m_entries;
};

// The first pause named by a value of CLOUDTRANSFER_RETRY_SECONDS: seconds, a fraction allowed
// ("0.5"), at least 0.1 s (a retry must not spin) and at most the longest pause. Anything else
// (absent, empty, not a number, zero or less) gives the default of 15 s.
RetrySchedule::Pause FirstRetryPause(const char* value);

} // namespace ct
