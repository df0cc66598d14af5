// Hashes, resume, renames and times of the FTP client: the parsers on their own, then the
// client against proftpd with mod_digest, in clear and over explicit and implicit TLS.
#include "platform/ftp/FtpHash.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "FtpTestHelpers.h"
#include "platform/ftp/FtpTls.h"
#include "support/FtpServers.h"
#include "support/FtpsServers.h"

namespace ct {
namespace {

using ftp::FtpFeatures;
using ftp::LocalHasher;
using ftp::ParseFeatures;
using ftp::ParseHashReply;
namespace fs = std::filesystem;

TEST(FtpFeatures, ReadsHashesRestStreamAndTimeCommands) {
    const FtpFeatures f = ParseFeatures("211-Features:\n MDTM\n MFMT\n REST STREAM\n HASH SHA-1*;SHA-256;SHA-512;MD5;CRC32\n"
                                        " XCRC\n XSHA256\n XMD5\n SIZE\n211 End");
    EXPECT_EQ(f.hash, (std::vector<HashAlgorithm>{HashAlgorithm::Sha256, HashAlgorithm::Sha512, HashAlgorithm::Sha1,
                                                  HashAlgorithm::Md5, HashAlgorithm::Crc32}));
    EXPECT_EQ(f.hashCurrent, HashAlgorithm::Sha1);
    EXPECT_EQ(f.xHash, (std::vector<HashAlgorithm>{HashAlgorithm::Sha256, HashAlgorithm::Md5, HashAlgorithm::Crc32}));
    EXPECT_TRUE(f.restStream && f.mfmt && f.mdtm);
    const FtpFeatures none = ParseFeatures("211-Features:\n EPSV\n REST\n211 End");
    EXPECT_TRUE(none.hash.empty() && none.xHash.empty());
    EXPECT_FALSE(none.restStream || none.mfmt);
}

struct HashReplyCase {
    HashAlgorithm algorithm;
    std::string reply;
    std::string hex;  // "" for none
};

class HashReplies : public ::testing::TestWithParam<HashReplyCase> {};

TEST_P(HashReplies, GiveTheDigestInLowerCase) {
    const auto parsed = ParseHashReply(GetParam().algorithm, GetParam().reply);
    EXPECT_EQ(parsed.value_or(""), GetParam().hex);
}

const std::string kSha = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

INSTANTIATE_TEST_SUITE_P(
    Forms, HashReplies,
    ::testing::Values(HashReplyCase{HashAlgorithm::Sha256, "213 SHA-256 0-4 9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08 a b.txt", kSha},
                      HashReplyCase{HashAlgorithm::Sha256, "250 9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08", kSha},
                      HashReplyCase{HashAlgorithm::Sha256, "213 " + kSha + " t.txt", kSha},
                      HashReplyCase{HashAlgorithm::Crc32, "250 D87F7E0C", "d87f7e0c"},
                      HashReplyCase{HashAlgorithm::Sha256, "250 D87F7E0C", ""},
                      HashReplyCase{HashAlgorithm::Md5, "213 MD5 0-4 zz t", ""}));

TEST(LocalHasher, KnownDigests) {
    LocalHasher crc(HashAlgorithm::Crc32);
    crc.Update("test", 4);
    EXPECT_EQ(crc.Final(), "d87f7e0c");
    if (!LocalHasher::Available(HashAlgorithm::Sha256))
        GTEST_SKIP() << "built without OpenSSL";
    LocalHasher sha(HashAlgorithm::Sha256);
    sha.Update("te", 2);
    sha.Update("st", 2);
    EXPECT_EQ(sha.Final(), kSha);
}

TEST(MdtmTimes, ReadAndWriteUtc) {
    EXPECT_EQ(ftp::ParseMdtmReply("213 20010101000000"), 978307200);
    EXPECT_EQ(ftp::ParseMdtmReply("213 20240229235959.123"), 1709251199);
    EXPECT_EQ(ftp::ParseMdtmReply("550 no"), std::nullopt);
    EXPECT_EQ(ftp::ParseMdtmReply("213 20241301000000"), std::nullopt);
    EXPECT_EQ(ftp::FormatMdtmTime(1709251199), "20240229235959");
}

// ---- against proftpd with mod_digest ----

enum class Security { Clear, Explicit, Implicit };

class ProftpdDigest : public ::testing::TestWithParam<Security> {
protected:
    void SetUp() override {
        if (geteuid() != 0 || !test::ProftpdServer::Available())
            GTEST_SKIP() << "proftpd cannot run here";
        if (GetParam() != Security::Clear && !ftp::TlsAvailable())
            GTEST_SKIP() << "built without TLS";
        test::ProftpdOptions options;
        options.digest = true;
        // proftpd refuses REST for STOR and APPE alike unless told (and the upload is then
        // sent whole, which the worker tests cover).
        options.extraConfig = {"AllowStoreRestart on"};
        if (GetParam() != Security::Clear) {
            options.certificate = &certificates.Trusted();
            options.tlsProtocols = "TLSv1.2";
            options.implicitTls = GetParam() == Security::Implicit;
        }
        server = std::make_unique<test::ProftpdServer>(options);
        ASSERT_TRUE(server->Started()) << server->StartupError();
        ftp = test::MakeClient(server->Port());
        if (GetParam() != Security::Clear) {
            ftp->SetSecurity(GetParam() == Security::Implicit ? FtpSecurity::ImplicitTls : FtpSecurity::ExplicitTls);
            ftp->SetCaFile(certificates.CaFile().string());
        }
        ftp->Connect();
    }
    std::string Sha256Of(const std::string& bytes) {
        LocalHasher hasher(HashAlgorithm::Sha256);
        hasher.Update(bytes.data(), bytes.size());
        return hasher.Final();
    }

    test::TestCertificates certificates;
    std::unique_ptr<test::ProftpdServer> server;
    std::unique_ptr<TIdFTP> ftp;
    test::TempDir local{"ct-digest"};
};

TEST_P(ProftpdDigest, HashesWholeFilesAndRangesAsWeDo) {
    ASSERT_FALSE(ftp->OfferedHashes().empty());
    EXPECT_EQ(ftp->OfferedHashes().front(), HashAlgorithm::Sha256);
    const std::string content = test::MakePattern(2 * 1024 * 1024 + 5, 2);
    test::WriteFileBytes(local / "a.bin", content);
    const TransferResult put = ftp->PutFile((local / "a.bin").string(), "a.bin", {0, HashAlgorithm::Sha256});
    EXPECT_EQ(put.localHash, Sha256Of(content));
    for (HashAlgorithm algorithm : {HashAlgorithm::Sha256, HashAlgorithm::Md5, HashAlgorithm::Sha256})
        EXPECT_TRUE(ftp->RemoteHash(algorithm, "a.bin", 0, -1).has_value()) << HashName(algorithm);
    EXPECT_EQ(ftp->RemoteHash(HashAlgorithm::Sha256, "a.bin", 0, -1), Sha256Of(content));
    EXPECT_EQ(ftp->RemoteHash(HashAlgorithm::Sha256, "a.bin", 0, 1000000), Sha256Of(content.substr(0, 1000000)));
}

TEST_P(ProftpdDigest, ResumesBothWaysAndHashesTheWholeFile) {
    const std::string content = test::MakePattern(3 * 1024 * 1024 + 7, 8);
    test::WriteFileBytes(server->Root() / "r.bin", content);
    chown((server->Root() / "r.bin").c_str(), 65534, 65534);
    test::WriteFileBytes(local / "part", content.substr(0, 1234567) + "garbage after the part");
    const TransferResult got = ftp->GetFile("r.bin", (local / "part").string(), {1234567, HashAlgorithm::Sha256});
    EXPECT_EQ(got.startedAt, 1234567);
    EXPECT_TRUE(test::ReadFileBytes(local / "part") == content);
    EXPECT_EQ(got.localHash, Sha256Of(content));

    test::WriteFileBytes(local / "up.bin", content);
    test::WriteFileBytes(server->Root() / "up.bin", content.substr(0, 2000000));
    chown((server->Root() / "up.bin").c_str(), 65534, 65534);
    const TransferResult put = ftp->PutFile((local / "up.bin").string(), "up.bin", {2000000, HashAlgorithm::Sha256});
    EXPECT_EQ(put.startedAt, 2000000);
    EXPECT_TRUE(test::ReadFileBytes(server->Root() / "up.bin") == content);
    EXPECT_EQ(put.localHash, Sha256Of(content));
}

TEST_P(ProftpdDigest, RenamesOverATargetAndKeepsTimes) {
    test::WriteFileBytes(local / "n.bin", "new");
    ftp->Put((local / "n.bin").string(), ".n.bin.part", false, -1);
    ftp->Put((local / "n.bin").string(), "n.bin", false, -1);
    ftp->Rename(".n.bin.part", "n.bin");
    EXPECT_FALSE(fs::exists(server->Root() / ".n.bin.part"));
    EXPECT_TRUE(ftp->SetModifiedTime("n.bin", 978307200));
    EXPECT_EQ(ftp->ModifiedTime("n.bin"), 978307200);
    ftp->Delete("n.bin");
    EXPECT_FALSE(fs::exists(server->Root() / "n.bin"));
}

INSTANTIATE_TEST_SUITE_P(Securities, ProftpdDigest,
                         ::testing::Values(Security::Clear, Security::Explicit, Security::Implicit),
                         [](const auto& info) {
                             return std::string(info.param == Security::Clear      ? "Clear"
                                                : info.param == Security::Explicit ? "ExplicitTls"
                                                                                   : "ImplicitTls");
                         });

// ---- resume and kept times on the servers with their own ways ----

// pure-ftpd resumes an upload (its part written as its user); vsftpd takes a time only as MDTM
// with two arguments and lists no MFMT (its anonymous user may not write over a file, so the
// upload there is whole).
struct WaysCase {
    bool pure;
    std::int64_t start;
};

class ServerWays : public ::testing::TestWithParam<WaysCase> {};

TEST_P(ServerWays, ResumeAnUploadAndKeepItsTime) {
    const WaysCase c = GetParam();
    if (c.pure ? !test::PureFtpdServer::Available() : !test::VsftpdServer::Available())
        GTEST_SKIP() << "the server cannot run here";
    std::optional<test::PureFtpdServer> pureFtpd;
    std::optional<test::VsftpdServer> vsftpd;
    test::FtpdProcess& server = c.pure ? static_cast<test::FtpdProcess&>(pureFtpd.emplace()) : vsftpd.emplace();
    ASSERT_TRUE(server.Started()) << server.StartupError();
    auto ftp = c.pure ? test::MakeClient(server.Port()) : test::MakeClient(server.Port(), "anonymous", "guest@example");
    ftp->Connect();
    const fs::path folder = c.pure ? server.Root() : server.Root() / "up";
    const std::string remote = c.pure ? "r.bin" : "/up/r.bin";
    test::TempDir local{"ct-ways"};
    const std::string content = test::MakePattern(2 * 1024 * 1024 + 3, 6);
    test::WriteFileBytes(local / "r.bin", content);
    if (c.start > 0) {
        test::WriteFileBytes(folder / "r.bin", content.substr(0, static_cast<std::size_t>(c.start)));
        ASSERT_EQ(chown((folder / "r.bin").c_str(), 65534, 65534), 0);
    }
    const TransferResult put = ftp->PutFile((local / "r.bin").string(), remote, {c.start, std::nullopt});
    EXPECT_EQ(put.startedAt, c.start);
    EXPECT_TRUE(test::ReadFileBytes(folder / "r.bin") == content);
    EXPECT_TRUE(ftp->SetModifiedTime(remote, 978307200));
    EXPECT_EQ(ftp->ModifiedTime(remote), 978307200);
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerWays, ::testing::Values(WaysCase{true, 1000000}, WaysCase{false, 0}),
                         [](const auto& info) { return std::string(info.param.pure ? "PureFtpd" : "Vsftpd"); });

} // namespace
} // namespace ct
