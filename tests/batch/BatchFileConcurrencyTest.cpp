#include "batch/BatchFileStore.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "platform/fs/FileSystem.h"
#include "platform/fs/GuardedRewrite.h"
#include "platform/fs/ProducerSupport.h"
#include "support/TestSupport.h"

namespace ct {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ChildProcess;
using test::ProducerArgs;
using test::ReadFileBytes;
using test::WriteFileBytes;

std::string SeedLine(int i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "S-%05d", i);
    return buf;
}

// Outside programs append thousands of lines (open, append, close, no lock) while the worker
// takes jobs off the head and requeues others, and the window saves its deletions from another
// thread. Every appended line must be there at the end, exactly once.
TEST(BatchFileUnderLoad, AppendsDuringRewritesAreNeitherLostNorDoubled) {
    test::TempDir dir{"ct-stress", /*onTmpfs=*/true};
    const fs::path file = dir / "cloud_batch.txt";
    constexpr int seeds = 300;
    constexpr int perProducer = 2500;
    std::vector<std::string> seedLines;
    for (int i = 0; i < seeds; ++i)
        seedLines.push_back(SeedLine(i));
    SaveBatchLines(file, seedLines);

    ChildProcess producerA(ProducerArgs({"append", file.string(), std::to_string(perProducer), "a", "0.5"}));
    ChildProcess producerB(ProducerArgs({"append", file.string(), std::to_string(perProducer), "b", "0.5"}));

    std::atomic<bool> producing{true};
    std::set<std::string> removedByWorker;
    long workerRewrites = 0;
    std::thread window([&] {
        // "Salva" of odd seeds, one by one, concurrently with the worker.
        for (int i = 1; i < seeds && producing.load(); i += 2)
            ApplyBatchDeletions(file, {SeedLine(i)});
    });
    while (producerA.Running() || producerB.Running()) {
        const std::string head = ReadFirstBatchLine(file);
        if (head.empty())
            continue;
        if (head[0] == 'S') {
            UpdateBatchFile(file, "", "", head); // job done: its own line goes
            removedByWorker.insert(head);
        } else {
            UpdateBatchFile(file, head, head); // job failed: requeued at the tail
        }
        ++workerRewrites;
    }
    producing = false;
    window.join();
    ASSERT_EQ(producerA.Wait(60s), 0);
    ASSERT_EQ(producerB.Wait(60s), 0);
    EXPECT_GT(workerRewrites, 0);
    RecordProperty("worker_rewrites", std::to_string(workerRewrites));
    std::printf("worker rewrites while producers ran: %ld, seeds removed by the worker: %zu\n", workerRewrites,
                removedByWorker.size());

    // A producer's last lines may have gone into a version the worker had just replaced; they
    // are carried by the next operation that settles, as the worker's end of run does. A plain
    // read on a loaded machine may come before that.
    SettleBatchFile(file);
    const BatchLines all = ReadAllBatchLines(file);
    std::map<std::string, int> seen;
    for (const auto& line : all.lines)
        ++seen[line];
    for (const char* tag : {"a", "b"}) {
        for (int n = 0; n < perProducer; ++n) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "P%s-%06d", tag, n);
            EXPECT_EQ(seen[buf], 1) << buf;
        }
    }
    for (const auto& [line, count] : seen) {
        ASSERT_TRUE((line.size() == 7 && line[0] == 'S') || (line.size() == 9 && line[0] == 'P'))
            << "torn or foreign line '" << line << "'";
        EXPECT_EQ(count, 1) << line;
        if (line[0] == 'S') {
            EXPECT_FALSE(removedByWorker.count(line)) << line << " came back";
        }
    }
}

// SIGKILL at random moments of a rewrite loop: the file is one whole version every time, and
// the temporary files a killed rewrite leaves are cleaned by the next rewrite.
TEST(BatchFileUnderLoad, KilledRewritesLeaveTheOldOrTheNewContent) {
    test::TempDir dir{"ct-kill"};
    const fs::path file = dir / "cloud_batch.txt";
    constexpr int lines = 20000;
    std::string versions[2];
    for (int v = 0; v < 2; ++v)
        for (int i = 0; i < lines; ++i)
            versions[v] += std::string(v == 0 ? "old-" : "new-") + std::to_string(i) +
                           std::string(80, v == 0 ? 'o' : 'n') + "\r\n";
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    int leftovers = 0;
    for (int round = 0; round < 25; ++round) {
        ChildProcess rewriter({CT_BATCH_REWRITER, file.string(), std::to_string(lines)});
        ASSERT_EQ(rewriter.ReadLine(60s), "ready");
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
        rewriter.Kill(SIGKILL);
        ASSERT_EQ(rewriter.Wait(60s), 128 + SIGKILL);
        const std::string bytes = ReadFileBytes(file);
        ASSERT_TRUE(bytes == versions[0] || bytes == versions[1])
            << "round " << round << ": " << bytes.size() << " bytes of neither version";
        for (const auto& e : fs::directory_iterator(dir.Path()))
            leftovers += IsRewriteTempFor(file, e.path()) ? 1 : 0;
    }
    RecordProperty("temporary_files_left_by_kills", leftovers);
    UpdateBatchFile(file, "", "");
    for (const auto& e : fs::directory_iterator(dir.Path()))
        EXPECT_FALSE(IsRewriteTempFor(file, e.path())) << e.path();
}

// Every line of the file, each counted; fails on a line end without its CR.
std::map<std::string, int> CountLines(const std::string& bytes) {
    std::map<std::string, int> seen;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t end = bytes.find("\r\n", at);
        if (end == std::string::npos) {
            ++seen["<unterminated> " + bytes.substr(at)];
            break;
        }
        ++seen[bytes.substr(at, end - at)];
        at = end + 2;
    }
    return seen;
}

std::vector<std::string> Leftovers(const fs::path& dir, const fs::path& file) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        if (IsLateLinkFor(file, e.path()) || IsRewriteTempFor(file, e.path()))
            names.push_back(e.path().filename().string());
    return names;
}

// A worker whose every job fails requeues line 1 at the tail, over and over, and is killed at
// random moments while a producer appends (open, append, close, no lock); each kill is followed
// by a fresh process, as after a crash. No line ever leaves the queue, so at the end it must
// hold every seed and every appended line exactly once: a line that reached a replaced version
// is on disk beside the queue until it is carried, and a carry is never made twice.
TEST(BatchFileUnderLoad, KillsAtRandomMomentsLoseAndDoubleNoAppendedLine) {
    test::TempDir dir{"ct-crash", /*onTmpfs=*/true};
    const fs::path file = dir / "cloud_batch.txt";
    constexpr int seeds = 200;
    constexpr int appended = 1500;
    std::vector<std::string> seedLines;
    for (int i = 0; i < seeds; ++i)
        seedLines.push_back(SeedLine(i));
    SaveBatchLines(file, seedLines);
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));

    ChildProcess producer(ProducerArgs({"append", file.string(), std::to_string(appended), "k", "1"}));
    int kills = 0;
    // At least 25 kills however slow the machine: the later ones, after the producer is done,
    // still cut rewrites that carry its lines.
    while (producer.Running() || kills < 25) {
        ChildProcess worker({CT_BATCH_REWRITER, file.string(), "requeue"});
        if (worker.ReadLine(60s) != "ready")
            break;
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
        worker.Kill(SIGKILL);
        worker.Wait(60s);
        ++kills;
    }
    ASSERT_EQ(producer.Wait(60s), 0);
    EXPECT_GT(kills, 20);
    RecordProperty("kills", kills);

    SettleBatchFile(file); // this process's first operation: the last kill's leftovers come in
    const auto seen = CountLines(ReadFileBytes(file));
    int lost = 0;
    int doubled = 0;
    for (int n = 0; n < appended; ++n) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "Pk-%06d", n);
        auto it = seen.find(buf);
        lost += it == seen.end() ? 1 : 0;
        doubled += it != seen.end() && it->second > 1 ? 1 : 0;
    }
    for (const auto& line : seedLines) {
        auto it = seen.find(line);
        lost += it == seen.end() ? 1 : 0;
        doubled += it != seen.end() && it->second > 1 ? 1 : 0;
    }
    std::printf("kills: %d, lines lost: %d, lines doubled: %d\n", kills, lost, doubled);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(doubled, 0);
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(seeds + appended)) << "torn or foreign lines";
    EXPECT_EQ(Leftovers(dir.Path(), file), std::vector<std::string>{});
}

class KilledRunLeftovers : public ::testing::Test {
protected:
    test::TempDir dir{"ct-leftover"};
    fs::path file = dir / "cloud_batch.txt";

    // A replaced version as a killed run leaves it: only its link beside the queue names it.
    std::uint64_t LeaveReplacedVersion(const std::string& bytes, std::int64_t carried) {
        const fs::path old = dir / "old";
        WriteFileBytes(old, bytes);
        const std::uint64_t inode = test::InodeOf(old);
        fs::rename(old, dir / ("cloud_batch.txt.late-" + std::to_string(inode) + "-" + std::to_string(carried)));
        return inode;
    }
};

TEST_F(KilledRunLeftovers, LateLinesOfAReplacedVersionComeInAtTheNextStart) {
    WriteFileBytes(file, "B\r\n");
    LeaveReplacedVersion("A\r\nB\r\nLATE1\r\nLATE2\r\n", 6);
    EXPECT_EQ(ReadFirstBatchLine(file), "B");
    EXPECT_EQ(ReadFileBytes(file), "B\r\nLATE1\r\nLATE2\r\n");
    EXPECT_TRUE(Leftovers(dir.Path(), file).empty());
}

TEST_F(KilledRunLeftovers, AReplacedVersionOfADeletedQueueBringsTheQueueBack) {
    LeaveReplacedVersion("\r\nJOB\r\n", 2);
    EXPECT_EQ(ReadFirstBatchLine(file), "JOB");
    EXPECT_EQ(ReadFileBytes(file), "JOB\r\n");
}

TEST_F(KilledRunLeftovers, ALinkToTheQueueItselfIsDroppedNotCarried) {
    // Killed between the link and the rename: nothing was replaced.
    WriteFileBytes(file, "A\r\nB\r\n");
    fs::create_hard_link(file, dir / ("cloud_batch.txt.late-" + std::to_string(test::InodeOf(file)) + "-3"));
    UpdateBatchFile(file, "", "", "A");
    SettleBatchFile(file);
    EXPECT_EQ(ReadFileBytes(file), "B\r\n");
    EXPECT_TRUE(Leftovers(dir.Path(), file).empty());
}

TEST_F(KilledRunLeftovers, ACarryInterruptedAfterItsRenameIsNotMadeAgain) {
    // The kill came after the new version (with LATE in it) was in place.
    WriteFileBytes(file, "B\r\nLATE\r\n");
    const fs::path old = dir / "old";
    WriteFileBytes(old, "A\r\nB\r\nLATE\r\n");
    const auto inode = test::InodeOf(old);
    fs::rename(old, dir / ("cloud_batch.txt.late-" + std::to_string(inode) + "-6-12-" +
                           std::to_string(test::InodeOf(file))));
    EXPECT_EQ(ReadFirstBatchLine(file), "B");
    EXPECT_EQ(ReadFileBytes(file), "B\r\nLATE\r\n");
    EXPECT_TRUE(Leftovers(dir.Path(), file).empty());
}

TEST_F(KilledRunLeftovers, ACarryInterruptedBeforeItsRenameIsMade) {
    // The kill came while the new version was still a temporary file.
    WriteFileBytes(file, "B\r\n");
    const fs::path temp = dir / "cloud_batch.txt.rewrite-999999-0.tmp";
    WriteFileBytes(temp, "B\r\nLATE\r\n");
    const fs::path old = dir / "old";
    WriteFileBytes(old, "A\r\nB\r\nLATE\r\n");
    const auto inode = test::InodeOf(old);
    fs::rename(old, dir / ("cloud_batch.txt.late-" + std::to_string(inode) + "-6-12-" +
                           std::to_string(test::InodeOf(temp))));
    EXPECT_EQ(ReadFirstBatchLine(file), "B");
    EXPECT_EQ(ReadFileBytes(file), "B\r\nLATE\r\n");
    EXPECT_TRUE(Leftovers(dir.Path(), file).empty());
}

// Seen in crash trials: a producer wrote a line in two pieces 0.8 s apart, a rewrite came in
// between, and the line became two broken ones that stopped every later run.
// A reader elsewhere (a user's `tail`, a monitoring script) that opened the queue before a few
// rewrites reads on in the version it opened: the store never overwrites a replaced version
// that someone still holds open, however it reuses replaced versions otherwise.
TEST(BatchFileUnderLoad, AReaderOfAnOlderVersionReadsItUnchanged) {
    test::TempDir dir{"ct-reader"};
    const fs::path file = dir / "cloud_batch.txt";
    std::string content;
    for (int i = 0; i < 2000; ++i)
        content += SeedLine(i) + std::string(150, 'x') + "\r\n";
    WriteFileBytes(file, content);
    // Some rewrites first, so that the store has replaced versions it could reuse.
    for (int i = 0; i < 4; ++i)
        UpdateBatchFile(file, "", "", ReadFirstBatchLine(file));
    const std::string opened = ReadFileBytes(file);
    const int reader = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    for (int i = 0; i < 6; ++i) {
        UpdateBatchFile(file, "", "", ReadFirstBatchLine(file));
        UpdateBatchFile(file, SeedLine(100 + i), SeedLine(100 + i) + "-moved");
    }
    std::string seen(opened.size() + 1, '\0');
    const ssize_t n = ::pread(reader, seen.data(), seen.size(), 0);
    ::close(reader);
    ASSERT_GE(n, 0);
    seen.resize(static_cast<std::size_t>(n));
    EXPECT_EQ(seen, opened);
}

TEST(BatchFileUnderLoad, ALineWrittenInTwoPiecesDuringARewriteStaysOneLine) {
    test::TempDir dir{"ct-pieces"};
    const fs::path file = dir / "cloud_batch.txt";
    const fs::path trigger = dir / "go";
    WriteFileBytes(file, "A\r\nB\r\n");
    ChildProcess producer(ProducerArgs({"pieces", file.string(), trigger.string(), "{\"f\":\"first half", " second half\"}"}));
    ASSERT_EQ(producer.ReadLine(60s), "first");
    UpdateBatchFile(file, "", "", "A"); // the producer still holds the file: its half line waits
    EXPECT_EQ(ReadFileBytes(file), "B\r\n");
    WriteFileBytes(trigger, "");
    ASSERT_EQ(producer.ReadLine(60s), "done");
    UpdateBatchFile(file, "", "", "B");
    SettleBatchFile(file);
    EXPECT_EQ(ReadFileBytes(file), "{\"f\":\"first half second half\"}\r\n");
}

} // namespace
} // namespace ct
