#pragma once

#include <chrono>

namespace ct {

// Where the worker, the transfer clients and the store take their time from and how they wait:
// the system's clock in a run, a clock that tests move by hand (tests/support/TestClock.h), so
// that pauses, deadlines and speeds can be checked without waiting for them.
class IClock {
public:
    virtual ~IClock() = default;
    // Monotonic time, for durations and deadlines.
    virtual std::chrono::steady_clock::time_point Now() = 0;
    // The local date-time, counted in days with a fractional part (day 0 is 1899-12-30).
    virtual double NowDays() = 0;
    // Blocks the calling thread for the given time.
    virtual void Sleep(std::chrono::milliseconds time) = 0;
};

// The system's clock; shared, stateless, safe from any thread.
IClock& SystemClock();

} // namespace ct
