#include "platform/ftp/TIdFTP.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "FtpTestHelpers.h"

namespace ct {
namespace {

using namespace std::chrono_literals;
using test::AnyServer;
using test::ServerKind;
using test::WorkLog;

const auto BothServers = ::testing::Values(ServerKind::Pyftpdlib, ServerKind::Vsftpd);

#define SKIP_UNLESS_USABLE(server) \
    if (!(server).Usable())        \
    GTEST_SKIP() << (server).Why()

// ---- byte-exact transfers with their work events, on both servers ----

class TransferRoundTrip : public ::testing::TestWithParam<std::tuple<ServerKind, std::size_t>> {};

TEST_P(TransferRoundTrip, UploadAndDownloadAreByteExact) {
    const auto [kind, size] = GetParam();
    AnyServer server(kind);
    SKIP_UNLESS_USABLE(server);
    auto ftp = server.Client();
    WorkLog work;
    work.Attach(*ftp);
    ftp->Connect();
    ftp->ChangeDir(server.WritableRemote());
    test::TempDir local;

    const std::string upload = test::MakePattern(size, static_cast<std::uint32_t>(size + 1));
    test::WriteFileBytes(local / "up.bin", upload);
    ftp->Put((local / "up.bin").string(), "up.bin", false, -1);
    EXPECT_TRUE(test::ReadFileBytes(server.WritableRoot() / "up.bin") == upload);
    EXPECT_EQ(work.begins, 1);
    EXPECT_EQ(work.ends, 1);
    EXPECT_EQ(work.beginCount, static_cast<std::int64_t>(size));
    ASSERT_FALSE(work.progress.empty());
    EXPECT_EQ(work.progress.back(), static_cast<std::int64_t>(size));
    EXPECT_TRUE(work.Monotonic());
    EXPECT_EQ(work.modes, std::vector<TWorkMode>{TWorkMode::wmWrite});

    work.Clear();
    const std::string download = test::MakePattern(size, 7);
    test::WriteFileBytes(server.WritableRoot() / "down.bin", download);
    // A longer file in the way: the download must replace it, not write over its start.
    test::WriteFileBytes(local / "down.bin", std::string(size + 1000, 'x'));
    // As the worker does: the size first, which the download then announces.
    ASSERT_EQ(ftp->Size(server.WritableRemote() + "down.bin"), static_cast<std::int64_t>(size));
    ftp->Get(server.WritableRemote() + "down.bin", (local / "down.bin").string(), true, false);
    EXPECT_TRUE(test::ReadFileBytes(local / "down.bin") == download);
    EXPECT_EQ(work.begins, 1);
    EXPECT_EQ(work.ends, 1);
    EXPECT_EQ(work.beginCount, static_cast<std::int64_t>(size));
    ASSERT_FALSE(work.progress.empty());
    EXPECT_EQ(work.progress.back(), static_cast<std::int64_t>(size));
    EXPECT_TRUE(work.Monotonic());
    EXPECT_EQ(work.modes, std::vector<TWorkMode>{TWorkMode::wmRead});
    EXPECT_TRUE(ftp->Connected());
}

INSTANTIATE_TEST_SUITE_P(Sizes, TransferRoundTrip,
                         ::testing::Combine(BothServers,
                                            ::testing::Values(std::size_t{0}, std::size_t{1},
                                                              TIdFTP::TransferBufferSize,
                                                              TIdFTP::TransferBufferSize + 1,
                                                              std::size_t{3 * 1024 * 1024 + 7})),
                         [](const auto& info) {
                             return test::ToString(std::get<0>(info.param)) + "_" +
                                    std::to_string(std::get<1>(info.param));
                         });

// ---- SIZE, directories, session reuse, on both servers ----

class OnBothServers : public ::testing::TestWithParam<ServerKind> {};

TEST_P(OnBothServers, SizeOfMissingEmptyAndNonEmptyFiles) {
    AnyServer server(GetParam());
    SKIP_UNLESS_USABLE(server);
    test::WriteFileBytes(server.WritableRoot() / "empty.txt", "");
    test::WriteFileBytes(server.WritableRoot() / "five.txt", "12345");
    auto ftp = server.Client();
    ftp->Connect();
    const std::string dir = server.WritableRemote();
    EXPECT_EQ(ftp->Size(dir + "missing.txt"), -1);
    EXPECT_EQ(ftp->Size(dir + "empty.txt"), 0);
    EXPECT_EQ(ftp->Size(dir + "five.txt"), 5);
    EXPECT_TRUE(ftp->Connected());
}

TEST_P(OnBothServers, MakeChangeAndPrintDirectories) {
    AnyServer server(GetParam());
    SKIP_UNLESS_USABLE(server);
    auto ftp = server.Client();
    ftp->Connect();
    ftp->ChangeDir(server.WritableRemote());
    ftp->MakeDir("plain");
    ftp->MakeDir("say \"q\"");
    ftp->ChangeDir("say \"q\"");
    EXPECT_EQ(ftp->RetrieveCurrentDir(), server.WritableRemote() + "say \"q\"");
    EXPECT_TRUE(std::filesystem::is_directory(server.WritableRoot() / "say \"q\""));
    ftp->ChangeDir(server.WritableRemote() + "plain");
    EXPECT_EQ(ftp->RetrieveCurrentDir(), server.WritableRemote() + "plain");

    try {
        ftp->MakeDir(server.WritableRemote() + "plain");
        ADD_FAILURE() << "MKD of an existing directory succeeded";
    } catch (const FtpError& e) {
        EXPECT_EQ(e.ReplyCode(), 550);
    }
    try {
        ftp->ChangeDir("does-not-exist");
        ADD_FAILURE() << "CWD into a missing directory succeeded";
    } catch (const FtpError& e) {
        EXPECT_EQ(e.ReplyCode(), 550);
    }
    // Refusals leave the session usable.
    EXPECT_TRUE(ftp->Connected());
    EXPECT_EQ(ftp->RetrieveCurrentDir(), server.WritableRemote() + "plain");
}

TEST_P(OnBothServers, OneConnectionServesManyTransfers) {
    AnyServer server(GetParam());
    SKIP_UNLESS_USABLE(server);
    auto ftp = server.Client();
    ftp->Connect();
    ftp->ChangeDir(server.WritableRemote());
    test::TempDir local;
    for (int i = 0; i < 25; ++i) {
        const std::string name = "f" + std::to_string(i) + ".bin";
        const std::string content = test::MakePattern(static_cast<std::size_t>(i * 997), static_cast<std::uint32_t>(i));
        test::WriteFileBytes(local / name, content);
        ftp->Put((local / name).string(), name, false, -1);
        ASSERT_EQ(ftp->Size(name), static_cast<std::int64_t>(content.size()));
        ftp->Get(name, (local / ("back-" + name)).string(), true, false);
        ASSERT_TRUE(test::ReadFileBytes(local / ("back-" + name)) == content) << name;
        ftp->Connect(); // already connected: nothing happens
    }
    if (server.Py()) {
        EXPECT_EQ(server.Py()->Logins(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, OnBothServers, BothServers,
                         [](const auto& info) { return test::ToString(info.param); });

// ---- protocol details, on the scriptable server ----

TEST(FtpSession, BinaryModeRightAfterLogin) {
    test::PyFtpServer server;
    auto ftp = test::MakeClient(server.Port());
    ftp->Connect();
    auto log = server.Log();
    auto login = std::find(log.begin(), log.end(), "LOGIN user");
    ASSERT_NE(login, log.end());
    ASSERT_NE(login + 1, log.end());
    EXPECT_EQ(*(login + 1), "TYPE I");
    // pyftpdlib refuses SIZE in ASCII mode, so this works only after TYPE I.
    test::WriteFileBytes(server.Root() / "a.txt", "abc");
    EXPECT_EQ(ftp->Size("a.txt"), 3);
}

TEST(FtpSession, AsciiTypeIsSetBeforeATransferAndBinaryBeforeSize) {
    test::PyFtpServer server;
    test::WriteFileBytes(server.Root() / "a.txt", "line\n");
    auto ftp = test::MakeClient(server.Port());
    ftp->SetTransferType(TIdFTPTransferType::ftASCII);
    ftp->Connect();
    EXPECT_EQ(ftp->Size("a.txt"), 5);
    test::TempDir local;
    ftp->Get("a.txt", (local / "a.txt").string(), true, false);
    auto types = server.Commands("TYPE");
    EXPECT_EQ(types, (std::vector<std::string>{"TYPE A", "TYPE I", "TYPE A"}));
}

TEST(FtpSession, ConnectWhileConnectedDoesNothing) {
    test::PyFtpServer server;
    auto ftp = test::MakeClient(server.Port());
    ftp->Connect();
    ftp->Connect();
    EXPECT_TRUE(ftp->Connected());
    EXPECT_EQ(server.Logins(), 1);
    EXPECT_EQ(server.Commands("USER").size(), 1u);
}

TEST(FtpSession, DisconnectSendsQuitAndIsHarmlessTwice) {
    test::PyFtpServer server;
    auto ftp = test::MakeClient(server.Port());
    ftp->Disconnect(); // never connected
    ftp->Connect();
    ftp->Disconnect();
    EXPECT_FALSE(ftp->Connected());
    EXPECT_EQ(server.Commands("QUIT").size(), 1u);
    ftp->Disconnect();
    EXPECT_THROW(ftp->RetrieveCurrentDir(), FtpError);
    ftp->Connect();
    EXPECT_EQ(ftp->RetrieveCurrentDir(), "/");
    EXPECT_EQ(server.Logins(), 2);
}

TEST(FtpSession, LoginStraightAfterUserCounts) {
    if (!test::VsftpdServer::Available())
        GTEST_SKIP() << "vsftpd needs root";
    test::VsftpdServer server; // anonymous without password: 230 answers USER
    ASSERT_TRUE(server.Started()) << server.StartupError();
    auto ftp = test::MakeClient(server.Port(), "anonymous", "");
    ftp->Connect();
    EXPECT_TRUE(ftp->Connected());
    EXPECT_EQ(ftp->RetrieveCurrentDir(), "/");
}

TEST(FtpSession, EpsvRefusedFallsBackToPasvForTheWholeSession) {
    // The PASV reply names another loopback address where nothing listens; the data
    // connection must go to the control connection's peer all the same.
    test::TempDir work;
    const std::string hook = test::WriteHook(work, "Handler.masquerade_address = '127.0.0.2'\n");
    test::PyFtpOptions options;
    options.extraArgs = {"--refuse", "EPSV=500", "--hook", hook};
    test::PyFtpServer server(options);
    auto ftp = test::MakeClient(server.Port());
    ftp->Connect();
    test::TempDir local;
    const std::string content = test::MakePattern(100000);
    test::WriteFileBytes(local / "a.bin", content);
    ftp->Put((local / "a.bin").string(), "a.bin", false, -1);
    ftp->Get("a.bin", (local / "b.bin").string(), true, false);
    EXPECT_TRUE(test::ReadFileBytes(local / "b.bin") == content);
    EXPECT_EQ(server.Commands("EPSV").size(), 1u);
    EXPECT_EQ(server.Commands("PASV").size(), 2u);
}

bool LoopbackV6Available() {
    int s = socket(AF_INET6, SOCK_STREAM, 0);
    if (s < 0)
        return false;
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    bool ok = bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(s);
    return ok;
}

TEST(FtpSession, Ipv6Loopback) {
    if (!LoopbackV6Available())
        GTEST_SKIP() << "no IPv6 loopback here";
    test::PyFtpOptions options;
    options.host = "::1";
    test::PyFtpServer server(options);
    auto ftp = test::MakeClient(server.Port(), "user", "secret", "::1");
    ftp->Connect();
    test::TempDir local;
    const std::string content = test::MakePattern(300000);
    test::WriteFileBytes(local / "a.bin", content);
    ftp->Put((local / "a.bin").string(), "a.bin", false, -1);
    ftp->Get("a.bin", (local / "b.bin").string(), true, false);
    EXPECT_TRUE(test::ReadFileBytes(local / "b.bin") == content);
    EXPECT_EQ(server.Commands("EPSV").size(), 2u);
}

TEST(FtpSession, DownloadWithoutOverwriteKeepsAnExistingFile) {
    test::PyFtpServer server;
    test::WriteFileBytes(server.Root() / "a.txt", "remote");
    test::TempDir local;
    test::WriteFileBytes(local / "a.txt", "local");
    auto ftp = test::MakeClient(server.Port());
    ftp->Connect();
    EXPECT_THROW(ftp->Get("a.txt", (local / "a.txt").string(), false, false), FtpError);
    EXPECT_EQ(test::ReadFileBytes(local / "a.txt"), "local");
    EXPECT_TRUE(server.Commands("RETR").empty());
}

TEST(FtpSession, RefusedDownloadRaisesNoWorkEventsAndKeepsTheSession) {
    test::PyFtpServer server;
    auto ftp = test::MakeClient(server.Port());
    WorkLog work;
    work.Attach(*ftp);
    ftp->Connect();
    test::TempDir local;
    try {
        ftp->Get("missing.bin", (local / "m.bin").string(), true, false);
        ADD_FAILURE() << "download of a missing file succeeded";
    } catch (const FtpError& e) {
        EXPECT_EQ(e.ReplyCode(), 550);
    }
    EXPECT_EQ(work.begins, 0);
    EXPECT_EQ(work.ends, 0);
    EXPECT_TRUE(ftp->Connected());
    EXPECT_EQ(ftp->RetrieveCurrentDir(), "/");
}

TEST(FtpSession, MissingLocalFileFailsBeforeAnythingIsSent) {
    test::PyFtpServer server;
    auto ftp = test::MakeClient(server.Port());
    ftp->Connect();
    server.ClearLog();
    EXPECT_THROW(ftp->Put("/nonexistent/file.bin", "file.bin", false, -1), FtpError);
    EXPECT_THROW(ftp->Put("/tmp", "file.bin", false, -1), FtpError);
    EXPECT_TRUE(server.Log().empty());
    EXPECT_TRUE(ftp->Connected());
}

// ---- abort from a second thread ----

enum class Direction { Download, Upload };

class AbortFromAnotherThread : public ::testing::TestWithParam<Direction> {};

TEST_P(AbortFromAnotherThread, EndsTheTransferAtOnceAndStaysUntilReset) {
    // Throttled so that the whole transfer would take well over a minute.
    test::PyFtpOptions options;
    options.extraArgs = {"--throttle", "100000"};
    test::PyFtpServer server(options);
    const std::string big = test::MakePattern(8 * 1024 * 1024);
    test::TempDir local;
    test::WriteFileBytes(server.Root() / "big.bin", big);
    test::WriteFileBytes(local / "big.bin", big);
    auto ftp = test::MakeClient(server.Port());
    WorkLog work;
    work.Attach(*ftp);
    ftp->Connect();

    std::atomic<bool> stop{false};
    std::atomic<bool> aborted{false};
    std::chrono::steady_clock::time_point abortedAt;
    std::thread stopper([&] {
        while (!stop && work.lastProgress.load() == 0)
            std::this_thread::sleep_for(5ms);
        if (stop)
            return;
        abortedAt = std::chrono::steady_clock::now();
        ftp->Abort();
        aborted = true;
    });

    std::optional<FtpErrorKind> kind;
    try {
        if (GetParam() == Direction::Download)
            ftp->Get("big.bin", (local / "down.bin").string(), true, false);
        else
            ftp->Put((local / "big.bin").string(), "up.bin", false, -1);
    } catch (const FtpError& e) {
        kind = e.Kind();
    }
    auto returnedAt = std::chrono::steady_clock::now();
    stop = true;
    stopper.join();
    ASSERT_TRUE(aborted.load());
    EXPECT_EQ(kind, FtpErrorKind::Aborted);
    EXPECT_LT(returnedAt - abortedAt, 500ms);
    EXPECT_EQ(work.begins, 1);
    EXPECT_EQ(work.ends, 1);

    // Sticky: the connection is gone and every step fails at once until the reset.
    EXPECT_FALSE(ftp->Connected());
    try {
        ftp->Connect();
        ADD_FAILURE() << "Connect after Abort succeeded";
    } catch (const FtpError& e) {
        EXPECT_EQ(e.Kind(), FtpErrorKind::Aborted);
    }
    ftp->Disconnect();

    ftp->ResetAbort();
    ftp->Connect();
    test::WriteFileBytes(local / "small.bin", "after the abort");
    ftp->Put((local / "small.bin").string(), "small.bin", false, -1);
    ftp->Get("small.bin", (local / "small-back.bin").string(), true, false);
    EXPECT_EQ(test::ReadFileBytes(local / "small-back.bin"), "after the abort");
    EXPECT_EQ(ftp->RetrieveCurrentDir(), "/");
}

INSTANTIATE_TEST_SUITE_P(Directions, AbortFromAnotherThread,
                         ::testing::Values(Direction::Download, Direction::Upload),
                         [](const auto& info) { return info.param == Direction::Download ? "Download" : "Upload"; });

TEST(AbortFromAnotherThreadStorm, AbortAtAnyMomentNeverBreaksTheClient) {
    test::PyFtpServer server;
    test::TempDir local;
    const std::string content = test::MakePattern(200000);
    test::WriteFileBytes(local / "a.bin", content);
    test::WriteFileBytes(server.Root() / "d.bin", content);
    auto ftp = test::MakeClient(server.Port());

    std::atomic<bool> stop{false};
    std::thread storm([&] {
        std::uint32_t pause = 1;
        while (!stop) {
            ftp->Abort();
            pause = pause * 1103515245u + 12345u;
            std::this_thread::sleep_for(std::chrono::microseconds(200 + pause % 3000));
        }
    });
    int aborted = 0;
    for (int i = 0; i < 30; ++i) {
        ftp->ResetAbort();
        try {
            if (!ftp->Connected())
                ftp->Connect();
            if (i % 2)
                ftp->Put((local / "a.bin").string(), "a.bin", false, -1);
            else
                ftp->Get("d.bin", (local / "d.bin").string(), true, false);
            ftp->RetrieveCurrentDir();
        } catch (const FtpError& e) {
            EXPECT_EQ(e.Kind(), FtpErrorKind::Aborted) << e.what();
            ++aborted;
        }
    }
    stop = true;
    storm.join();
    EXPECT_GT(aborted, 0);

    ftp->ResetAbort();
    if (!ftp->Connected())
        ftp->Connect();
    ftp->Put((local / "a.bin").string(), "final.bin", false, -1);
    EXPECT_TRUE(test::ReadFileBytes(server.Root() / "final.bin") == content);
    ftp->Get("final.bin", (local / "final.bin").string(), true, false);
    EXPECT_TRUE(test::ReadFileBytes(local / "final.bin") == content);
}

// Abort is not bound to a transfer: a stop between two steps must not be lost.
TEST(AbortWithoutTransfer, IsStickyUntilReset) {
    test::PyFtpServer server;
    test::WriteFileBytes(server.Root() / "a.txt", "abc");
    auto ftp = test::MakeClient(server.Port());
    ftp->Abort(); // before connecting
    EXPECT_THROW(ftp->Connect(), FtpError);
    EXPECT_EQ(server.Logins(), 0);
    ftp->ResetAbort();
    ftp->Connect();
    ftp->Abort();
    EXPECT_FALSE(ftp->Connected());
    try {
        ftp->Size("a.txt");
        ADD_FAILURE() << "Size after Abort succeeded";
    } catch (const FtpError& e) {
        EXPECT_EQ(e.Kind(), FtpErrorKind::Aborted);
        EXPECT_EQ(e.Reason(), "aborted");
    }
    ftp->ResetAbort();
    ftp->Connect();
    EXPECT_EQ(ftp->Size("a.txt"), 3);
    test::TempDir local;
    ftp->Get("a.txt", (local / "a.txt").string(), true, false);
    EXPECT_EQ(test::ReadFileBytes(local / "a.txt"), "abc");
}

} // namespace
} // namespace ct
