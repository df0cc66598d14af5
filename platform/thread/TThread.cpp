#include "platform/thread/TThread.h"

#include <chrono>

#include "platform/error/CloudError.h"

namespace ct {

namespace {
std::atomic<IMainThreadDispatcher*> g_dispatcher{nullptr};
} // namespace

void SetMainThreadDispatcher(IMainThreadDispatcher* dispatcher) {
    g_dispatcher.store(dispatcher);
}

IMainThreadDispatcher* MainThreadDispatcher() {
    return g_dispatcher.load();
}

TThread::TThread() = default;

TThread::~TThread() {
    if (m_thread.joinable()) {
        // A FreeOnTerminate thread deletes itself on its own thread; it has detached already,
        // so joinable() here means the owner deletes a started thread it has not waited for.
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();
        else
            m_thread.join();
    }
}

void TThread::Start() {
    if (m_started.exchange(true))
        throw CloudError("the thread has been started already");
    std::lock_guard<std::mutex> lock(m_startMutex);
    m_thread = std::thread(&TThread::ThreadMain, this);
}

void TThread::ThreadMain() {
    {
        std::lock_guard<std::mutex> lock(m_startMutex);
    }
    try {
        Execute();
    } catch (...) {
        // A body that ends by an error ends the thread like a normal return; the end
        // notification below still runs and nobody is shown the error.
    }
    if (OnTerminate) {
        try {
            Synchronize([this] { OnTerminate(this); });
        } catch (...) {
        }
    }
    const bool freeSelf = FreeOnTerminate;
    if (freeSelf) {
        m_thread.detach();
        delete this;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_finishMutex);
        m_finished = true;
    }
    m_finishedCv.notify_all();
}

void TThread::WaitFor() {
    if (!m_started || !m_thread.joinable())
        return;
    if (m_thread.get_id() == std::this_thread::get_id())
        throw CloudError("a thread cannot wait for itself");
    IMainThreadDispatcher* dispatcher = MainThreadDispatcher();
    if (dispatcher && dispatcher->IsMainThread()) {
        // The thread may need the GUI thread for a Synchronize or its end notification.
        std::unique_lock<std::mutex> lock(m_finishMutex);
        while (!m_finished) {
            lock.unlock();
            dispatcher->ProcessPendingSteps();
            lock.lock();
            m_finishedCv.wait_for(lock, std::chrono::milliseconds(5), [this] { return m_finished.load(); });
        }
    }
    m_thread.join();
}

void TThread::Synchronize(const std::function<void()>& step) {
    IMainThreadDispatcher* dispatcher = MainThreadDispatcher();
    if (!dispatcher || dispatcher->IsMainThread()) {
        step();
        return;
    }
    dispatcher->RunAndWait(step);
}

void TThread::Sleep(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

} // namespace ct
