#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/client/TransferClient.h"
#include "platform/sftp/SftpSettings.h"

namespace ct {

namespace sftp {
class SftpSession;
}

// Whether this build can speak SFTP (the MinGW cross-build has no SSH library).
bool SftpAvailable();

// The transfer client for SFTP endpoints: SSH through libssh for the transport, the key
// exchange, the host key and the login, and SFTP version 3 spoken here on the session's
// channel, so that reads and writes keep many requests in flight (libssh's own SFTP calls
// wait for each write). Remote paths are relative to the login folder: "/" is where the
// server put the session, as an FTP server's root is.
//
// All network work happens on the calling thread. Abort, the one call allowed from a second
// thread, raises a flag and wakes that thread, which then drops the connection.
class SftpClient final : public ITransferClient {
public:
    explicit SftpClient(const Endpoint& endpoint);
    ~SftpClient() override;
    SftpClient(const SftpClient&) = delete;
    SftpClient& operator=(const SftpClient&) = delete;

    // The known_hosts file trusted when the job pins no key (tests give their own).
    void SetKnownHostsFile(const std::string& path) { m_settings.knownHostsFile = path; }
    void SetConnectTimeout(std::chrono::milliseconds timeout) { m_settings.connectTimeout = timeout; }
    void SetReplyTimeout(std::chrono::milliseconds timeout) { m_settings.replyTimeout = timeout; }
    void SetDataTimeout(std::chrono::milliseconds timeout) { m_settings.dataTimeout = timeout; }
    void SetTimeouts(std::chrono::milliseconds timeout);
    // A transfer fails once it moves fewer than `bytes` in any `window` (0 bytes: never).
    void SetLowSpeedLimit(std::int64_t bytes, std::chrono::milliseconds window);
    // The clock of the stall and low-speed rules (null: the system's); it must outlive the client.
    void SetClock(IClock* clock) { m_settings.clock = clock; }

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
    std::string KnownCurrentDir() const override;

    // Resume by offset both ways; no hashes (SFTP has none in common use).
    bool CanResumeUpload() override { return true; }
    TransferResult GetFile(const std::string& remotePath, const std::string& localPath,
                           const TransferRequest& request) override;
    TransferResult PutFile(const std::string& localPath, const std::string& remoteName,
                           const TransferRequest& request) override;
    std::optional<std::int64_t> ModifiedTime(const std::string& remotePath) override;
    bool SetModifiedTime(const std::string& remotePath, std::int64_t unixSeconds) override;
    // Through posix-rename@openssh.com where the server offers it, so that an existing target is replaced.
    void Rename(const std::string& from, const std::string& to) override;
    void Delete(const std::string& remotePath) override;

    void Abort() override;
    void ResetAbort() override;

private:
    SftpSettings m_settings;
    std::unique_ptr<sftp::SftpSession> m_session;
};

} // namespace ct
