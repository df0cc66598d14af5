#include "platform/sftp/SftpClient.h"

#include "SftpTestHelpers.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class SftpFaultServer : public ::testing::Test {
protected:
    void Start(const std::vector<std::string>& args) {
        server = std::make_unique<ParamikoSftpServer>(args);
        client = std::make_unique<SftpClient>(Endpoint{"127.0.0.1", server->Port(), "user", password,
                                                       EndpointSecurity::Sftp, server->Fingerprint(), ""});
        client->SetTimeouts(10s);
    }
    void SetUp() override {
        if (!ParamikoSftpServer::Available())
            GTEST_SKIP() << "python3-paramiko missing (scripts/setup installs it)";
    }
    std::string password = "secret";
    std::unique_ptr<ParamikoSftpServer> server;
    std::unique_ptr<SftpClient> client;
    TempDir local{"ct-sftp-faults"};
};

TEST_F(SftpFaultServer, KeyboardInteractiveIsAnsweredWithThePassword) {
    Start({"--kbdint-only"});
    client->Connect();
    EXPECT_TRUE(client->Connected());
}

TEST_F(SftpFaultServer, AWrongPasswordByKeyboardInteractiveIsRefused) {
    password = "not it";
    Start({"--kbdint-only"});
    const TransferError error = ExpectTransferError([&] { client->Connect(); });
    EXPECT_EQ(error.Kind(), TransferErrorKind::Job);
    EXPECT_EQ(error.Reason(), "login refused");
}

TEST_F(SftpFaultServer, AServerThatClosesDuringTheLoginIsUnavailable) {
    Start({"--close-at-login"});
    EXPECT_EQ(ExpectTransferError([&] { client->Connect(); }).Kind(), TransferErrorKind::Unavailable);
}

TEST_F(SftpFaultServer, ADownloadCutAfterSomeBytesFailsTheJob) {
    Start({"--cut-read", "100000"});
    WriteFileBytes(server->Root() / "big.bin", MakePattern(1000000));
    client->Connect();
    const TransferError error =
        ExpectTransferError([&] { client->Get("/big.bin", (local / "big.bin").string(), true, false); });
    EXPECT_EQ(error.Kind(), TransferErrorKind::Job);
    EXPECT_FALSE(client->Connected());
    EXPECT_LT(fs::file_size(local / "big.bin"), 1000000u);
}

struct Refusal {
    const char* op;
    std::function<void(SftpClient&, const TempDir&)> call;
};

class SftpRefusedRequest : public SftpFaultServer, public ::testing::WithParamInterface<Refusal> {};

// A refused request fails the job's step alone: the session stays up for the next job.
TEST_P(SftpRefusedRequest, FailsTheStepAndKeepsTheSession) {
    Start({"--refuse", GetParam().op});
    WriteFileBytes(local / "f.txt", "x");
    WriteFileBytes(server->Root() / "r.txt", "remote");
    client->Connect();
    const TransferError error = ExpectTransferError([&] { GetParam().call(*client, local); });
    EXPECT_EQ(error.Kind(), TransferErrorKind::Job);
    EXPECT_EQ(error.Reason(), "permission denied");
    EXPECT_TRUE(client->Connected());
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SftpRefusedRequest,
    ::testing::Values(
        Refusal{"open-write", [](SftpClient& c, const TempDir& l) { c.Put((l / "f.txt").string(), "f.txt", false, -1); }},
        Refusal{"open-read", [](SftpClient& c, const TempDir& l) { c.Get("/r.txt", (l / "r.txt").string(), true, false); }},
        Refusal{"mkdir", [](SftpClient& c, const TempDir&) { c.MakeDir("new"); }},
        Refusal{"stat", [](SftpClient& c, const TempDir&) { c.ChangeDir("/"); }}),
    [](const auto& info) {
        std::string name = info.param.op;
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        return name;
    });

} // namespace
} // namespace ct::test
