#include "platform/watch/QueueWatcher.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Result = QueueWatcher::WaitResult;

// Generous: a native watch wakes within milliseconds, the fallback look within two seconds.
constexpr auto kNativeBound = 2s;
constexpr auto kFallbackBound = 8s;

void Append(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::app) << bytes;
}

// Runs `step` on another thread a moment after the caller has begun to wait.
Result WaitAcross(QueueWatcher& watcher, const std::function<void()>& step,
                  std::chrono::milliseconds bound = kNativeBound) {
    auto other = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(100ms);
        step();
    });
    const Result result = watcher.Wait(bound);
    other.get();
    return result;
}

struct Change {
    const char* name;
    bool presentAtStart;
    // Each step must wake the watcher on its own.
    std::vector<std::function<void(const fs::path& queue)>> steps;
};

class QueueWatcherChangeTest : public ::testing::TestWithParam<Change> {};

// After each way the file can change or be replaced, an append by name still wakes the
// watcher: it follows the name, not the inode it first saw.
TEST_P(QueueWatcherChangeTest, WakesForEachStepAndStillFollowsTheName) {
    TempDir dir("ct-watch");
    const fs::path queue = dir / "cloud_batch.txt";
    if (GetParam().presentAtStart)
        WriteFileBytes(queue, "{\"a\":1}\r\n");
    QueueWatcher watcher(queue);
    ASSERT_TRUE(watcher.IsNative());
    for (const auto& step : GetParam().steps)
        ASSERT_EQ(WaitAcross(watcher, [&] { step(queue); }), Result::Changed);
    ASSERT_EQ(WaitAcross(watcher, [&] { Append(queue, "{\"b\":2}\r\n"); }), Result::Changed);
}

const Change kChanges[] = {
    {"Append", true, {[](const fs::path& q) { Append(q, "{\"c\":3}\r\n"); }}},
    {"ReplacedByRename", true,
     {[](const fs::path& q) {
         WriteFileBytes(q.parent_path() / "cloud_batch.txt.rewrite-1.tmp", "{\"n\":1}\r\n");
         fs::rename(q.parent_path() / "cloud_batch.txt.rewrite-1.tmp", q);
     }}},
    {"Truncated", true, {[](const fs::path& q) { fs::resize_file(q, 0); }}},
    {"DeletedThenRecreated", true,
     {[](const fs::path& q) { fs::remove(q); }, [](const fs::path& q) { WriteFileBytes(q, "x\r\n"); }}},
    {"MovedAwayThenBack", true,
     {[](const fs::path& q) { fs::rename(q, q.string() + ".old"); },
      [](const fs::path& q) { fs::rename(q.string() + ".old", q); }}},
    {"AbsentAtStart", false, {[](const fs::path& q) { WriteFileBytes(q, "x\r\n"); }}},
    {"ModeChanged", true,
     {[](const fs::path& q) { fs::permissions(q, fs::perms::owner_read | fs::perms::owner_write); }}},
};

INSTANTIATE_TEST_SUITE_P(Changes, QueueWatcherChangeTest, ::testing::ValuesIn(kChanges),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(QueueWatcherTest, ChangesToOtherFilesOfTheFolderDoNotWake) {
    TempDir dir("ct-watch");
    const fs::path queue = dir / "cloud_batch.txt";
    WriteFileBytes(queue, "x\r\n");
    QueueWatcher watcher(queue);
    WriteFileBytes(dir / "cloud_batch.txt.lock", "");
    Append(dir / "cloudtransfer.log", "line\n");
    WriteFileBytes(dir / "cloud_batch", "");
    fs::remove(dir / "cloud_batch");
    EXPECT_EQ(watcher.Wait(500ms), Result::TimedOut);
}

TEST(QueueWatcherTest, AChangeWhileNobodyWaitsIsKeptForTheNextWait) {
    TempDir dir("ct-watch");
    const fs::path queue = dir / "cloud_batch.txt";
    QueueWatcher watcher(queue);
    WriteFileBytes(queue, "x\r\n");
    EXPECT_EQ(watcher.Wait(0ms), Result::Changed);
}

// A producer that opened the queue before our rewrite replaced it appends to the old version;
// that must wake the worker too, so that the late line is carried over.
TEST(QueueWatcherTest, AnAppendToAReplacedVersionStillOpenWakes) {
    TempDir dir("ct-watch");
    const fs::path queue = dir / "cloud_batch.txt";
    WriteFileBytes(queue, "x\r\n");
    const int producer = ::open(queue.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(producer, 0);
    QueueWatcher watcher(queue);
    WriteFileBytes(dir / "next.tmp", "y\r\n");
    fs::rename(dir / "next.tmp", queue);
    ASSERT_EQ(watcher.Wait(kNativeBound), Result::Changed);
    while (watcher.Wait(100ms) == Result::Changed) {
    }
    const Result late = WaitAcross(watcher, [&] { ASSERT_EQ(::write(producer, "late\r\n", 6), 6); });
    ::close(producer);
    EXPECT_EQ(late, Result::Changed);
}

// The folder itself goes: the watch falls back to looking at the file, and takes the folder
// up again by its name once it is back.
TEST(QueueWatcherTest, FollowsTheFolderThroughItsRemovalAndReturn) {
    TempDir dir("ct-watch");
    const fs::path folder = dir / "app";
    const fs::path queue = folder / "cloud_batch.txt";
    fs::create_directory(folder);
    WriteFileBytes(queue, "x\r\n");
    QueueWatcher watcher(queue);
    ASSERT_EQ(WaitAcross(watcher, [&] { fs::remove_all(folder); }), Result::Changed);
    // The file's deletion may wake it before the folder's own end is read.
    while (watcher.Wait(300ms) == Result::Changed) {
    }
    EXPECT_FALSE(watcher.IsNative());
    const Result back = WaitAcross(watcher, [&] {
        fs::create_directory(folder);
        WriteFileBytes(queue, "y\r\n");
    }, kFallbackBound);
    ASSERT_EQ(back, Result::Changed);
    EXPECT_TRUE(watcher.IsNative());
    EXPECT_EQ(WaitAcross(watcher, [&] { Append(queue, "z\r\n"); }), Result::Changed);
}

TEST(QueueWatcherTest, StopFromAnotherThreadWakesTheWaiterForGood) {
    TempDir dir("ct-watch");
    QueueWatcher watcher(dir / "cloud_batch.txt");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitAcross(watcher, [&] { watcher.Stop(); }, 60s), Result::Stopped);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    WriteFileBytes(dir / "cloud_batch.txt", "x\r\n");
    EXPECT_EQ(watcher.Wait(60s), Result::Stopped);
}

double ThreadCpuSeconds() {
    timespec time{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

// A watch that spins or polls fast shows here; a blocked one uses next to nothing.
TEST(QueueWatcherTest, AnIdleWaitUsesNoCpuToSpeakOf) {
    TempDir dir("ct-watch");
    QueueWatcher watcher(dir / "cloud_batch.txt");
    const double before = ThreadCpuSeconds();
    EXPECT_EQ(watcher.Wait(1500ms), Result::TimedOut);
    EXPECT_LT(ThreadCpuSeconds() - before, 0.05);
}

} // namespace
} // namespace ct::test
