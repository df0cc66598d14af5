#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/ftp/FtpClient.h"
#include "platform/ftp/FtpSettings.h"

namespace ct {

namespace ftp {
class FtpSession;
}

// Our FTP client, the transfer client for the endpoints of FTP and FTPS (RFC 959 with EPSV/PASV, TYPE, SIZE; explicit and implicit FTPS), on
// standalone Asio with OpenSSL. A thin facade: it holds the settings and hands every step to
// the session (platform/ftp/FtpSession.h), which owns the protocol, its channels the
// transport (platform/ftp/FtpChannel.h), and its waiter the one blocking wait
// (platform/ftp/FtpWaiter.h).
//
// All network work happens on the calling thread. Abort, the one call allowed from a
// second thread, raises a flag and wakes that thread, which then drops the connection.
class TIdFTP final : public ITransferClient {
public:
    static constexpr std::chrono::milliseconds DefaultTimeout{30000};
    static constexpr std::size_t TransferBufferSize = FtpTransferBufferSize;

    TIdFTP();
    // A client for the endpoint (SetEndpoint).
    explicit TIdFTP(const Endpoint& endpoint);
    ~TIdFTP() override;
    TIdFTP(const TIdFTP&) = delete;
    TIdFTP& operator=(const TIdFTP&) = delete;

    // Connection settings; a change takes effect at the next Connect.
    std::string Host() const { return m_settings.host; }
    void SetHost(const std::string& host) { m_settings.host = host; }
    std::uint16_t Port() const { return m_settings.port; }
    void SetPort(std::uint16_t port) { m_settings.port = port; }
    std::string Username() const { return m_settings.username; }
    void SetUsername(const std::string& user) { m_settings.username = user; }
    std::string Password() const { return m_settings.password; }
    void SetPassword(const std::string& password) { m_settings.password = password; }
    bool Passive() const { return m_settings.passive; }
    void SetPassive(bool passive) { m_settings.passive = passive; }
    TIdFTPTransferType TransferType() const { return m_settings.transferType; }
    void SetTransferType(TIdFTPTransferType type) { m_settings.transferType = type; }
    // With ExplicitTls or ImplicitTls there is never a fall-back to clear text.
    FtpSecurity Security() const { return m_settings.security; }
    void SetSecurity(FtpSecurity security) { m_settings.security = security; }
    // SHA-256 fingerprint of the server certificate to pin (hex digits, colons optional,
    // either case); empty: verify against the system's trust store and the host name. A pin
    // replaces those checks and must match exactly.
    std::string PinnedFingerprint() const { return m_settings.pinnedFingerprint; }
    void SetPinnedFingerprint(const std::string& fingerprint) { m_settings.pinnedFingerprint = fingerprint; }

    // All of an endpoint's settings at once: host, port, login, security and pin.
    void SetEndpoint(const Endpoint& endpoint);

    // A file of trust anchors (PEM) accepted besides the system's store.
    void SetCaFile(const std::string& path) { m_settings.caFile = path; }
    // Time allowed to resolve and connect.
    void SetConnectTimeout(std::chrono::milliseconds timeout) { m_settings.connectTimeout = timeout; }
    // Time allowed for each reply of the server, across all its 1xx replies.
    void SetReplyTimeout(std::chrono::milliseconds timeout) { m_settings.replyTimeout = timeout; }
    // Time a data connection may pass without moving a byte.
    void SetDataTimeout(std::chrono::milliseconds timeout) { m_settings.dataTimeout = timeout; }
    // All three at once.
    void SetTimeouts(std::chrono::milliseconds timeout);
    // A transfer fails once it moves fewer than `bytes` in any `window` (0 bytes: never).
    void SetLowSpeedLimit(std::int64_t bytes, std::chrono::milliseconds window);
    // The clock every deadline goes by (null: the system's): connecting, each reply, a stalled
    // transfer, the low-speed floor. It must outlive the client; a clock that does not move
    // never ends a wait on time (Abort still does).
    void SetClock(IClock* clock) { m_settings.clock = clock; }
    // Whether folder commands that do not wait for each other go out together (the default).
    bool Pipelining() const { return m_settings.pipelining; }
    void SetPipelining(bool on) { m_settings.pipelining = on; }

    bool Connected() override;
    void Connect() override;
    void Disconnect() override;

    std::int64_t Size(const std::string& remotePath) override;
    void Get(const std::string& remotePath, const std::string& localPath, bool overwrite, bool resume) override;
    void Put(const std::string& localPath, const std::string& remoteName, bool append,
             std::int64_t startPosition) override;
    void MakeDir(const std::string& name) override;
    void ChangeDir(const std::string& path) override;
    std::string RetrieveCurrentDir() override;
    std::vector<bool> RunFolderCommands(const std::vector<FolderCommand>& commands) override;
    std::string KnownCurrentDir() const override;

    std::vector<HashAlgorithm> OfferedHashes() override;
    std::vector<HashAlgorithm> OfferedRangeHashes() override;
    std::optional<std::string> RemoteHash(HashAlgorithm algorithm, const std::string& remotePath, std::int64_t start,
                                          std::int64_t end) override;
    // Always: REST + STOR where the server lists REST STREAM, else APPE, else the whole file.
    bool CanResumeUpload() override { return true; }
    TransferResult GetFile(const std::string& remotePath, const std::string& localPath,
                           const TransferRequest& request) override;
    TransferResult PutFile(const std::string& localPath, const std::string& remoteName,
                           const TransferRequest& request) override;
    std::optional<std::int64_t> ModifiedTime(const std::string& remotePath) override;
    bool SetModifiedTime(const std::string& remotePath, std::int64_t unixSeconds) override;
    void Rename(const std::string& from, const std::string& to) override;
    void Delete(const std::string& remotePath) override;

    void Abort() override;
    void ResetAbort() override;

private:
    FtpSettings m_settings;
    std::unique_ptr<ftp::FtpSession> m_session;
};

} // namespace ct
