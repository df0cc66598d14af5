#include "platform/sftp/SftpClient.h"

#include <atomic>
#include <future>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "SftpTestHelpers.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A port on 127.0.0.1 that takes connections (the kernel completes them) and never says a word.
class SilentServer {
public:
    SilentServer() {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(m_fd, 8);
        socklen_t length = sizeof addr;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &length);
        m_port = ntohs(addr.sin_port);
    }
    ~SilentServer() { close(m_fd); }
    std::uint16_t Port() const { return m_port; }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

SftpClient SilentClient(const SilentServer& silent) {
    return SftpClient(Endpoint{"127.0.0.1", silent.Port(), "u", "pw", EndpointSecurity::Sftp, "", ""});
}

TEST(SftpTimeouts, AServerThatNeverSpeaksIsUnavailableAfterTheReplyTimeout) {
    SilentServer silent;
    SftpClient client = SilentClient(silent);
    client.SetReplyTimeout(500ms);
    const auto start = Clock::now();
    const TransferError error = ExpectTransferError([&] { client.Connect(); });
    EXPECT_EQ(error.Kind(), TransferErrorKind::Unavailable);
    EXPECT_NE(error.Reason().find("timed out"), std::string::npos) << error.Reason();
    EXPECT_LT(Clock::now() - start, 5s);
}

TEST(SftpAbort, EndsTheKeyExchangeWaitAtOnce) {
    SilentServer silent;
    SftpClient client = SilentClient(silent);
    auto stopper = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(300ms);
        client.Abort();
        return Clock::now();
    });
    const TransferError error = ExpectTransferError([&] { client.Connect(); });
    const auto ended = Clock::now();
    EXPECT_EQ(error.Kind(), TransferErrorKind::Aborted);
    EXPECT_LT(ended - stopper.get(), 300ms);
    // Sticky until reset, as with FTP.
    EXPECT_EQ(ExpectTransferError([&] { client.Connect(); }).Kind(), TransferErrorKind::Aborted);
}

class SftpStall : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SshdServer::Available())
            GTEST_SKIP() << "sshd, root or the SFTP test user missing (scripts/setup makes them)";
        server = std::make_unique<SshdServer>();
        ASSERT_TRUE(server->Started()) << server->StartupError();
        // Sparse: a large file that costs no disk.
        const fs::path big = server->Files() / "big.bin";
        WriteFileBytes(big, "");
        fs::resize_file(big, 1ull << 30);
        client = MakeSftpClient(*server);
        client->Connect();
        // The server stops in the middle of the transfer.
        client->OnWork = [this](ITransferClient*, TWorkMode, std::int64_t) {
            if (!frozen.exchange(true))
                server->Freeze(true);
        };
    }
    void TearDown() override {
        if (server)
            server->Freeze(false);
    }
    std::unique_ptr<SshdServer> server;
    std::unique_ptr<SftpClient> client;
    std::atomic<bool> frozen{false};
    TempDir local{"ct-sftp-stall"};
};

TEST_F(SftpStall, AStalledDownloadFailsTheJobAfterTheDataTimeout) {
    client->SetDataTimeout(1s);
    const TransferError error =
        ExpectTransferError([&] { client->Get("/big.bin", (local / "big.bin").string(), true, false); });
    EXPECT_TRUE(frozen.load());
    EXPECT_EQ(error.Kind(), TransferErrorKind::Job);
    EXPECT_NE(error.Reason().find("stalled"), std::string::npos) << error.Reason();
}

TEST_F(SftpStall, AbortEndsAStalledUploadAtOnce) {
    const fs::path source = local / "up.bin";
    WriteFileBytes(source, "");
    fs::resize_file(source, 1ull << 30);
    std::promise<Clock::time_point> aborted;
    client->OnWork = [&](ITransferClient* sender, TWorkMode, std::int64_t) {
        if (frozen.exchange(true))
            return;
        server->Freeze(true);
        std::thread([sender, &aborted] {
            std::this_thread::sleep_for(300ms);
            const auto now = Clock::now();
            sender->Abort();
            aborted.set_value(now);
        }).detach();
    };
    const TransferError error = ExpectTransferError([&] { client->Put(source.string(), "up.bin", false, -1); });
    EXPECT_EQ(error.Kind(), TransferErrorKind::Aborted);
    EXPECT_LT(Clock::now() - aborted.get_future().get(), 300ms);
    EXPECT_FALSE(client->Connected());
}

} // namespace
} // namespace ct::test
