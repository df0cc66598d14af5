#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "platform/thread/Clock.h"

namespace ct::ftp {

using Clock = std::chrono::steady_clock;

enum class WaitEnd { Done, TimedOut, Aborted };

// The one place where the FTP client blocks.
//
// Every network step starts asynchronous operations on Io() whose handlers call Completed(),
// then calls WaitForAny with its deadline: the io_context runs on the calling thread until a
// handler has completed, the deadline has passed, or Abort has been called. On a time-out
// or an abort the caller closes its sockets, which makes every pending handler complete at
// once, and calls Settle until they have (so that no handler outlives what it writes to).
// This is Asio's blocking client with time-outs (run_for the time left, close when it runs
// out), extended by an abort that another thread may raise at any moment.
class FtpWaiter {
public:
    FtpWaiter() = default;
    FtpWaiter(const FtpWaiter&) = delete;
    FtpWaiter& operator=(const FtpWaiter&) = delete;

    asio::io_context& Io() { return m_io; }

    // Any thread. Sticky until ResetAbort: every later wait ends at once with Aborted.
    void Abort();
    void ResetAbort() { m_aborted.store(false); }
    bool Aborted() const { return m_aborted.load(); }

    // Called by every completion handler.
    void Completed() { ++m_completions; }

    // Runs until at least one handler has completed since the last call, the deadline on
    // `clock` has passed, or an abort has been raised. An abort wins over a completion. Any
    // clock but the system's is looked at between short waits, since the io_context can only
    // sleep until a time of the system's.
    WaitEnd WaitForAny(IClock& clock, Clock::time_point deadline);

    // After the sockets have been closed: runs handlers until settled() holds. Cancelled
    // operations complete without delay, so this does not wait for the network.
    template <class Settled>
    void Settle(Settled&& settled) {
        while (!settled())
            m_io.run_one_for(std::chrono::milliseconds(100));
    }

private:
    asio::io_context m_io{1};
    // Keeps run_one_until sleeping until its deadline when nothing is pending.
    asio::executor_work_guard<asio::io_context::executor_type> m_work = asio::make_work_guard(m_io);
    std::atomic<bool> m_aborted{false};
    std::atomic<bool> m_wakePosted{false};
    std::uint64_t m_completions = 0;
    std::uint64_t m_seen = 0;
};

} // namespace ct::ftp
