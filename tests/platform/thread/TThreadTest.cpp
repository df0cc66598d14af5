#include "platform/thread/TThread.h"

#include <atomic>
#include <stdexcept>

#include <gtest/gtest.h>

#include "platform/error/CloudError.h"
#include "support/TestDispatcher.h"

namespace ct::test {
namespace {

// A thread whose body is given by the test; notes where its pieces ran.
class Probe : public TThread {
public:
    explicit Probe(std::function<void()> body, std::atomic<bool>* destroyed = nullptr)
        : m_body(std::move(body)), m_destroyed(destroyed) {}
    ~Probe() override {
        if (m_destroyed)
            *m_destroyed = true;
    }
    void Execute() override {
        executeThread = std::this_thread::get_id();
        m_body();
    }
    std::thread::id executeThread;

private:
    std::function<void()> m_body;
    std::atomic<bool>* m_destroyed;
};

class TThreadTest : public ::testing::Test {
protected:
    TestDispatcher dispatcher;
    ScopedDispatcher installed{dispatcher};
};

TEST_F(TThreadTest, IsCreatedSuspendedAndRunsItsBodyOnANewThreadAfterStart) {
    std::atomic<int> runs{0};
    Probe t([&] { ++runs; });
    EXPECT_FALSE(t.Started());
    EXPECT_EQ(runs.load(), 0);
    t.Start();
    t.WaitFor();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_NE(t.executeThread, std::this_thread::get_id());
    EXPECT_THROW(t.Start(), CloudError);
}

TEST_F(TThreadTest, EndNotificationRunsOnTheGuiThreadAfterTheBody) {
    std::atomic<bool> bodyDone{false};
    std::thread::id notifiedOn;
    bool bodyDoneFirst = false;
    Probe t([&] { bodyDone = true; });
    t.OnTerminate = [&](TThread* sender) {
        notifiedOn = std::this_thread::get_id();
        bodyDoneFirst = bodyDone && sender == &t;
    };
    t.Start();
    t.WaitFor();  // on the GUI thread: runs the pending notification meanwhile
    EXPECT_EQ(notifiedOn, dispatcher.MainThreadId());
    EXPECT_TRUE(bodyDoneFirst);
}

TEST_F(TThreadTest, ABodyThatRaisesStillEndsWithTheNotification) {
    std::atomic<bool> notified{false};
    Probe t([] { throw std::runtime_error("boom"); });
    t.OnTerminate = [&](TThread*) { notified = true; };
    t.Start();
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return notified.load(); }));
    t.WaitFor();
}

TEST_F(TThreadTest, FreeOnTerminateDeletesTheObjectAfterItsNotification) {
    std::atomic<bool> destroyed{false};
    std::atomic<bool> destroyedBeforeNotification{true};
    auto* t = new Probe([] {}, &destroyed);
    t->FreeOnTerminate = true;
    t->OnTerminate = [&](TThread*) { destroyedBeforeNotification = destroyed.load(); };
    t->Start();
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return destroyed.load(); }));
    EXPECT_FALSE(destroyedBeforeNotification);
}

// A FreeOnTerminate thread with an empty body may end before Start has returned.
TEST_F(TThreadTest, FreeOnTerminateSurvivesABodyThatEndsAtOnce) {
    SetMainThreadDispatcher(nullptr);
    for (int i = 0; i < 200; ++i) {
        std::atomic<bool> destroyed{false};
        auto* t = new Probe([] {}, &destroyed);
        t->FreeOnTerminate = true;
        t->Start();
        while (!destroyed)
            std::this_thread::yield();
    }
}

TEST_F(TThreadTest, SynchronizeRunsTheStepOnTheGuiThreadAndWaitsForIt) {
    std::thread::id stepThread;
    std::atomic<bool> afterStep{false};
    bool stepRanBeforeReturn = false;
    Probe t([&] {
        int value = 0;
        TThread::Synchronize([&] {
            stepThread = std::this_thread::get_id();
            value = 42;
        });
        stepRanBeforeReturn = value == 42;
        afterStep = true;
    });
    t.Start();
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return afterStep.load(); }));
    t.WaitFor();
    EXPECT_EQ(stepThread, dispatcher.MainThreadId());
    EXPECT_TRUE(stepRanBeforeReturn);
}

TEST_F(TThreadTest, SynchronizeOnTheGuiThreadRunsDirectly) {
    bool ran = false;
    TThread::Synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_EQ(dispatcher.StepThreads().size(), 0u) << "the dispatcher is not involved";
}

TEST_F(TThreadTest, WithoutADispatcherStepsRunOnTheCallingThread) {
    SetMainThreadDispatcher(nullptr);
    std::thread::id stepThread, notifiedOn;
    Probe t([&] { TThread::Synchronize([&] { stepThread = std::this_thread::get_id(); }); });
    t.OnTerminate = [&](TThread*) { notifiedOn = std::this_thread::get_id(); };
    t.Start();
    t.WaitFor();
    EXPECT_EQ(stepThread, t.executeThread);
    EXPECT_EQ(notifiedOn, t.executeThread);
}

TEST_F(TThreadTest, AStepsErrorComesBackToTheWorker) {
    std::atomic<bool> caught{false};
    Probe t([&] {
        try {
            TThread::Synchronize([] { throw CloudError("step failed"); });
        } catch (const CloudError&) {
            caught = true;
        }
    });
    t.Start();
    t.WaitFor();
    EXPECT_TRUE(caught);
}

TEST_F(TThreadTest, TerminateIsARequestTheBodyReads) {
    std::atomic<bool> sawRequest{false};
    std::atomic<bool> started{false};
    Probe t([&] {
        started = true;
        while (!t.Terminated())
            TThread::Sleep(1);
        sawRequest = true;
    });
    t.Start();
    while (!started)
        std::this_thread::yield();
    t.Terminate();
    t.WaitFor();
    EXPECT_TRUE(sawRequest);
}

} // namespace
} // namespace ct::test
