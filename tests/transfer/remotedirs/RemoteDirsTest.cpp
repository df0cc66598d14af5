#include "transfer/RemoteDirs.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ftp/TIdFTP.h"
#include "support/FtpServers.h"
#include "support/RecordingFtpClient.h"

namespace ct {
namespace {

using Calls = std::vector<std::string>;
using test::RecordingFtpClient;

// ---- exact sequences against the recording fake ----

TEST(EnsureRemoteDirSequence, FreshTreeMakesEverySegmentFromTheRoot) {
    RecordingFtpClient ftp;
    EXPECT_TRUE(EnsureRemoteDir("in\\2024\\", ftp, "up"));
    EXPECT_EQ(ftp.Calls(), (Calls{"PWD", "CWD /", "MKD up", "CWD up", "MKD in", "CWD in", "MKD 2024", "CWD 2024",
                                "MKD ", "CWD ", "CWD /", "CWD /up/in/2024/"}));
    EXPECT_EQ(ftp.CurrentDir(), "/up/in/2024");
}

TEST(EnsureRemoteDirSequence, ExistingTreeFailsEveryMkdSilently) {
    RecordingFtpClient ftp;
    ftp.Server().AddDir("/up");
    ftp.Server().AddDir("/up/in");
    ftp.Server().AddDir("/up/in/2024");
    EXPECT_TRUE(EnsureRemoteDir("in\\2024\\", ftp, "up"));
    EXPECT_EQ(ftp.Calls(), (Calls{"PWD", "CWD /", "MKD up", "CWD up", "MKD in", "CWD in", "MKD 2024", "CWD 2024",
                                "MKD ", "CWD ", "CWD /", "CWD /up/in/2024/"}));
    EXPECT_EQ(ftp.CurrentDir(), "/up/in/2024");
}

struct NormalisedCase {
    const char* path;
    const char* base;
    Calls calls;
    const char* finalDir;
};

class EnsureRemoteDirNormalisation : public ::testing::TestWithParam<NormalisedCase> {};

TEST_P(EnsureRemoteDirNormalisation, BuildsAndEntersTheNormalisedPath) {
    const auto& c = GetParam();
    RecordingFtpClient ftp;
    EXPECT_TRUE(EnsureRemoteDir(c.path, ftp, c.base));
    EXPECT_EQ(ftp.Calls(), c.calls);
    EXPECT_EQ(ftp.CurrentDir(), c.finalDir);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EnsureRemoteDirNormalisation,
    ::testing::Values(
        NormalisedCase{"", "up", {"PWD", "CWD /", "MKD up", "CWD up", "MKD ", "CWD ", "CWD /", "CWD /up/"}, "/up"},
        NormalisedCase{"", "", {"PWD", "CWD /", "MKD ", "CWD ", "CWD /", "CWD /"}, "/"},
        NormalisedCase{"/x/", "", {"PWD", "CWD /", "MKD x", "CWD x", "MKD ", "CWD ", "CWD /", "CWD /x/"}, "/x"},
        // Forward slashes and a path without a leading separator get the same treatment.
        NormalisedCase{"a/b/", "", {"PWD", "CWD /", "MKD a", "CWD a", "MKD b", "CWD b", "MKD ", "CWD ", "CWD /",
                                    "CWD /a/b/"}, "/a/b"}));

TEST(EnsureRemoteDirSequence, UpExistingAsAFileEndsInTheFallbackBelowTheStartingDirectory) {
    RecordingFtpClient ftp;
    ftp.Server().AddDir("/home");
    ftp.SetCurrentDir("/home");
    ftp.Server().AddFile("/up", "not a directory");
    ftp.Server().AddFile("/home/up", "not a directory either");
    EXPECT_FALSE(EnsureRemoteDir("in\\2024\\", ftp, "up"));
    EXPECT_EQ(ftp.Calls(), (Calls{"PWD", "CWD /", "MKD up", "CWD up", "CWD /home", "CWD /up/in/2024/",
                                "MKD up", "MKD in", "CWD in", "MKD 2024", "CWD 2024", "CWD /up/in/2024/"}));
    EXPECT_TRUE(ftp.Server().HasDir("/home/in/2024"));
    EXPECT_EQ(ftp.CurrentDir(), "/home/in/2024");
}

TEST(EnsureRemoteDirSequence, LostConnectionGivesFalseWithoutRaising) {
    RecordingFtpClient ftp;
    ftp.Server().failEverything = true;
    bool result = true;
    EXPECT_NO_THROW(result = EnsureRemoteDir("in\\", ftp, "up"));
    EXPECT_FALSE(result);
    EXPECT_EQ(ftp.Calls(), (Calls{"PWD", "CWD /up/in/", "MKD up", "MKD in", "CWD /up/in/"}));
}

TEST(EnsureRemoteDirSequence, FallbackSucceedsWhenTheWalkFromTheRootIsRefused) {
    // A server that refuses CWD to the root (a chroot-like setup) but lets the client
    // build below where it stands, and then accepts the absolute path.
    RecordingFtpClient ftp;
    ftp.Server().refuseCalls = {"CWD /"};
    EXPECT_TRUE(EnsureRemoteDir("b\\", ftp, "a"));
    EXPECT_EQ(ftp.Calls(), (Calls{"PWD", "CWD /", "CWD /", "CWD /a/b/", "MKD a", "CWD a", "MKD b", "CWD b",
                                "CWD /a/b/"}));
    EXPECT_TRUE(ftp.Server().HasDir("/a/b"));
}

TEST(MakeRemoteDirsSequence, EmptyPathTalksToNobody) {
    RecordingFtpClient ftp;
    EXPECT_FALSE(MakeRemoteDirs("", ftp));
    EXPECT_TRUE(ftp.Calls().empty());
}

TEST(MakeRemoteDirsSequence, ReturnsToTheStartingDirectory) {
    RecordingFtpClient ftp;
    ftp.Server().AddDir("/home");
    ftp.SetCurrentDir("/home");
    EXPECT_TRUE(MakeRemoteDirs("/a/b", ftp));
    EXPECT_EQ(ftp.Calls(), (Calls{"PWD", "CWD /", "MKD a", "CWD a", "MKD b", "CWD b", "CWD /home"}));
    EXPECT_EQ(ftp.CurrentDir(), "/home");
    EXPECT_TRUE(ftp.Server().HasDir("/a/b"));
}

TEST(MakeRemoteDirsSequence, RelativePathWalksFromTheCurrentDirectory) {
    RecordingFtpClient ftp;
    ftp.Server().AddDir("/home");
    ftp.SetCurrentDir("/home");
    EXPECT_TRUE(MakeRemoteDirs("a/b", ftp));
    EXPECT_EQ(ftp.Calls(), (Calls{"PWD", "MKD a", "CWD a", "MKD b", "CWD b", "CWD /home"}));
    EXPECT_TRUE(ftp.Server().HasDir("/home/a/b"));
}

TEST(MakeRemoteDirsSequence, RefusedPwdEndsAtOnceWithoutAReturn) {
    RecordingFtpClient ftp;
    ftp.Server().refuse = {"PWD"};
    EXPECT_FALSE(MakeRemoteDirs("/a/", ftp));
    EXPECT_EQ(ftp.Calls(), (Calls{"PWD"}));
}

TEST(MakeRemoteDirsSequence, FailedWalkStillReturnsToTheStart) {
    RecordingFtpClient ftp;
    ftp.Server().AddFile("/a");
    EXPECT_FALSE(MakeRemoteDirs("/a/b/", ftp));
    EXPECT_EQ(ftp.Calls(), (Calls{"PWD", "CWD /", "MKD a", "CWD a", "CWD /"}));
}

TEST(MakeRemoteDirsSequence, RefusedReturnAfterACompleteWalkKeepsTheResult) {
    RecordingFtpClient ftp;
    ftp.Server().AddDir("/home");
    ftp.SetCurrentDir("/home");
    ftp.Server().refuseCalls = {"CWD /home"};
    EXPECT_TRUE(MakeRemoteDirs("/a", ftp));
    EXPECT_EQ(ftp.Calls(), (Calls{"PWD", "CWD /", "MKD a", "CWD a", "CWD /home"}));
}

TEST(MakeRemoteDirsSequence, RefusedMkdIsNoErrorWhenTheDirectoryCanBeEntered) {
    RecordingFtpClient ftp;
    ftp.Server().refuse = {"MKD"};
    ftp.Server().AddDir("/a");
    EXPECT_TRUE(MakeRemoteDirs("/a", ftp));
}

// ---- the same functions against real servers ----

std::unique_ptr<TIdFTP> LoggedIn(std::uint16_t port, const std::string& user, const std::string& password) {
    auto ftp = std::make_unique<TIdFTP>();
    ftp->SetHost("127.0.0.1");
    ftp->SetPort(port);
    ftp->SetUsername(user);
    ftp->SetPassword(password);
    ftp->SetTimeouts(std::chrono::seconds(20));
    ftp->Connect();
    return ftp;
}

TEST(RemoteDirsOnPyftpdlib, BuildsEntersAndUploadsTwice) {
    test::PyFtpServer server;
    auto ftp = LoggedIn(server.Port(), "user", "secret");
    test::TempDir local;
    test::WriteFileBytes(local / "f.txt", "payload");
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(EnsureRemoteDir("in\\2024\\", *ftp, "up")) << "round " << round;
        EXPECT_EQ(ftp->RetrieveCurrentDir(), "/up/in/2024");
        ftp->Put((local / "f.txt").string(), "f.txt", false, -1);
    }
    EXPECT_EQ(test::ReadFileBytes(server.Root() / "up" / "in" / "2024" / "f.txt"), "payload");
}

TEST(RemoteDirsOnPyftpdlib, NameWithAQuote) {
    test::PyFtpServer server;
    auto ftp = LoggedIn(server.Port(), "user", "secret");
    ASSERT_TRUE(EnsureRemoteDir("say \"hi\"\\", *ftp, ""));
    EXPECT_EQ(ftp->RetrieveCurrentDir(), "/say \"hi\"");
    EXPECT_TRUE(std::filesystem::is_directory(server.Root() / "say \"hi\""));
}

TEST(RemoteDirsOnPyftpdlib, UpExistingAsAFileFails) {
    test::PyFtpServer server;
    test::WriteFileBytes(server.Root() / "up", "a file");
    auto ftp = LoggedIn(server.Port(), "user", "secret");
    EXPECT_FALSE(EnsureRemoteDir("in\\2024\\", *ftp, "up"));
    EXPECT_TRUE(std::filesystem::is_directory(server.Root() / "in" / "2024"));
    EXPECT_TRUE(ftp->Connected());
}

TEST(RemoteDirsOnPyftpdlib, RefusedMkdFailsWithoutRaising) {
    test::PyFtpOptions options;
    options.extraArgs = {"--refuse", "MKD=550"};
    test::PyFtpServer server(options);
    auto ftp = LoggedIn(server.Port(), "user", "secret");
    bool result = true;
    EXPECT_NO_THROW(result = EnsureRemoteDir("in\\", *ftp, "up"));
    EXPECT_FALSE(result);
    EXPECT_TRUE(ftp->Connected());
}

TEST(RemoteDirsOnVsftpd, BuildsBelowTheWritableFolder) {
    if (!test::VsftpdServer::Available())
        GTEST_SKIP() << "vsftpd needs root";
    test::VsftpdServer server;
    ASSERT_TRUE(server.Started()) << server.StartupError();
    auto ftp = LoggedIn(server.Port(), "anonymous", "guest");
    ASSERT_TRUE(EnsureRemoteDir("in\\2024\\", *ftp, "up"));
    EXPECT_EQ(ftp->RetrieveCurrentDir(), "/up/in/2024");
    EXPECT_TRUE(std::filesystem::is_directory(server.Root() / "up" / "in" / "2024"));
}

} // namespace
} // namespace ct
