#include "batch/BatchFileStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <set>
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

} // namespace
} // namespace ct
