#include "transfer/RetrySchedule.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>

namespace ct {

namespace {

using Pause = RetrySchedule::Pause;

constexpr Pause kShortestFirstPause{100};

RetrySchedule::Jitter RandomJitter() {
    return [engine = std::minstd_rand(std::random_device{}()),
            spread = std::uniform_real_distribution<double>(-1.0, 1.0)]() mutable { return spread(engine); };
}

constexpr double kLongestMs = static_cast<double>(RetrySchedule::kLongestPause.count());

} // namespace

Pause FirstRetryPause(const char* value) {
    if (!value)
        return RetrySchedule::kDefaultFirstPause;
    const char* end = value + std::strlen(value);
    double seconds = 0;
    const auto [stop, error] = std::from_chars(value, end, seconds, std::chars_format::fixed);
    if (error != std::errc() || stop != end || value == end || !std::isfinite(seconds) || seconds <= 0)
        return RetrySchedule::kDefaultFirstPause;
    const double ms = std::clamp(seconds * 1000.0, static_cast<double>(kShortestFirstPause.count()), kLongestMs);
    return Pause(static_cast<Pause::rep>(std::llround(ms)));
}

RetrySchedule::RetrySchedule() : RetrySchedule(FirstRetryPause(std::getenv("CLOUDTRANSFER_RETRY_SECONDS")), RandomJitter()) {}

RetrySchedule::RetrySchedule(Pause firstPause, Jitter jitter)
    : m_firstPause(std::clamp(firstPause, kShortestFirstPause, kLongestPause)), m_jitter(std::move(jitter)) {}

RetrySchedule::TimePoint RetrySchedule::NotBefore(const std::string& key) const {
    const auto found = m_entries.find(key);
    return found == m_entries.end() ? TimePoint::min() : found->second.notBefore;
}

Pause RetrySchedule::Failed(const std::string& key, TimePoint now) {
    auto [entry, first] = m_entries.try_emplace(key);
    Entry& state = entry->second;
    // Grown from the last base, not from the first pause and a count, so that no number of
    // failures overflows.
    state.baseMs = first ? static_cast<double>(m_firstPause.count()) : std::min(state.baseMs * kGrowth, kLongestMs);
    const double drawn = m_jitter ? m_jitter() : 0.0;
    const double spread = std::isfinite(drawn) ? std::clamp(drawn, -1.0, 1.0) : 0.0;
    // Spread before the cap: a key at the longest pause still waits no longer than that.
    const Pause pause(static_cast<Pause::rep>(std::llround(std::min(state.baseMs * (1.0 + kSpread * spread), kLongestMs))));
    state.notBefore = now + pause;
    return pause;
}

void RetrySchedule::Succeeded(const std::string& key) {
    m_entries.erase(key);
}

std::optional<RetrySchedule::TimePoint> RetrySchedule::NextDue(TimePoint now) const {
    std::optional<TimePoint> next;
    for (const auto& [key, entry] : m_entries)
        if (entry.notBefore > now && (!next || entry.notBefore < *next))
            next = entry.notBefore;
    return next;
}

} // namespace ct
