#include "ui/QueueModel.h"

#include <random>

#include <gtest/gtest.h>

#include "FakeQueueSource.h"
#include "UiTestSupport.h"
#include "batch/BatchFileStore.h"

namespace ct::test {
namespace {

std::string Job(int i) {
    return R"({"ftp":{"h":"a","u":"u","p":"pw","t":21},"v":"put","f":"/dati/f)" + std::to_string(i) + R"(.txt"})";
}

std::vector<std::string> Jobs(int from, int count) {
    std::vector<std::string> lines;
    for (int i = from; i < from + count; ++i)
        lines.push_back(Job(i));
    return lines;
}

// What a whole read would leave: one row per line, keyed from 1.
void ExpectRowsAre(const QueueModel& model, const std::vector<std::string>& lines) {
    ASSERT_EQ(model.rowCount(), static_cast<int>(lines.size()));
    for (int row = 0; row < model.rowCount(); ++row) {
        EXPECT_EQ(model.Line(row), lines[static_cast<std::size_t>(row)]) << "row " << row;
        EXPECT_EQ(model.Key(row), static_cast<std::uint32_t>(row + 1)) << "row " << row;
        EXPECT_EQ(model.data(model.index(row, 0)).toString(), QString::number(row + 1));
    }
}

class QueueModelOnAFakeFile : public testing::Test {
protected:
    FakeQueueSource& Use(std::vector<std::string> lines) {
        auto source = std::make_unique<FakeQueueSource>(std::move(lines));
        fake = source.get();
        model.SetSource(std::move(source));
        return *fake;
    }

    QueueModel model;
    FakeQueueSource* fake = nullptr;
};

TEST_F(QueueModelOnAFakeFile, FollowsRunsAndProducersWithoutReadingTheWholeFileAgain) {
    Use(Jobs(1, 5));
    EXPECT_EQ(model.Reload().kind, QueueModel::LoadKind::Full);
    ExpectRowsAre(model, fake->lines);

    fake->RemoveHead();                       // a job done
    auto result = model.Reload();
    EXPECT_TRUE(result.present);
    EXPECT_EQ(result.kind, QueueModel::LoadKind::Incremental);
    ExpectRowsAre(model, fake->lines);

    fake->MoveToTail(0, Job(2) + "x");        // a job failed: marked and moved to the tail
    fake->Append(Jobs(10, 3));                // a producer adds three jobs meanwhile
    EXPECT_EQ(model.Reload().kind, QueueModel::LoadKind::Incremental);
    ExpectRowsAre(model, fake->lines);

    fake->Append(Jobs(20, 1));                // appends alone
    EXPECT_EQ(model.Reload().kind, QueueModel::LoadKind::Incremental);
    fake->RemoveHead();                       // two rewrites before the next reload
    fake->Rewrite({1, 2, 4}, {});
    EXPECT_EQ(model.Reload().kind, QueueModel::LoadKind::Incremental);
    ExpectRowsAre(model, fake->lines);

    EXPECT_EQ(model.Reload().kind, QueueModel::LoadKind::Incremental);   // nothing changed
    ExpectRowsAre(model, fake->lines);
    EXPECT_EQ(fake->fullReads, 1);
}

TEST_F(QueueModelOnAFakeFile, ReadsTheWholeFileWhenItChangedOtherwise) {
    Use(Jobs(1, 4));
    model.Reload();

    fake->ForeignRewrite(Jobs(7, 2));   // another program rewrote it
    EXPECT_EQ(model.Reload().kind, QueueModel::LoadKind::Full);
    ExpectRowsAre(model, fake->lines);

    fake->Append(Jobs(30, 2));          // appended to the version the rows show ...
    fake->RemoveHead();                 // ... and then rewritten: no chain from the rows' version
    EXPECT_EQ(model.Reload().kind, QueueModel::LoadKind::Full);
    ExpectRowsAre(model, fake->lines);

    fake->Delete();
    auto result = model.Reload();
    EXPECT_FALSE(result.present);
    EXPECT_EQ(model.rowCount(), 0);

    fake->Append(Jobs(40, 1));          // a new file
    result = model.Reload();
    EXPECT_TRUE(result.present);
    ExpectRowsAre(model, fake->lines);
}

TEST_F(QueueModelOnAFakeFile, TheLastJobGoneLeavesTheEmptyFileToAWholeRead) {
    Use(Jobs(1, 1));
    model.Reload();
    fake->RemoveHead();
    // A whole read deletes a file that holds no line; the rows follow it.
    auto result = model.Reload();
    EXPECT_EQ(result.kind, QueueModel::LoadKind::Full);
    EXPECT_TRUE(result.present);
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_FALSE(fake->present);
}

TEST_F(QueueModelOnAFakeFile, AfterTheUsersDeletionsTheNextLoadIsWhole) {
    Use(Jobs(1, 4));
    model.Reload();
    model.RemoveRow(1);
    EXPECT_EQ(model.Key(1), 3u);   // keys are not renumbered
    EXPECT_EQ(model.LargestKey(), 4u);
    fake->Append(Jobs(9, 1));
    // The rows no longer mirror the file: the deleted line is back, as after any load.
    EXPECT_EQ(model.Reload().kind, QueueModel::LoadKind::Full);
    ExpectRowsAre(model, fake->lines);
}

TEST_F(QueueModelOnAFakeFile, ASourceThatCannotNameVersionsIsAlwaysReadWhole) {
    Use(Jobs(1, 3)).namesVersions = false;
    model.Reload();
    fake->RemoveHead();
    fake->Append(Jobs(5, 2));
    EXPECT_EQ(model.Reload().kind, QueueModel::LoadKind::Full);
    ExpectRowsAre(model, fake->lines);
    EXPECT_EQ(fake->fullReads, 2);
}

TEST_F(QueueModelOnAFakeFile, AnyMixOfChangesEndsAsAWholeReadWould) {
    // A fixed seed: every run covers the same mixes of appends, rewrites, user deletions,
    // other programs' rewrites and deletions, with reloads after one or several changes.
    std::mt19937 random(20240611);
    Use(Jobs(0, 20));
    model.Reload();
    int next = 100;
    int incremental = 0;
    for (int step = 0; step < 400; ++step) {
        const int what = static_cast<int>(random() % 100);
        if (what < 35) {
            fake->Append(Jobs(next, 1 + static_cast<int>(random() % 3)));
            next += 3;
        } else if (what < 65 && !fake->lines.empty()) {
            fake->RemoveHead();
        } else if (what < 80 && !fake->lines.empty()) {
            const std::size_t index = random() % fake->lines.size();
            fake->MoveToTail(index, fake->lines[index] + "#");
        } else if (what < 85 && model.rowCount() > 0) {
            model.RemoveRow(static_cast<int>(random() % static_cast<unsigned>(model.rowCount())));
            continue;   // the view differs from the file until the next load
        } else if (what < 90) {
            fake->ForeignRewrite(Jobs(next, static_cast<int>(random() % 5)));
            next += 5;
        } else if (what < 92) {
            fake->Delete();
        }
        if (random() % 3 == 0)
            continue;   // several changes before one reload
        const bool wasPresent = fake->present;
        const std::vector<std::string> expected = fake->lines;
        const auto result = model.Reload();
        if (result.kind == QueueModel::LoadKind::Incremental)
            ++incremental;
        EXPECT_EQ(result.present, wasPresent) << "step " << step;
        ExpectRowsAre(model, expected);
        if (testing::Test::HasFailure())
            FAIL() << "step " << step;
    }
    // Most reloads followed the changes instead of reading the whole file.
    EXPECT_GT(incremental, 100);
}

// The same against the batch file itself, through the store, whatever it can answer.
class QueueModelOnTheBatchFile : public testing::Test, public UiFixtureBase {};

TEST_F(QueueModelOnTheBatchFile, FollowsTheFileAsTheWorkerAndProducersChangeIt) {
    QueueModel model;
    model.SetSource(std::make_unique<BatchFileQueueSource>(Batch()));
    SaveBatchLines(Batch(), Jobs(1, 6));
    model.Reload();
    ExpectRowsAre(model, ReadAllBatchLines(Batch()).lines);

    const auto append = [&](const std::vector<std::string>& lines) {
        std::string bytes = ReadFileBytes(Batch());
        for (const auto& line : lines)
            bytes += line + "\r\n";
        WriteFileBytes(Batch(), bytes);
    };
    UpdateBatchFile(Batch(), "", "", Job(1));          // the worker finished job 1
    model.Reload();
    ExpectRowsAre(model, ReadAllBatchLines(Batch()).lines);

    UpdateBatchFile(Batch(), Job(2), Job(2) + "x");    // job 2 failed and went to the tail
    append(Jobs(50, 2));
    model.Reload();
    ExpectRowsAre(model, ReadAllBatchLines(Batch()).lines);

    for (int i = 3; i <= 6; ++i)
        UpdateBatchFile(Batch(), "", "", Job(i));
    model.Reload();
    ExpectRowsAre(model, ReadAllBatchLines(Batch()).lines);
    EXPECT_EQ(model.rowCount(), 3);
}

} // namespace
} // namespace ct::test
