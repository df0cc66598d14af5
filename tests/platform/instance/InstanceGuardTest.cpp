#include "platform/instance/InstanceGuard.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <string>

#include "platform/fs/ProducerSupport.h"
#include "support/TestSupport.h"

namespace ct {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;

class SingleInstance : public ::testing::Test {
protected:
    test::TempDir runtime{"ct-runtime"};
    std::vector<std::string> env{"XDG_RUNTIME_DIR=" + runtime.Path().string()};
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
    EXPECT_TRUE(std::filesystem::exists(temp.Path() / "TCloudTransferFrm"));
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
    EXPECT_TRUE(std::filesystem::exists(temp.Path() / "TCloudTransferFrm"));
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
