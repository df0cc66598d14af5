#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/error/CloudError.h"

namespace ct {

// Raised by the FTP client for every failure: refused connection, a refusing reply,
// a time-out, a lost or cut connection, a local file error, an aborted transfer.
class FtpError : public CloudError {
public:
    explicit FtpError(const std::string& message, int replyCode = 0)
        : CloudError(message), m_replyCode(replyCode) {}
    // The server's reply code when a reply caused the error, else 0.
    int ReplyCode() const noexcept { return m_replyCode; }

private:
    int m_replyCode;
};

enum class TWorkMode { wmRead, wmWrite };
enum class TIdFTPTransferType { ftASCII, ftBinary };

class IFtpClient;
using TWorkBeginEvent = std::function<void(IFtpClient* sender, TWorkMode mode, std::int64_t workCountMax)>;
using TWorkEvent = std::function<void(IFtpClient* sender, TWorkMode mode, std::int64_t workCount)>;
using TWorkEndEvent = std::function<void(IFtpClient* sender, TWorkMode mode)>;

// What the worker and the remote-directory functions need of an FTP client.
// TIdFTP is the real one; tests also use a recording fake.
// Every operation except Abort is called from one thread only (the worker's).
class IFtpClient {
public:
    virtual ~IFtpClient() = default;

    // Connection settings; a change takes effect at the next Connect.
    virtual std::string Host() const = 0;
    virtual void SetHost(const std::string& host) = 0;
    virtual std::uint16_t Port() const = 0;
    virtual void SetPort(std::uint16_t port) = 0;
    virtual std::string Username() const = 0;
    virtual void SetUsername(const std::string& user) = 0;
    virtual std::string Password() const = 0;
    virtual void SetPassword(const std::string& password) = 0;
    virtual bool Passive() const = 0;
    virtual void SetPassive(bool passive) = 0;
    virtual TIdFTPTransferType TransferType() const = 0;
    virtual void SetTransferType(TIdFTPTransferType type) = 0;

    // Work events, raised on the thread that calls Get or Put, during that call.
    TWorkBeginEvent OnWorkBegin;
    TWorkEvent OnWork;
    TWorkEndEvent OnWorkEnd;

    // True only while a logged-in control connection is really open.
    virtual bool Connected() = 0;
    // Connects and logs in, or raises FtpError.
    virtual void Connect() = 0;
    // Closes the connection (QUIT when possible); harmless when not connected. Never raises.
    virtual void Disconnect() = 0;

    // Size of a remote file in bytes. Returns -1 when the server answers that the file
    // is missing (a 550-class refusal); raises FtpError for any other failure.
    virtual std::int64_t Size(const std::string& remotePath) = 0;
    // Downloads remotePath into localPath. overwrite true replaces an existing local file;
    // resume is not supported (must be false). Raises on failure.
    virtual void Get(const std::string& remotePath, const std::string& localPath, bool overwrite,
                     bool resume) = 0;
    // Uploads localPath as remoteName in the current remote directory. append false and
    // startPosition -1 send the whole file. Raises on failure, also when the server's SIZE
    // of the stored file differs from the bytes sent.
    virtual void Put(const std::string& localPath, const std::string& remoteName, bool append,
                     std::int64_t startPosition) = 0;
    virtual void MakeDir(const std::string& name) = 0;
    virtual void ChangeDir(const std::string& path) = 0;
    virtual std::string RetrieveCurrentDir() = 0;

    // Safe from any thread at any moment while the client exists: ends a running Get or
    // Put soon (by return or by FtpError). Without a running transfer it does nothing harmful.
    virtual void Abort() = 0;
};

} // namespace ct
