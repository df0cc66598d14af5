// The store against hostile or unlucky surroundings: a lock held for ever, a FIFO where the
// queue should be, links planted at the names it writes, a folder that takes no file, a line of
// megabytes. Nothing may hang, leak or follow a link.
#include "batch/BatchFileStore.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/fs/GuardedRewrite.h"
#include "platform/fs/ProducerSupport.h"
#include "platform/json/SuperObject.h"
#include "support/TestClock.h"
#include "support/TestSupport.h"

namespace ct {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ChildProcess;
using test::ProducerArgs;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

unsigned ModeOf(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class StoreSafety : public ::testing::Test {
protected:
    TempDir dir{"ct-safety"};
    fs::path file = dir / "cloud_batch.txt";
    void TearDown() override {
        SetBatchFileLockWait(10s);
        SetBatchFileClock(SystemClock());
    }
};

// --- The lock ---

TEST_F(StoreSafety, ALockHeldForEverEndsTheOperationWithAClearError) {
    WriteFileBytes(file, "a\r\nb\r\n");
    ChildProcess holder(ProducerArgs({"holdlock", LockFilePathFor(file).string()}));
    ASSERT_EQ(holder.ReadLine(60s), "locked");
    SetBatchFileLockWait(300ms);
    const auto start = std::chrono::steady_clock::now();
    try {
        UpdateBatchFile(file, "", "", "a");
        ADD_FAILURE() << "the rewrite went ahead under a foreign lock";
    } catch (const BatchFileError& e) {
        EXPECT_NE(std::string(e.what()).find("the queue is locked by another process"), std::string::npos) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_THROW(CheckBatchFileWritable(file), BatchFileError);
    EXPECT_THROW(AppendDeadLetter(file, "x"), BatchFileError);
    EXPECT_EQ(ReadFileBytes(file), "a\r\nb\r\n");

    // The window's reads never wait for the lock, not even for a file they would delete.
    SetBatchFileLockWait(60s);
    const auto readStart = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadAllBatchLines(file).lines.size(), 2u);
    EXPECT_EQ(ReadBatchText(file).LineCount(), 2u);
    WriteFileBytes(file, "");
    EXPECT_TRUE(ReadAllBatchLines(file).present);
    EXPECT_LT(std::chrono::steady_clock::now() - readStart, 5s);
}

TEST_F(StoreSafety, TheLockFileIsOwnerOnlyAndNeverFollowedThroughALink) {
    WriteFileBytes(file, "a\r\nb\r\n");
    UpdateBatchFile(file, "", "");
    EXPECT_EQ(ModeOf(LockFilePathFor(file)), 0600u);

    TempDir other{"ct-safety-target"};
    const fs::path queue2 = other / "cloud_batch.txt";
    WriteFileBytes(queue2, "a\r\n");
    const fs::path target = dir / "elsewhere";
    fs::create_symlink(target, LockFilePathFor(queue2));
    EXPECT_THROW(UpdateBatchFile(queue2, "", ""), BatchFileError);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(ReadFileBytes(queue2), "a\r\n");
}

// --- What stands at the queue's name ---

TEST_F(StoreSafety, AFifoAsQueueIsRefusedAtOnceByEveryOperation) {
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    // Should an operation block on the FIFO, a writer comes along after a while and frees it;
    // the time taken shows it.
    std::atomic<bool> finished{false};
    std::thread rescue([&] {
        for (int i = 0; i < 100 && !finished; ++i)
            std::this_thread::sleep_for(50ms);
        if (!finished) {
            const int fd = ::open(file.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::pair<const char*, std::function<void()>>> operations = {
        {"ReadFirstBatchLine", [&] { ReadFirstBatchLine(file); }},
        {"UpdateBatchFile", [&] { UpdateBatchFile(file, "", ""); }},
        {"ReadAllBatchLines", [&] { ReadAllBatchLines(file); }},
        {"ReadBatchText", [&] { ReadBatchText(file); }},
        {"SaveBatchLines", [&] { SaveBatchLines(file, {"x"}); }},
        {"ApplyBatchDeletions", [&] { ApplyBatchDeletions(file, {"x"}); }},
        {"CheckBatchFileWritable", [&] { CheckBatchFileWritable(file); }},
        {"FindFirstBatchLine", [&] { FindFirstBatchLine(file, [](const std::string&) { return true; }); }},
        {"ReadBatchLinesAfter", [&] {
             BatchFileMark mark{1, 1, 0, 0};
             ReadBatchLinesAfter(file, mark);
         }},
    };
    for (auto& [name, op] : operations)
        EXPECT_THROW(op(), BatchFileError) << name;
    finished = true;
    rescue.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    struct stat st {};
    ASSERT_EQ(::lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)); // refused, not replaced
}

// The lock wait runs on the store's clock: ten seconds of it pass without a real wait.
TEST_F(StoreSafety, TheLockWaitIsTimedByTheStoresClock) {
    WriteFileBytes(file, "a\r\n");
    ChildProcess holder(ProducerArgs({"holdlock", LockFilePathFor(file).string()}));
    ASSERT_EQ(holder.ReadLine(60s), "locked");
    test::TestClock clock;
    SetBatchFileClock(clock);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(UpdateBatchFile(file, "", "", "a"), BatchFileError);
    EXPECT_GE(clock.Elapsed(), 10s);
    EXPECT_LT(clock.Elapsed(), 11s);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

// --- Modes ---

TEST_F(StoreSafety, ANewQueueAndTheDeadLetterFileAreOwnerOnly) {
    const mode_t before = ::umask(0);
    SaveBatchLines(file, {"a", "b"});
    AppendDeadLetter(file, "dropped");
    ::umask(before);
    EXPECT_EQ(ModeOf(file), 0600u);
    EXPECT_EQ(ModeOf(DeadLetterPathFor(file)), 0600u);
    EXPECT_EQ(ModeOf(LockFilePathFor(file)), 0600u);
}

TEST_F(StoreSafety, EveryRewriteKeepsTheQueuesModeAsItIsNow) {
    // The replaced version is reused for the next rewrite: the new one must still get the
    // queue's present mode, never the mode it used to have.
    WriteFileBytes(file, "a\r\nb\r\nc\r\nd\r\n");
    fs::permissions(file, static_cast<fs::perms>(0640));
    UpdateBatchFile(file, "", "");
    EXPECT_EQ(ModeOf(file), 0640u);
    fs::permissions(file, static_cast<fs::perms>(0600));
    UpdateBatchFile(file, "", "");
    EXPECT_EQ(ModeOf(file), 0600u);
    fs::permissions(file, static_cast<fs::perms>(0644));
    UpdateBatchFile(file, "c", "c");
    EXPECT_EQ(ModeOf(file), 0644u);
    EXPECT_EQ(ReadFileBytes(file), "d\r\nc\r\n");
}

// --- Owner and group ---

// A queue shared through a group (producers in the group append, mode 0660) must stay theirs
// after a rewrite, whether the run is root's or a group member's.
enum class Runner { Root, GroupMember };

class QueueOwnership : public StoreSafety, public ::testing::WithParamInterface<Runner> {};

TEST_P(QueueOwnership, ARewriteKeepsTheQueuesOwnerGroupAndMode) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "setting the scene needs root";
    const passwd* nobody = ::getpwnam("nobody");
    const group* shared = ::getgrnam("daemon");
    ASSERT_TRUE(nobody && shared);
    const uid_t owner = nobody->pw_uid;
    const gid_t group = shared->gr_gid;
    ASSERT_NE(group, nobody->pw_gid);
    ASSERT_EQ(::chown(dir.Path().c_str(), owner, group), 0);
    WriteFileBytes(file, "a\r\nb\r\nc\r\n");
    ASSERT_EQ(::chown(file.c_str(), owner, group), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0660), 0);
    auto rewrite = [&] {
        UpdateBatchFile(file, "", "");
        UpdateBatchFile(file, "b", "b2");
    };
    if (GetParam() == Runner::Root) {
        rewrite();
    } else {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (::setgroups(1, &group) != 0 || ::setgid(nobody->pw_gid) != 0 || ::setuid(owner) != 0)
                ::_exit(125);
            try {
                rewrite();
            } catch (...) {
                ::_exit(1);
            }
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(ReadFileBytes(file), "c\r\nb2\r\n");
    std::vector<fs::path> versions{file};
    for (const auto& e : fs::directory_iterator(dir.Path()))
        if (IsLateLinkFor(file, e.path()))
            versions.push_back(e.path());
    for (const auto& version : versions) {
        struct stat st {};
        ASSERT_EQ(::lstat(version.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, owner) << version;
        EXPECT_EQ(st.st_gid, group) << version;
        EXPECT_EQ(st.st_mode & 07777, 0660u) << version;
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, QueueOwnership, ::testing::Values(Runner::Root, Runner::GroupMember),
                         [](const auto& info) { return info.param == Runner::Root ? "AsRoot" : "AsGroupMember"; });

// --- A queue kept elsewhere through a link ---

TEST_F(StoreSafety, AQueueThatIsALinkStaysALinkAndItsTargetIsRewrittenInItsOwnFolder) {
    TempDir spool{"ct-spool"};
    const fs::path target = spool / "queue.txt";
    WriteFileBytes(target, "a\r\nb\r\nc\r\n");
    // Relative: read from the link's folder, not from the current directory.
    const fs::path link = fs::relative(target, dir.Path());
    fs::create_symlink(link, file);
    ASSERT_EQ(ReadFirstBatchLine(file), "a");
    UpdateBatchFile(file, "", "", "a");
    EXPECT_TRUE(UpdateBatchFile(file, "b", "b2"));
    AppendDeadLetter(file, "dropped");
    CheckBatchFileWritable(file);
    SettleBatchFile(file);
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(fs::read_symlink(file), link);
    EXPECT_EQ(ReadFileBytes(target), "c\r\nb2\r\n");
    // A producer that appends to the target is read through the link.
    WriteFileBytes(target, ReadFileBytes(target) + "d\r\n");
    EXPECT_EQ(ReadAllBatchLines(file).lines, (std::vector<std::string>{"c", "b2", "d"}));
    // The lock, the dead-letter file and any temporary file lie beside the target; beside the
    // link there is nothing but the link.
    EXPECT_TRUE(fs::exists(LockFilePathFor(target)));
    EXPECT_TRUE(fs::exists(spool / "cloud_batch.failed.txt"));
    std::vector<fs::path> beside;
    for (const auto& e : fs::directory_iterator(dir.Path()))
        beside.push_back(e.path());
    EXPECT_EQ(beside, std::vector<fs::path>{file});
}

// --- The dead-letter file ---

TEST_F(StoreSafety, DeadLetterLinesAreAppendedAndNoEarlierLineIsLost) {
    const fs::path dead = DeadLetterPathFor(file);
    EXPECT_EQ(dead, dir / "cloud_batch.failed.txt");
    WriteFileBytes(dead, "by hand, no line end");
    AppendDeadLetter(file, "{\"f\":\"one\"}");
    AppendDeadLetter(file, "{\"f\":\"two\"}");
    EXPECT_EQ(ReadFileBytes(dead), "by hand, no line end\r\n{\"f\":\"one\"}\r\n{\"f\":\"two\"}\r\n");
    EXPECT_FALSE(fs::exists(file)); // the queue is not touched
}

TEST_F(StoreSafety, DeadLetterNeverFollowsALinkPlantedAtItsName) {
    const fs::path target = dir / "secret-target";
    WriteFileBytes(target, "keep\r\n");
    fs::create_symlink(target, DeadLetterPathFor(file));
    EXPECT_THROW(AppendDeadLetter(file, "{\"p\":\"password\"}"), BatchFileError);
    EXPECT_EQ(ReadFileBytes(target), "keep\r\n");
}

// --- Writability, checked before anything is sent ---

// 0 when `check` raised the store's error without root's powers over files, 1 when it did not.
int RaisesWithoutPrivileges(const std::function<void()>& check) {
    return test::RunWithoutPrivileges([&] {
        try {
            check();
        } catch (const BatchFileError&) {
            return 0;
        }
        return 1;
    });
}

TEST_F(StoreSafety, AFolderOrQueueThatCannotBeRewrittenIsReportedBeforeTheRun) {
    WriteFileBytes(file, "a\r\n");
    CheckBatchFileWritable(file); // ours: fine
    fs::permissions(LockFilePathFor(file), static_cast<fs::perms>(0666));
    // A folder the run's user may read but not write; the queue itself writable.
    fs::permissions(dir.Path(), static_cast<fs::perms>(::geteuid() == 0 ? 0755 : 0555));
    fs::permissions(file, static_cast<fs::perms>(0666));
    EXPECT_EQ(RaisesWithoutPrivileges([&] { CheckBatchFileWritable(file); }), 0);
    // A writable folder with a queue the run's user may not write.
    fs::permissions(dir.Path(), static_cast<fs::perms>(0777));
    fs::permissions(file, static_cast<fs::perms>(0444));
    EXPECT_EQ(RaisesWithoutPrivileges([&] { CheckBatchFileWritable(file); }), 0);
    fs::permissions(dir.Path(), static_cast<fs::perms>(0700));
    fs::permissions(file, static_cast<fs::perms>(0600));
    EXPECT_EQ(ReadFileBytes(file), "a\r\n");
    for (const auto& e : fs::directory_iterator(dir.Path()))
        EXPECT_FALSE(IsRewriteTempFor(file, e.path())) << e.path();
}

// --- The head line's bound ---

TEST_F(StoreSafety, AHugeFirstLineIsReadOnlyUpToTheCap) {
    const std::string huge(3 * kMaxJobLineBytes, '[');
    WriteFileBytes(file, huge + "\r\n{\"job\":2}\r\n");
    const std::string head = ReadFirstBatchLine(file);
    EXPECT_EQ(head.size(), kMaxJobLineBytes + 1);
    std::vector<std::size_t> seen;
    const auto found = FindFirstBatchLine(file, [&](const std::string& line) {
        seen.push_back(line.size());
        return line.front() == '{';
    });
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(*found, "{\"job\":2}");
    EXPECT_EQ(seen, (std::vector<std::size_t>{kMaxJobLineBytes + 1, 9}));
    // The worker stops at it; the window's "Salva" removes it by its whole text.
    ApplyBatchDeletions(file, {std::string(huge)});
    EXPECT_EQ(ReadFileBytes(file), "{\"job\":2}\r\n");
}

} // namespace
} // namespace ct
