#include "batch/BatchLateLines.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <thread>

#include "platform/fs/FileSystem.h"
#include "platform/fs/ProducerSupport.h"
#include "support/TestSupport.h"

namespace ct {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ChildProcess;
using test::ProducerArgs;
using test::ReadFileBytes;
using test::WaitUntil;
using test::WriteFileBytes;

// Drops line 1, like the worker after a finished job.
RewritePlan DropFirstLine(const std::optional<std::string>& current) {
    if (!current)
        throw std::runtime_error("no file");
    auto end = current->find('\n');
    return RewritePlan::Replace(end == std::string::npos ? std::string() : current->substr(end + 1));
}

void AppendRaw(const fs::path& file, const std::string& bytes) {
    int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

class GuardedRewrite : public ::testing::Test {
protected:
    test::TempDir dir{"ct-rewrite"};
    fs::path file = dir / "queue.txt";
    fs::path trigger = dir / "go";

    std::vector<std::string> TempFiles() {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.Path()))
            if (IsRewriteTempFor(file, e.path()))
                names.push_back(e.path().filename().string());
        return names;
    }
};

// The trap: a producer opens the old file just before the replace and writes to it after the
// rewrite has looked at the old file's tail. Its line must reach the new file.
TEST_F(GuardedRewrite, AProducerThatOpenedTheOldFileBeforeTheReplaceKeepsItsLine) {
    WriteFileBytes(file, "A\r\nB\r\n");
    const ino_t oldInode = test::InodeOf(file);
    ChildProcess producer(ProducerArgs({"hold", file.string(), trigger.string(), "LATE"}));
    ASSERT_EQ(producer.ReadLine(60s), "open");

    RewriteReport report;
    std::thread rewriter([&] { report = RewriteFileGuarded(file, DropFirstLine); });
    // The new file is in place while the producer still holds the old one open ...
    const bool replaced = WaitUntil([&] { return test::InodeOf(file) != oldInode && test::InodeOf(file) != 0; });
    // ... and only now does it write.
    WriteFileBytes(trigger, "");
    rewriter.join();
    ASSERT_TRUE(replaced);
    EXPECT_EQ(producer.ReadLine(60s), "done");
    const SettleReport settled = SettleLateWriters(file);
    EXPECT_EQ(ReadFileBytes(file), "B\r\nLATE\r\n");
    EXPECT_TRUE(settled.leaseConfirmed);
    EXPECT_EQ(settled.carriedBytes, 6u);
}

TEST_F(GuardedRewrite, AProducerOpeningDuringTheRewriteWaitsAndItsLineIsCarriedOver) {
    WriteFileBytes(file, "A\r\nB\r\n");
    const ino_t oldInode = test::InodeOf(file);
    std::optional<ChildProcess> producer;
    bool sawWaitingProducer = false;
    RewriteReport report = RewriteFileGuarded(file, [&](const std::optional<std::string>& current) {
        // The rewrite holds its lease now: the producer's open() has to wait for it.
        producer.emplace(ProducerArgs({"append", file.string(), "1", "x"}));
        sawWaitingProducer = WaitUntil([&] { return test::ProcLocksShow(oldInode, {"LEASE", "BREAKING"}); });
        return DropFirstLine(current);
    });
    ASSERT_TRUE(sawWaitingProducer);
    EXPECT_TRUE(report.changed);
    EXPECT_EQ(producer->ReadLine(60s), "done");
    const SettleReport settled = SettleLateWriters(file);
    EXPECT_EQ(ReadFileBytes(file), "B\r\nPx-000000\r\n");
    EXPECT_TRUE(settled.leaseConfirmed);
}

TEST_F(GuardedRewrite, DeletingTheFileCarriesLateLinesIntoANewOne) {
    WriteFileBytes(file, "\r\n");
    ChildProcess producer(ProducerArgs({"hold", file.string(), trigger.string(), "NEW"}));
    ASSERT_EQ(producer.ReadLine(60s), "open");
    RewriteReport report;
    std::thread rewriter(
        [&] { report = RewriteFileGuarded(file, [](const auto&) { return RewritePlan::Delete(); }); });
    const bool deleted = WaitUntil([&] { return !fs::exists(file); });
    WriteFileBytes(trigger, "");
    rewriter.join();
    ASSERT_TRUE(deleted);
    EXPECT_TRUE(report.changed);
    EXPECT_EQ(producer.ReadLine(60s), "done");
    SettleLateWriters(file);
    EXPECT_EQ(ReadFileBytes(file), "NEW\r\n");
}

TEST_F(GuardedRewrite, WithoutLeasesBytesAddedBeforeTheReplaceAreStillCarried) {
    WriteFileBytes(file, "A\r\nB\r\n");
    RewriteOptions noLeases;
    noLeases.useLeases = false;
    noLeases.fallbackWatch = std::chrono::milliseconds(50);
    RewriteReport report = RewriteFileGuarded(
        file,
        [&](const std::optional<std::string>& current) {
            AppendRaw(file, "MID"); // a producer between the read and the replace, no line end yet
            return DropFirstLine(current);
        },
        noLeases);
    EXPECT_TRUE(report.changed);
    const SettleReport settled = SettleLateWriters(file);
    EXPECT_EQ(settled.carriedBytes, 3u);
    // Its writer may still finish the line: it stays the unterminated last line.
    EXPECT_EQ(ReadFileBytes(file), "B\r\nMID");
}

TEST_F(GuardedRewrite, AFileCreatedWhileTheRewritePlannedIsNotReplaced) {
    int calls = 0;
    RewriteFileGuarded(file, [&](const std::optional<std::string>& current) {
        ++calls;
        if (!current) {
            AppendRaw(file, "P\r\n"); // a producer creates the queue meanwhile
            return RewritePlan::Replace("N\r\n");
        }
        return RewritePlan::Replace(*current + "N\r\n");
    });
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(ReadFileBytes(file), "P\r\nN\r\n");
}

TEST_F(GuardedRewrite, APlannerThatThrowsChangesNothingAndReleasesTheLock) {
    WriteFileBytes(file, "A\r\n");
    EXPECT_THROW(RewriteFileGuarded(file, [](const auto&) -> RewritePlan { throw std::runtime_error("no"); }),
                 std::runtime_error);
    EXPECT_EQ(ReadFileBytes(file), "A\r\n");
    RewriteFileGuarded(file, DropFirstLine); // would hang on a lock left behind
    EXPECT_EQ(ReadFileBytes(file), "");
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(GuardedRewrite, KeepLeavesTheFileUntouched) {
    WriteFileBytes(file, "A\n");
    const ino_t inode = test::InodeOf(file);
    RewriteReport report = RewriteFileGuarded(file, [](const auto&) { return RewritePlan::Keep(); });
    EXPECT_FALSE(report.changed);
    EXPECT_EQ(test::InodeOf(file), inode);
}

TEST_F(GuardedRewrite, RewritersWaitForACooperatingProducersLock) {
    WriteFileBytes(file, "A\r\n");
    ChildProcess producer(ProducerArgs({"flock", LockFilePathFor(file).string(), trigger.string(), file.string(), "P"}));
    ASSERT_EQ(producer.ReadLine(60s), "locked");
    std::atomic<bool> rewritten{false};
    std::thread rewriter([&] {
        RewriteFileGuarded(file, [](const std::optional<std::string>& current) {
            return RewritePlan::Replace(current.value_or("") + "R\r\n");
        });
        rewritten = true;
    });
    std::this_thread::sleep_for(300ms);
    const bool waited = !rewritten && ReadFileBytes(file) == "A\r\n";
    WriteFileBytes(trigger, "");
    rewriter.join();
    EXPECT_TRUE(waited);
    EXPECT_EQ(ReadFileBytes(file), "A\r\nP\r\nR\r\n");
}

// A replaced version that nobody writes to any more becomes the next temporary file; a reader
// in this process that still holds it open must not see it overwritten under its feet.
TEST_F(GuardedRewrite, AReaderHoldingAVersionReadsItWholeWhileTheFileMovesOn) {
    std::string original;
    for (int i = 0; i < 2000; ++i)
        original += "line " + std::to_string(i) + "\r\n";
    WriteFileBytes(file, original);
    std::optional<ReadOnlyFile> held;
    {
        RewriteReaderGuard reading;
        held = ReadOnlyFile::Open(file);
        for (int i = 0; i < 3; ++i)
            RewriteFileGuarded(file, DropFirstLine);
        EXPECT_EQ(held->ReadFrom(0), original);
    }
    // Once nobody reads, the versions are reused again, and the file is right all along.
    for (int i = 0; i < 3; ++i)
        RewriteFileGuarded(file, DropFirstLine);
    EXPECT_EQ(ReadFileBytes(file), original.substr(original.find("line 6\r\n")));
}

TEST_F(GuardedRewrite, ThreadsOfOneProcessExcludeEachOther) {
    WriteFileBytes(file, "");
    auto addOne = [&](const std::string& tag) {
        for (int i = 0; i < 50; ++i)
            RewriteFileGuarded(file, [&](const std::optional<std::string>& current) {
                return RewritePlan::Replace(current.value_or("") + tag + "\r\n");
            });
    };
    std::thread a(addOne, "a"), b(addOne, "b");
    a.join();
    b.join();
    const std::string bytes = ReadFileBytes(file);
    EXPECT_EQ(bytes.size(), 300u); // 100 lines of 3 bytes: no read-modify-write was lost
}

} // namespace
} // namespace ct
