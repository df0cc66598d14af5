#include "platform/sftp/SftpClient.h"

#include <sys/stat.h>

#include "SftpTestHelpers.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;

class SftpSeamTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SshdServer::Available())
            GTEST_SKIP() << "sshd, root or the SFTP test user missing (scripts/setup makes them)";
        server = std::make_unique<SshdServer>();
        ASSERT_TRUE(server->Started()) << server->StartupError();
        client = MakeSftpClient(*server);
        client->Connect();
    }
    // Writes a remote file through the client, so that it belongs to the test user.
    void Upload(const std::string& name, const std::string& bytes) {
        WriteFileBytes(local / "upload.tmp", bytes);
        client->Put((local / "upload.tmp").string(), name, false, -1);
    }
    std::unique_ptr<SshdServer> server;
    std::unique_ptr<SftpClient> client;
    TempDir local{"ct-sftp-seam"};
};

TEST_F(SftpSeamTest, AResumedDownloadReadsOnlyWhatFollowsTheLocalPartAndCutsTheRest) {
    const std::string remote = MakePattern(300000, 5);
    Upload("f.bin", remote);
    // The local part differs from the remote one: only a read from the offset keeps it.
    const std::string part(70000, 'L');
    WriteFileBytes(local / "f.part", part + "stale tail that must go");
    const TransferResult result = client->GetFile("/f.bin", (local / "f.part").string(), TransferRequest{70000, {}});
    EXPECT_EQ(result.startedAt, 70000);
    EXPECT_EQ(ReadFileBytes(local / "f.part"), part + remote.substr(70000));
}

TEST_F(SftpSeamTest, AResumedUploadKeepsTheRemotePrefixAndNothingAfterIt) {
    const std::string source = MakePattern(300000, 6);
    WriteFileBytes(local / "src.bin", source);
    Upload("f.bin", std::string(70000, 'R') + std::string(500000, 'x'));
    const TransferResult result = client->PutFile((local / "src.bin").string(), "f.bin", TransferRequest{70000, {}});
    EXPECT_EQ(result.startedAt, 70000);
    EXPECT_EQ(ReadFileBytes(server->Files() / "f.bin"), std::string(70000, 'R') + source.substr(70000));
}

TEST_F(SftpSeamTest, AnUploadResumedBeyondTheLocalFileSendsItWhole) {
    const std::string source = MakePattern(1000, 7);
    WriteFileBytes(local / "src.bin", source);
    Upload("f.bin", std::string(5000, 'x'));
    EXPECT_EQ(client->PutFile((local / "src.bin").string(), "f.bin", TransferRequest{2000, {}}).startedAt, 0);
    EXPECT_EQ(ReadFileBytes(server->Files() / "f.bin"), source);
}

TEST_F(SftpSeamTest, RenameReplacesAnExistingTarget) {
    Upload("new.txt", "new");
    Upload("old.txt", "old");
    client->Rename("/new.txt", "/old.txt");
    EXPECT_EQ(ReadFileBytes(server->Files() / "old.txt"), "new");
    EXPECT_FALSE(fs::exists(server->Files() / "new.txt"));
    EXPECT_EQ(ExpectTransferError([&] { client->Rename("/gone.txt", "/x.txt"); }).Kind(), TransferErrorKind::Job);
}

TEST_F(SftpSeamTest, TheModifiedTimeIsSetAndReadBack) {
    Upload("f.txt", "x");
    ASSERT_TRUE(client->SetModifiedTime("/f.txt", 1600000000));
    EXPECT_EQ(client->ModifiedTime("/f.txt"), 1600000000);
    struct stat st {};
    ASSERT_EQ(stat((server->Files() / "f.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1600000000);
    EXPECT_FALSE(client->SetModifiedTime("/missing.txt", 1600000000));
    EXPECT_EQ(client->ModifiedTime("/missing.txt"), std::nullopt);
}

TEST_F(SftpSeamTest, DeleteRemovesTheFileAndAMissingOneFails) {
    Upload("f.txt", "x");
    client->Delete("/f.txt");
    EXPECT_FALSE(fs::exists(server->Files() / "f.txt"));
    EXPECT_THROW(client->Delete("/f.txt"), TransferError);
    EXPECT_TRUE(client->Connected());
}

} // namespace
} // namespace ct::test
