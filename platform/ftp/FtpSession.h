#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>

#include "platform/ftp/FtpChannel.h"
#include "platform/ftp/FtpHash.h"
#include "platform/ftp/FtpLocalFile.h"
#include "platform/ftp/FtpClient.h"
#include "platform/ftp/FtpReply.h"
#include "platform/ftp/FtpSettings.h"
#include "platform/ftp/FtpWaiter.h"

namespace ct::ftp {

struct ResolveJob;
class UploadProgress;
class WorkReporter;

// Where the session stands. Only SetState changes it; every failure is classified by the
// state it happened in (before the login completed, a failure that a later attempt may
// cure makes the server unavailable rather than the job bad).
enum class FtpState {
    Closed,      // no control connection
    Resolving,   // looking the host up
    Connecting,  // opening the control connection
    Securing,    // TLS handshake on the control connection
    Greeting,    // waiting for the server's 220
    AuthTls,     // AUTH TLS sent
    LoggingIn,   // USER and PASS
    Protecting,  // PBSZ 0 and PROT P, once logged in
    Ready,       // logged in, nothing in flight
    Command,     // a command's reply awaited
    Transfer,    // a transfer under way
    Quitting,    // QUIT sent
};

const char* ToString(FtpState state);

// The FTP protocol over one control connection and its data connections (RFC 959 with
// EPSV/PASV, TYPE, SIZE; FTPS as RFC 4217 says). Blocking, on the caller's thread; every
// wait has a deadline and ends at once on Abort, which alone may come from another thread.
class FtpSession {
public:
    FtpSession(const FtpSettings& settings, IFtpClient& eventSource);
    ~FtpSession();
    FtpSession(const FtpSession&) = delete;
    FtpSession& operator=(const FtpSession&) = delete;

    FtpState State() const { return m_state; }

    bool Connected();
    void Connect();
    void Disconnect() noexcept;
    std::int64_t Size(const std::string& remotePath);
    void Get(const std::string& remotePath, const std::string& localPath, bool overwrite, bool resume);
    void Put(const std::string& localPath, const std::string& remoteName, bool append, std::int64_t startPosition);
    void MakeDir(const std::string& name);
    void ChangeDir(const std::string& path);
    std::string RetrieveCurrentDir();
    std::vector<bool> RunFolderCommands(const std::vector<FtpFolderCommand>& commands);
    const std::string& KnownCurrentDir() const { return m_knownDir; }

    // Resume, hashes, times and renames (FtpDelivery.cpp; the transfers in FtpTransfers.cpp).
    TransferResult GetFile(const std::string& remotePath, const std::string& localPath, const TransferRequest& request);
    TransferResult PutFile(const std::string& localPath, const std::string& remoteName, const TransferRequest& request);
    std::vector<HashAlgorithm> OfferedHashes();
    std::vector<HashAlgorithm> OfferedRangeHashes();
    std::optional<std::string> RemoteHash(HashAlgorithm algorithm, const std::string& remotePath, std::int64_t start,
                                          std::int64_t end);
    std::optional<std::int64_t> ModifiedTime(const std::string& remotePath);
    bool SetModifiedTime(const std::string& remotePath, std::int64_t unixSeconds);
    void Rename(const std::string& from, const std::string& to);
    void Delete(const std::string& remotePath);

    void Abort() { m_waiter.Abort(); }
    void ResetAbort() { m_waiter.ResetAbort(); }

    // Sends the command lines in one write; their final replies are read in order with
    // ReadFinalReply. With one line this is an ordinary command.
    void SendCommands(const std::vector<std::string>& lines, Clock::time_point deadline);
    // The next reply, 1xx included.
    FtpReply ReadReply(Clock::time_point deadline);
    // The final reply to the oldest command still unanswered; every 1xx before it counts
    // against the same deadline, so a server that keeps sending 1xx cannot hold us.
    FtpReply ReadFinalReply(Clock::time_point deadline);

private:
    // What answered a transfer command: its 1xx, and the final reply if it came already.
    struct TransferStart {
        std::optional<FtpReply> opening;
        std::optional<FtpReply> final;
    };

    void SetState(FtpState state);
    bool BeforeLogin() const;

    // Failures. Each closes what can no longer be trusted and raises FtpError.
    [[noreturn]] void Fail(FtpErrorKind kind, const std::string& message, const std::string& reason, int code = 0);
    [[noreturn]] void FailAborted();
    [[noreturn]] void FailNetwork(const std::string& what, const asio::error_code& ec);
    [[noreturn]] void FailTimeout(const std::string& what, const std::string& reason);
    [[noreturn]] void FailReply(const std::string& what, const FtpReply& reply);
    [[noreturn]] void FailLocal(const std::string& reason);

    void CheckUsable();
    void CheckArgument(const std::string& command, const std::string& argument);
    void RequireConnection();
    void CloseAll() noexcept;

    // The control connection's reader: always armed while connected, so that whatever the
    // server sends (a 421 while idle, a TLS ticket) is read as soon as the io_context runs.
    void ArmControlRead();
    void PumpControl();
    std::optional<FtpReply> NextParsedReply();

    bool WaitOp(OpState& op, Clock::time_point deadline);
    FtpReply Command(const std::string& command, const std::string& argument = {});
    void EnsureType(TIdFTPTransferType type);

    std::vector<asio::ip::tcp::endpoint> Resolve(const std::string& host, Clock::time_point deadline);
    void ConnectControl(const std::vector<asio::ip::tcp::endpoint>& endpoints, Clock::time_point deadline);
    // The host as it is connected to and checked, once the settings are found safe to send.
    std::string CheckedHost();
    // The pin in its normal form; empty without one.
    std::string CheckedPin();
    void SecureControl();
    // AUTH TLS, then the handshake (explicit TLS).
    void AuthTls();
    void Login();

    // What a ChangeDir that got this answer tells about where the session stands.
    void NoteChangeDir(const std::string& path, bool done);
    // EPSV, or PASV where EPSV is refused: the port of the data connection to open.
    std::uint16_t PassivePort();
    // Opens the data connection, sends the transfer command meanwhile, and waits for its 1xx
    // and, over TLS, the data handshake; returns early with a final reply that refuses the
    // transfer.
    TransferStart StartTransfer(const std::string& command, const std::string& argument);
    // Moves the data connection on once its connect or handshake has completed; false when it
    // could not be opened because the server refused the command (start.final says how).
    bool AdvanceData(TransferStart& start, const std::string& command);
    bool DataConnectFailed(TransferStart& start, const asio::error_code& ec);
#if defined(CLOUDTRANSFER_TLS)
    // `which` names the connection in messages: "of host:port", "on the data connection".
    void StartTls(FtpChannel& channel, const std::string& which);
    // After a handshake: fails the session when the certificate was refused.
    void CheckPeer(FtpChannel& channel, const asio::error_code& ec, const std::string& which);
#endif
    void Receive(FtpLocalFile& file, WorkReporter& reporter, std::int64_t& total, std::optional<FtpReply>& final,
                 LocalHasher* hasher = nullptr);
    void Send(FtpLocalFile& file, UploadProgress& progress, std::optional<FtpReply>& final,
              LocalHasher* hasher = nullptr);
    TransferResult Download(const std::string& remotePath, const std::string& localPath, FtpLocalFile::Mode mode,
                            const TransferRequest& request);
    TransferResult Upload(const std::string& localPath, const std::string& remoteName, const TransferRequest& request);
    TransferStart StartUpload(const std::string& remoteName, FtpLocalFile& file, std::unique_ptr<LocalHasher>& hasher,
                              const TransferRequest& request, TransferResult& result, std::string& verb);
    std::unique_ptr<LocalHasher> HasherFor(const TransferRequest& request);
    // Feeds the first `length` bytes of the file to the hasher (or skips them without one).
    bool HashPrefix(FtpLocalFile& file, std::int64_t length, LocalHasher* hasher);
    // Whether the server's hash of the first `length` bytes of remotePath (where it hashes
    // ranges) differs from ours of localPath's.
    bool PartDiffers(const std::string& localPath, const std::string& remotePath, std::int64_t length);
    // REST; the position the server accepted, 0 when it refused or resuming is not safe.
    std::int64_t RestartAt(std::int64_t position);
    // FEAT, asked once per session and only when something needs it.
    const FtpFeatures& Features();
    // A command outside a transfer, with the checks every command has; its reply.
    FtpReply PlainCommand(const std::string& command, const std::string& argument);
    void FinishUpload(UploadProgress& progress, std::optional<FtpReply>& final);
    // A final reply that arrived while data still moved: a refusal ends the transfer now.
    void TakeReplyDuringTransfer(const std::string& what, std::optional<FtpReply>& final);
    // The same, but a refusal is handed back rather than raised.
    std::optional<FtpReply> RefusalDuringTransfer(std::optional<FtpReply>& final);
    // What the stall and low-speed rules and the work events go by.
    IClock& TransferClock() const { return m_settings.clock ? *m_settings.clock : SystemClock(); }
    [[noreturn]] void FailStalled(const std::string& what);
    [[noreturn]] void FailTooSlow(const std::string& what, const std::string& floor);
    std::vector<char>& Buffer();
    // After the data connection failed mid-transfer: the server's word on it, if it comes soon.
    [[noreturn]] void FailCut(const std::string& what, const asio::error_code& ec, std::optional<FtpReply> final);

    const FtpSettings& m_settings;
    IFtpClient& m_eventSource;

    // Declared first: the io_context outlives every socket and handler below.
    FtpWaiter m_waiter;
    FtpState m_state = FtpState::Closed;
#if defined(CLOUDTRANSFER_TLS)
    std::unique_ptr<TlsContext> m_tls;
#endif
    FtpChannel m_control{m_waiter};
    FtpChannel m_data{m_waiter};
    // Where the data connection of a transfer being started stands.
    enum class DataPhase { Connecting, Handshaking, Open };
    DataPhase m_dataPhase = DataPhase::Open;
    asio::ip::address m_peer;
    std::string m_where; // host:port, for messages

    FtpReplyParser m_parser;
    std::array<char, 16 * 1024> m_controlBuffer{};
    std::array<char, 4 * 1024> m_drainBuffer{};
    asio::error_code m_controlError;
    bool m_controlGarbled = false;
    std::string m_outgoing;
    // Commands sent whose final reply has not been read yet, oldest first.
    std::deque<std::string> m_unanswered;

    std::optional<TIdFTPTransferType> m_serverType;
    bool m_epsvRefused = false;
    bool m_epsvAnswered = false;
    // The folder the session is sure it stands in; empty when unsure.
    std::string m_knownDir;
    // The last SIZE answer, for the download that normally follows it at once.
    std::optional<std::pair<std::string, std::int64_t>> m_sizeMemo;

    std::vector<char> m_buffer;
    std::shared_ptr<ResolveJob> m_resolve;

    // What this session learnt of the server's extensions; reset by Connect.
    std::optional<FtpFeatures> m_features;
    std::optional<HashAlgorithm> m_hashChosen;  // the algorithm HASH uses now (OPTS HASH)
    enum class TimeSetter { Unknown, Mfmt, MdtmTwo, SiteUtime, None };
    TimeSetter m_timeSetter = TimeSetter::Unknown;
};

} // namespace ct::ftp
