#include "platform/ftp/TIdFTP.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include <asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include "FtpTestHelpers.h"
#include "platform/ftp/FtpTls.h"
#include "support/FtpsServers.h"

namespace ct {
namespace {

using namespace std::chrono_literals;
using test::TestCertificates;

// Every test here needs a build with TLS, but the one that checks a build without it.
class TlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ftp::TlsAvailable())
            GTEST_SKIP() << "built without TLS";
    }
};

using TlsVerification = TlsTest;
using TlsRefusals = TlsTest;
using TlsDataEnd = TlsTest;
using TlsAbort = TlsTest;

// Made once per test program: four RSA keys take a moment.
const TestCertificates& Certs() {
    static const TestCertificates certificates;
    return certificates;
}

#define SKIP_UNLESS_VSFTPD()                      \
    if (!test::VsftpdTlsServer::Available())      \
    GTEST_SKIP() << "vsftpd needs root"

std::unique_ptr<TIdFTP> TlsClient(std::uint16_t port, FtpSecurity security, const std::string& user = "anonymous",
                                  const std::string& password = "guest@example") {
    auto ftp = test::MakeClient(port, user, password);
    ftp->SetSecurity(security);
    ftp->SetCaFile(Certs().CaFile().string());
    return ftp;
}

void RoundTrip(TIdFTP& ftp, const std::filesystem::path& serverFolder, const std::string& remoteFolder,
               std::size_t size) {
    test::TempDir local;
    const std::string content = test::MakePattern(size, static_cast<std::uint32_t>(size + 3));
    test::WriteFileBytes(local / "up.bin", content);
    ftp.ChangeDir(remoteFolder);
    ftp.Put((local / "up.bin").string(), "up.bin", false, -1);
    ASSERT_TRUE(test::ReadFileBytes(serverFolder / "up.bin") == content) << size;
    ASSERT_EQ(ftp.Size("up.bin"), static_cast<std::int64_t>(size));
    ftp.Get("up.bin", (local / "down.bin").string(), true, false);
    ASSERT_TRUE(test::ReadFileBytes(local / "down.bin") == content) << size;
}

// ---- byte-exact transfers, verified, on every kind of FTPS server ----

enum class Flavour { VsftpdTls13, VsftpdTls12, VsftpdImplicit, Pyftpdlib };

std::string ToString(Flavour f) {
    switch (f) {
    case Flavour::VsftpdTls13: return "vsftpd_tls13";
    case Flavour::VsftpdTls12: return "vsftpd_tls12";
    case Flavour::VsftpdImplicit: return "vsftpd_implicit";
    case Flavour::Pyftpdlib: return "pyftpdlib";
    }
    return "?";
}

// One FTPS server of a flavour, with the client settings that reach it.
struct AnyTlsServer {
    explicit AnyTlsServer(Flavour flavour, const TestCertificates::Pair& certificate = Certs().Trusted()) {
        if (flavour == Flavour::Pyftpdlib) {
            test::PyFtpTlsOptions options;
            options.certificate = &certificate;
            py = std::make_unique<test::PyFtpTlsServer>(options);
            port = py->Port();
            user = "user";
            password = "secret";
            folder = py->Root();
            remote = "/";
            return;
        }
        if (!test::VsftpdTlsServer::Available()) {
            why = "vsftpd needs root";
            return;
        }
        test::VsftpdTlsOptions options;
        options.certificate = &certificate;
        options.tls12Only = flavour == Flavour::VsftpdTls12;
        options.implicitTls = flavour == Flavour::VsftpdImplicit;
        vsftpd = std::make_unique<test::VsftpdTlsServer>(options);
        if (!vsftpd->Started()) {
            why = "vsftpd did not start: " + vsftpd->StartupError();
            return;
        }
        port = vsftpd->Port();
        security = options.implicitTls ? FtpSecurity::ImplicitTls : FtpSecurity::ExplicitTls;
        folder = vsftpd->Root() / "up";
        remote = "/up/";
    }

    std::unique_ptr<TIdFTP> Client() const { return TlsClient(port, security, user, password); }

    std::unique_ptr<test::PyFtpTlsServer> py;
    std::unique_ptr<test::VsftpdTlsServer> vsftpd;
    std::string why;
    std::uint16_t port = 0;
    FtpSecurity security = FtpSecurity::ExplicitTls;
    std::string user = "anonymous";
    std::string password = "guest@example";
    std::filesystem::path folder;
    std::string remote;
};

class TlsTransfers : public ::testing::TestWithParam<Flavour> {
protected:
    void SetUp() override {
        if (!ftp::TlsAvailable())
            GTEST_SKIP() << "built without TLS";
    }
};

TEST_P(TlsTransfers, UploadAndDownloadAreByteExact) {
    AnyTlsServer server(GetParam());
    if (!server.why.empty())
        GTEST_SKIP() << server.why;
    auto ftp = server.Client();
    ftp->Connect();
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{3 * 1024 * 1024 + 7}})
        RoundTrip(*ftp, server.folder, server.remote, size);
    EXPECT_TRUE(ftp->Connected());
    if (server.py) {
        auto log = server.py->Log();
        EXPECT_NE(std::find(log.begin(), log.end(), "PROT P"), log.end());
        EXPECT_NE(std::find(log.begin(), log.end(), "PBSZ 0"), log.end());
    }
}

// vsftpd refuses ("522 ... session reuse required") a data connection that does not resume
// the control connection's TLS session. Under TLS 1.3 the session comes as a ticket after the
// handshake; the hundredth data connection of a session must resume as the first does.
TEST_P(TlsTransfers, EveryDataConnectionOfALongSessionWorks) {
    AnyTlsServer server(GetParam());
    if (!server.why.empty())
        GTEST_SKIP() << server.why;
    auto ftp = server.Client();
    ftp->Connect();
    ftp->ChangeDir(server.remote);
    test::TempDir local;
    for (int i = 0; i < 50; ++i) {
        const std::string name = "f" + std::to_string(i) + ".bin";
        const std::string content = test::MakePattern(static_cast<std::size_t>(100 + i * 331), static_cast<std::uint32_t>(i));
        test::WriteFileBytes(local / name, content);
        ftp->Put((local / name).string(), name, false, -1);
        ftp->Get(name, (local / ("back-" + name)).string(), true, false);
        ASSERT_TRUE(test::ReadFileBytes(local / ("back-" + name)) == content) << name;
    }
    EXPECT_TRUE(ftp->Connected());
}

// Folder commands sent together arrive in one TLS record; each is answered in order, and an
// upload into the folder they end in follows on the same session.
TEST_P(TlsTransfers, FolderCommandsSentTogetherAreAnsweredInOrder) {
    AnyTlsServer server(GetParam());
    if (!server.why.empty())
        GTEST_SKIP() << server.why;
    auto ftp = server.Client();
    ftp->Connect();
    const auto mkd = FtpFolderCommand::Verb::MakeDir;
    const auto cwd = FtpFolderCommand::Verb::ChangeDir;
    const std::string target = server.remote + "a/b";
    EXPECT_EQ(ftp->RunFolderCommands({{cwd, server.remote}, {mkd, "a"}, {cwd, "a"}, {mkd, "a"}, {mkd, "b"},
                                      {cwd, "nope"}, {cwd, target}}),
              (std::vector<bool>{true, true, true, true, true, false, true}));
    EXPECT_EQ(ftp->KnownCurrentDir(), target);
    test::TempDir local;
    test::WriteFileBytes(local / "f.bin", "in the folder");
    ftp->Put((local / "f.bin").string(), "f.bin", false, -1);
    EXPECT_EQ(test::ReadFileBytes(server.folder / "a" / "b" / "f.bin"), "in the folder");
    EXPECT_TRUE(std::filesystem::is_directory(server.folder / "a" / "a"));
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsTransfers,
                         ::testing::Values(Flavour::VsftpdTls13, Flavour::VsftpdTls12, Flavour::VsftpdImplicit,
                                           Flavour::Pyftpdlib),
                         [](const auto& info) { return ToString(info.param); });

// ---- the certificate check ----

TEST_F(TlsVerification, AHostNameIsCheckedAgainstTheCertificate) {
    AnyTlsServer server(Flavour::Pyftpdlib);
    auto ftp = server.Client();
    ftp->SetHost("localhost"); // the certificate names it beside 127.0.0.1
    ftp->Connect();
    RoundTrip(*ftp, server.folder, server.remote, 1000);
}

TEST_F(TlsVerification, ACertificateForAnotherNameIsRefused) {
    AnyTlsServer server(Flavour::Pyftpdlib, Certs().WrongName());
    auto ftp = server.Client();
    auto e = test::ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
    EXPECT_NE(e.Reason().find("does not match 127.0.0.1"), std::string::npos) << e.Reason();
    EXPECT_FALSE(ftp->Connected());
    auto log = server.py->Log();
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("USER", 0) == 0; }), 0);
}

TEST_F(TlsVerification, AnUntrustedCertificateIsRefusedNamingItsFingerprint) {
    AnyTlsServer server(Flavour::Pyftpdlib, Certs().SelfSigned());
    auto ftp = server.Client();
    auto e = test::ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
    EXPECT_NE(e.Reason().find("not trusted"), std::string::npos) << e.Reason();
    // In the form openssl prints, so that a user who has checked it can pin it.
    EXPECT_NE(e.Reason().find(Certs().SelfSigned().fingerprint), std::string::npos) << e.Reason();
    EXPECT_NE(std::string(e.what()).find(Certs().SelfSigned().fingerprint), std::string::npos);
}

TEST_F(TlsVerification, APinStandsInForTrustAndName) {
    AnyTlsServer server(Flavour::Pyftpdlib, Certs().SelfSigned());
    const std::string printed = Certs().SelfSigned().fingerprint; // "AB:CD:..."
    std::string lowerNoColons;
    for (char c : printed)
        if (c != ':')
            lowerNoColons += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& pin : {printed, lowerNoColons, "sha256 Fingerprint=" + printed}) {
        auto ftp = server.Client();
        ftp->SetCaFile("");
        ftp->SetHost("localhost");
        ftp->SetPinnedFingerprint(pin);
        ftp->Connect();
        RoundTrip(*ftp, server.folder, server.remote, 5000);
        ftp->Disconnect();
    }
}

TEST_F(TlsVerification, AWrongPinIsRefusedEvenForATrustedCertificate) {
    AnyTlsServer server(Flavour::Pyftpdlib);
    auto ftp = server.Client();
    ftp->SetPinnedFingerprint(Certs().SelfSigned().fingerprint);
    auto e = test::ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
    EXPECT_NE(e.Reason().find("pinned"), std::string::npos) << e.Reason();
    EXPECT_NE(e.Reason().find(Certs().Trusted().fingerprint), std::string::npos) << e.Reason();

    ftp->SetPinnedFingerprint("12:34");
    e = test::ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
    EXPECT_EQ(e.Reason(), "malformed fingerprint");
}

// ---- an IPv6 address with a zone id ----

// The zone id picks the link, not the server: the certificate must still name the address.
// Link-local addresses (fe80::1%eth0) are where zone ids occur; on loopback ::1 takes one too.
struct ZoneCase {
    const char* name;
    const char* host;
    bool rightCertificate;
};

class TlsZoneId : public ::testing::TestWithParam<ZoneCase> {
protected:
    void SetUp() override {
        if (!ftp::TlsAvailable())
            GTEST_SKIP() << "built without TLS";
        asio::io_context io;
        asio::ip::tcp::acceptor probe(io);
        asio::error_code ec;
        probe.open(asio::ip::tcp::v6(), ec);
        if (!ec)
            probe.bind({asio::ip::make_address("::1"), 0}, ec);
        if (ec)
            GTEST_SKIP() << "no IPv6 loopback here";
    }
};

TEST_P(TlsZoneId, TheAddressWithoutItsZoneIsChecked) {
    const ZoneCase c = GetParam();
    test::PyFtpTlsOptions options;
    options.certificate = c.rightCertificate ? &Certs().Trusted() : &Certs().WrongName();
    options.host = "::1";
    test::PyFtpTlsServer server(options);
    auto ftp = TlsClient(server.Port(), FtpSecurity::ExplicitTls, "user", "secret");
    ftp->SetHost(c.host);
    if (c.rightCertificate) {
        ftp->Connect();
        RoundTrip(*ftp, server.Root(), "/", 1000);
        return;
    }
    auto e = test::ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
    EXPECT_NE(e.Reason().find(std::string("does not match ") + c.host), std::string::npos) << e.Reason();
    const auto log = server.Log();
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("USER", 0) == 0; }), 0);
}

INSTANTIATE_TEST_SUITE_P(Hosts, TlsZoneId,
                         ::testing::Values(ZoneCase{"NumericZoneAnotherName", "::1%1", false},
                                           ZoneCase{"NamedZoneAnotherName", "::1%lo", false},
                                           ZoneCase{"NamedZoneRightAddress", "::1%lo", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TlsIdentity, ALinkLocalAddressIsExpectedWithoutItsZone) {
    const auto bytes = asio::ip::make_address_v6("fe80::1").to_bytes();
    const ftp::TlsIdentity identity = ftp::IdentityOf("fe80::1%eth0");
    EXPECT_EQ(identity.address, std::vector<unsigned char>(bytes.begin(), bytes.end()));
    EXPECT_TRUE(identity.name.empty());
    EXPECT_EQ(identity.shown, "fe80::1%eth0");
}

// ---- servers and jobs that do not agree on TLS ----

TEST_F(TlsRefusals, AServerWithoutTlsIsNeverSpokenToInClear) {
    test::PyFtpServer server; // plain pyftpdlib: no AUTH TLS
    auto ftp = TlsClient(server.Port(), FtpSecurity::ExplicitTls, "user", "secret");
    auto e = test::ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
    EXPECT_NE(e.Reason().find("TLS refused by the server"), std::string::npos) << e.Reason();
    EXPECT_TRUE(server.Commands("USER").empty());
    EXPECT_TRUE(server.Commands("PASS").empty());

    // Implicit TLS against a server in clear: the handshake fails, nothing is sent.
    ftp->SetSecurity(FtpSecurity::ImplicitTls);
    e = test::ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
    EXPECT_NE(e.Reason().find("TLS"), std::string::npos) << e.Reason();
    EXPECT_TRUE(server.Commands("USER").empty());
}

TEST_F(TlsRefusals, AServerThatRequiresTlsSaysSoToAJobInClear) {
    SKIP_UNLESS_VSFTPD();
    test::VsftpdTlsOptions options;
    options.certificate = &Certs().Trusted();
    test::VsftpdTlsServer server(options);
    ASSERT_TRUE(server.Started()) << server.StartupError();
    auto ftp = TlsClient(server.Port(), FtpSecurity::None);
    auto e = test::ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
    EXPECT_EQ(e.Reason(), "TLS required by the server (530)");
}

// A server (or a man in the middle) that sends a reply in clear right behind its 234: read
// after the handshake, the 230 would stand for the answer to USER. The server answers every
// command over TLS positively, so a client that trusted the 230 would log in, one reply out
// of step, and take the session for ready.
TEST_F(TlsRefusals, ClearTextBehindTheAuthTlsReplyFailsTheSession) {
    test::TempDir work;
    test::WriteFileBytes(work / "inject.py", R"(import socket, ssl, sys
cert, key, log = sys.argv[1:4]
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(1)
print("PORT %d" % listener.getsockname()[1], flush=True)
conn, _ = listener.accept()
conn.sendall(b"220 ready\r\n")
line = b""
while not line.endswith(b"\r\n"):
    line += conn.recv(1)
conn.sendall(b"234 Proceed\r\n230 Logged in\r\n")
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
tls = context.wrap_socket(conn, server_side=True)
buffer = b""
with open(log, "a") as out:
    while True:
        data = tls.recv(4096)
        if not data:
            break
        buffer += data
        while b"\r\n" in buffer:
            command, buffer = buffer.split(b"\r\n", 1)
            out.write(command.decode() + "\n")
            out.flush()
            tls.sendall(b"230 ok\r\n" if command.startswith(b"USER") else b"200 ok\r\n")
)");
    const std::string log = (work / "commands.log").string();
    test::ChildProcess server({CT_PYTHON, (work / "inject.py").string(), Certs().Trusted().certificate.string(),
                               Certs().Trusted().key.string(), log});
    const std::string port = server.ReadLine(20s);
    ASSERT_EQ(port.rfind("PORT ", 0), 0u) << port;
    auto ftp = TlsClient(static_cast<std::uint16_t>(std::stoi(port.substr(5))), FtpSecurity::ExplicitTls, "user",
                         "secret");
    auto e = test::ExpectFtpError([&] { ftp->Connect(); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
    EXPECT_EQ(e.Reason(), "clear text after AUTH TLS");
    EXPECT_FALSE(ftp->Connected());
    EXPECT_EQ(test::ReadFileIfAny(log), "") << "nothing is sent over TLS";
}

// ---- the end of a data connection ----

TEST_F(TlsDataEnd, ADownloadWithoutTheServersTlsCloseFails) {
    test::TempDir work;
    const std::string hook = test::WriteHook(work,
                                             "from pyftpdlib.handlers import TLS_DTPHandler\n"
                                             "class RudeDTP(TLS_DTPHandler):\n"
                                             "    def close(self):\n"
                                             "        self._error = True  # closes the socket without close_notify\n"
                                             "        super().close()\n"
                                             "Handler.dtp_handler = RudeDTP\n");
    test::PyFtpTlsOptions options;
    options.certificate = &Certs().Trusted();
    options.extraArgs = {"--hook", hook};
    test::PyFtpTlsServer server(options);
    test::WriteFileBytes(server.Root() / "a.bin", test::MakePattern(300000));
    auto ftp = TlsClient(server.Port(), FtpSecurity::ExplicitTls, "user", "secret");
    ftp->Connect();
    test::TempDir local;
    auto e = test::ExpectFtpError([&] { ftp->Get("a.bin", (local / "a.bin").string(), true, false); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
    EXPECT_EQ(e.Reason(), "download ended without TLS close");
}

TEST_F(TlsAbort, AbortDuringATlsTransferEndsItAtOnce) {
    SKIP_UNLESS_VSFTPD();
    test::VsftpdTlsOptions options;
    options.certificate = &Certs().Trusted();
    options.maxRate = 200000;
    test::VsftpdTlsServer server(options);
    ASSERT_TRUE(server.Started()) << server.StartupError();
    test::WriteFileBytes(server.Root() / "up" / "big.bin", test::MakePattern(16 * 1024 * 1024));
    test::TempDir local;
    test::WriteFileBytes(local / "big.bin", test::MakePattern(16 * 1024 * 1024));

    for (bool upload : {false, true}) {
        auto ftp = TlsClient(server.Port(), FtpSecurity::ExplicitTls);
        test::WorkLog work;
        work.Attach(*ftp);
        ftp->Connect();
        std::atomic<bool> done{false};
        std::chrono::steady_clock::time_point abortedAt;
        std::thread stopper([&] {
            while (!done && work.lastProgress.load() < 300000)
                std::this_thread::sleep_for(5ms);
            abortedAt = std::chrono::steady_clock::now();
            ftp->Abort();
        });
        auto e = test::ExpectFtpError([&] {
            if (upload)
                ftp->Put((local / "big.bin").string(), "/up/put.bin", false, -1);
            else
                ftp->Get("/up/big.bin", (local / "down.bin").string(), true, false);
        });
        auto returnedAt = std::chrono::steady_clock::now();
        done = true;
        stopper.join();
        EXPECT_EQ(e.Kind(), FtpErrorKind::Aborted) << e.what();
        EXPECT_LT(returnedAt - abortedAt, 500ms) << (upload ? "upload" : "download");
        EXPECT_FALSE(ftp->Connected());
        auto disconnectStart = std::chrono::steady_clock::now();
        ftp->Disconnect();
        EXPECT_LT(std::chrono::steady_clock::now() - disconnectStart, 100ms);
    }
}

// ---- a short password never mangles our own words ----

// Only the server's words are masked (they may echo the password); the client's own words, a
// path, an address or a fingerprint among them, stay exact however short the password is.
struct ShortPasswordCase {
    const char* name;
    // Makes the failure with a password that occurs in the texts named in `exact`.
    std::function<FtpError(std::vector<std::string>& exact)> fail;
};

class ShortPassword : public ::testing::TestWithParam<ShortPasswordCase> {};

TEST_P(ShortPassword, LeavesTheClientsOwnWordsExact) {
    std::vector<std::string> exact;
    const FtpError e = GetParam().fail(exact);
    for (const std::string& text : exact)
        EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << text << " in " << e.what();
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ShortPassword,
    ::testing::Values(
        ShortPasswordCase{"ConnectionRefused",
                          [](std::vector<std::string>& exact) {
                              const std::uint16_t port = test::FreeLoopbackPort();
                              exact = {"127.0.0.1:" + std::to_string(port)};
                              auto ftp = test::MakeClient(port, "user", "1");
                              return test::ExpectFtpError([&] { ftp->Connect(); });
                          }},
        ShortPasswordCase{"MissingRemoteFile",
                          [](std::vector<std::string>& exact) {
                              test::PyFtpServer server(test::PyFtpOptions{.users = {"user:e"}});
                              auto ftp = test::MakeClient(server.Port(), "user", "e");
                              ftp->Connect();
                              exact = {"The remote file /the/missing/file.bin does not exist"};
                              test::TempDir local;
                              auto e = test::ExpectFtpError(
                                  [&] { ftp->Get("/the/missing/file.bin", (local / "f").string(), true, false); });
                              // The server's words are still masked: its reply holds an "e".
                              EXPECT_EQ(e.Reason().find('e'), std::string::npos) << e.Reason();
                              return e;
                          }},
        ShortPasswordCase{"UntrustedCertificate", [](std::vector<std::string>& exact) {
                              if (!ftp::TlsAvailable())
                                  return FtpError("skipped");
                              AnyTlsServer server(Flavour::Pyftpdlib, Certs().SelfSigned());
                              const std::string fingerprint = Certs().SelfSigned().fingerprint;
                              exact = {fingerprint};
                              auto ftp = TlsClient(server.port, FtpSecurity::ExplicitTls, "user",
                                                   fingerprint.substr(0, 2));
                              auto e = test::ExpectFtpError([&] { ftp->Connect(); });
                              EXPECT_NE(e.Reason().find(fingerprint), std::string::npos) << e.Reason();
                              return e;
                          }}),
    [](const auto& info) { return std::string(info.param.name); });

// A build without OpenSSL (the Windows cross-build) refuses a TLS job with a reason, and
// never falls back to clear text.
TEST(TlsBuild, WithoutTlsATlsJobFailsWithAReason) {
    if (ftp::TlsAvailable())
        GTEST_SKIP() << "built with TLS";
    test::PyFtpServer server;
    auto ftp = test::MakeClient(server.Port());
    ftp->SetSecurity(FtpSecurity::ExplicitTls);
    try {
        ftp->Connect();
        ADD_FAILURE() << "a TLS job connected without TLS";
    } catch (const FtpError& e) {
        EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
        EXPECT_EQ(e.Reason(), "TLS not available in this build");
    }
    EXPECT_TRUE(server.Log().empty());
}

} // namespace
} // namespace ct
