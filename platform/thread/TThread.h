#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace ct {

// The GUI-thread side of TThread. The application implements it with Qt; core tests
// implement it with a small queue that their main thread pumps.
class IMainThreadDispatcher {
public:
    virtual ~IMainThreadDispatcher() = default;
    // True when called on the GUI thread.
    virtual bool IsMainThread() const = 0;
    // Runs step on the GUI thread and returns after it has run (called off the GUI thread).
    // An exception thrown by step is passed back to the caller.
    virtual void RunAndWait(const std::function<void()>& step) = 0;
    // Queues step to run on the GUI thread later and returns at once (any thread).
    virtual void Post(std::function<void()> step) = 0;
    // Queues step to run on the GUI thread once `delay` has passed (any thread). The default
    // runs it as soon as Post would.
    virtual void PostAfter(std::chrono::milliseconds delay, std::function<void()> step) {
        static_cast<void>(delay);
        Post(std::move(step));
    }
    // Runs the steps other threads are waiting for, on the GUI thread. TThread::WaitFor calls
    // it while it waits on the GUI thread, so that a worker blocked in Synchronize or in its
    // end notification can finish. The default runs nothing.
    virtual void ProcessPendingSteps() {}
};

// Installs the process's dispatcher (not owned). Must be set before a thread is started.
void SetMainThreadDispatcher(IMainThreadDispatcher* dispatcher);
IMainThreadDispatcher* MainThreadDispatcher();

// A thread object created suspended, in the manner of the runtime's thread class:
// Start runs Execute on a new thread; when Execute has ended (by return or exception)
// OnTerminate runs on the GUI thread, and then, with FreeOnTerminate, the object deletes
// itself. Without FreeOnTerminate the owner deletes it after WaitFor.
class TThread {
public:
    TThread();  // always created suspended
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Runs Execute on a new thread. A second Start raises CloudError.
    void Start();
    // Blocks until the thread has ended, including its end notification. On the GUI thread it
    // keeps running the dispatcher's pending steps meanwhile. Not for FreeOnTerminate objects.
    void WaitFor();
    void Terminate() { m_terminated = true; }
    bool Terminated() const { return m_terminated; }
    bool Started() const { return m_started; }

    bool FreeOnTerminate = false;
    std::function<void(TThread* sender)> OnTerminate;

    // The run body. Public so that an inline run can call it directly on the GUI thread.
    virtual void Execute() = 0;

    // Runs step on the GUI thread and waits for it; runs it directly when already there
    // (or when no dispatcher is installed).
    static void Synchronize(const std::function<void()>& step);
    static void Sleep(std::uint32_t milliseconds);

private:
    void ThreadMain();

    std::atomic<bool> m_terminated{false};
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_finished{false};
    std::thread m_thread;
    // Held by Start until m_thread is assigned, so that a FreeOnTerminate thread that ends
    // at once never detaches a std::thread that is still being moved into place.
    std::mutex m_startMutex;
    std::mutex m_finishMutex;
    std::condition_variable m_finishedCv;
};

} // namespace ct
