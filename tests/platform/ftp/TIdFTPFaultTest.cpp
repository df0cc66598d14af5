#include "platform/ftp/TIdFTP.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "FtpTestHelpers.h"
#include "platform/ftp/FtpTls.h"
#include "support/TestClock.h"

namespace ct {
namespace {

using namespace std::chrono_literals;
using test::WriteHook;

// Distinctive, so that finding it in a message cannot be a coincidence.
const std::string Password = "Pw-7f3a9c!";

test::PyFtpOptions Scripted(std::vector<std::string> extraArgs) {
    test::PyFtpOptions options;
    options.users = {"user:" + Password};
    options.extraArgs = std::move(extraArgs);
    return options;
}

std::unique_ptr<TIdFTP> Client(const test::PyFtpServer& server, std::chrono::milliseconds timeout = test::TestTimeout) {
    auto ftp = test::MakeClient(server.Port(), "user", Password);
    ftp->SetTimeouts(timeout);
    return ftp;
}

// A test clock that runs a hundred times too fast for as long as it lives, so that the
// transfer rules can be seen to fire at their real minutes.
class FastClock {
public:
    FastClock()
        : m_runner([this](std::stop_token stop) {
              while (!stop.stop_requested()) {
                  clock.Advance(1s);
                  std::this_thread::sleep_for(10ms);
              }
          }) {}

    test::TestClock clock;

private:
    std::jthread m_runner; // last: stops before the clock goes
};

// Runs the call, expects an FtpError, checks that its text never holds the password, and
// returns it for further checks.
FtpError ExpectFtpError(const std::function<void()>& call) {
    FtpError e = test::ExpectFtpError(call);
    EXPECT_EQ(std::string(e.what()).find(Password), std::string::npos) << e.what();
    EXPECT_EQ(e.Reason().find(Password), std::string::npos) << e.Reason();
    EXPECT_FALSE(std::string(e.what()).empty());
    EXPECT_FALSE(e.Reason().empty());
    return e;
}

// ---- connecting and logging in ----

// Failures that a later attempt may cure never cost a job: the kind says so.
TEST(FtpConnectFaults, RefusedConnectionIsUnavailable) {
    auto ftp = test::MakeClient(test::FreeLoopbackPort(), "user", Password);
    auto e = ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::Unavailable);
    EXPECT_EQ(e.Reason(), "connection refused");
    EXPECT_FALSE(ftp->Connected());
}

TEST(FtpConnectFaults, A4xxBeforeTheLoginIsUnavailable) {
    test::TempDir work;
    test::PyFtpServer busy(Scripted({"--hook", WriteHook(work, "def handle(self):\n"
                                                               "    self.respond('421 Too many connections from this IP.')\n"
                                                               "    self.close_when_done()\n"
                                                               "Handler.handle = handle\n")}));
    auto ftp = Client(busy);
    auto e = ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::Unavailable);
    EXPECT_EQ(e.ReplyCode(), 421);
    EXPECT_EQ(e.Reason(), "421 Too many connections from this IP.");

    test::PyFtpServer refusing(Scripted({"--refuse", "PASS=421"}));
    ftp = Client(refusing);
    e = ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::Unavailable);
    EXPECT_EQ(e.Reason(), "login refused (421)");
}

// A greeting of hundreds of lines is a greeting, not a broken server.
TEST(FtpConnectFaults, AGreetingOverSixtyFourKilobytesIsRead) {
    test::TempDir work;
    test::PyFtpServer server(Scripted({"--hook", WriteHook(work, "Handler.banner = '\\r\\n'.join(\n"
                                                                 "    'line %d of a long welcome %s' % (i, 'x' * 120) for i in range(600))\n")}));
    auto ftp = Client(server);
    ftp->Connect();
    EXPECT_TRUE(ftp->Connected());
    EXPECT_EQ(ftp->RetrieveCurrentDir(), "/");
}

TEST(FtpConnectFaults, EmptyHostOrPortZero) {
    auto ftp = test::MakeClient(21, "user", Password, "");
    ExpectFtpError([&] { ftp->Connect(); });
    ftp->SetHost("127.0.0.1");
    ftp->SetPort(0);
    ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_FALSE(ftp->Connected());
}

TEST(FtpConnectFaults, WrongPassword) {
    test::PyFtpServer server(Scripted({}));
    auto ftp = test::MakeClient(server.Port(), "user", Password + "x");
    auto e = ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_EQ(e.ReplyCode(), 530);
    EXPECT_EQ(std::string(e.what()).find(Password + "x"), std::string::npos);
    EXPECT_FALSE(ftp->Connected());
    ftp->SetPassword(Password);
    ftp->Connect();
    EXPECT_TRUE(ftp->Connected());
}

TEST(FtpConnectFaults, ServerEchoingThePasswordDoesNotLeakIt) {
    test::TempDir work;
    const std::string hook = WriteHook(work,
                                       "def ftp_PASS(self, line):\n"
                                       "    self.respond('530 Wrong password %s for %s.' % (line, self.username))\n"
                                       "Handler.ftp_PASS = ftp_PASS\n");
    test::PyFtpServer server(Scripted({"--hook", hook}));
    auto ftp = Client(server);
    auto e = ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_EQ(e.ReplyCode(), 530);
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
    // A refused login is reported by its code: the reply to PASS is never quoted.
    EXPECT_EQ(e.Reason(), "login refused (530)");
    EXPECT_EQ(std::string(e.what()).find("Wrong password"), std::string::npos) << e.what();
}

TEST(FtpConnectFaults, SilentGreetingTimesOutByTheClientsClock) {
    // A socket that listens but never answers: the kernel completes the connection, the
    // greeting never comes. The reply deadline goes by the clock the client is given, so a minute
    // passes here in well under a second.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t length = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
    auto ftp = test::MakeClient(ntohs(addr.sin_port), "user", Password);
    ftp->SetTimeouts(60s);
    FastClock fast;
    ftp->SetClock(&fast.clock);
    const auto start = std::chrono::steady_clock::now();
    auto e = ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_GE(fast.clock.Elapsed(), 60s);
    EXPECT_EQ(e.Kind(), FtpErrorKind::Unavailable);
    EXPECT_EQ(e.Reason(), "no greeting from the server (timed out)");
    EXPECT_FALSE(ftp->Connected());
    close(listener);
}

// One deadline per reply, however many 1xx replies the server sends meanwhile.
TEST(FtpConnectFaults, AGreetingThatNeverComesPast1xxTimesOut) {
    test::TempDir work;
    test::PyFtpServer server(Scripted({"--hook", WriteHook(work, "def handle(self):\n"
                                                                 "    self.ioloop.call_every(0.2, lambda: self.push('120 Wait.\\r\\n'))\n"
                                                                 "Handler.handle = handle\n")}));
    auto ftp = Client(server, 1s);
    auto start = std::chrono::steady_clock::now();
    auto e = ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(e.Kind(), FtpErrorKind::Unavailable);
}

// ---- a session that the server ends ----

TEST(FtpSessionFaults, IdleTimeout421ReadsAsNotConnectedAndAReconnectWorks) {
    test::PyFtpServer server(Scripted({"--idle-timeout", "1"}));
    auto ftp = Client(server);
    ftp->Connect();
    ASSERT_TRUE(ftp->Connected());
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (ftp->Connected() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(ftp->Connected());
    ftp->Connect();
    EXPECT_TRUE(ftp->Connected());
    EXPECT_EQ(ftp->RetrieveCurrentDir(), "/");
    EXPECT_EQ(server.Logins(), 2);
}

TEST(FtpSessionFaults, KilledServerReadsAsNotConnected) {
    test::PyFtpServer server(Scripted({}));
    auto ftp = Client(server);
    ftp->Connect();
    server.Kill();
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (ftp->Connected() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(ftp->Connected());
    ExpectFtpError([&] { ftp->RetrieveCurrentDir(); });
    ExpectFtpError([&] { ftp->Connect(); });
}

TEST(FtpSessionFaults, ACommandAnsweredOnlyWith1xxTimesOut) {
    test::TempDir work;
    test::PyFtpServer server(Scripted({"--hook", WriteHook(work, "def ftp_MKD(self, path):\n"
                                                                 "    self.ioloop.call_every(0.2, lambda: self.push('120 Working.\\r\\n'))\n"
                                                                 "Handler.ftp_MKD = ftp_MKD\n")}));
    auto ftp = Client(server, 1s);
    ftp->Connect();
    auto start = std::chrono::steady_clock::now();
    auto e = ExpectFtpError([&] { ftp->MakeDir("slow"); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
    EXPECT_EQ(e.Reason(), "no reply to MKD (timed out)");
    EXPECT_FALSE(ftp->Connected());
}

TEST(FtpSessionFaults, SilentReplyTimesOutAndDropsTheSession) {
    test::PyFtpServer server(Scripted({"--silent", "PWD"}));
    auto ftp = Client(server, 1s);
    ftp->Connect();
    ExpectFtpError([&] { ftp->RetrieveCurrentDir(); });
    EXPECT_FALSE(ftp->Connected());
    ftp->Connect();
    ftp->ChangeDir("/");
    EXPECT_TRUE(ftp->Connected());
}

// ---- refusals ----

TEST(FtpRefusals, MkdRefused) {
    test::PyFtpServer server(Scripted({"--refuse", "MKD=550"}));
    auto ftp = Client(server);
    ftp->Connect();
    EXPECT_EQ(ExpectFtpError([&] { ftp->MakeDir("x"); }).ReplyCode(), 550);
    EXPECT_TRUE(ftp->Connected());
}

TEST(FtpRefusals, StorRefused) {
    test::PyFtpServer server(Scripted({"--refuse", "STOR=553"}));
    auto ftp = Client(server);
    test::WorkLog work;
    work.Attach(*ftp);
    ftp->Connect();
    test::TempDir local;
    test::WriteFileBytes(local / "a.bin", "data");
    EXPECT_EQ(ExpectFtpError([&] { ftp->Put((local / "a.bin").string(), "a.bin", false, -1); }).ReplyCode(), 553);
    EXPECT_EQ(work.begins, 0);
    EXPECT_TRUE(ftp->Connected());
    EXPECT_EQ(ftp->RetrieveCurrentDir(), "/");
}

TEST(FtpRefusals, EmptyRemoteNameIsRefusedLocally) {
    test::PyFtpServer server(Scripted({}));
    auto ftp = Client(server);
    ftp->Connect();
    test::TempDir local;
    test::WriteFileBytes(local / "a.bin", "data");
    server.ClearLog();
    ExpectFtpError([&] { ftp->Put((local / "a.bin").string(), "", false, -1); });
    ExpectFtpError([&] { ftp->Get("", (local / "b.bin").string(), true, false); });
    EXPECT_TRUE(server.Log().empty());
}

TEST(FtpRefusals, EmptyDirectoryArgumentsSendTheBareCommand) {
    test::PyFtpServer server(Scripted({}));
    auto ftp = Client(server);
    ftp->Connect();
    server.ClearLog();
    ExpectFtpError([&] { ftp->MakeDir(""); });
    ftp->ChangeDir(""); // pyftpdlib: the home directory
    EXPECT_EQ(server.Log(), (std::vector<std::string>{"MKD", "CWD"}));
    EXPECT_TRUE(ftp->Connected());
}

// ---- servers without SIZE, missing remote files ----

TEST(FtpSizeless, ADownloadDoesNotHingeOnSize) {
    for (const char* code : {"500", "550", "502"}) {
        test::PyFtpServer server(Scripted({"--refuse", std::string("SIZE=") + code}));
        test::WriteFileBytes(server.Root() / "a.bin", test::MakePattern(70000));
        auto ftp = Client(server);
        test::WorkLog work;
        work.Attach(*ftp);
        ftp->Connect();
        EXPECT_EQ(ftp->Size("a.bin"), -1) << code;
        test::TempDir local;
        ftp->Get("a.bin", (local / "a.bin").string(), true, false);
        EXPECT_TRUE(test::ReadFileBytes(local / "a.bin") == test::MakePattern(70000)) << code;
        EXPECT_EQ(work.beginCount, 0); // pyftpdlib's 150 names no byte count
        EXPECT_EQ(work.progress.back(), 70000);
        EXPECT_TRUE(ftp->Connected());
    }
}

TEST(FtpSizeless, RetrOfAMissingFileIsRemoteMissingAndLeavesNoLocalFile) {
    test::PyFtpServer server(Scripted({}));
    auto ftp = Client(server);
    ftp->Connect();
    test::TempDir local;
    auto e = ExpectFtpError([&] { ftp->Get("missing.bin", (local / "m.bin").string(), true, false); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::RemoteMissing);
    EXPECT_EQ(e.ReplyCode(), 550);
    EXPECT_FALSE(std::filesystem::exists(local / "m.bin"));
    // An existing local file is left as it was.
    test::WriteFileBytes(local / "kept.bin", "keep me");
    ExpectFtpError([&] { ftp->Get("missing.bin", (local / "kept.bin").string(), true, false); });
    EXPECT_EQ(test::ReadFileBytes(local / "kept.bin"), "keep me");
    EXPECT_TRUE(ftp->Connected());
}

TEST(FtpSizeless, ARefusedRetrThatIsNotAboutAMissingFileIsAJobFailure) {
    test::PyFtpServer server(Scripted({"--refuse", "RETR=550"})); // "550 Refused by the test server."
    test::WriteFileBytes(server.Root() / "a.bin", "abc");
    auto ftp = Client(server);
    ftp->Connect();
    test::TempDir local;
    auto e = ExpectFtpError([&] { ftp->Get("a.bin", (local / "a.bin").string(), true, false); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
    EXPECT_EQ(e.Reason(), "550 Refused by the test server.");
}

// ---- the password never travels on in a text ----

TEST(FtpSecrets, APasswordEchoedByTheServerIsMaskedBeforeAnyTextIsShortened) {
    // The reply puts the password at every offset around the bounds of the reason (120)
    // and of the message (300): shortening first would leave its first characters.
    test::TempDir work;
    test::PyFtpServer server(Scripted({"--hook", WriteHook(work, "import posixpath\n"
                                                                 "def ftp_MKD(self, path):\n"
                                                                 "    n = int(posixpath.basename(path))\n"
                                                                 "    self.respond('550 ' + 'y' * n + '" + Password + "' + ' z' * 200)\n"
                                                                 "Handler.ftp_MKD = ftp_MKD\n")}));
    auto ftp = Client(server);
    ftp->Connect();
    const std::string start = Password.substr(0, 3);
    for (int n : {100, 105, 110, 112, 113, 114, 115, 116, 117, 118, 120, 280, 285, 288, 290, 292, 294, 296, 300}) {
        auto e = ExpectFtpError([&] { ftp->MakeDir(std::to_string(n)); });
        EXPECT_EQ(std::string(e.what()).find(start), std::string::npos) << n << ": " << e.what();
        EXPECT_EQ(e.Reason().find(start), std::string::npos) << n << ": " << e.Reason();
    }
    EXPECT_TRUE(ftp->Connected());
}

// ---- broken transfers ----

TEST(FtpTransferFaults, DataConnectionCutDuringDownload) {
    test::PyFtpServer server(Scripted({"--cut-retr", "100000"}));
    test::WriteFileBytes(server.Root() / "a.bin", test::MakePattern(1000000));
    auto ftp = Client(server);
    test::WorkLog work;
    work.Attach(*ftp);
    ftp->Connect();
    test::TempDir local;
    EXPECT_EQ(ExpectFtpError([&] { ftp->Get("a.bin", (local / "a.bin").string(), true, false); }).ReplyCode(), 426);
    EXPECT_EQ(work.ends, 1);
    EXPECT_TRUE(ftp->Connected());
    EXPECT_EQ(ftp->Size("a.bin"), 1000000);
}

TEST(FtpTransferFaults, DataConnectionCutDuringUpload) {
    test::PyFtpServer server(Scripted({"--cut-stor", "100000"}));
    auto ftp = Client(server);
    ftp->Connect();
    test::TempDir local;
    test::WriteFileBytes(local / "a.bin", test::MakePattern(3000000));
    ExpectFtpError([&] { ftp->Put((local / "a.bin").string(), "a.bin", false, -1); });
    if (!ftp->Connected())
        ftp->Connect();
    EXPECT_EQ(ftp->RetrieveCurrentDir(), "/");
}

TEST(FtpTransferFaults, ShortDownloadAcknowledgedWith226IsAnError) {
    test::PyFtpServer server(Scripted({"--short-retr", "5000"}));
    test::WriteFileBytes(server.Root() / "a.bin", test::MakePattern(20000));
    auto ftp = Client(server);
    ftp->Connect();
    test::TempDir local;
    // The worker asks the size first; the download takes it from there, without a SIZE of
    // its own.
    ASSERT_EQ(ftp->Size("a.bin"), 20000);
    auto e = ExpectFtpError([&] { ftp->Get("a.bin", (local / "a.bin").string(), true, false); });
    EXPECT_NE(std::string(e.what()).find("5000 of 20000"), std::string::npos) << e.what();
    EXPECT_EQ(server.Commands("SIZE").size(), 1u);
    EXPECT_TRUE(ftp->Connected());
}

// The server closes the data connection part-way through an upload yet answers 226: the
// reset it leaves on the connection gives the truncation away. No SIZE is sent after an
// upload: a server may store under another name (pure-ftpd -r makes "a.bin.1"), and it would
// cost a round trip per job.
TEST(FtpTransferFaults, UploadCutByTheServerIsAnErrorEvenWith226) {
    test::TempDir work;
    const std::string hook = WriteHook(work,
                                       "base_read = DTPHandler.handle_read\n"
                                       "def handle_read(self):\n"
                                       "    if self.tot_bytes_received >= 100000:\n"
                                       "        self._resp = ('226 Transfer complete.', lambda *a: None)\n"
                                       "        self.close()\n"
                                       "        return\n"
                                       "    base_read(self)\n"
                                       "DTPHandler.handle_read = handle_read\n"
                                       "DTPHandler.handle_read_event = handle_read\n");
    test::PyFtpServer server(Scripted({"--hook", hook}));
    auto ftp = Client(server);
    ftp->Connect();
    test::TempDir local;
    test::WriteFileBytes(local / "a.bin", test::MakePattern(8 * 1024 * 1024));
    auto e = ExpectFtpError([&] { ftp->Put((local / "a.bin").string(), "a.bin", false, -1); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
    EXPECT_TRUE(server.Commands("SIZE").empty());
}

TEST(FtpTransferFaults, UploadWithoutSizeSupportIsTrusted) {
    test::PyFtpServer server(Scripted({"--refuse", "SIZE=502"}));
    auto ftp = Client(server);
    ftp->Connect();
    test::TempDir local;
    test::WriteFileBytes(local / "a.bin", "abc");
    ftp->Put((local / "a.bin").string(), "a.bin", false, -1);
    EXPECT_EQ(test::ReadFileBytes(server.Root() / "a.bin"), "abc");
    EXPECT_EQ(ftp->Size("a.bin"), -1); // no size to be had is no error
    EXPECT_TRUE(ftp->Connected());
}

TEST(FtpTransferFaults, StalledDownloadTimesOut) {
    FastClock fast; // outlives the client
    test::PyFtpServer server(Scripted({"--stall-retr"}));
    test::WriteFileBytes(server.Root() / "a.bin", test::MakePattern(1000));
    auto ftp = Client(server);
    ftp->SetDataTimeout(TIdFTP::DefaultTimeout);
    ftp->Connect();
    test::TempDir local;
    ftp->SetClock(&fast.clock);
    const auto start = std::chrono::steady_clock::now();
    const auto testStart = fast.clock.Now();
    auto e = ExpectFtpError([&] { ftp->Get("a.bin", (local / "a.bin").string(), true, false); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_GE(fast.clock.Now() - testStart, TIdFTP::DefaultTimeout);
    EXPECT_EQ(e.Reason(), "transfer stalled");
    EXPECT_NE(std::string(e.what()).find("moved nothing for 30 s"), std::string::npos) << e.what();
    if (!ftp->Connected())
        ftp->Connect();
    EXPECT_EQ(ftp->RetrieveCurrentDir(), "/");
}

TEST(FtpTransferFaults, SilentStorTimesOut) {
    test::PyFtpServer server(Scripted({"--silent", "STOR"}));
    auto ftp = Client(server);
    ftp->SetReplyTimeout(1s);
    ftp->Connect();
    test::TempDir local;
    test::WriteFileBytes(local / "a.bin", "abc");
    ExpectFtpError([&] { ftp->Put((local / "a.bin").string(), "a.bin", false, -1); });
    EXPECT_FALSE(ftp->Connected());
}

// On a slow link the socket still holds seconds of an upload after the last write; the
// server's 226 comes only once it has read all of it. That wait is progress, not silence.
TEST(FtpTransferFaults, SlowDrainingUploadIsNotMistakenForASilentServer) {
    test::PyFtpServer server(Scripted({"--throttle", "300000", "--data-rcvbuf", "32768"}));
    auto ftp = Client(server);
    ftp->SetReplyTimeout(1s);
    ftp->Connect();
    test::TempDir local;
    const std::string bytes = test::MakePattern(1500000, 3);
    test::WriteFileBytes(local / "a.bin", bytes);
    ftp->Put((local / "a.bin").string(), "a.bin", false, -1);
    EXPECT_EQ(test::ReadFileBytes(server.Root() / "a.bin"), bytes);
    EXPECT_TRUE(ftp->Connected());
}

// A trickle keeps the stall time-out fresh for ever; the low-speed floor ends it.
TEST(FtpTransferFaults, ATrickleFailsAtTheLowSpeedFloor) {
    FastClock fast; // outlives the client
    test::TempDir work;
    test::PyFtpServer server(Scripted({"--hook", WriteHook(work, "def ftp_RETR(self, file):\n"
                                                                 "    self.respond('150 Here it comes, slowly.')\n"
                                                                 "    def tick():\n"
                                                                 "        try:\n"
                                                                 "            self.data_channel.socket.send(b'x')\n"
                                                                 "        except Exception:\n"
                                                                 "            pass  # not accepted yet, or gone\n"
                                                                 "    self.ioloop.call_every(0.1, tick)\n"
                                                                 "Handler.ftp_RETR = ftp_RETR\n")}));
    test::WriteFileBytes(server.Root() / "a.bin", "whatever");
    auto ftp = Client(server);
    // The floor as it ships; no stall rule, which a busy machine pausing the trickle for a
    // few fast seconds could set off instead.
    ftp->SetDataTimeout(std::chrono::hours(1));
    ftp->Connect();
    test::TempDir local;
    ftp->SetClock(&fast.clock);
    auto start = std::chrono::steady_clock::now();
    const auto testStart = fast.clock.Now();
    auto e = ExpectFtpError([&] { ftp->Get("a.bin", (local / "a.bin").string(), true, false); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_GE(fast.clock.Now() - testStart, 60s);
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
    EXPECT_EQ(e.Reason().rfind("transfer too slow", 0), 0u) << e.Reason();
    EXPECT_NE(std::string(e.what()).find("fewer than 1024 bytes in 60 s"), std::string::npos) << e.what();
}

// A source that is not a regular file would block the upload (a FIFO without a writer) or
// never end (a device): it fails at once, before anything is sent.
TEST(FtpLocalFiles, ASourceThatIsNotARegularFileFailsAtOnce) {
    test::PyFtpServer server(Scripted({}));
    auto ftp = Client(server);
    ftp->Connect();
    test::TempDir local;
    ASSERT_EQ(mkfifo((local / "fifo").c_str(), 0600), 0);
    server.ClearLog();
    for (const std::string& source : {(local / "fifo").string(), std::string("/dev/zero"), local.Path().string()}) {
        auto start = std::chrono::steady_clock::now();
        auto e = ExpectFtpError([&] { ftp->Put(source, "x.bin", false, -1); });
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
        EXPECT_EQ(e.Reason(), "the local file is not a regular file") << source;
    }
    EXPECT_TRUE(server.Log().empty());
    EXPECT_TRUE(ftp->Connected());
}

// ---- abort ends every wait ----

// A listener that accepts connections (the kernel does) and never says a word.
struct SilentListener {
    SilentListener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(fd, 4);
        socklen_t length = sizeof addr;
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
        port = ntohs(addr.sin_port);
    }
    ~SilentListener() { close(fd); }
    int fd = -1;
    std::uint16_t port = 0;
};

enum class Wait { Greeting, TlsHandshake, CommandReply, UploadDrain };

std::string WaitName(Wait wait) {
    switch (wait) {
    case Wait::Greeting: return "Greeting";
    case Wait::TlsHandshake: return "TlsHandshake";
    case Wait::CommandReply: return "CommandReply";
    case Wait::UploadDrain: return "UploadDrain";
    }
    return "?";
}

class AbortEndsTheWait : public ::testing::TestWithParam<Wait> {};

TEST_P(AbortEndsTheWait, WithinAFractionOfASecond) {
    SilentListener silent;
    std::unique_ptr<test::PyFtpServer> server;
    std::unique_ptr<TIdFTP> ftp;
    test::TempDir local;
    test::WorkLog work;
    std::function<void()> step;
    // By default the step is surely waiting after a while; the drain is reached once the
    // whole file has been handed to the socket.
    std::function<bool()> waiting = [] { return false; };
    switch (GetParam()) {
    case Wait::Greeting:
        ftp = test::MakeClient(silent.port, "user", Password);
        step = [&] { ftp->Connect(); };
        break;
    case Wait::TlsHandshake:
        if (!ftp::TlsAvailable())
            GTEST_SKIP() << "built without TLS";
        ftp = test::MakeClient(silent.port, "user", Password);
        ftp->SetSecurity(FtpSecurity::ImplicitTls);
        step = [&] { ftp->Connect(); };
        break;
    case Wait::CommandReply:
        server = std::make_unique<test::PyFtpServer>(Scripted({"--silent", "PWD"}));
        ftp = Client(*server);
        ftp->Connect();
        step = [&] { ftp->RetrieveCurrentDir(); };
        break;
    case Wait::UploadDrain:
        // All of it fits in the socket buffers at once; the server then reads a trickle.
        server = std::make_unique<test::PyFtpServer>(Scripted({"--throttle", "20000", "--data-rcvbuf", "32768"}));
        ftp = Client(*server);
        ftp->Connect();
        test::WriteFileBytes(local / "a.bin", test::MakePattern(600000));
        work.Attach(*ftp);
        waiting = [&] { return work.lastProgress.load() == 600000; };
        step = [&] { ftp->Put((local / "a.bin").string(), "a.bin", false, -1); };
        break;
    }
    std::chrono::steady_clock::time_point abortedAt;
    std::thread stopper([&] {
        auto until = std::chrono::steady_clock::now() + 700ms;
        while (!waiting() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(5ms);
        abortedAt = std::chrono::steady_clock::now();
        ftp->Abort();
    });
    auto e = ExpectFtpError(step);
    auto returnedAt = std::chrono::steady_clock::now();
    stopper.join();
    EXPECT_EQ(e.Kind(), FtpErrorKind::Aborted) << e.what();
    EXPECT_LT(returnedAt - abortedAt, 500ms);
    EXPECT_FALSE(ftp->Connected());
}

INSTANTIATE_TEST_SUITE_P(Waits, AbortEndsTheWait,
                         ::testing::Values(Wait::Greeting, Wait::TlsHandshake, Wait::CommandReply, Wait::UploadDrain),
                         [](const auto& info) { return WaitName(info.param); });

// ---- unsafe arguments ----

struct UnsafeCall {
    const char* name;
    std::function<void(TIdFTP&, const std::string& bad, const std::string& localFile)> call;
};

class UnsafeArgument : public ::testing::TestWithParam<std::tuple<UnsafeCall, std::string>> {};

TEST_P(UnsafeArgument, IsRefusedWithNothingSent) {
    const auto& [call, bad] = GetParam();
    test::PyFtpServer server(Scripted({}));
    auto ftp = Client(server);
    ftp->Connect();
    test::TempDir local;
    test::WriteFileBytes(local / "a.bin", "abc");
    server.ClearLog();
    ExpectFtpError([&] { call.call(*ftp, bad, (local / "a.bin").string()); });
    EXPECT_TRUE(server.Log().empty()) << server.Log().front();
    EXPECT_TRUE(ftp->Connected());
    EXPECT_EQ(ftp->RetrieveCurrentDir(), "/");
    EXPECT_FALSE(test::LogMentions(server, "DELE"));
}

INSTANTIATE_TEST_SUITE_P(
    Calls, UnsafeArgument,
    ::testing::Combine(
        ::testing::Values(
            UnsafeCall{"MakeDir", [](TIdFTP& f, const std::string& b, const std::string&) { f.MakeDir(b); }},
            UnsafeCall{"ChangeDir", [](TIdFTP& f, const std::string& b, const std::string&) { f.ChangeDir(b); }},
            UnsafeCall{"Size", [](TIdFTP& f, const std::string& b, const std::string&) { f.Size(b); }},
            UnsafeCall{"Get", [](TIdFTP& f, const std::string& b, const std::string& l) { f.Get(b, l + ".x", true, false); }},
            UnsafeCall{"Put", [](TIdFTP& f, const std::string& b, const std::string& l) { f.Put(l, b, false, -1); }}),
        ::testing::Values(std::string("a\r\nDELE a.bin"), std::string("a\nDELE a.bin"), std::string("a\rDELE"),
                          std::string("a\0DELE", 6))),
    [](const auto& info) { return std::string(std::get<0>(info.param).name) + "_" + std::to_string(info.index); });

TEST(UnsafeLogin, LineBreakInUserOrPasswordIsRefusedBeforeConnecting) {
    test::PyFtpServer server(Scripted({}));
    auto ftp = test::MakeClient(server.Port(), "user\r\nDELE x", Password);
    ExpectFtpError([&] { ftp->Connect(); });
    ftp->SetUsername("user");
    ftp->SetPassword(Password + "\r\nDELE x");
    ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_TRUE(server.Log().empty());
}

TEST(UnsafeLogin, NoOperationWithoutAConnection) {
    TIdFTP ftp;
    EXPECT_FALSE(ftp.Connected());
    EXPECT_THROW(ftp.Size("a"), FtpError);
    EXPECT_THROW(ftp.RetrieveCurrentDir(), FtpError);
    EXPECT_THROW(ftp.MakeDir("a"), FtpError);
    EXPECT_THROW(ftp.ChangeDir("a"), FtpError);
    EXPECT_THROW(ftp.Get("a", "/tmp/never-written", true, false), FtpError);
}

} // namespace
} // namespace ct
