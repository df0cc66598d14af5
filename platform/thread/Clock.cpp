#include "platform/thread/Clock.h"

#include <cstdint>

#include "platform/thread/TThread.h"

namespace ct {

namespace {

constexpr double kMsPerDay = 86400000.0;
// Days from the date-time epoch (1899-12-30) to the Unix epoch.
constexpr double kUnixEpochDays = 25569.0;

class RealClock final : public IClock {
public:
    std::chrono::steady_clock::time_point Now() override { return std::chrono::steady_clock::now(); }
    double NowDays() override {
        const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
        const auto ms = std::chrono::duration_cast<std::chrono::duration<double, std::milli>>(sinceEpoch).count();
        return ms / kMsPerDay + kUnixEpochDays;
    }
    void Sleep(std::chrono::milliseconds time) override {
        if (time.count() > 0)
            TThread::Sleep(static_cast<std::uint32_t>(time.count()));
    }
};

} // namespace

IClock& SystemClock() {
    static RealClock clock;
    return clock;
}

} // namespace ct
