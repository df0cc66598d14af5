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

// Our FTP client (RFC 959 with EPSV/PASV, TYPE, SIZE; explicit and implicit FTPS), on
// standalone Asio with OpenSSL. A thin facade: it holds the settings and hands every step to
// the session (platform/ftp/FtpSession.h), which owns the protocol, its channels the
// transport (platform/ftp/FtpChannel.h), and its waiter the one blocking wait
// (platform/ftp/FtpWaiter.h).
//
// All network work happens on the calling thread. Abort, the one call allowed from a
// second thread, raises a flag and wakes that thread, which then drops the connection.
class TIdFTP final : public IFtpClient {
public:
    static constexpr std::chrono::milliseconds DefaultTimeout{30000};
    static constexpr std::size_t TransferBufferSize = FtpTransferBufferSize;

    TIdFTP();
    ~TIdFTP() override;
    TIdFTP(const TIdFTP&) = delete;
    TIdFTP& operator=(const TIdFTP&) = delete;

    std::string Host() const override { return m_settings.host; }
    void SetHost(const std::string& host) override { m_settings.host = host; }
    std::uint16_t Port() const override { return m_settings.port; }
    void SetPort(std::uint16_t port) override { m_settings.port = port; }
    std::string Username() const override { return m_settings.username; }
    void SetUsername(const std::string& user) override { m_settings.username = user; }
    std::string Password() const override { return m_settings.password; }
    void SetPassword(const std::string& password) override { m_settings.password = password; }
    bool Passive() const override { return m_settings.passive; }
    void SetPassive(bool passive) override { m_settings.passive = passive; }
    TIdFTPTransferType TransferType() const override { return m_settings.transferType; }
    void SetTransferType(TIdFTPTransferType type) override { m_settings.transferType = type; }
    FtpSecurity Security() const override { return m_settings.security; }
    void SetSecurity(FtpSecurity security) override { m_settings.security = security; }
    std::string PinnedFingerprint() const override { return m_settings.pinnedFingerprint; }
    void SetPinnedFingerprint(const std::string& fingerprint) override { m_settings.pinnedFingerprint = fingerprint; }

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
    std::vector<bool> RunFolderCommands(const std::vector<FtpFolderCommand>& commands) override;
    std::string KnownCurrentDir() const override;

    void Abort() override;
    void ResetAbort() override;

private:
    FtpSettings m_settings;
    std::unique_ptr<ftp::FtpSession> m_session;
};

} // namespace ct
