#include "transfer/RemoteDirs.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ftp/TIdFTP.h"
#include "support/FtpServers.h"
#include "support/FtpsServers.h"
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

// ---- what goes out together ----

// A client that pipelines sends each batch in one write. A command may only join a batch when
// the design sends it whatever the answers still awaited in that batch are.
TEST(EnsureRemoteDirBatches, HoldOnlyCommandsThatWaitForNoAnswer) {
    RecordingFtpClient fresh;
    EXPECT_TRUE(EnsureRemoteDir("in\\2024\\", fresh, "up"));
    EXPECT_EQ(fresh.Server().Batches(), (Calls{"CWD /", "MKD up|CWD up", "MKD in|CWD in", "MKD 2024|CWD 2024",
                                               "MKD |CWD |CWD /|CWD /up/in/2024/"}));

    // The walk ends early: the return and the final ChangeDir go together; the fallback's
    // ChangeDir follows only a MakeDir that succeeded, so it is made of plain calls.
    RecordingFtpClient blocked;
    blocked.Server().AddDir("/home");
    blocked.SetCurrentDir("/home");
    blocked.Server().AddFile("/up");
    blocked.Server().AddFile("/home/up");
    EXPECT_FALSE(EnsureRemoteDir("in\\", blocked, "up"));
    EXPECT_EQ(blocked.Server().Batches(), (Calls{"CWD /", "MKD up|CWD up", "CWD /home|CWD /up/in/"}));
    EXPECT_EQ(blocked.Calls(), (Calls{"PWD", "CWD /", "MKD up", "CWD up", "CWD /home", "CWD /up/in/", "MKD up",
                                      "MKD in", "CWD in", "CWD /up/in/"}));
}

// ---- a client that knows the folder it stands in ----

struct KnownCase {
    const char* name;
    const char* first;        // the path of the walk before, base "up"
    const char* removed;      // a folder another client removes in between ("" none)
    const char* second;       // the path of the walk under test, base "up"
    Calls calls;              // what the walk under test sends
    const char* finalDir;
};

void PrintTo(const KnownCase& c, std::ostream* os) {
    *os << c.name;
}

class EnsureRemoteDirKnown : public ::testing::TestWithParam<KnownCase> {};

// The outcome is the design's (the folders exist, the client stands in the path, true); only
// commands whose answer is known are spared.
TEST_P(EnsureRemoteDirKnown, SparesOnlyWhatTheClientKnows) {
    const KnownCase& c = GetParam();
    RecordingFtpClient ftp;
    ftp.Server().knowsCurrentDir = true;
    ASSERT_TRUE(EnsureRemoteDir(c.first, ftp, "up"));
    if (*c.removed)
        ftp.Server().RemoveDir(c.removed);
    ftp.Server().ClearLog();
    EXPECT_TRUE(EnsureRemoteDir(c.second, ftp, "up"));
    EXPECT_EQ(ftp.Calls(), c.calls);
    EXPECT_EQ(ftp.CurrentDir(), c.finalDir);
    EXPECT_TRUE(ftp.Server().HasDir(c.finalDir));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EnsureRemoteDirKnown,
    ::testing::Values(
        KnownCase{"the same folder", "in\\2024\\", "", "in\\2024\\", {}, "/up/in/2024"},
        KnownCase{"a sibling: the walk begins at the shared folder, no PWD",
                  "in\\2024\\", "", "in\\2025\\",
                  {"CWD /up/in", "MKD 2025", "CWD 2025", "MKD ", "CWD ", "CWD /up/in/2024/", "CWD /up/in/2025/"},
                  "/up/in/2025"},
        KnownCase{"a subfolder: the walk begins where the client stands",
                  "in\\", "", "in\\2024\\",
                  {"MKD 2024", "CWD 2024", "MKD ", "CWD ", "CWD /up/in/", "CWD /up/in/2024/"}, "/up/in/2024"},
        KnownCase{"the shared folder has gone: from the root, as ever",
                  "in\\2024\\", "/up/in", "in\\2025\\",
                  {"CWD /up/in", "CWD /", "MKD up", "CWD up", "MKD in", "CWD in", "MKD 2025", "CWD 2025", "MKD ",
                   "CWD ", "CWD /up/in/2024/", "CWD /up/in/2025/"},
                  "/up/in/2025"},
        KnownCase{"the folder the client stands in has gone",
                  "in\\", "/up/in", "in\\2024\\",
                  {"MKD 2024", "CWD 2024", "CWD /", "MKD up", "CWD up", "MKD in", "CWD in", "MKD 2024", "CWD 2024",
                   "MKD ", "CWD ", "CWD /up/in/", "CWD /up/in/2024/"},
                  "/up/in/2024"}));

// The design's failure still ends where it ends: false, the fallback's folders below the
// starting directory, which the client knew without asking.
TEST(EnsureRemoteDirKnownFailure, UpExistingAsAFileEndsInTheFallbackBelowTheKnownFolder) {
    RecordingFtpClient ftp;
    ftp.Server().knowsCurrentDir = true;
    ftp.Server().AddDir("/home");
    ftp.Server().AddFile("/up");
    ftp.Server().AddFile("/home/up");
    ftp.ChangeDir("/home/");
    ftp.Server().ClearLog();
    EXPECT_FALSE(EnsureRemoteDir("in\\2024\\", ftp, "up"));
    EXPECT_EQ(ftp.Calls(), (Calls{"CWD /", "MKD up", "CWD up", "CWD /home/", "CWD /up/in/2024/", "MKD up", "MKD in",
                                  "CWD in", "MKD 2024", "CWD 2024", "CWD /up/in/2024/"}));
    EXPECT_EQ(ftp.CurrentDir(), "/home/in/2024");
}

// ---- the same functions against real servers ----

std::unique_ptr<TIdFTP> LoggedIn(std::uint16_t port, const std::string& user, const std::string& password,
                                 bool pipelining = true) {
    auto ftp = std::make_unique<TIdFTP>();
    ftp->SetHost("127.0.0.1");
    ftp->SetPort(port);
    ftp->SetUsername(user);
    ftp->SetPassword(password);
    ftp->SetTimeouts(std::chrono::seconds(20));
    ftp->SetPipelining(pipelining);
    ftp->Connect();
    return ftp;
}

enum class Kind { Pyftpdlib, Vsftpd, Proftpd, PureFtpd };

// One of the four servers, its root seen locally, and how to log in.
class RealServer {
public:
    explicit RealServer(Kind kind) {
        switch (kind) {
        case Kind::Pyftpdlib:
            m_py = std::make_unique<test::PyFtpServer>();
            Set(m_py->Port(), "user", m_py->Root());
            return;
        case Kind::Vsftpd:
            if (!test::VsftpdServer::Available())
                { skipped = "vsftpd needs root"; return; }
            m_vsftpd = std::make_unique<test::VsftpdServer>();
            if (!m_vsftpd->Started())
                { skipped = "vsftpd did not start: " + m_vsftpd->StartupError(); return; }
            Set(m_vsftpd->Port(), "anonymous", m_vsftpd->Root());
            return;
        case Kind::Proftpd:
            if (!test::ProftpdServer::Available())
                { skipped = "proftpd needs root and scripts/setup's unpacked servers"; return; }
            m_proftpd = std::make_unique<test::ProftpdServer>();
            if (!m_proftpd->Started())
                { skipped = "proftpd did not start: " + m_proftpd->StartupError(); return; }
            Set(m_proftpd->Port(), "user", m_proftpd->Root());
            return;
        case Kind::PureFtpd:
            if (!test::PureFtpdServer::Available())
                { skipped = "pure-ftpd needs root and scripts/setup's unpacked servers"; return; }
            m_pure = std::make_unique<test::PureFtpdServer>();
            if (!m_pure->Started())
                { skipped = "pure-ftpd did not start: " + m_pure->StartupError(); return; }
            Set(m_pure->Port(), "user", m_pure->Root());
            return;
        }
    }
    std::string skipped;
    std::uint16_t port = 0;
    std::string user;
    std::filesystem::path root;  // the server's "/"

    std::unique_ptr<TIdFTP> Client() const { return LoggedIn(port, user, "secret"); }

private:
    void Set(std::uint16_t p, const std::string& u, const std::filesystem::path& r) {
        port = p;
        user = u;
        root = r;
    }

    std::unique_ptr<test::PyFtpServer> m_py;
    std::unique_ptr<test::VsftpdServer> m_vsftpd;
    std::unique_ptr<test::ProftpdServer> m_proftpd;
    std::unique_ptr<test::PureFtpdServer> m_pure;
};

std::string Name(const ::testing::TestParamInfo<Kind>& info) {
    switch (info.param) {
    case Kind::Pyftpdlib: return "pyftpdlib";
    case Kind::Vsftpd: return "vsftpd";
    case Kind::Proftpd: return "proftpd";
    case Kind::PureFtpd: return "pureftpd";
    }
    return "unknown";
}

class RemoteDirsOnServer : public ::testing::TestWithParam<Kind> {};

// The walks of a run, pipelined, with the walks spared where the client knows where it stands;
// "up" is writable on every server (vsftpd's chroot is not).
TEST_P(RemoteDirsOnServer, WalksEndWhereTheDesignSays) {
    RealServer server(GetParam());
    if (!server.skipped.empty())
        GTEST_SKIP() << server.skipped;
    namespace fs = std::filesystem;
    auto ftp = server.Client();
    test::TempDir local;
    test::WriteFileBytes(local / "f.txt", "payload");
    const std::string file = (local / "f.txt").string();

    ASSERT_TRUE(EnsureRemoteDir("in\\2024\\", *ftp, "up"));
    EXPECT_EQ(ftp->RetrieveCurrentDir(), "/up/in/2024");
    ASSERT_TRUE(EnsureRemoteDir("in\\2024\\", *ftp, "up")) << "where it stands already";
    ftp->Put(file, "a.txt", false, -1);
    EXPECT_EQ(test::ReadFileBytes(server.root / "up" / "in" / "2024" / "a.txt"), "payload");

    ASSERT_TRUE(EnsureRemoteDir("in\\2025\\", *ftp, "up")) << "a sibling, from the shared folder";
    EXPECT_EQ(ftp->RetrieveCurrentDir(), "/up/in/2025");

    // Another client removes the folder: the upload is refused, the session goes on, and a walk
    // (which no longer takes the client's word for where it stands) builds it again.
    fs::remove_all(server.root / "up" / "in");
    try {
        ftp->Put(file, "b.txt", false, -1);
        ADD_FAILURE() << "an upload into a removed folder was accepted";
    } catch (const FtpError& e) {
        EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
        EXPECT_TRUE(e.ReplyCode() == 550 || e.ReplyCode() == 553) << e.what();
    }
    ASSERT_TRUE(ftp->Connected());
    ASSERT_TRUE(EnsureRemoteDir("in\\2025\\", *ftp, "up"));
    ftp->Put(file, "b.txt", false, -1);
    EXPECT_EQ(test::ReadFileBytes(server.root / "up" / "in" / "2025" / "b.txt"), "payload");

    // A file where a folder is to be: false, and the session goes on.
    test::WriteFileBytes(server.root / "up" / "blocked", "a file");
    bool made = true;
    EXPECT_NO_THROW(made = EnsureRemoteDir("blocked\\x\\", *ftp, "up"));
    EXPECT_FALSE(made);
    EXPECT_TRUE(ftp->Connected());
}

INSTANTIATE_TEST_SUITE_P(Servers, RemoteDirsOnServer,
                         ::testing::Values(Kind::Pyftpdlib, Kind::Vsftpd, Kind::Proftpd, Kind::PureFtpd), Name);

// Pipelined or one at a time, the server receives the same commands in the same order.
TEST(RemoteDirsOnPyftpdlib, PipelinedAndPlainWalksSendTheSameCommands) {
    std::vector<std::vector<std::string>> logs;
    for (bool pipelining : {true, false}) {
        test::PyFtpServer server;
        test::WriteFileBytes(server.Root() / "up", "a file");
        auto ftp = LoggedIn(server.Port(), "user", "secret", pipelining);
        server.ClearLog();
        EXPECT_TRUE(EnsureRemoteDir("in\\2024\\", *ftp, "base"));
        EXPECT_FALSE(EnsureRemoteDir("in\\", *ftp, "up"));
        logs.push_back(server.Log());
    }
    EXPECT_EQ(logs[0], logs[1]);
    EXPECT_GT(logs[0].size(), 15u);
}

TEST(RemoteDirsOnPyftpdlib, NameWithAQuote) {
    test::PyFtpServer server;
    auto ftp = LoggedIn(server.Port(), "user", "secret");
    ASSERT_TRUE(EnsureRemoteDir("say \"hi\"\\", *ftp, ""));
    EXPECT_EQ(ftp->RetrieveCurrentDir(), "/say \"hi\"");
    EXPECT_TRUE(std::filesystem::is_directory(server.Root() / "say \"hi\""));
}

TEST(RemoteDirsOnPyftpdlib, UpExistingAsAFileMakesTheFallbackFoldersBelowTheStart) {
    test::PyFtpServer server;
    test::WriteFileBytes(server.Root() / "up", "a file");
    auto ftp = LoggedIn(server.Port(), "user", "secret");
    EXPECT_FALSE(EnsureRemoteDir("in\\2024\\", *ftp, "up"));
    EXPECT_TRUE(std::filesystem::is_directory(server.Root() / "in" / "2024"));
    EXPECT_EQ(ftp->RetrieveCurrentDir(), "/in/2024");
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

} // namespace
} // namespace ct
