#include "platform/qt/QtMainThreadDispatcher.h"

#include <exception>

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include "platform/error/CloudError.h"

namespace ct {

QtMainThreadDispatcher::QtMainThreadDispatcher() : m_target(QCoreApplication::instance()) {
    if (!m_target)
        throw CloudError("the GUI-thread dispatcher needs a running QApplication");
}

QtMainThreadDispatcher::~QtMainThreadDispatcher() = default;

bool QtMainThreadDispatcher::IsMainThread() const {
    return QThread::currentThread() == m_target->thread();
}

void QtMainThreadDispatcher::RunAndWait(const std::function<void()>& step) {
    if (IsMainThread()) {
        step();
        return;
    }
    // The exception travels back by value: the step runs on the GUI thread, the caller
    // rethrows on its own.
    std::exception_ptr failure;
    const bool delivered = QMetaObject::invokeMethod(
        m_target,
        [&step, &failure] {
            try {
                step();
            } catch (...) {
                failure = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (!delivered)
        throw CloudError("the GUI thread could not run a step");
    if (failure)
        std::rethrow_exception(failure);
}

void QtMainThreadDispatcher::Post(std::function<void()> step) {
    QMetaObject::invokeMethod(
        m_target,
        [step = std::move(step)] {
            try {
                step();
            } catch (...) {
                // A posted step has nobody to report to.
            }
        },
        Qt::QueuedConnection);
}

void QtMainThreadDispatcher::PostAfter(std::chrono::milliseconds delay, std::function<void()> step) {
    // A timer belongs to the thread that starts it: off the GUI thread, the GUI thread starts it.
    if (!IsMainThread()) {
        Post([this, delay, step = std::move(step)]() mutable { PostAfter(delay, std::move(step)); });
        return;
    }
    QTimer::singleShot(delay, m_target, [step = std::move(step)] {
        try {
            step();
        } catch (...) {
            // As for Post: nobody to report to.
        }
    });
}

void QtMainThreadDispatcher::ProcessPendingSteps() {
    if (IsMainThread())
        QCoreApplication::sendPostedEvents(m_target, QEvent::MetaCall);
}

ScopedQtDispatcher::ScopedQtDispatcher() : m_previous(MainThreadDispatcher()) {
    SetMainThreadDispatcher(&m_dispatcher);
}

ScopedQtDispatcher::~ScopedQtDispatcher() {
    SetMainThreadDispatcher(m_previous);
}

} // namespace ct
