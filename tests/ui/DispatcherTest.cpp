#include "platform/qt/QtMainThreadDispatcher.h"

#include <atomic>
#include <stdexcept>
#include <thread>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

#include <gtest/gtest.h>

#include "UiTestSupport.h"

namespace ct::test {
namespace {

TEST(QtDispatcher, StepsFromAnotherThreadRunOnTheGuiThreadAndWait) {
    IMainThreadDispatcher* dispatcher = MainThreadDispatcher();
    ASSERT_NE(dispatcher, nullptr);
    EXPECT_TRUE(dispatcher->IsMainThread());
    QThread* gui = QThread::currentThread();
    std::atomic<int> ran{0};
    std::atomic<bool> onGui{true};
    std::atomic<bool> sawMainThread{true};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        sawMainThread = dispatcher->IsMainThread();
        for (int i = 0; i < 50; ++i) {
            const int before = ran.load();
            dispatcher->RunAndWait([&] {
                onGui = onGui && QThread::currentThread() == gui;
                ++ran;
            });
            // RunAndWait returns only after the step has run.
            if (ran.load() != before + 1)
                onGui = false;
        }
        done = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_FALSE(sawMainThread.load());
    EXPECT_EQ(ran.load(), 50);
    EXPECT_TRUE(onGui.load());
}

TEST(QtDispatcher, AnErrorOfTheStepReachesTheWaitingThread) {
    IMainThreadDispatcher* dispatcher = MainThreadDispatcher();
    std::atomic<bool> caught{false};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        try {
            dispatcher->RunAndWait([] { throw std::runtime_error("step failed"); });
        } catch (const std::runtime_error& error) {
            caught = std::string(error.what()) == "step failed";
        }
        done = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_TRUE(caught.load());
}

TEST(QtDispatcher, OnTheGuiThreadAStepRunsAtOnce) {
    int ran = 0;
    MainThreadDispatcher()->RunAndWait([&] { ++ran; });
    EXPECT_EQ(ran, 1);
    EXPECT_THROW(MainThreadDispatcher()->RunAndWait([] { throw std::logic_error("x"); }), std::logic_error);
}

TEST(QtDispatcher, PostedStepsRunLaterInOrder) {
    std::vector<int> order;
    std::thread poster([&] {
        for (int i = 0; i < 5; ++i)
            MainThreadDispatcher()->Post([&order, i] { order.push_back(i); });
        MainThreadDispatcher()->Post([] { throw std::runtime_error("nobody listens"); });
    });
    poster.join();
    EXPECT_TRUE(order.empty());
    MainThreadDispatcher()->ProcessPendingSteps();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(QtDispatcher, WaitForOnTheGuiThreadServesTheThreadsSteps) {
    // A thread that needs the GUI thread for its steps and its end notification can be
    // waited for on the GUI thread without a deadlock.
    struct Worker : TThread {
        int steps = 0;
        void Execute() override {
            for (int i = 0; i < 10; ++i)
                Synchronize([this] { ++steps; });
        }
    } worker;
    bool ended = false;
    worker.OnTerminate = [&](TThread*) { ended = true; };
    worker.Start();
    worker.WaitFor();
    EXPECT_EQ(worker.steps, 10);
    EXPECT_TRUE(ended);
}

} // namespace
} // namespace ct::test
