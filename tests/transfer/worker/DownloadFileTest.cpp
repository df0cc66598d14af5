#include "platform/fs/TempFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "support/FileFaults.h"
#include "support/RecordingFtpClient.h"
#include "WorkerTestSupport.h"
#include "platform/error/CloudError.h"
#include "platform/fs/SafeFile.h"
#include "transfer/PartialDownloads.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;

unsigned ModeOf(const fs::path& file) {
    struct stat st{};
    EXPECT_EQ(::lstat(file.c_str(), &st), 0) << file;
    return st.st_mode & 07777;
}

class TempFileTest : public ::testing::Test {
protected:
    TempDir dir{"ct-tempfile"};
    fs::path target = dir / "x.bin";
};

TEST_F(TempFileTest, TakesTheTargetsModeOrWhatANewFileWouldGet) {
    const mode_t old = ::umask(022);
    {
        TempFile fresh = TempFile::CreateFor(target);
        EXPECT_EQ(ModeOf(fresh.Path()), 0644u);
        WriteFileBytes(target, "old");
        ::chmod(target.c_str(), 0640);
        TempFile kept = TempFile::CreateFor(target);
        EXPECT_EQ(ModeOf(kept.Path()), 0640u);
        EXPECT_NE(kept.Path(), fresh.Path());
        EXPECT_EQ(kept.Path().parent_path(), target.parent_path());
        EXPECT_TRUE(IsTempFileName(kept.Path()));
        WriteFileBytes(kept.Path(), "new");
        kept.CommitTo(target);
        EXPECT_EQ(ReadFileBytes(target), "new");
        EXPECT_EQ(ModeOf(target), 0640u);
    }
    ::umask(old);
    EXPECT_EQ(FilesContaining(dir.Path(), ".part-"), std::vector<std::string>{}) << "the uncommitted one went";
}

// The old name, "<f>.part-<pid>", could be planted in advance as a link to any file the user
// may write; the download then overwrote the link's target.
TEST_F(TempFileTest, NeverWritesThroughALinkPlantedAtItsName) {
    const fs::path victim = dir / "victim";
    WriteFileBytes(victim, "precious");
    int names = 0;
    TempFile part = TempFile::CreateFor(target, [&](const fs::path& name) {
        if (names++ == 0)
            fs::create_symlink(victim, name);  // the name is known the moment it is chosen
    });
    EXPECT_EQ(names, 2) << "the planted name is passed over";
    EXPECT_FALSE(fs::is_symlink(part.Path()));
    WriteFileBytes(part.Path(), "download");
    part.CommitTo(target);
    EXPECT_EQ(ReadFileBytes(victim), "precious");
    EXPECT_EQ(ReadFileBytes(target), "download");
}

TEST_F(TempFileTest, RefusesToInstallAFileSwappedInWhileItWasWritten) {
    WriteFileBytes(target, "old");
    TempFile part = TempFile::CreateFor(target);
    WriteFileBytes(dir / "other", "swapped");
    fs::rename(dir / "other", part.Path());
    EXPECT_THROW(part.CommitTo(target), CloudError);
    EXPECT_EQ(ReadFileBytes(target), "old");
    EXPECT_EQ(ReadFileBytes(part.Path()), "swapped") << "a file that is not ours is not removed either";
}

// Without a sync before the rename, a power cut can keep the rename and lose the data.
TEST_F(TempFileTest, CommitSyncsTheDownloadBeforeItsRenameAndTheFolderAfter) {
    WriteFileBytes(target, "old");
    TempFile part = TempFile::CreateFor(target);
    WriteFileBytes(part.Path(), "download");
    const fs::path partPath = part.Path();
    FileFaults faults;
    part.CommitTo(target);
    const auto trace = faults.Trace();
    ASSERT_EQ(trace.size(), 3u) << faults.TraceText();
    EXPECT_EQ(trace[0].step, FileStep::Sync);
    EXPECT_EQ(trace[0].file, partPath);
    EXPECT_EQ(trace[1].step, FileStep::Rename);
    EXPECT_EQ(trace[1].file, target);
    EXPECT_EQ(trace[2].step, FileStep::SyncFolder);
    EXPECT_EQ(trace[2].file, dir.Path());
}

struct CommitFault {
    const char* name;
    FileStep step;
    int error;
};

class TempFileCommitFaultTest : public TempFileTest, public ::testing::WithParamInterface<CommitFault> {};

TEST_P(TempFileCommitFaultTest, LeavesTheOldFileInPlaceNoPartAndSaysWhy) {
    WriteFileBytes(target, "old");
    TempFile part = TempFile::CreateFor(target);
    WriteFileBytes(part.Path(), "download");
    FileFaults faults;
    faults.Fail(GetParam().step, 1, GetParam().error);
    try {
        part.CommitTo(target);
        FAIL() << "committed";
    } catch (const SafeFileError& e) {
        const std::string why = e.what();
        EXPECT_NE(why.find("cannot put the downloaded file in place as " + target.string()), std::string::npos) << why;
        EXPECT_NE(why.find(std::strerror(GetParam().error)), std::string::npos) << why;
    }
    EXPECT_EQ(ReadFileBytes(target), "old");
    EXPECT_EQ(FilesContaining(dir.Path(), ".part-"), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Faults, TempFileCommitFaultTest,
                         ::testing::Values(CommitFault{"FullDiskOnSync", FileStep::Sync, ENOSPC},
                                           CommitFault{"DeviceErrorOnSync", FileStep::Sync, EIO},
                                           CommitFault{"DeviceErrorOnRename", FileStep::Rename, EIO}),
                         [](const auto& info) { return std::string(info.param.name); });

class DownloadJournal : public WorkerTest {
protected:
    std::unique_ptr<TThreadCopia> MakeFakeWorker() {
        auto worker = MakeWorker();
        worker->ClientFactory = [state = state] { return std::make_unique<RecordingFtpClient>(state); };
        return worker;
    }
    fs::path journal = dir / "cloud_transfer.parts";
    std::shared_ptr<RecordingFtpServer> state = std::make_shared<RecordingFtpServer>();
};

TEST_F(DownloadJournal, NamesTheTemporaryFileWhileItExistsAndTheFileKeepsItsMode) {
    state->files["/r.bin"] = "remote";
    const fs::path local = dir / "got" / "r.bin";
    fs::create_directories(local.parent_path());
    WriteFileBytes(local, "old");
    ::chmod(local.c_str(), 0600);
    JobSpec job;
    job.v = "get";
    job.f = local.string();
    job.d = "\\r.bin";
    WriteLines(batch, {JobLineText(job)});
    std::vector<std::string> listed;
    state->duringTransfer = [&] {
        listed = ReadLines(journal);
        ASSERT_EQ(listed.size(), 1u);
        EXPECT_TRUE(fs::exists(listed[0]));
        EXPECT_EQ(fs::path(listed[0]).parent_path(), local.parent_path());
        EXPECT_EQ(ModeOf(journal), 0600u);
    };
    MakeFakeWorker()->Execute();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(ReadFileBytes(local), "remote");
    EXPECT_EQ(ModeOf(local), 0600u);
    EXPECT_FALSE(fs::exists(journal));
    EXPECT_TRUE(FilesContaining(local.parent_path(), ".part-").empty());
}

TEST_F(DownloadJournal, TheNextRunRemovesWhatAKilledRunLeftAndNothingElse) {
    const fs::path leftover = dir / "x.bin.part-0123456789abcdef";
    const fs::path keep = dir / "keep.txt";
    const fs::path lookalike = dir / "x.bin.part-12345";
    for (const auto& file : {leftover, keep, lookalike})
        WriteFileBytes(file, "data");
    WriteLines(journal, {leftover.string(), (dir / "gone.part-fedcba9876543210").string(), keep.string(),
                         lookalike.string()});
    WriteFileBytes(batch, "");
    MakeFakeWorker()->Execute();
    EXPECT_FALSE(fs::exists(leftover));
    EXPECT_TRUE(fs::exists(keep));
    EXPECT_TRUE(fs::exists(lookalike));
    EXPECT_FALSE(fs::exists(journal));
}

} // namespace
} // namespace ct::test
