#pragma once

#include <QObject>

#include "platform/thread/TThread.h"

namespace ct {

// The GUI-thread dispatcher of the running QApplication: the worker's Synchronize steps
// arrive as queued calls on the application object, so every event loop of the GUI thread
// (the main loop, a modal box, a local wait loop) runs them.
class QtMainThreadDispatcher : public IMainThreadDispatcher {
public:
    // Must be created on the GUI thread after the QApplication.
    QtMainThreadDispatcher();
    ~QtMainThreadDispatcher() override;
    QtMainThreadDispatcher(const QtMainThreadDispatcher&) = delete;
    QtMainThreadDispatcher& operator=(const QtMainThreadDispatcher&) = delete;

    bool IsMainThread() const override;
    void RunAndWait(const std::function<void()>& step) override;
    void Post(std::function<void()> step) override;
    void PostAfter(std::chrono::milliseconds delay, std::function<void()> step) override;
    void ProcessPendingSteps() override;

private:
    QObject* m_target;   // lives on the GUI thread; queued calls are delivered to it
};

// Installs a QtMainThreadDispatcher as the process's dispatcher for its lifetime.
class ScopedQtDispatcher {
public:
    ScopedQtDispatcher();
    ~ScopedQtDispatcher();
    ScopedQtDispatcher(const ScopedQtDispatcher&) = delete;
    ScopedQtDispatcher& operator=(const ScopedQtDispatcher&) = delete;

private:
    QtMainThreadDispatcher m_dispatcher;
    IMainThreadDispatcher* m_previous;
};

} // namespace ct
