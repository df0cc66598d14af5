#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "platform/client/Endpoint.h"
#include "platform/error/CloudError.h"

namespace ct {

// What a failure means for the job that met it.
enum class FtpErrorKind {
    // About this job: a refused login (530), TLS demanded or refused, a refused or cut
    // transfer, a local file that cannot be read or written, a lost connection once the
    // session was up. The worker marks the job and, at its third failure, drops it.
    Job,
    // No session could be had, and a later attempt may cure it: connection refused, a name
    // that does not resolve, a network that cannot be reached, a connect or greeting
    // time-out, a 4xx reply (421 and kin) before the login completed. Never costs a job.
    Unavailable,
    // RETR answered that the remote file does not exist: the design's missing remote file.
    RemoteMissing,
    // Abort() was called: the step was broken off on purpose.
    Aborted,
};

// Raised by the FTP client for every failure: refused connection, a refusing reply,
// a time-out, a lost or cut connection, a local file error, an aborted transfer.
// Neither text ever holds the password.
class FtpError : public CloudError {
public:
    explicit FtpError(const std::string& message, int replyCode = 0, FtpErrorKind kind = FtpErrorKind::Job,
                      std::string reason = {})
        : CloudError(message), m_replyCode(replyCode), m_kind(kind), m_reason(std::move(reason)) {}
    // The server's reply code when a reply caused the error, else 0.
    int ReplyCode() const noexcept { return m_replyCode; }
    FtpErrorKind Kind() const noexcept { return m_kind; }
    // A short reason for the queue line and the log ("550 Permission denied", "connection
    // refused", "login refused (530)"); the message itself when none was given.
    std::string Reason() const { return m_reason.empty() ? std::string(what()) : m_reason; }

private:
    int m_replyCode;
    FtpErrorKind m_kind;
    std::string m_reason;
};

// The security of a session is the endpoint's.
using FtpSecurity = EndpointSecurity;

enum class TWorkMode { wmRead, wmWrite };
enum class TIdFTPTransferType { ftASCII, ftBinary };

// One command of a batch of folder commands (RunFolderCommands).
struct FtpFolderCommand {
    enum class Verb { MakeDir, ChangeDir };
    Verb verb;
    std::string name;
};

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
    // With ExplicitTls or ImplicitTls there is never a fall-back to clear text.
    virtual FtpSecurity Security() const = 0;
    virtual void SetSecurity(FtpSecurity security) = 0;
    // SHA-256 fingerprint of the server certificate to pin, as the job line's "fp" gives it
    // (hex digits, colons optional, either case); empty: verify against the system's trust
    // store and the host name. A pin replaces those checks and must match exactly.
    virtual std::string PinnedFingerprint() const = 0;
    virtual void SetPinnedFingerprint(const std::string& fingerprint) = 0;

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

    // Size of a remote file in bytes, or -1 when the server gives none: SIZE not answered
    // with 213 (a missing file, SIZE refused by policy, not implemented). Raises FtpError
    // only when the session fails (lost connection, time-out, abort).
    virtual std::int64_t Size(const std::string& remotePath) = 0;
    // Downloads remotePath into localPath. overwrite true replaces an existing local file;
    // resume is not supported (must be false). Raises on failure: kind RemoteMissing when
    // the server answers RETR that the file does not exist.
    virtual void Get(const std::string& remotePath, const std::string& localPath, bool overwrite,
                     bool resume) = 0;
    // Uploads localPath as remoteName in the current remote directory. append false and
    // startPosition -1 send the whole file. The local file must be a regular file; it is
    // opened once and checked through its handle. Raises on failure.
    virtual void Put(const std::string& localPath, const std::string& remoteName, bool append,
                     std::int64_t startPosition) = 0;
    virtual void MakeDir(const std::string& name) = 0;
    virtual void ChangeDir(const std::string& path) = 0;
    virtual std::string RetrieveCurrentDir() = 0;

    // Runs folder commands of which none waits for another's answer, in order, and gives each
    // one's outcome (true: done). A refused or failed command fails alone; the others still
    // run. Never raises. This default makes the plain calls one after another; a client may
    // instead send them together and read their replies in order, which ends the same way.
    virtual std::vector<bool> RunFolderCommands(const std::vector<FtpFolderCommand>& commands) {
        std::vector<bool> done;
        done.reserve(commands.size());
        for (const auto& command : commands) {
            try {
                if (command.verb == FtpFolderCommand::Verb::MakeDir)
                    MakeDir(command.name);
                else
                    ChangeDir(command.name);
                done.push_back(true);
            } catch (const std::exception&) {
                done.push_back(false);
            }
        }
        return done;
    }
    // The folder the client is sure it stands in: the absolute path of its last successful
    // ChangeDir on this connection, as it was given, when nothing since can have moved it
    // (a relative or refused ChangeDir, a new connection, an upload refused in it). Empty
    // when the client does not know; this default never does.
    virtual std::string KnownCurrentDir() const { return {}; }

    // Safe from any thread at any moment while the client exists. Whatever blocking step
    // runs (connect, login, a command, a transfer) ends within a fraction of a second by
    // FtpError of kind Aborted, and every later step fails the same way at once, until
    // ResetAbort. The connection is dropped; Disconnect afterwards does not wait.
    virtual void Abort() = 0;
    // Worker thread only: the client may be used again after an Abort.
    virtual void ResetAbort() = 0;
};

} // namespace ct
