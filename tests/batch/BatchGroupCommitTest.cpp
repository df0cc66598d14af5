#include "batch/BatchGroupCommit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace ct {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Group = std::vector<BatchOutcome>;

class GroupedOutcomes : public ::testing::Test {
protected:
    test::TempDir dir{"ct-group"};
    fs::path file = dir / "cloud_batch.txt";
};

// One rewrite records every outcome as its own rewrite would: equal lines are two jobs, a
// moved line goes to the tail after the lines kept, an unfinished last line stays last.
TEST_F(GroupedOutcomes, OneRewriteRecordsEachOutcomeAsItsOwnWould) {
    test::WriteFileBytes(file, "A\r\nA\r\nB\r\nC\r\nD\r\nhalf");
    const Group group = {{"A", ""}, {"B", "B!"}, {"A", ""}, {"D", ""}, {"gone", ""}};
    EXPECT_EQ(ApplyBatchOutcomes(file, group), 1u);
    EXPECT_EQ(test::ReadFileBytes(file), "C\r\nB!\r\nhalf");
}

// A writer the test holds: the group commit's rewrite runs only when the test lets it.
struct HeldWriter {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    int entered = 0;
    std::vector<Group> groups;
    BatchGroupCommit::Writer Writer() {
        return [this](const Group& group) {
            std::unique_lock<std::mutex> lock(mutex);
            ++entered;
            cv.notify_all();
            cv.wait(lock, [&] { return open; });
            groups.push_back(group);
            return std::size_t{0};
        };
    }
    void WaitEntered() {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return entered > 0; });
    }
    void Open() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            open = true;
        }
        cv.notify_all();
    }
};

// The outcomes that end while a rewrite runs are written together by the next, and the run
// is held once the file lags the bound of jobs behind.
TEST_F(GroupedOutcomes, JobsThatEndDuringARewriteGoTogetherAndTheLagIsBounded) {
    HeldWriter held;
    BatchGroupCommit commit(file, {3, std::chrono::hours(1)}, held.Writer());
    EXPECT_EQ(commit.Add({"1", ""}), 0u);
    held.WaitEntered();
    EXPECT_EQ(commit.Add({"2", ""}), 1u);
    std::atomic<bool> third{false};
    std::thread worker([&] {
        commit.Add({"3", ""});
        third = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(third) << "three outcomes behind the file: the worker waits";
    EXPECT_EQ(commit.PendingLines(), (std::vector<std::string>{"1", "2", "3"}));
    held.Open();
    worker.join();
    commit.Flush();
    EXPECT_TRUE(commit.PendingLines().empty());
    ASSERT_EQ(held.groups.size(), 2u);
    EXPECT_EQ(held.groups[0].size(), 1u) << "the first outcome is written at once";
    EXPECT_EQ(held.groups[1].size(), 2u) << "those that came during it, together";
}

TEST_F(GroupedOutcomes, AnOutcomeWaitsNoLongerThanTheAgeBound) {
    HeldWriter held;
    BatchGroupCommit commit(file, {100, 50ms}, held.Writer());
    commit.Add({"1", ""});
    std::this_thread::sleep_for(100ms);
    std::atomic<bool> added{false};
    std::thread worker([&] {
        commit.Add({"2", ""});
        added = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(added) << "older than the bound and still not written";
    held.Open();
    worker.join();
}

// A costly rewrite (a long queue's copy) is put off as long as the age bound allows, so that a
// run of fast jobs goes into the file in as few copies as the bounds permit.
TEST_F(GroupedOutcomes, ACostlyRewriteWaitsForTheOutcomesOfTheWholeAgeBound) {
    std::mutex mutex;
    std::vector<Group> groups;
    BatchGroupCommit commit(file, {100, 2s}, [&](const Group& group) {
        std::this_thread::sleep_for(50ms);
        std::lock_guard<std::mutex> lock(mutex);
        groups.push_back(group);
        return std::size_t{0};
    });
    commit.Add({"1", ""});   // nothing timed yet and no file to guess from: written at once
    commit.Flush();
    for (int i = 2; i <= 6; ++i) {
        std::this_thread::sleep_for(100ms);
        commit.Add({std::to_string(i), ""});
    }
    EXPECT_EQ(commit.PendingLines().size(), 5u) << "half a second into a two-second bound, nothing written yet";
    commit.Flush();
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[1].size(), 5u);
}

// Outcomes that come in a burst are gathered even where a rewrite costs next to nothing: a
// hundred jobs ending a millisecond apart cost a few rewrites of the file, not a hundred.
TEST_F(GroupedOutcomes, ABurstOfOutcomesIsGatheredEvenWhereARewriteIsCheap) {
    std::atomic<int> rewrites{0};
    std::atomic<std::size_t> written{0};
    BatchGroupCommit commit(file, {}, [&](const Group& group) {
        ++rewrites;
        written += group.size();
        return std::size_t{0};
    });
    for (int i = 0; i < 100; ++i) {
        commit.Add({std::to_string(i), ""});
        std::this_thread::sleep_for(1ms);
    }
    commit.Flush();
    EXPECT_EQ(written.load(), 100u);
    EXPECT_LT(rewrites.load(), 50);
}

// What is still pending when the committer goes is written; a failed rewrite is reported
// with the first outcome it left out, and nothing after it is written.
TEST_F(GroupedOutcomes, PendingOutcomesAreWrittenAtTheEndAndAFailureNamesTheFirstLeftOut) {
    test::WriteFileBytes(file, "A\r\nB\r\nC\r\n");
    {
        BatchGroupCommit commit(file);
        commit.Add({"A", ""});
        commit.Add({"B", ""});
    }
    EXPECT_EQ(test::ReadFileBytes(file), "C\r\n");

    BatchGroupCommit failing(file, {}, [](const Group&) -> std::size_t { throw BatchFileError("disk full"); });
    failing.Add({"C", ""});
    try {
        failing.Flush();
        ADD_FAILURE() << "the failure was not reported";
    } catch (const BatchGroupCommit::Failure& failure) {
        EXPECT_EQ(failure.firstUnwritten, 0u);
    }
    EXPECT_THROW(failing.Add({"D", ""}), BatchGroupCommit::Failure);
}

} // namespace
} // namespace ct
