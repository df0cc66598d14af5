#include "platform/ftp/TIdFTP.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "FtpTestHelpers.h"
#include "platform/ftp/FtpTls.h"
#include "support/FtpsServers.h"

namespace ct {
namespace {

using namespace std::chrono_literals;

#define SKIP_UNLESS(ServerType)                                                                  \
    if (!test::ServerType::Available())                                                          \
    GTEST_SKIP() << #ServerType " is not available (needs root and scripts/setup's unpacked servers)"

// ---- proftpd ----

TEST(Proftpd, UploadAndDownloadAreByteExact) {
    SKIP_UNLESS(ProftpdServer);
    test::ProftpdServer server;
    ASSERT_TRUE(server.Started()) << server.StartupError();
    auto ftp = test::MakeClient(server.Port());
    test::WorkLog work;
    work.Attach(*ftp);
    ftp->Connect();
    test::TempDir local;
    const std::string content = test::MakePattern(3 * 1024 * 1024 + 11);
    test::WriteFileBytes(local / "a.bin", content);
    ftp->MakeDir("sub");
    ftp->ChangeDir("sub");
    ftp->Put((local / "a.bin").string(), "a.bin", false, -1);
    EXPECT_TRUE(test::ReadFileBytes(server.Root() / "sub" / "a.bin") == content);
    ftp->Get("/sub/a.bin", (local / "b.bin").string(), true, false);
    EXPECT_TRUE(test::ReadFileBytes(local / "b.bin") == content);
    // proftpd names the byte count in its 150, so the download knows its size without SIZE.
    EXPECT_EQ(work.beginCount, static_cast<std::int64_t>(content.size()));
}

// proftpd's MaxStoreFileSize answers 552 a few milliseconds after the 150 and resets the data
// connection while megabytes are still queued: that must end the upload at once.
TEST(Proftpd, AnUploadRefusedPartWayFailsAtOnce) {
    SKIP_UNLESS(ProftpdServer);
    test::ProftpdOptions options;
    options.extraConfig = {"MaxStoreFileSize 1 Mb"};
    test::ProftpdServer server(options);
    ASSERT_TRUE(server.Started()) << server.StartupError();
    auto ftp = test::MakeClient(server.Port());
    ftp->Connect();
    test::TempDir local;
    test::WriteFileBytes(local / "big.bin", test::MakePattern(16 * 1024 * 1024));
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto start = std::chrono::steady_clock::now();
        auto e = test::ExpectFtpError([&] { ftp->Put((local / "big.bin").string(), "big.bin", false, -1); });
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << attempt;
        EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
        EXPECT_EQ(e.Reason().rfind("552", 0), 0u) << e.Reason();
        if (!ftp->Connected())
            ftp->Connect();
    }
    test::WriteFileBytes(local / "small.bin", "fits");
    ftp->Put((local / "small.bin").string(), "small.bin", false, -1);
    EXPECT_EQ(test::ReadFileBytes(server.Root() / "small.bin"), "fits");
}

TEST(Proftpd, SizeRefusedByPolicyStillServesDownloads) {
    SKIP_UNLESS(ProftpdServer);
    test::ProftpdOptions options;
    options.extraConfig = {"<Limit SIZE>", "  DenyAll", "</Limit>"};
    test::ProftpdServer server(options);
    ASSERT_TRUE(server.Started()) << server.StartupError();
    test::WriteFileBytes(server.Root() / "a.bin", test::MakePattern(123457));
    chown((server.Root() / "a.bin").c_str(), 65534, 65534);
    auto ftp = test::MakeClient(server.Port());
    ftp->Connect();
    EXPECT_EQ(ftp->Size("a.bin"), -1); // 550 by policy
    test::TempDir local;
    ftp->Get("a.bin", (local / "a.bin").string(), true, false);
    EXPECT_TRUE(test::ReadFileBytes(local / "a.bin") == test::MakePattern(123457));
    auto e = test::ExpectFtpError([&] { ftp->Get("missing.bin", (local / "m.bin").string(), true, false); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::RemoteMissing) << e.what();
}

TEST(Proftpd, TlsRequiredByTheServer) {
    SKIP_UNLESS(ProftpdServer);
    if (!ftp::TlsAvailable())
        GTEST_SKIP() << "built without TLS";
    test::TestCertificates certificates;
    test::ProftpdOptions options;
    options.certificate = &certificates.Trusted();
    options.tlsProtocols = "TLSv1.2";
    test::ProftpdServer server(options);
    ASSERT_TRUE(server.Started()) << server.StartupError();

    auto plain = test::MakeClient(server.Port());
    auto e = test::ExpectFtpError([&] { plain->Connect(); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
    EXPECT_EQ(e.Reason().rfind("TLS required by the server", 0), 0u) << e.Reason();

    auto ftp = test::MakeClient(server.Port());
    ftp->SetSecurity(FtpSecurity::ExplicitTls);
    ftp->SetCaFile(certificates.CaFile().string());
    ftp->Connect();
    test::TempDir local;
    for (int i = 0; i < 5; ++i) {
        const std::string content = test::MakePattern(static_cast<std::size_t>(200000 + i), static_cast<std::uint32_t>(i));
        test::WriteFileBytes(local / "a.bin", content);
        ftp->Put((local / "a.bin").string(), "a.bin", false, -1);
        ftp->Get("a.bin", (local / "b.bin").string(), true, false);
        ASSERT_TRUE(test::ReadFileBytes(local / "b.bin") == content) << i;
    }
}

// ---- pure-ftpd ----

TEST(PureFtpd, UploadAndDownloadAreByteExact) {
    SKIP_UNLESS(PureFtpdServer);
    test::PureFtpdServer server;
    ASSERT_TRUE(server.Started()) << server.StartupError();
    auto ftp = test::MakeClient(server.Port());
    ftp->Connect();
    test::TempDir local;
    const std::string content = test::MakePattern(2 * 1024 * 1024 + 5);
    test::WriteFileBytes(local / "a.bin", content);
    ftp->Put((local / "a.bin").string(), "a.bin", false, -1);
    EXPECT_TRUE(test::ReadFileBytes(server.Root() / "a.bin") == content);
    ASSERT_EQ(ftp->Size("a.bin"), static_cast<std::int64_t>(content.size()));
    ftp->Get("a.bin", (local / "b.bin").string(), true, false);
    EXPECT_TRUE(test::ReadFileBytes(local / "b.bin") == content);
}

// pure-ftpd -r stores a second upload of a name as "name.1" and answers 226: the upload
// arrived, and is not taken for a failure.
TEST(PureFtpd, AnUploadStoredUnderAnotherNameIsASuccess) {
    SKIP_UNLESS(PureFtpdServer);
    test::PureFtpdServer server({"-r"});
    ASSERT_TRUE(server.Started()) << server.StartupError();
    auto ftp = test::MakeClient(server.Port());
    ftp->Connect();
    test::TempDir local;
    test::WriteFileBytes(local / "a.bin", "first");
    ftp->Put((local / "a.bin").string(), "same.bin", false, -1);
    test::WriteFileBytes(local / "a.bin", "second");
    ftp->Put((local / "a.bin").string(), "same.bin", false, -1);
    EXPECT_EQ(test::ReadFileBytes(server.Root() / "same.bin"), "first");
    EXPECT_EQ(test::ReadFileBytes(server.Root() / "same.bin.1"), "second");
}

// ---- vsftpd's one word for a missing and an unreadable file ----

TEST(VsftpdRetr, FailedToOpenIsMissingUnlessSizeFoundTheFile) {
    if (!test::VsftpdServer::Available())
        GTEST_SKIP() << "vsftpd needs root";
    test::VsftpdServer server;
    ASSERT_TRUE(server.Started()) << server.StartupError();
    test::WriteFileBytes(server.Root() / "up" / "locked.bin", "secret content");
    chmod((server.Root() / "up" / "locked.bin").c_str(), 0600); // root's; the session is "ftp"
    auto ftp = test::MakeClient(server.Port(), "anonymous", "guest@example");
    ftp->Connect();
    test::TempDir local;

    auto e = test::ExpectFtpError([&] { ftp->Get("/up/missing.bin", (local / "m.bin").string(), true, false); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::RemoteMissing) << e.what();

    ASSERT_EQ(ftp->Size("/up/locked.bin"), 14);
    e = test::ExpectFtpError([&] { ftp->Get("/up/locked.bin", (local / "l.bin").string(), true, false); });
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job) << e.what();
    EXPECT_EQ(e.Reason(), "550 Failed to open file.");
}

} // namespace
} // namespace ct
