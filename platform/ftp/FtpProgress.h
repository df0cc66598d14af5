#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/ftp/FtpChannel.h"
#include "platform/ftp/FtpClient.h"
#include "platform/ftp/FtpSettings.h"
#include "platform/ftp/FtpWaiter.h"

namespace ct::ftp {

// "30 s", or "1500 ms" where the time is not whole seconds.
std::string SecondsText(std::chrono::milliseconds duration);

// The work events of one transfer, spaced on the transfer's clock.
class WorkReporter {
public:
    WorkReporter(IFtpClient& client, TWorkMode mode, IClock& clock) : m_client(client), m_mode(mode), m_clock(clock) {}

    void Begin(std::int64_t expected);
    // A count that comes too soon after the last one waits for Tick, so that the last
    // count of a burst is shown even when the transfer then stalls for a while.
    void Progress(std::int64_t count);
    void Tick(Clock::time_point now);
    // When Tick has something to report.
    Clock::time_point Due() const;
    void Final(std::int64_t count);
    void End();
    // On the way out of a failed transfer: the end event still pairs the begin event,
    // but a handler's error must not replace the transfer's own.
    void EndQuietly() noexcept;

private:
    IFtpClient& m_client;
    TWorkMode m_mode;
    IClock& m_clock;
    bool m_begun = false;
    Clock::time_point m_last;
    std::int64_t m_pending = -1;
};

// The progress of an upload: the bytes the server has taken, that is those written less those
// still queued in the socket unacknowledged. A count of bytes merely written would run ahead
// by whatever the socket buffers hold, megabytes on a slow link.
class UploadProgress {
public:
    UploadProgress(FtpChannel& data, WorkReporter& reporter) : m_data(data), m_reporter(reporter) {}

    void Written(std::int64_t bytes) { m_written += bytes; }
    std::int64_t WrittenTotal() const { return m_written; }
    // Looks at the socket; gives the bytes newly acknowledged since the last look.
    std::int64_t Sample();
    bool AllTaken() const { return m_taken >= m_written; }
    WorkReporter& Reporter() { return m_reporter; }

private:
    FtpChannel& m_data;
    WorkReporter& m_reporter;
    std::int64_t m_written = 0;
    std::int64_t m_taken = 0;
};

// Counts the bytes a transfer moves against the low-speed floor; its windows are on `clock`.
class SpeedFloor {
public:
    SpeedFloor(const FtpSettings& settings, IClock& clock);

    void Moved(std::int64_t bytes) { m_moved += bytes; }
    Clock::time_point WindowEnd() const { return m_end; }
    // False once a whole window has passed with less than the floor moved.
    bool Holds(Clock::time_point now);
    std::string Describe() const;

private:
    std::int64_t m_bytes;
    std::chrono::milliseconds m_window;
    Clock::time_point m_end;
    std::int64_t m_moved = 0;
};

} // namespace ct::ftp
