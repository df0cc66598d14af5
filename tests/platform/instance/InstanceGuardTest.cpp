#include "platform/instance/InstanceGuard.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/fs/ProducerSupport.h"
#include "support/TestSupport.h"

namespace ct {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;

namespace fs = std::filesystem;

fs::path OwnTempName(const fs::path& temp) {
    return temp / ("TCloudTransferFrm-" + std::to_string(::geteuid()));
}

class SingleInstance : public ::testing::Test {
protected:
    test::TempDir runtime{"ct-runtime"};
    std::vector<std::string> env{"XDG_RUNTIME_DIR=" + runtime.Path().string()};
};

// Another user on the same machine, for the shared temp folder: runs as "nobody", takes an
// exclusive flock() on the file (creating it when missing) and says "locked", or "denied"
// when it cannot open the file at all. Needs root to become that user.
constexpr int kNobody = 65534;
std::vector<std::string> OtherUserHoldsLock(const fs::path& file) {
    return {CT_PYTHON, "-c",
            "import fcntl, os, sys, time\n"
            "os.setgroups([]); os.setgid(65534); os.setuid(65534)\n"
            "try:\n"
            "    fd = os.open(sys.argv[1], os.O_RDONLY | os.O_CREAT | os.O_NOFOLLOW, 0o644)\n"
            "except OSError:\n"
            "    print('denied', flush=True); sys.exit(0)\n"
            "fcntl.flock(fd, fcntl.LOCK_EX)\n"
            "print('locked', flush=True)\n"
            "time.sleep(600)\n",
            file.string()};
}

// A temp folder like /tmp: everyone may create files, nobody may remove another's.
class SharedTempFolder : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to act as a second user";
        ::chmod(temp.Path().c_str(), 01777);
    }
    test::TempDir temp{"ct-shared-tmp"};
    test::TempDir home{"ct-home"};
    std::vector<std::string> env{"XDG_RUNTIME_DIR=", "TMPDIR=" + temp.Path().string(),
                                 "HOME=" + home.Path().string(), "XDG_CACHE_HOME="};
};

TEST_F(SingleInstance, ASecondStartIsRefusedAndEndsWithStatusZero) {
    ChildProcess first({CT_INSTANCE_PROBE, "hold"}, env);
    ASSERT_EQ(first.ReadLine(60s), "acquired");
    ChildProcess second({CT_INSTANCE_PROBE, "hold"}, env);
    EXPECT_EQ(second.ReadLine(60s), "refused");
    EXPECT_EQ(second.Wait(60s), 0);
    EXPECT_TRUE(first.Running());
}

TEST_F(SingleInstance, TheNextStartSucceedsOnceTheFirstHasEnded) {
    {
        ChildProcess first({CT_INSTANCE_PROBE, "hold"}, env);
        ASSERT_EQ(first.ReadLine(60s), "acquired");
        first.Kill(SIGKILL); // even a killed instance lets go
        ASSERT_EQ(first.Wait(60s), 128 + SIGKILL);
    }
    ChildProcess next({CT_INSTANCE_PROBE, "exit"}, env);
    EXPECT_EQ(next.ReadLine(60s), "acquired");
    EXPECT_EQ(next.Wait(60s), 0);
    ChildProcess again({CT_INSTANCE_PROBE, "exit"}, env);
    EXPECT_EQ(again.ReadLine(60s), "acquired");
}

TEST_F(SingleInstance, AForeignProcessHoldingTheLockKeepsTheProgramFromStarting) {
    const std::string lock = (runtime.Path() / "TCloudTransferFrm").string();
    auto holder = std::make_unique<ChildProcess>(test::ProducerArgs({"holdlock", lock}));
    ASSERT_EQ(holder->ReadLine(60s), "locked");
    ChildProcess blocked({CT_INSTANCE_PROBE, "exit"}, env);
    EXPECT_EQ(blocked.ReadLine(60s), "refused");
    holder.reset(); // killed and reaped
    ChildProcess free({CT_INSTANCE_PROBE, "exit"}, env);
    EXPECT_EQ(free.ReadLine(60s), "acquired");
}

TEST_F(SingleInstance, ProgramsStartedByTheInstanceDoNotInheritTheGuard) {
    ChildProcess first({CT_INSTANCE_PROBE, "spawn", "/bin/sleep", "120"}, env);
    ASSERT_EQ(first.ReadLine(60s), "acquired");
    const int sleeper = std::stoi(first.ReadLine(60s));
    ASSERT_EQ(first.Wait(60s), 0);
    ChildProcess next({CT_INSTANCE_PROBE, "exit"}, env);
    const std::string answer = next.ReadLine(60s);
    ::kill(sleeper, SIGKILL);
    EXPECT_EQ(answer, "acquired");
}

TEST_F(SingleInstance, WithoutARuntimeFolderTheTempFolderIsUsed) {
    test::TempDir temp{"ct-tmp"};
    const std::vector<std::string> noRuntime{"XDG_RUNTIME_DIR=", "TMPDIR=" + temp.Path().string()};
    ChildProcess first({CT_INSTANCE_PROBE, "hold"}, noRuntime);
    ASSERT_EQ(first.ReadLine(60s), "acquired");
    // Named after the user, and nobody else's to open.
    struct stat st {};
    ASSERT_EQ(::lstat(OwnTempName(temp.Path()).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 077, 0u);
    ChildProcess second({CT_INSTANCE_PROBE, "exit"}, noRuntime);
    EXPECT_EQ(second.ReadLine(60s), "refused");
    // A different runtime folder is a different session: it does not see this guard.
    ChildProcess other({CT_INSTANCE_PROBE, "exit"}, env);
    EXPECT_EQ(other.ReadLine(60s), "acquired");
}

// A scheduled task may inherit a runtime folder that no longer exists; it must still run,
// and still only once.
TEST_F(SingleInstance, AMissingRuntimeFolderFallsBackToTheTempFolder) {
    test::TempDir temp{"ct-tmp"};
    const std::vector<std::string> missing{"XDG_RUNTIME_DIR=" + (runtime.Path() / "no" / "such").string(),
                                           "TMPDIR=" + temp.Path().string()};
    ChildProcess first({CT_INSTANCE_PROBE, "hold"}, missing);
    ASSERT_EQ(first.ReadLine(60s), "acquired");
    EXPECT_TRUE(std::filesystem::exists(OwnTempName(temp.Path())));
    ChildProcess second({CT_INSTANCE_PROBE, "exit"}, missing);
    EXPECT_EQ(second.ReadLine(60s), "refused");
    EXPECT_EQ(second.Wait(60s), 0);
}

TEST_F(SingleInstance, APlantedLinkIsNotFollowed) {
    const auto target = runtime.Path() / "victim";
    std::filesystem::create_symlink(target, runtime.Path() / "TCloudTransferFrm");
    ChildProcess probe({CT_INSTANCE_PROBE, "exit"}, env);
    EXPECT_EQ(probe.ReadLine(60s), "refused");
    EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(SharedTempFolder, AnotherUsersInstanceDoesNotKeepOursFromStarting) {
    // The other user's instance, and a lock file of the shared name older versions used.
    ChildProcess theirs(OtherUserHoldsLock(temp.Path() / ("TCloudTransferFrm-" + std::to_string(kNobody))));
    ASSERT_EQ(theirs.ReadLine(60s), "locked");
    ChildProcess shared(OtherUserHoldsLock(temp.Path() / "TCloudTransferFrm"));
    ASSERT_EQ(shared.ReadLine(60s), "locked");

    ChildProcess ours({CT_INSTANCE_PROBE, "hold"}, env);
    ASSERT_EQ(ours.ReadLine(60s), "acquired");
    EXPECT_TRUE(fs::exists(OwnTempName(temp.Path())));
    // Nor can the other user hold our lock to keep us out: the file is not theirs to open.
    ChildProcess intruder(OtherUserHoldsLock(OwnTempName(temp.Path())));
    EXPECT_EQ(intruder.ReadLine(60s), "denied");
}

TEST_F(SharedTempFolder, OurNameTakenFirstByAnotherUserIsNotTrusted) {
    // The other user made our file before us, world-readable, and holds its lock.
    ChildProcess squatter(OtherUserHoldsLock(OwnTempName(temp.Path())));
    ASSERT_EQ(squatter.ReadLine(60s), "locked");

    ChildProcess first({CT_INSTANCE_PROBE, "hold"}, env);
    ASSERT_EQ(first.ReadLine(60s), "acquired");
    EXPECT_TRUE(fs::exists(home / ".cache" / "cloudtransfer" / "TCloudTransferFrm"));
    // Still one instance at a time: the next start meets the first in the same place.
    ChildProcess second({CT_INSTANCE_PROBE, "exit"}, env);
    EXPECT_EQ(second.ReadLine(60s), "refused");
}

TEST_F(SharedTempFolder, ALinkPlantedUnderOurNameIsNotFollowed) {
    const fs::path victim = temp / "victim";
    fs::create_symlink(victim, OwnTempName(temp.Path()));
    ChildProcess first({CT_INSTANCE_PROBE, "hold"}, env);
    EXPECT_EQ(first.ReadLine(60s), "acquired");
    EXPECT_FALSE(fs::exists(victim));
    ChildProcess second({CT_INSTANCE_PROBE, "exit"}, env);
    EXPECT_EQ(second.ReadLine(60s), "refused");
}

TEST(InstanceGuardInProcess, IsReleasedWhenDestroyed) {
    test::TempDir runtime{"ct-runtime"};
    ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
    auto guard = InstanceGuard::TryAcquire();
    ASSERT_NE(guard, nullptr);
    EXPECT_EQ(InstanceGuard::Location(), runtime.Path() / "TCloudTransferFrm");
    EXPECT_EQ(InstanceGuard::TryAcquire(), nullptr); // a second open of the lock conflicts too
    guard.reset();
    EXPECT_NE(InstanceGuard::TryAcquire(), nullptr);
    ::unsetenv("XDG_RUNTIME_DIR");
}

} // namespace
} // namespace ct
