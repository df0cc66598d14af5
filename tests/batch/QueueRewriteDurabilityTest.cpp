#include "batch/BatchLateLines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/fs/SafeFile.h"
#include "support/FileFaults.h"
#include "support/TestSupport.h"

namespace ct {
namespace {

namespace fs = std::filesystem;
using test::FileFaults;
using test::NamesIn;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

class SafeFileTest : public ::testing::Test {
protected:
    TempDir dir{"ct-safefile"};
    fs::path file = dir / "f.txt";
};

// What reaches the disk, in order, when the queue is rewritten: a new version (synced before its
// rename, the folder after) or nothing at all (the folder synced, so that an emptied queue does
// not come back after a power cut and run its jobs again).
struct RewriteCase {
    const char* name;
    RewritePlan (*plan)();
    std::vector<FileStep> steps;
};

class QueueRewriteDurabilityTest : public SafeFileTest, public ::testing::WithParamInterface<RewriteCase> {};

TEST_P(QueueRewriteDurabilityTest, ReachesTheDiskInOrder) {
    WriteFileBytes(file, "a\nb\n");
    FileFaults faults;
    RewriteFileGuarded(file, [plan = GetParam().plan](const std::optional<std::string>&) { return plan(); });
    std::vector<FileStep> steps;
    for (const auto& e : faults.Trace())
        if (e.step != FileStep::Write)
            steps.push_back(e.step);
    EXPECT_EQ(steps, GetParam().steps) << faults.TraceText();
}

INSTANTIATE_TEST_SUITE_P(
    Plans, QueueRewriteDurabilityTest,
    ::testing::Values(RewriteCase{"Replace", [] { return RewritePlan::Replace("b\n"); },
                                  {FileStep::Sync, FileStep::Rename, FileStep::SyncFolder}},
                      RewriteCase{"Delete", [] { return RewritePlan::Delete(); }, {FileStep::SyncFolder}}),
    [](const auto& info) { return std::string(info.param.name); });

// The disk fills up (or fails) as the new version of the queue is written or synced: the queue
// keeps its old version, nothing is left beside it, and the error says why.
TEST_F(SafeFileTest, AQueueRewriteThatCannotReachTheDiskLeavesTheQueueAsItWas) {
    WriteFileBytes(file, "a\nb\n");
    for (const FileStep step : {FileStep::Write, FileStep::Sync}) {
        for (const int error : {ENOSPC, EIO}) {
            FileFaults faults;
            faults.Fail(step, 1, error);
            try {
                RewriteFileGuarded(file, [](const std::optional<std::string>&) { return RewritePlan::Replace("b\n"); });
                ADD_FAILURE() << "rewritten";
            } catch (const FileSystemError& e) {
                EXPECT_NE(std::string(e.what()).find(std::strerror(error)), std::string::npos) << e.what();
            }
            EXPECT_EQ(ReadFileBytes(file), "a\nb\n");
            EXPECT_EQ(NamesIn(dir.Path()), (std::vector<std::string>{"f.txt", "f.txt.lock"}));
        }
    }
}

} // namespace
} // namespace ct
