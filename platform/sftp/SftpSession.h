#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "platform/client/TransferClient.h"
#include "platform/sftp/SftpPacket.h"
#include "platform/sftp/SftpSettings.h"

struct ssh_session_struct;
struct ssh_channel_struct;

namespace ct::sftp {

using Clock = std::chrono::steady_clock;

// One SFTP session: the socket, libssh's SSH session and its one channel, and the SFTP
// requests on it. Every wait is a poll on the socket and on a wake pipe with a deadline, so
// that Abort from another thread ends it at once; libssh runs non-blocking throughout.
class SftpSession {
public:
    SftpSession(const SftpSettings& settings, ITransferClient& eventSource);
    ~SftpSession();
    SftpSession(const SftpSession&) = delete;
    SftpSession& operator=(const SftpSession&) = delete;

    bool Connected();
    void Connect();
    void Disconnect() noexcept;

    std::int64_t Size(const std::string& remotePath);
    // Both give where the transfer really began: `start` (the bytes already at the
    // destination), or 0 where the local file was too short for it.
    std::int64_t Get(const std::string& remotePath, const std::string& localPath, bool overwrite, std::int64_t start);
    std::int64_t Put(const std::string& localPath, const std::string& remoteName, std::int64_t start);
    std::optional<std::int64_t> ModifiedTime(const std::string& remotePath);
    bool SetModifiedTime(const std::string& remotePath, std::int64_t unixSeconds);
    void Rename(const std::string& from, const std::string& to);
    void Delete(const std::string& remotePath);
    void MakeDir(const std::string& name);
    void ChangeDir(const std::string& path);
    std::string RetrieveCurrentDir();
    std::string KnownCurrentDir() const { return m_knownDir; }

    // Any thread.
    void Abort();
    void ResetAbort();

private:
    enum class State { Closed, Connecting, LoggingIn, Ready };

    // ---- failures: each chooses its kind and its words where it is raised ----
    [[noreturn]] void Fail(TransferErrorKind kind, const std::string& message, const std::string& reason);
    [[noreturn]] void FailAborted();
    // A lost connection or a time-out: unavailable before the login, the job's after it.
    [[noreturn]] void FailLost(const std::string& message, const std::string& reason);
    // A refused request. The refusal carries 550, the code FTP gives the same refusals, so
    // that the worker takes both alike.
    [[noreturn]] void FailStatus(const std::string& what, const Reply& reply, bool missingIsRemoteMissing = false);
    void CloseAll() noexcept;
    void CheckUsable();
    void RequireConnection();

    // ---- connecting and logging in (SftpSession.cpp) ----
    void OpenSocket(Clock::time_point deadline);
    void StartSsh();
    void CheckHostKey();
    void Login();
    bool LoginWithPassword();
    void OpenSftp();
    // Waits until the socket can move bytes (the directions libssh waits for), the deadline
    // passes (false) or an abort (raises).
    bool WaitSocket(Clock::time_point deadline);
    bool WaitFd(int fd, short events, Clock::time_point deadline);
    // Calls step until it stops answering SSH_AGAIN; raises when `deadline` passes.
    template <class Step>
    int Retry(Step&& step, Clock::time_point deadline, const char* what);
    // The same for the login's steps, which answer SSH_AUTH_AGAIN.
    template <class Step>
    int RetryAuth(Step&& step);

    // ---- the SFTP channel (SftpSession.cpp) ----
    std::uint32_t Send(PacketWriter& packet);
    // Moves what it can both ways without waiting; true when anything moved.
    bool Move();
    // Moves, and when nothing moved waits for the socket until `until`.
    void Pump(Clock::time_point until);
    Reply Await(std::uint32_t id);
    Reply Request(PacketWriter& packet);
    std::uint32_t NextId() { return m_nextId++; }
    void Forget(std::uint32_t id) { m_awaited.erase(id); }

    // ---- files and folders (SftpFiles.cpp) ----
    // The server's path of a path of the job (absolute from the login folder, or relative to
    // the current folder).
    std::string ServerPath(const std::string& path) const;
    std::string VirtualPath(const std::string& path) const;
    std::string OpenHandle(const std::string& serverPath, std::uint32_t flags, const std::string& what,
                           bool missingIsRemoteMissing);
    void CloseHandle(const std::string& handle, bool wait);
    std::int64_t HandleSize(const std::string& handle);
    // After a failed transfer in a session that still stands: drops its outstanding requests.
    void GiveUp(const std::string& handle) noexcept;

    const SftpSettings& m_settings;
    ITransferClient& m_eventSource;
    State m_state = State::Closed;
    std::string m_where;
    std::atomic<bool> m_aborted{false};
    int m_wake[2] = {-1, -1};
    int m_fd = -1;
    bool m_fdGiven = false;  // libssh closes the socket once it has been handed over
    ssh_session_struct* m_ssh = nullptr;
    ssh_channel_struct* m_channel = nullptr;

    // Messages not yet on the channel, the first one partly sent.
    std::deque<std::string> m_out;
    std::size_t m_outSent = 0;
    std::size_t m_outBytes = 0;
    ReplyParser m_parser;
    std::set<std::uint32_t> m_awaited;
    std::map<std::uint32_t, Reply> m_replies;
    std::uint32_t m_nextId = 1;
    std::uint32_t m_readChunk = 32768;
    std::uint32_t m_writeChunk = 32768;
    bool m_posixRename = false;

    std::string m_home;       // the login folder, as the server names it
    std::string m_cwd = "/";  // where the session stands, from the login folder
    std::string m_knownDir;
};

} // namespace ct::sftp
