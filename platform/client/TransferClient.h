#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/client/Endpoint.h"
#include "platform/error/CloudError.h"

namespace ct {

// What a failure means for the job that met it.
enum class TransferErrorKind {
    // About this job: a refused login, TLS demanded or refused, a refused or cut transfer, a
    // local file that cannot be read or written, a lost connection once the session was up.
    // The worker marks the job and, at its third failure, drops it.
    Job,
    // No session could be had, and a later attempt may cure it: connection refused, a name
    // that does not resolve, a network that cannot be reached, a connect or greeting
    // time-out, a server too busy to log in (FTP's 421 and kin). Never costs a job.
    Unavailable,
    // The remote file of a download does not exist: the design's missing remote file.
    RemoteMissing,
    // Abort() was called: the step was broken off on purpose.
    Aborted,
};

// Raised by a transfer client for every failure: refused connection, a refusing reply,
// a time-out, a lost or cut connection, a local file error, an aborted transfer.
// Neither text ever holds the password.
class TransferError : public CloudError {
public:
    explicit TransferError(const std::string& message, int replyCode = 0,
                           TransferErrorKind kind = TransferErrorKind::Job, std::string reason = {})
        : CloudError(message), m_replyCode(replyCode), m_kind(kind), m_reason(std::move(reason)) {}
    // The server's reply code when a reply caused the error, else 0.
    int ReplyCode() const noexcept { return m_replyCode; }
    TransferErrorKind Kind() const noexcept { return m_kind; }
    // A short reason for the queue line and the log ("550 Permission denied", "connection
    // refused", "login refused (530)"); the message itself when none was given.
    std::string Reason() const { return m_reason.empty() ? std::string(what()) : m_reason; }

private:
    int m_replyCode;
    TransferErrorKind m_kind;
    std::string m_reason;
};

enum class TWorkMode { wmRead, wmWrite };

// One command of a batch of folder commands (RunFolderCommands).
struct FolderCommand {
    enum class Verb { MakeDir, ChangeDir };
    Verb verb;
    std::string name;
};

// Hashes a server may compute over a remote file, in the order of preference.
enum class HashAlgorithm { Sha256, Sha512, Sha1, Md5, Crc32 };

// The name the outcome log and the reasons use: "SHA-256", "SHA-512", "SHA-1", "MD5", "CRC32".
inline const char* HashName(HashAlgorithm algorithm) {
    switch (algorithm) {
    case HashAlgorithm::Sha256: return "SHA-256";
    case HashAlgorithm::Sha512: return "SHA-512";
    case HashAlgorithm::Sha1: return "SHA-1";
    case HashAlgorithm::Md5: return "MD5";
    case HashAlgorithm::Crc32: return "CRC32";
    }
    return "?";
}

// What a transfer asks beyond the plain whole-file one (GetFile, PutFile).
struct TransferRequest {
    // Bytes already at the destination: a download appends to the local file cut to this size,
    // an upload sends the rest after the remote file's first startPosition bytes. 0: all.
    std::int64_t startPosition = 0;
    // Hash the whole file (the part already there included) on our side while the bytes move,
    // so that a large file is not read twice.
    std::optional<HashAlgorithm> localHash;
};

struct TransferResult {
    // Where the transfer really began: startPosition, or 0 when the server would not resume
    // and the whole file was sent again.
    std::int64_t startedAt = 0;
    // The local hash asked for, lower-case hex.
    std::optional<std::string> localHash;
};

class ITransferClient;
using TWorkBeginEvent = std::function<void(ITransferClient* sender, TWorkMode mode, std::int64_t workCountMax)>;
using TWorkEvent = std::function<void(ITransferClient* sender, TWorkMode mode, std::int64_t workCount)>;
using TWorkEndEvent = std::function<void(ITransferClient* sender, TWorkMode mode)>;

// What the worker and the remote-folder walk need of a client for one endpoint, whatever its
// protocol: a client is made for an endpoint and serves that one for its life. What a protocol
// needs besides (FTP's passive mode and transfer type, its TLS) stays inside its client.
// Every operation except Abort is called from one thread only (the worker's).
class ITransferClient {
public:
    virtual ~ITransferClient() = default;

    // Work events, raised on the thread that calls Get or Put, during that call.
    TWorkBeginEvent OnWorkBegin;
    TWorkEvent OnWork;
    TWorkEndEvent OnWorkEnd;

    // True only while a logged-in session is really open.
    virtual bool Connected() = 0;
    // Connects and logs in, or raises TransferError.
    virtual void Connect() = 0;
    // Closes the session; harmless when not connected. Never raises.
    virtual void Disconnect() = 0;

    // Size of a remote file in bytes, or -1 when the server gives none (a missing file, a
    // server that will not say). Raises only when the session fails (lost connection,
    // time-out, abort).
    virtual std::int64_t Size(const std::string& remotePath) = 0;
    // Downloads remotePath into localPath. overwrite true replaces an existing local file;
    // resume is not supported (must be false). Raises on failure: kind RemoteMissing when
    // the server says that the file does not exist.
    virtual void Get(const std::string& remotePath, const std::string& localPath, bool overwrite,
                     bool resume) = 0;
    // Uploads localPath as remoteName in the current remote folder. append false and
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
    // instead send them together and read their answers in order, which ends the same way.
    virtual std::vector<bool> RunFolderCommands(const std::vector<FolderCommand>& commands) {
        std::vector<bool> done;
        done.reserve(commands.size());
        for (const auto& command : commands) {
            try {
                if (command.verb == FolderCommand::Verb::MakeDir)
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
    // ChangeDir in this session, as it was given, when nothing since can have moved it
    // (a relative or refused ChangeDir, a new session, an upload refused in it). Empty when
    // the client does not know; this default never does.
    virtual std::string KnownCurrentDir() const { return {}; }

    // What follows serves resume, verification, publish by rename and kept times. Each default
    // means "not offered", so that a client that does none of it needs nothing more. Remote
    // paths are taken as Size takes them: absolute, or relative to the current folder.

    // The hashes the server computes over a whole file, best first; known once connected.
    virtual std::vector<HashAlgorithm> OfferedHashes() { return {}; }
    // The hashes the server computes over a byte range of a file (to check a part before
    // resuming on it), best first.
    virtual std::vector<HashAlgorithm> OfferedRangeHashes() { return {}; }
    // The server's hash of remotePath from byte start up to end (exclusive; -1: the end of
    // the file), lower-case hex; nullopt when the server would not say (a refusal, an
    // algorithm or range it does not offer). Raises only when the session fails.
    virtual std::optional<std::string> RemoteHash(HashAlgorithm, const std::string& /*remotePath*/,
                                                  std::int64_t /*start*/, std::int64_t /*end*/) {
        return std::nullopt;
    }
    // Whether PutFile can continue a remote file rather than send it whole again.
    virtual bool CanResumeUpload() { return false; }

    // Get with a request: resume into a local file that already holds the first
    // request.startPosition bytes (anything after them is cut), hash while the bytes stream.
    // The default serves the plain request only.
    virtual TransferResult GetFile(const std::string& remotePath, const std::string& localPath,
                                   const TransferRequest& request) {
        if (request.startPosition != 0 || request.localHash)
            throw TransferError("Resume and hashing are not supported by this client", 0, TransferErrorKind::Job,
                                "not supported");
        Get(remotePath, localPath, true, false);
        return {};
    }
    // Put with a request: continue the remote file after its first request.startPosition bytes
    // (or send it whole where the server refuses that: see TransferResult::startedAt), hash
    // while the bytes stream. The default serves the plain request only.
    virtual TransferResult PutFile(const std::string& localPath, const std::string& remoteName,
                                   const TransferRequest& request) {
        if (request.startPosition != 0 || request.localHash)
            throw TransferError("Resume and hashing are not supported by this client", 0, TransferErrorKind::Job,
                                "not supported");
        Put(localPath, remoteName, false, -1);
        return {};
    }

    // The remote file's modification time in seconds since 1970 (UTC); nullopt when the
    // server would not say. Raises only when the session fails.
    virtual std::optional<std::int64_t> ModifiedTime(const std::string& /*remotePath*/) { return std::nullopt; }
    // Sets the remote file's modification time; false when the server can not or would not.
    // Raises only when the session fails.
    virtual bool SetModifiedTime(const std::string& /*remotePath*/, std::int64_t /*unixSeconds*/) { return false; }
    // Renames a remote file, replacing an existing target. Raises on failure.
    virtual void Rename(const std::string& /*from*/, const std::string& /*to*/) {
        throw TransferError("Renaming a remote file is not supported by this client", 0, TransferErrorKind::Job,
                            "rename not supported");
    }
    // Deletes a remote file. Raises on failure.
    virtual void Delete(const std::string& /*remotePath*/) {
        throw TransferError("Deleting a remote file is not supported by this client", 0, TransferErrorKind::Job,
                            "delete not supported");
    }

    // Safe from any thread at any moment while the client exists. Whatever blocking step
    // runs (connect, login, a command, a transfer) ends within a fraction of a second by
    // TransferError of kind Aborted, and every later step fails the same way at once, until
    // ResetAbort. The session is dropped; Disconnect afterwards does not wait.
    virtual void Abort() = 0;
    // Worker thread only: the client may be used again after an Abort.
    virtual void ResetAbort() = 0;
};

// Makes the client for an endpoint's protocol; never returns null for an endpoint that
// ParseJob let through.
using TransferClientFactory = std::function<std::unique_ptr<ITransferClient>(const Endpoint&)>;

} // namespace ct
