#include "platform/sftp/SftpClient.h"

#include "SftpTestHelpers.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;

class SftpTrustTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SshdServer::Available())
            GTEST_SKIP() << "sshd, root or the SFTP test user missing (scripts/setup makes them)";
        server = std::make_unique<SshdServer>();
        ASSERT_TRUE(server->Started()) << server->StartupError();
    }
    // Connects trusting only what the pin or the known_hosts file says.
    void Connect(const std::string& pin, const fs::path& knownHosts) {
        auto client = MakeSftpClient(*server, "", SftpTestPassword, pin);
        client->SetKnownHostsFile(knownHosts.string());
        client->Connect();
    }
    std::unique_ptr<SshdServer> server;
    TempDir work{"ct-sftp-trust"};
};

TEST_F(SftpTrustTest, APinOfTheHostKeyIsTrustedWithOrWithoutPadding) {
    const std::string pin = server->Fingerprint("ed25519");
    EXPECT_NO_THROW(Connect(pin, work / "none"));
    EXPECT_NO_THROW(Connect(pin + "=", work / "none"));
}

TEST_F(SftpTrustTest, KnownHostsWithHashedNamesIsTrusted) {
    EXPECT_NO_THROW(Connect("", server->KnownHosts(true)));
}

// Another server's keys under this server's name: the key differs.
fs::path ForeignKnownHosts(const SshdServer& server, const TempDir& work) {
    SshdServer other;
    const std::string text = ReadFileBytes(other.KnownHosts());
    std::string mine;
    const std::string from = "[127.0.0.1]:" + std::to_string(other.Port()) + " ";
    const std::string to = "[127.0.0.1]:" + std::to_string(server.Port()) + " ";
    for (std::size_t at = 0; at < text.size();) {
        const auto end = text.find('\n', at);
        std::string line = text.substr(at, end - at + 1);
        if (line.rfind(from, 0) == 0)
            line = to + line.substr(from.size());
        mine += line;
        at = end + 1;
    }
    WriteFileBytes(work / "foreign", mine);
    return work / "foreign";
}

struct Untrusted {
    const char* name;
    std::function<void(const SshdServer&, const TempDir&, std::string& pin, fs::path& knownHosts)> make;
};

class SftpUntrustedHost : public SftpTrustTest, public ::testing::WithParamInterface<Untrusted> {};

// An unknown or different host key ends the session before the login: the server sees no
// authentication request at all, and the reason carries the key's fingerprint to pin.
TEST_P(SftpUntrustedHost, IsRefusedBeforeAnyAuthentication) {
    std::string pin;
    fs::path knownHosts;
    GetParam().make(*server, work, pin, knownHosts);
    const TransferError error = ExpectTransferError([&] { Connect(pin, knownHosts); });
    EXPECT_EQ(error.Kind(), TransferErrorKind::Job);
    EXPECT_NE(error.Reason().find(server->Fingerprint("ed25519")), std::string::npos) << error.Reason();
    EXPECT_FALSE(server->SawAuthentication()) << server->Log();
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, SftpUntrustedHost,
    ::testing::Values(
        Untrusted{"NoKnownHostsFile", [](const auto&, const auto& w, auto&, auto& k) { k = w / "none"; }},
        Untrusted{"EmptyKnownHosts",
                  [](const auto&, const auto& w, auto&, auto& k) {
                      WriteFileBytes(w / "empty", "");
                      k = w / "empty";
                  }},
        Untrusted{"OtherPortInKnownHosts",
                  [](const auto& s, const auto& w, auto&, auto& k) {
                      // The same keys under the plain name stand for port 22, not this port.
                      std::string text = ReadFileBytes(s.KnownHosts());
                      const std::string name = "[127.0.0.1]:" + std::to_string(s.Port());
                      for (auto at = text.find(name); at != std::string::npos; at = text.find(name))
                          text.replace(at, name.size(), "127.0.0.1");
                      WriteFileBytes(w / "port22", text);
                      k = w / "port22";
                  }},
        Untrusted{"ChangedKeyInKnownHosts",
                  [](const auto& s, const auto& w, auto&, auto& k) { k = ForeignKnownHosts(s, w); }},
        Untrusted{"WrongPin",
                  [](const auto&, const auto& w, auto& p, auto& k) {
                      p = "SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
                      k = w / "none";
                  }},
        Untrusted{"PinOfAnotherKeyDespiteKnownHosts",
                  [](const auto& s, const auto&, auto& p, auto& k) {
                      // A pin replaces known_hosts: the file's trust does not help a wrong pin.
                      p = s.Fingerprint("rsa");
                      k = s.KnownHosts();
                  }}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace ct::test
