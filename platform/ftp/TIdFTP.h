#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/ftp/FtpClient.h"

namespace ct {

// Our FTP client (RFC 959 with EPSV/PASV, TYPE, SIZE), on standalone Asio.
//
// All network work happens on the calling thread: each step starts one asynchronous
// operation and runs the client's own io_context until it completes or its deadline
// passes. Abort, the one call allowed from a second thread, only sets a flag and posts a
// wake-up onto that io_context; the worker thread then cancels the transfer, sends ABOR
// and reads the server back into step, or drops the connection when that fails.
class TIdFTP final : public IFtpClient {
public:
    static constexpr std::chrono::milliseconds DefaultTimeout{30000};
    // Size of the buffer the data connection is read into and the file is read from.
    static constexpr std::size_t TransferBufferSize = 1024 * 1024;

    TIdFTP();
    ~TIdFTP() override;
    TIdFTP(const TIdFTP&) = delete;
    TIdFTP& operator=(const TIdFTP&) = delete;

    std::string Host() const override { return m_host; }
    void SetHost(const std::string& host) override { m_host = host; }
    std::uint16_t Port() const override { return m_port; }
    void SetPort(std::uint16_t port) override { m_port = port; }
    std::string Username() const override { return m_username; }
    void SetUsername(const std::string& user) override { m_username = user; }
    std::string Password() const override { return m_password; }
    void SetPassword(const std::string& password) override { m_password = password; }
    bool Passive() const override { return m_passive; }
    void SetPassive(bool passive) override { m_passive = passive; }
    TIdFTPTransferType TransferType() const override { return m_transferType; }
    void SetTransferType(TIdFTPTransferType type) override { m_transferType = type; }
    FtpSecurity Security() const override { return m_security; }
    void SetSecurity(FtpSecurity security) override { m_security = security; }
    std::string PinnedFingerprint() const override { return m_pinnedFingerprint; }
    void SetPinnedFingerprint(const std::string& fingerprint) override { m_pinnedFingerprint = fingerprint; }

    // Time allowed to resolve and connect.
    void SetConnectTimeout(std::chrono::milliseconds timeout);
    // Time allowed for each reply of the server.
    void SetReplyTimeout(std::chrono::milliseconds timeout);
    // Time a data connection may pass without moving a byte.
    void SetDataTimeout(std::chrono::milliseconds timeout);
    // All three at once.
    void SetTimeouts(std::chrono::milliseconds timeout);

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

    void Abort() override;
    void ResetAbort() override;

private:
    class Session;

    std::string m_host;
    std::uint16_t m_port = 21;
    std::string m_username;
    std::string m_password;
    bool m_passive = true;
    TIdFTPTransferType m_transferType = TIdFTPTransferType::ftBinary;
    FtpSecurity m_security = FtpSecurity::None;
    std::string m_pinnedFingerprint;
    std::unique_ptr<Session> m_session;
};

} // namespace ct
