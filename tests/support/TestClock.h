#pragma once

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/thread/Clock.h"

namespace ct::test {

// A clock that moves only when told to, or when its owner sleeps: Sleep advances it by the
// time asked for and returns at once, so that a pause of an hour passes in no time and can
// still be measured. Safe from any thread.
class TestClock final : public IClock {
public:
    // Day 45000.5 is noon on 2023-03-15.
    explicit TestClock(double startDays = 45000.5) : m_startDays(startDays) {}

    std::chrono::steady_clock::time_point Now() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::chrono::steady_clock::time_point(m_elapsed);
    }
    double NowDays() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_startDays + std::chrono::duration<double, std::ratio<86400>>(m_elapsed).count();
    }
    void Sleep(std::chrono::milliseconds time) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_elapsed += time;
            m_sleeps.push_back(time);
        }
        // Another thread (a stop request) gets its chance, as during a real sleep.
        std::this_thread::yield();
    }

    void Advance(std::chrono::steady_clock::duration time) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_elapsed += time;
    }
    // Time moved since the clock was made.
    std::chrono::steady_clock::duration Elapsed() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_elapsed;
    }
    // Every Sleep so far, in order.
    std::vector<std::chrono::milliseconds> Sleeps() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sleeps;
    }

private:
    std::mutex m_mutex;
    double m_startDays;
    std::chrono::steady_clock::duration m_elapsed{};
    std::vector<std::chrono::milliseconds> m_sleeps;
};

} // namespace ct::test
