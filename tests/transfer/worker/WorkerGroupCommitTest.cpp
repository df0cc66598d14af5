#include "transfer/TThreadCopia.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/fs/GuardedRewrite.h"
#include "support/RecordingFtpClient.h"
#include "transfer/AppGlobals.h"
#include "WorkerTestSupport.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Runs whose queue rewrites are held back by the store's lock, taken by the test during a
// transfer: the outcomes of the jobs that end meanwhile are pending, as with a long queue.
class WorkerGroupCommit : public WorkerTest {
protected:
    std::unique_ptr<TThreadCopia> FakeWorker() {
        auto worker = MakeWorker();
        worker->ClientFactory = RecordingFactory(state);
        return worker;
    }
    std::string Job(const std::string& name, bool withFile = true) {
        JobSpec job;
        job.f = (dir / name).string();
        if (withFile)
            WriteFileBytes(dir / name, "data");
        job.d = "\\in\\" + name;
        return JobLineText(job);
    }
    int Puts(const std::string& name) {
        const auto log = state->Log();
        return static_cast<int>(std::count(log.begin(), log.end(), "PUT " + name));
    }
    // Takes the queue's lock at the first transfer and calls `at` with the transfer's number
    // at every one.
    void HoldRewritesFrom(std::function<void(int)> at) {
        state->duringTransfer = [this, at] {
            if (++transfers == 1)
                held.emplace(batch, std::chrono::milliseconds(1000));
            at(transfers);
        };
    }
    void ReleaseLater() {
        releaser = std::thread([this] {
            std::this_thread::sleep_for(100ms);
            held.reset();
        });
    }
    void TearDown() override {
        if (releaser.joinable())
            releaser.join();
        WorkerTest::TearDown();
    }

    std::shared_ptr<RecordingFtpServer> state = std::make_shared<RecordingFtpServer>();
    std::optional<RewriteLock> held;
    std::thread releaser;
    int transfers = 0;
};

// Two equal lines are two jobs, a failed job moved to the tail comes round once per failure,
// and no line whose outcome is pending is taken again from the head.
TEST_F(WorkerGroupCommit, NoJobRunsTwiceWhileItsOutcomeIsPending) {
    InteractiveMode = false;
    const std::string twice = Job("a.txt"), missing = Job("gone.txt", false);
    WriteLines(batch, {twice, twice, missing, Job("c.txt"), Job("d.txt")});
    HoldRewritesFrom([this](int n) {
        if (n == 3)
            held.reset();
    });
    auto worker = FakeWorker();
    worker->Execute();
    EXPECT_EQ(Puts("a.txt"), 2);
    EXPECT_EQ(Puts("c.txt"), 1);
    EXPECT_EQ(Puts("d.txt"), 1);
    std::vector<std::string> outcomes;
    for (const auto& record : LogRecords())
        if (record[3].find("gone.txt") != std::string::npos)
            outcomes.push_back(record[1]);
    EXPECT_EQ(outcomes, (std::vector<std::string>{"failed", "failed", "dropped"}));
    EXPECT_FALSE(fs::exists(batch));
    EXPECT_EQ(ReadLines(deadLetter).size(), 1u);
}

// A stop finds outcomes pending: the run ends once they are in the file.
TEST_F(WorkerGroupCommit, NothingIsPendingOnceAStoppedRunHasEnded) {
    InteractiveMode = false;
    const std::string a = Job("a.txt"), b = Job("b.txt"), c = Job("c.txt");
    WriteLines(batch, {a, b, c});
    auto worker = FakeWorker();
    HoldRewritesFrom([&](int n) {
        if (n == 2) {
            worker->RequestStop();
            ReleaseLater();
        }
    });
    worker->Execute();
    EXPECT_EQ(worker->HowRunEnded(), TThreadCopia::RunEnd::Stopped);
    EXPECT_EQ(ReadLines(batch), (std::vector<std::string>{b, c}));
}

// The window's view of a long queue follows a few times a second; each time the file holds
// the outcome of every job done so far.
TEST_F(WorkerGroupCommit, TheWindowReloadsOnlyOnceNothingIsPending) {
    std::vector<std::string> lines = {Job("a.txt"), Job("b.txt"), "not a job"};
    const std::string filler(200, 'x');
    while (lines.size() < 2000)
        lines.push_back(filler);
    WriteLines(batch, lines);
    HoldRewritesFrom([this](int n) {
        if (n == 1)
            ReleaseLater();
    });
    std::vector<std::size_t> seen;
    view.OnReload = [&](std::size_t) { seen.push_back(lines.size() - ReadLines(batch).size()); };
    auto worker = FakeWorker();
    EXPECT_THROW(worker->Execute(), CloudError);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0], 1u) << "the first job's line was still in the file";
}

} // namespace
} // namespace ct::test
