#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/thread/TThread.h"

namespace ct::test {

// The GUI-thread side of TThread for core tests: the thread that creates it plays the GUI
// thread, and steps handed over by other threads wait in a queue until that thread pumps it.
// Every step run records the thread that ran it, so tests can prove nothing ran elsewhere.
class TestDispatcher : public IMainThreadDispatcher {
public:
    TestDispatcher() : m_mainThread(std::this_thread::get_id()) {}

    bool IsMainThread() const override { return std::this_thread::get_id() == m_mainThread; }

    void RunAndWait(const std::function<void()>& step) override {
        if (IsMainThread()) {
            RunRecorded(step);
            return;
        }
        auto item = std::make_shared<Item>();
        item->step = step;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_queue.push_back(item);
        m_cv.notify_all();
        m_cv.wait(lock, [&] { return item->done; });
        if (item->error)
            std::rethrow_exception(item->error);
    }

    void Post(std::function<void()> step) override {
        auto item = std::make_shared<Item>();
        item->step = std::move(step);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(item);
        m_cv.notify_all();
    }

    void ProcessPendingSteps() override { RunQueued(); }

    // Pumps the queue on the calling (GUI) thread until predicate gives true or the time-out
    // passes; returns the predicate's last answer. The predicate runs on this thread too.
    template <class Predicate>
    bool PumpUntil(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            RunQueued();
            if (predicate())
                return true;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait_for(lock, std::chrono::milliseconds(10), [&] { return !m_queue.empty(); });
        }
    }

    // Thread ids of every step run so far, in order.
    std::vector<std::thread::id> StepThreads() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stepThreads;
    }
    std::thread::id MainThreadId() const { return m_mainThread; }

private:
    struct Item {
        std::function<void()> step;
        bool done = false;
        std::exception_ptr error;
    };

    void RunRecorded(const std::function<void()>& step) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stepThreads.push_back(std::this_thread::get_id());
        }
        step();
    }

    void RunQueued() {
        for (;;) {
            std::shared_ptr<Item> item;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_queue.empty())
                    return;
                item = m_queue.front();
                m_queue.pop_front();
            }
            std::exception_ptr error;
            try {
                RunRecorded(item->step);
            } catch (...) {
                error = std::current_exception();
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            item->error = error;
            item->done = true;
            m_cv.notify_all();
        }
    }

    const std::thread::id m_mainThread;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::shared_ptr<Item>> m_queue;
    std::vector<std::thread::id> m_stepThreads;
};

// Installs a dispatcher for the life of a scope and removes it afterwards.
class ScopedDispatcher {
public:
    explicit ScopedDispatcher(IMainThreadDispatcher& dispatcher) { SetMainThreadDispatcher(&dispatcher); }
    ~ScopedDispatcher() { SetMainThreadDispatcher(nullptr); }
    ScopedDispatcher(const ScopedDispatcher&) = delete;
    ScopedDispatcher& operator=(const ScopedDispatcher&) = delete;
};

} // namespace ct::test
