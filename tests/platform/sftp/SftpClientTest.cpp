#include "platform/sftp/SftpClient.h"

#include <sys/stat.h>

#include "SftpTestHelpers.h"
#include "transfer/RemoteDirs.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;

class SftpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SshdServer::Available())
            GTEST_SKIP() << "sshd, root or the SFTP test user missing (scripts/setup makes them)";
        server = std::make_unique<SshdServer>();
        ASSERT_TRUE(server->Started()) << server->StartupError();
    }
    std::unique_ptr<SshdServer> server;
    TempDir local{"ct-sftp-local"};
};

// Sizes around the request size (32 KiB, OpenSSH's 255 KiB limit) and one of many requests.
class SftpRoundTrip : public SftpClientTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(SftpRoundTrip, UploadAndDownloadAreByteExact) {
    const std::string bytes = MakePattern(GetParam(), static_cast<std::uint32_t>(GetParam()));
    WriteFileBytes(local / "src.bin", bytes);
    auto client = MakeSftpClient(*server);
    client->Connect();
    client->Put((local / "src.bin").string(), "up.bin", false, -1);
    ASSERT_EQ(ReadFileBytes(server->Files() / "up.bin"), bytes);
    EXPECT_EQ(client->Size("/up.bin"), static_cast<std::int64_t>(bytes.size()));

    WriteFileBytes(local / "old.bin", "an older, longer content that must go entirely");
    client->Get("/up.bin", (local / "old.bin").string(), true, false);
    EXPECT_EQ(ReadFileBytes(local / "old.bin"), bytes);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SftpRoundTrip,
                         ::testing::Values(0, 1, 32767, 32768, 32769, 255 * 1024 + 1, 20 * 1024 * 1024 + 7));

TEST_F(SftpClientTest, AnUploadOverwritesALongerRemoteFile) {
    WriteFileBytes(local / "long.txt", std::string(100000, 'x'));
    WriteFileBytes(local / "f.txt", "short");
    auto client = MakeSftpClient(*server);
    client->Connect();
    client->Put((local / "long.txt").string(), "f.txt", false, -1);
    client->Put((local / "f.txt").string(), "f.txt", false, -1);
    EXPECT_EQ(ReadFileBytes(server->Files() / "f.txt"), "short");
}

struct KeyCase {
    const char* type;
    const char* passphrase;
};

class SftpKeyLogin : public SftpClientTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(SftpKeyLogin, LogsInWithTheKeyFile) {
    const fs::path key = server->AddUserKey(GetParam().type, GetParam().passphrase);
    auto client = MakeSftpClient(*server, key.string(), GetParam().passphrase);
    client->Connect();
    EXPECT_TRUE(client->Connected());
    EXPECT_NE(server->Log().find("Accepted publickey"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Keys, SftpKeyLogin,
                         ::testing::Values(KeyCase{"ed25519", ""}, KeyCase{"ecdsa", ""}, KeyCase{"rsa", ""},
                                           KeyCase{"ed25519", "key pass phrase"}, KeyCase{"rsa", "rsa phrase"}),
                         [](const auto& info) {
                             return std::string(info.param.type) + (*info.param.passphrase ? "WithPassphrase" : "");
                         });

TEST_F(SftpClientTest, AWrongPassphraseFailsTheJobWithoutShowingIt) {
    const fs::path key = server->AddUserKey("ed25519", "right phrase");
    auto client = MakeSftpClient(*server, key.string(), "Zq9-not-it");
    const TransferError error = ExpectTransferError([&] { client->Connect(); });
    EXPECT_EQ(error.Kind(), TransferErrorKind::Job);
    EXPECT_EQ((error.what() + error.Reason()).find("Zq9-not-it"), std::string::npos) << error.what();
    EXPECT_FALSE(server->SawAuthentication());
}

TEST_F(SftpClientTest, AWrongPasswordIsTheJobsFailure) {
    auto client = MakeSftpClient(*server, "", "not the password");
    const TransferError error = ExpectTransferError([&] { client->Connect(); });
    EXPECT_EQ(error.Kind(), TransferErrorKind::Job);
    EXPECT_EQ(error.Reason(), "login refused");
    EXPECT_EQ(std::string(error.what()).find("not the password"), std::string::npos);
}

TEST_F(SftpClientTest, AMissingRemoteFileOfADownloadIsRemoteMissingAndKeepsTheLocalFile) {
    WriteFileBytes(local / "keep.txt", "kept");
    auto client = MakeSftpClient(*server);
    client->Connect();
    const TransferError error =
        ExpectTransferError([&] { client->Get("/none.txt", (local / "keep.txt").string(), true, false); });
    EXPECT_EQ(error.Kind(), TransferErrorKind::RemoteMissing);
    EXPECT_EQ(ReadFileBytes(local / "keep.txt"), "kept");
    EXPECT_EQ(client->Size("/none.txt"), -1);
    EXPECT_TRUE(client->Connected());
}

TEST_F(SftpClientTest, APermissionDeniedUploadIsTheJobsAndTheSessionStays) {
    fs::create_directories(server->Files() / "locked");
    chmod((server->Files() / "locked").c_str(), 0555);
    WriteFileBytes(local / "f.txt", "x");
    auto client = MakeSftpClient(*server);
    client->Connect();
    client->ChangeDir("/locked");
    const TransferError error = ExpectTransferError([&] { client->Put((local / "f.txt").string(), "f.txt", false, -1); });
    EXPECT_EQ(error.Kind(), TransferErrorKind::Job);
    EXPECT_EQ(error.Reason(), "permission denied");
    EXPECT_TRUE(client->Connected());
    EXPECT_EQ(client->KnownCurrentDir(), "");  // the walk must look again
}

TEST_F(SftpClientTest, AMissingLocalFileIsTheJobs) {
    auto client = MakeSftpClient(*server);
    client->Connect();
    const TransferError error =
        ExpectTransferError([&] { client->Put((local / "absent").string(), "absent", false, -1); });
    EXPECT_EQ(error.Kind(), TransferErrorKind::Job);
    EXPECT_EQ(error.Reason(), "the local file does not exist");
}

TEST_F(SftpClientTest, TheFolderWalkMakesTheFoldersBelowTheLoginFolder) {
    WriteFileBytes(local / "f.txt", "deep");
    auto client = MakeSftpClient(*server);
    client->Connect();
    ASSERT_TRUE(EnsureRemoteDir("a/b/c/", *client, "base"));
    EXPECT_EQ(client->RetrieveCurrentDir(), "/base/a/b/c");
    client->Put((local / "f.txt").string(), "f.txt", false, -1);
    EXPECT_EQ(ReadFileBytes(server->Files() / "base/a/b/c/f.txt"), "deep");
    // ".." stops at the login folder, as at an FTP server's root.
    client->ChangeDir("../../../../..");
    EXPECT_EQ(client->RetrieveCurrentDir(), "/");
    EXPECT_THROW(client->ChangeDir("/base/a/b/c/f.txt"), TransferError);
    EXPECT_THROW(client->MakeDir("base"), TransferError);
}

TEST_F(SftpClientTest, ARefusedConnectionIsUnavailable) {
    Endpoint endpoint{"127.0.0.1", FreeLoopbackPort(), SftpTestUser, SftpTestPassword, EndpointSecurity::Sftp, "", ""};
    SftpClient client(endpoint);
    const TransferError error = ExpectTransferError([&] { client.Connect(); });
    EXPECT_EQ(error.Kind(), TransferErrorKind::Unavailable);
    EXPECT_EQ(error.Reason(), "connection refused");
}

} // namespace
} // namespace ct::test
