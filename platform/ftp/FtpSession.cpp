#include "platform/ftp/FtpSession.h"

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include <asio/post.hpp>

#include "platform/ftp/FtpLocalFile.h"
#include "platform/ftp/FtpProgress.h"
#include "platform/ftp/FtpText.h"

#if defined(CLOUDTRANSFER_TLS)
#include <asio/ssl/error.hpp>
#endif

namespace ct::ftp {

using asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

// How long Disconnect waits for the answer to QUIT.
constexpr auto QuitBudget = 1000ms;
// How long a broken transfer waits for the server to say what happened before the
// connection is dropped instead.
constexpr auto CutReplyBudget = 2000ms;
// How often an upload looks at the bytes the server has acknowledged.
constexpr auto DrainTick = 20ms;
// The largest piece of an upload handed to the socket at once: where the system cannot tell
// what the peer has acknowledged, the pieces written are the progress.
constexpr std::size_t UploadPiece = 64 * 1024;
// Bounds for the reasons that go into the queue line.
constexpr std::size_t MaxReason = 200;

bool HasLineBreakOrNul(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// A network failure in a few words, for the reason.
std::string NetworkReason(const asio::error_code& ec) {
    if (ec == asio::error::connection_refused)
        return "connection refused";
    if (ec == asio::error::host_not_found || ec == asio::error::host_not_found_try_again ||
        ec == asio::error::no_data || ec == asio::error::no_recovery)
        return "host not found";
    if (ec == asio::error::network_unreachable || ec == asio::error::network_down)
        return "network unreachable";
    if (ec == asio::error::host_unreachable)
        return "host unreachable";
    if (ec == asio::error::timed_out)
        return "connection timed out";
    if (ec == asio::error::eof)
        return "connection closed by the server";
    if (ec == asio::error::connection_reset)
        return "connection reset";
    if (ec == asio::error::connection_aborted || ec == asio::error::broken_pipe)
        return "connection lost";
    return Bound("connection lost (" + ec.message() + ")", MaxReason);
}

#if defined(CLOUDTRANSFER_TLS)
// A handshake refused by TLS itself, as opposed to a connection that broke off.
bool IsTlsProtocolError(const asio::error_code& ec) {
    return ec.category() == asio::error::get_ssl_category() && ec != asio::ssl::error::stream_truncated;
}
#endif

} // namespace

const char* ToString(FtpState state) {
    switch (state) {
    case FtpState::Closed: return "closed";
    case FtpState::Resolving: return "resolving";
    case FtpState::Connecting: return "connecting";
    case FtpState::Securing: return "securing";
    case FtpState::Greeting: return "greeting";
    case FtpState::AuthTls: return "auth-tls";
    case FtpState::LoggingIn: return "logging-in";
    case FtpState::Protecting: return "protecting";
    case FtpState::Ready: return "ready";
    case FtpState::Command: return "command";
    case FtpState::Transfer: return "transfer";
    case FtpState::Quitting: return "quitting";
    }
    return "?";
}

// A host name looked up on a thread of its own: getaddrinfo cannot be interrupted, and an
// abort must not wait for it. The thread reports through the session's io_context while the
// session still listens, and otherwise finishes alone.
struct ResolveJob {
    std::mutex mutex;
    FtpWaiter* waiter = nullptr;
    bool done = false;
    asio::error_code ec;
    std::vector<tcp::endpoint> endpoints;
};

FtpSession::FtpSession(const FtpSettings& settings, IFtpClient& eventSource)
    : m_settings(settings), m_eventSource(eventSource) {}

FtpSession::~FtpSession() {
    if (m_resolve) {
        std::lock_guard lock(m_resolve->mutex);
        m_resolve->waiter = nullptr;
    }
    CloseAll();
}

void FtpSession::SetState(FtpState state) {
    m_state = state;
}

bool FtpSession::BeforeLogin() const {
    switch (m_state) {
    case FtpState::Resolving:
    case FtpState::Connecting:
    case FtpState::Securing:
    case FtpState::Greeting:
    case FtpState::AuthTls:
    case FtpState::LoggingIn:
        return true;
    default:
        return false;
    }
}

// ---- failures ----

// Our own words never hold the password (a refused login is told by its code), so only the
// server's words are redacted, where they are quoted (QuoteReply, ReasonLine); the rest stays
// exact, a path or a fingerprint included, whatever the password.
void FtpSession::Fail(FtpErrorKind kind, const std::string& message, const std::string& reason, int code) {
    throw FtpError(message, code, kind, Bound(reason, MaxReason));
}

void FtpSession::FailAborted() {
    CloseAll();
    throw FtpError("The FTP step was aborted", 0, FtpErrorKind::Aborted, "aborted");
}

void FtpSession::FailNetwork(const std::string& what, const asio::error_code& ec) {
    const FtpErrorKind kind = BeforeLogin() ? FtpErrorKind::Unavailable : FtpErrorKind::Job;
    const std::string reason = NetworkReason(ec);
    CloseAll();
    Fail(kind, what + " (" + reason + ")", reason);
}

void FtpSession::FailTimeout(const std::string& what, const std::string& reason) {
    const FtpErrorKind kind = BeforeLogin() ? FtpErrorKind::Unavailable : FtpErrorKind::Job;
    CloseAll();
    Fail(kind, what, reason);
}

void FtpSession::FailReply(const std::string& what, const FtpReply& reply) {
    const bool before = BeforeLogin();
    const FtpErrorKind kind = before && reply.code >= 400 && reply.code < 500 ? FtpErrorKind::Unavailable
                                                                              : FtpErrorKind::Job;
    const std::string message = what + " " + QuoteReply(reply, m_settings.password);
    const std::string reason = ReasonLine(reply, m_settings.password);
    if (before || reply.code == 421 || !m_unanswered.empty() || m_controlError || m_controlGarbled) {
        CloseAll();
    } else {
        // The reply was the last one owed: the session is in step and stays usable.
        if (m_data.IsOpen())
            m_data.Reset();
        SetState(FtpState::Ready);
        ArmControlRead();
    }
    Fail(kind, message, reason, reply.code);
}

void FtpSession::FailLocal(const std::string& reason) {
    if (m_state == FtpState::Transfer || !m_unanswered.empty())
        CloseAll();
    Fail(FtpErrorKind::Job, "Local file: " + reason, reason);
}

void FtpSession::CheckUsable() {
    if (m_waiter.Aborted())
        FailAborted();
}

void FtpSession::CheckArgument(const std::string& command, const std::string& argument) {
    if (HasLineBreakOrNul(argument))
        Fail(FtpErrorKind::Job, "Refused to send " + command + ": the argument holds a line break or a NUL character",
             "unsafe " + command + " argument");
}

void FtpSession::RequireConnection() {
    if (Connected())
        return;
    CheckUsable(); // an abort closed it
    Fail(FtpErrorKind::Job, "Not connected to the FTP server", "not connected");
}

void FtpSession::CloseAll() noexcept {
    m_data.Reset();
    m_control.Close();
    m_parser.Reset();
    m_controlError = {};
    m_controlGarbled = false;
    m_unanswered.clear();
    m_serverType.reset();
    m_epsvRefused = false;
    m_epsvAnswered = false;
    m_sizeMemo.reset();
    m_knownDir.clear();
#if defined(CLOUDTRANSFER_TLS)
    m_tls.reset();
#endif
    SetState(FtpState::Closed);
}

// ---- the control connection ----

void FtpSession::ArmControlRead() {
    if (m_control.IsOpen() && !m_control.ReadOp().pending && !m_controlError && !m_controlGarbled)
        m_control.StartRead(asio::buffer(m_controlBuffer));
}

void FtpSession::PumpControl() {
    OpState& read = m_control.ReadOp();
    if (!read.Take())
        return;
    if (read.bytes > 0 && !m_controlGarbled) {
        try {
            m_parser.Feed(std::string_view(m_controlBuffer.data(), read.bytes));
        } catch (const FtpError&) {
            m_controlGarbled = true;
        }
    }
    if (read.ec)
        m_controlError = read.ec;
}

std::optional<FtpReply> FtpSession::NextParsedReply() {
    if (!m_parser.HasReply())
        return std::nullopt;
    FtpReply reply = m_parser.PopReply();
    if (!reply.Preliminary() && !m_unanswered.empty())
        m_unanswered.pop_front();
    return reply;
}

bool FtpSession::WaitOp(OpState& op, Clock::time_point deadline) {
    while (!op.Take()) {
        if (m_waiter.WaitForAny(deadline) == WaitEnd::Aborted)
            FailAborted();
        if (!op.done && Clock::now() >= deadline)
            return false;
    }
    return true;
}

void FtpSession::SendCommands(const std::vector<std::string>& lines, Clock::time_point deadline) {
    if (!m_control.IsOpen())
        Fail(FtpErrorKind::Job, "Not connected to the FTP server", "not connected");
    m_outgoing.clear();
    for (const auto& line : lines) {
        m_outgoing += line;
        m_outgoing += "\r\n";
        // Only the command word is remembered: the argument of PASS is the password.
        m_unanswered.push_back(line.substr(0, line.find(' ')));
    }
    m_control.StartWriteAll(asio::buffer(m_outgoing));
    if (!WaitOp(m_control.WriteOp(), deadline))
        FailTimeout("Timed out sending a command to the FTP server", "timed out sending a command");
    if (m_control.WriteOp().ec)
        FailNetwork("Lost the connection to the FTP server", m_control.WriteOp().ec);
}

FtpReply FtpSession::ReadReply(Clock::time_point deadline) {
    for (;;) {
        PumpControl();
        if (auto reply = NextParsedReply())
            return *reply;
        if (m_controlGarbled) {
            CloseAll();
            Fail(FtpErrorKind::Job, "The FTP server sent a malformed reply", "malformed reply from the server");
        }
        if (m_controlError)
            FailNetwork(m_controlError == asio::error::eof ? "The FTP server closed the connection"
                                                           : "Lost the connection to the FTP server",
                        m_controlError);
        ArmControlRead();
        WaitEnd end = m_waiter.WaitForAny(deadline);
        if (end == WaitEnd::Aborted)
            FailAborted();
        if (end == WaitEnd::TimedOut) {
            const std::string awaited = m_unanswered.empty() ? std::string("a reply") : m_unanswered.front();
            if (m_state == FtpState::Greeting)
                FailTimeout("Timed out waiting for the FTP server's greeting", "no greeting from the server (timed out)");
            FailTimeout("Timed out waiting for the FTP server's reply to " + awaited,
                        "no reply to " + awaited + " (timed out)");
        }
    }
}

FtpReply FtpSession::ReadFinalReply(Clock::time_point deadline) {
    FtpReply reply = ReadReply(deadline);
    while (reply.Preliminary())
        reply = ReadReply(deadline);
    return reply;
}

FtpReply FtpSession::Command(const std::string& command, const std::string& argument) {
    const auto deadline = Clock::now() + m_settings.replyTimeout;
    SendCommands({argument.empty() ? command : command + " " + argument}, deadline);
    return ReadFinalReply(deadline);
}

void FtpSession::EnsureType(TIdFTPTransferType type) {
    if (m_serverType == type)
        return;
    FtpReply reply = Command("TYPE", type == TIdFTPTransferType::ftBinary ? "I" : "A");
    if (!reply.Positive())
        FailReply("The FTP server refused the transfer type", reply);
    m_serverType = type;
}

// ---- the connection ----

bool FtpSession::Connected() {
    if (m_waiter.Aborted()) {
        if (m_state != FtpState::Closed)
            CloseAll();
        return false;
    }
    if (m_state != FtpState::Ready)
        return false;
    // Whatever the server has sent while the session was idle is read now, without waiting.
    m_waiter.Io().poll();
    PumpControl();
    if (m_parser.HasReply() || m_parser.Partial() || m_controlGarbled || m_controlError || !m_control.IsOpen()) {
        // A reply nobody asked for (421 on an idle time-out) or a closed connection: over.
        CloseAll();
        return false;
    }
    ArmControlRead();
    return true;
}

std::vector<tcp::endpoint> FtpSession::Resolve(const std::string& host, Clock::time_point deadline) {
    asio::error_code ec;
    auto address = asio::ip::make_address(host, ec);
    if (!ec)
        return {tcp::endpoint(address, m_settings.port)};

    auto job = std::make_shared<ResolveJob>();
    job->waiter = &m_waiter;
    m_resolve = job;
    const std::string port = std::to_string(m_settings.port);
    std::thread([job, host, port] {
        asio::io_context io;
        tcp::resolver resolver(io);
        asio::error_code error;
        auto results = resolver.resolve(host, port, tcp::resolver::numeric_service, error);
        std::lock_guard lock(job->mutex);
        job->ec = error;
        for (const auto& entry : results)
            job->endpoints.push_back(entry.endpoint());
        job->done = true;
        if (FtpWaiter* waiter = job->waiter)
            asio::post(waiter->Io(), [waiter] { waiter->Completed(); });
    }).detach();

    auto abandon = [&] {
        std::lock_guard lock(job->mutex);
        job->waiter = nullptr;
    };
    for (;;) {
        {
            std::lock_guard lock(job->mutex);
            if (job->done) {
                job->waiter = nullptr;
                break;
            }
        }
        WaitEnd end = m_waiter.WaitForAny(deadline);
        if (end == WaitEnd::Aborted) {
            abandon();
            FailAborted();
        }
        if (end == WaitEnd::TimedOut) {
            std::lock_guard lock(job->mutex);
            if (!job->done) {
                job->waiter = nullptr;
                break;
            }
        }
    }
    std::lock_guard lock(job->mutex);
    if (!job->done)
        FailTimeout("Timed out looking up the FTP host " + host, "host lookup timed out");
    if (job->ec || job->endpoints.empty())
        FailNetwork("Cannot find the FTP host " + host, job->ec ? job->ec : asio::error::host_not_found);
    return job->endpoints;
}

void FtpSession::ConnectControl(const std::vector<tcp::endpoint>& endpoints, Clock::time_point deadline) {
    asio::error_code last = asio::error::host_not_found;
    for (const auto& endpoint : endpoints) {
        m_control.StartConnect(endpoint);
        if (!WaitOp(m_control.OtherOp(), deadline))
            FailTimeout("Timed out connecting to " + m_where, "connection timed out");
        last = m_control.OtherOp().ec;
        if (!last)
            break;
        m_control.Close();
    }
    if (last)
        FailNetwork("Cannot connect to " + m_where, last);
    asio::error_code ec;
    m_peer = m_control.Socket().remote_endpoint(ec).address();
    if (ec)
        FailNetwork("Lost the connection to " + m_where, ec);
}

void FtpSession::SecureControl() {
#if defined(CLOUDTRANSFER_TLS)
    SetState(FtpState::Securing);
    StartTls(m_control, "of " + m_where);
    if (!WaitOp(m_control.OtherOp(), Clock::now() + m_settings.replyTimeout))
        FailTimeout("Timed out in the TLS handshake with " + m_where, "TLS handshake timed out");
    const asio::error_code ec = m_control.OtherOp().ec;
    CheckPeer(m_control, ec, "of " + m_where);
    if (ec) {
        if (IsTlsProtocolError(ec)) {
            const std::string reason = "TLS handshake failed (" + ec.message() + ")";
            CloseAll();
            Fail(FtpErrorKind::Job, "The TLS handshake with " + m_where + " failed: " + ec.message(), reason);
        }
        FailNetwork("The TLS handshake with " + m_where + " broke off", ec);
    }
#endif
}

#if defined(CLOUDTRANSFER_TLS)
void FtpSession::StartTls(FtpChannel& channel, const std::string& which) {
    if (const std::string unready = channel.StartHandshake(*m_tls, &channel == &m_data); !unready.empty()) {
        CloseAll();
        Fail(FtpErrorKind::Job, "The TLS certificate " + which + " cannot be checked: " + unready, unready);
    }
}

// The same check for the control connection and every data connection: a data connection
// may reach another server than the control connection did.
void FtpSession::CheckPeer(FtpChannel& channel, const asio::error_code& ec, const std::string& which) {
    std::string problem = channel.PeerCheck().problem;
    if (!ec && problem.empty())
        problem = m_tls->CheckAfterHandshake(channel.NativeTls(), channel.PeerCheck());
    if (problem.empty())
        return;
    // The fingerprint lets a user who has checked the certificate pin it.
    const std::string fingerprint = channel.PeerCheck().fingerprint;
    const std::string reason = fingerprint.empty() ? problem : problem + "; SHA-256 " + fingerprint;
    CloseAll();
    Fail(FtpErrorKind::Job, "The TLS certificate " + which + " was refused: " + reason, reason);
}
#endif

void FtpSession::Login() {
    SetState(FtpState::LoggingIn);
    FtpReply reply = Command("USER", m_settings.username);
    bool passwordSent = false;
    if (reply.code == 331 || reply.code == 332) {
        passwordSent = true;
        reply = Command("PASS", m_settings.password);
    }
    if (reply.code == 230 || reply.code == 202)
        return;
    const FtpErrorKind kind = reply.code >= 400 && reply.code < 500 ? FtpErrorKind::Unavailable : FtpErrorKind::Job;
    const std::string code = std::to_string(reply.code);
    std::string reason = "login refused (" + code + ")";
    std::string message = "Login refused by the FTP server at " + m_where + " (" + code + ")";
    if (!passwordSent) {
        // The password has not been sent, so this reply cannot echo it.
        if (m_settings.security == FtpSecurity::None && SaysTlsRequired(reply))
            reason = "TLS required by the server (" + code + ")";
        message = "The FTP server at " + m_where + " refused the user name " + QuoteReply(reply, m_settings.password);
    }
    CloseAll();
    Fail(kind, message, reason, reply.code);
}

void FtpSession::Connect() {
    CheckUsable();
    if (Connected())
        return;
    CloseAll();

    std::string host = m_settings.host;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty())
        Fail(FtpErrorKind::Job, "No FTP host given", "no host");
    if (m_settings.port == 0)
        Fail(FtpErrorKind::Job, "No FTP port given", "no port");
    if (HasLineBreakOrNul(host))
        Fail(FtpErrorKind::Job, "Refused to connect: the host name holds a line break or a NUL character",
             "unsafe host name");
    CheckArgument("USER", m_settings.username);
    if (HasLineBreakOrNul(m_settings.password))
        Fail(FtpErrorKind::Job, "Refused to send PASS: the password holds a line break or a NUL character",
             "unsafe password");

    const bool secure = m_settings.security != FtpSecurity::None;
    std::string pin;
    if (secure) {
        if (!TlsAvailable())
            Fail(FtpErrorKind::Job, "TLS is not available in this build of cloudtransfer", "TLS not available in this build");
        if (!m_settings.pinnedFingerprint.empty()) {
            auto normalized = NormalizeFingerprint(m_settings.pinnedFingerprint);
            if (!normalized)
                Fail(FtpErrorKind::Job, "The pinned fingerprint is not a SHA-256 fingerprint", "malformed fingerprint");
            pin = *normalized;
        }
    }
    m_where = host + ":" + std::to_string(m_settings.port);

    try {
#if defined(CLOUDTRANSFER_TLS)
        if (secure) {
            try {
                m_tls = std::make_unique<TlsContext>(host, pin, m_settings.caFile);
            } catch (const std::exception& e) {
                Fail(FtpErrorKind::Job, std::string("Cannot set up TLS: ") + e.what(), "TLS setup failed");
            }
        }
#endif
        const auto deadline = Clock::now() + m_settings.connectTimeout;
        SetState(FtpState::Resolving);
        auto endpoints = Resolve(host, deadline);
        SetState(FtpState::Connecting);
        ConnectControl(endpoints, deadline);

        if (m_settings.security == FtpSecurity::ImplicitTls)
            SecureControl();
        SetState(FtpState::Greeting);
        m_unanswered.push_back("greeting");
        FtpReply greeting = ReadFinalReply(Clock::now() + m_settings.replyTimeout);
        if (greeting.code != 220)
            FailReply("The FTP server at " + m_where + " refused the session", greeting);

        if (m_settings.security == FtpSecurity::ExplicitTls) {
            SetState(FtpState::AuthTls);
            FtpReply reply = Command("AUTH", "TLS");
            if (reply.code != 234) {
                // Never a fall-back to clear text.
                const FtpErrorKind kind =
                    reply.code >= 400 && reply.code < 500 ? FtpErrorKind::Unavailable : FtpErrorKind::Job;
                const std::string reason = "TLS refused by the server (" + ReasonLine(reply, m_settings.password, 100) + ")";
                const std::string message = "The FTP server at " + m_where + " refused AUTH TLS " +
                                            QuoteReply(reply, m_settings.password);
                CloseAll();
                Fail(kind, message, reason, reply.code);
            }
            // Whatever came after the 234 was sent in clear, by the server or by anyone on the
            // path; read after the handshake it would pass for a protected reply (a 230 taken
            // as the answer to USER).
            if (m_parser.HasReply() || m_parser.Partial()) {
                CloseAll();
                Fail(FtpErrorKind::Job, "The FTP server at " + m_where + " sent clear text after accepting AUTH TLS",
                     "clear text after AUTH TLS");
            }
            SecureControl();
        }

        Login();
        if (secure) {
            SetState(FtpState::Protecting);
            FtpReply reply = Command("PBSZ", "0");
            if (reply.Positive())
                reply = Command("PROT", "P");
            if (!reply.Positive())
                FailReply("The FTP server at " + m_where + " refused to protect the data connections", reply);
        }
        SetState(FtpState::Ready);
        // Some servers refuse SIZE in ASCII mode, so the mode is set before any other command.
        EnsureType(m_settings.transferType);
        ArmControlRead();
    } catch (...) {
        CloseAll(); // a session that could not finish setting up is no session
        throw;
    }
}

void FtpSession::Disconnect() noexcept {
    if (!m_waiter.Aborted() && m_state == FtpState::Ready) {
        try {
            SetState(FtpState::Quitting);
            auto deadline = Clock::now() + std::min<Clock::duration>(m_settings.replyTimeout, QuitBudget);
            SendCommands({"QUIT"}, deadline);
            ReadFinalReply(deadline);
        } catch (...) {
        }
    }
    CloseAll();
}

// ---- commands ----

std::int64_t FtpSession::Size(const std::string& remotePath) {
    CheckUsable();
    CheckArgument("SIZE", remotePath);
    RequireConnection();
    m_sizeMemo.reset();
    SetState(FtpState::Command);
    EnsureType(TIdFTPTransferType::ftBinary);
    FtpReply reply = Command("SIZE", remotePath);
    SetState(FtpState::Ready);
    ArmControlRead();
    if (reply.code != 213)
        return -1; // not answered: missing, refused by policy, not implemented
    auto size = ParseSizeReply(reply.text);
    if (!size)
        return -1;
    m_sizeMemo = std::make_pair(remotePath, *size);
    return *size;
}

void FtpSession::MakeDir(const std::string& name) {
    CheckUsable();
    CheckArgument("MKD", name);
    RequireConnection();
    m_sizeMemo.reset();
    SetState(FtpState::Command);
    FtpReply reply = Command("MKD", name);
    if (!reply.Positive())
        FailReply("MKD " + name + " refused", reply);
    SetState(FtpState::Ready);
    ArmControlRead();
}

void FtpSession::ChangeDir(const std::string& path) {
    CheckUsable();
    CheckArgument("CWD", path);
    RequireConnection();
    m_sizeMemo.reset();
    SetState(FtpState::Command);
    FtpReply reply = Command("CWD", path);
    NoteChangeDir(path, reply.Positive());
    if (!reply.Positive())
        FailReply("CWD " + path + " refused", reply);
    SetState(FtpState::Ready);
    ArmControlRead();
}

void FtpSession::NoteChangeDir(const std::string& path, bool done) {
    // Only an absolute path says where the session ends up without asking; a relative one
    // would have to be resolved the way the server resolves it ("..", links).
    if (done && !path.empty() && path.front() == '/')
        m_knownDir = path;
    else
        m_knownDir.clear();
}

std::vector<bool> FtpSession::RunFolderCommands(const std::vector<FtpFolderCommand>& commands) {
    std::vector<bool> done(commands.size(), false);
    if (!Connected())
        return done;
    m_sizeMemo.reset();
    // A name that cannot be sent fails alone, as it would on its own.
    std::vector<std::string> lines;
    std::vector<std::size_t> sent;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const FtpFolderCommand& command = commands[i];
        if (HasLineBreakOrNul(command.name))
            continue;
        const std::string verb = command.verb == FtpFolderCommand::Verb::MakeDir ? "MKD" : "CWD";
        lines.push_back(command.name.empty() ? verb : verb + " " + command.name);
        sent.push_back(i);
    }
    if (lines.empty())
        return done;
    try {
        SetState(FtpState::Command);
        SendCommands(lines, Clock::now() + m_settings.replyTimeout);
        for (std::size_t i : sent) {
            const FtpReply reply = ReadFinalReply(Clock::now() + m_settings.replyTimeout);
            done[i] = reply.Positive();
            if (commands[i].verb == FtpFolderCommand::Verb::ChangeDir)
                NoteChangeDir(commands[i].name, done[i]);
            if (reply.code == 421) {
                // The server is closing the session; what was sent after is lost with it.
                CloseAll();
                return done;
            }
        }
        SetState(FtpState::Ready);
        ArmControlRead();
    } catch (const FtpError&) {
        // The session broke (time-out, lost connection, abort) and has been closed; the
        // commands it did not answer have failed, as each would have on its own.
    }
    return done;
}

std::string FtpSession::RetrieveCurrentDir() {
    CheckUsable();
    RequireConnection();
    SetState(FtpState::Command);
    FtpReply reply = Command("PWD");
    if (reply.code != 257)
        FailReply("PWD refused", reply);
    auto path = ParseQuotedPath(reply.text);
    if (!path)
        FailReply("Cannot read the FTP server's PWD reply", reply);
    SetState(FtpState::Ready);
    ArmControlRead();
    return *path;
}

// ---- transfers ----

std::uint16_t FtpSession::PassivePort() {
    if (!m_settings.passive)
        Fail(FtpErrorKind::Job, "Active mode is not supported; only passive transfers are", "active mode not supported");
    std::optional<std::uint16_t> port;
    if (!m_epsvRefused) {
        FtpReply reply = Command("EPSV");
        if (reply.code == 229) {
            port = ParseEpsvPort(reply.text);
            if (!port)
                FailReply("Cannot read the FTP server's EPSV reply", reply);
            m_epsvAnswered = true;
        } else if (reply.code >= 500) {
            m_epsvRefused = true;
        }
    }
    if (!port) {
        FtpReply reply = Command("PASV");
        if (reply.code != 227)
            FailReply("The FTP server refused passive mode", reply);
        port = ParsePasvPort(reply.text);
        if (!port)
            FailReply("Cannot read the FTP server's PASV reply", reply);
    }
    return *port;
}

FtpSession::TransferStart FtpSession::StartTransfer(const std::string& command, const std::string& argument) {
    const std::string line = command + " " + argument;
    std::uint16_t port = 0;
    bool commandSent = false;
    if (m_settings.pipelining && m_epsvAnswered) {
        // EPSV has worked on this session, and the transfer command does not depend on the
        // port it names: the two go out together, a round trip less per transfer.
        const auto deadline = Clock::now() + m_settings.replyTimeout;
        SendCommands({"EPSV", line}, deadline);
        const FtpReply reply = ReadFinalReply(deadline);
        const auto epsvPort = reply.code == 229 ? ParseEpsvPort(reply.text) : std::nullopt;
        if (!epsvPort)
            FailReply("The FTP server refused passive mode", reply); // the command sent with it is lost
        port = *epsvPort;
        commandSent = true;
    } else {
        port = PassivePort();
    }
    // Only the port of the answer is used; the address is always the control connection's
    // peer, so a server (or a man in the middle) cannot point the client at another host.
    // The command goes out while the connection is still being made, as a server in passive
    // mode waits for the connection after the command either way: on a real link that saves
    // a round trip per transfer.
    m_data.Reset();
    m_data.StartConnect(tcp::endpoint(m_peer, port));
    m_dataPhase = DataPhase::Connecting;
    const auto connectDeadline = Clock::now() + m_settings.connectTimeout;
    const auto deadline = Clock::now() + m_settings.replyTimeout;
    if (!commandSent)
        SendCommands({line}, deadline);
    TransferStart start;
    for (;;) {
        if (!AdvanceData(start, command))
            return start;
        PumpControl();
        while (auto reply = NextParsedReply()) {
            if (reply->Preliminary()) {
                if (!start.opening)
                    start.opening = reply;
                continue;
            }
            start.final = reply;
        }
        if (start.final && !start.final->Positive()) {
            // Refused, before the transfer began or at once.
            m_data.Reset();
            return start;
        }
        if (m_controlGarbled || m_controlError)
            ReadReply(deadline); // raises the failure that fits
        // A final 2xx may come before the data has been read (an empty file, a fast server).
        if ((start.opening || start.final) && m_dataPhase == DataPhase::Open)
            return start;
        ArmControlRead();
        const bool connecting = m_dataPhase == DataPhase::Connecting;
        WaitEnd end = m_waiter.WaitForAny(connecting ? std::min(deadline, connectDeadline) : deadline);
        if (end == WaitEnd::Aborted)
            FailAborted();
        if (end == WaitEnd::TimedOut) {
            if (connecting && Clock::now() >= connectDeadline)
                FailTimeout("Timed out opening the data connection", "data connection timed out");
            if (Clock::now() >= deadline)
                FailTimeout("Timed out waiting for the FTP server's reply to " + command,
                            "no reply to " + command + " (timed out)");
        }
    }
}

bool FtpSession::AdvanceData(TransferStart& start, const std::string& command) {
    if (m_dataPhase == DataPhase::Open || !m_data.OtherOp().Take())
        return true;
    const asio::error_code ec = m_data.OtherOp().ec;
    if (m_dataPhase == DataPhase::Connecting) {
        if (ec)
            return DataConnectFailed(start, ec);
        m_dataPhase = DataPhase::Open;
#if defined(CLOUDTRANSFER_TLS)
        // Started at once: some servers accept TLS on the data connection before they
        // answer the command, others after; waiting for either first could wait for ever.
        if (m_tls) {
            StartTls(m_data, "on the data connection");
            m_dataPhase = DataPhase::Handshaking;
        }
#endif
        return true;
    }
#if defined(CLOUDTRANSFER_TLS)
    CheckPeer(m_data, ec, "on the data connection");
    if (ec) {
        m_data.Reset();
        // The server says why on the control connection (vsftpd: 522 when the
        // session was not resumed); its reply makes the better reason.
        try {
            FtpReply reply = ReadFinalReply(Clock::now() + std::min<Clock::duration>(m_settings.replyTimeout, CutReplyBudget));
            if (!reply.Positive())
                FailReply(command + " failed: the TLS handshake on the data connection failed", reply);
        } catch (const FtpError& e) {
            if (e.Kind() == FtpErrorKind::Aborted || e.ReplyCode() != 0)
                throw;
        }
        CloseAll();
        Fail(FtpErrorKind::Job, "The TLS handshake on the data connection failed: " + ec.message(),
             "TLS handshake on the data connection failed (" + ec.message() + ")");
    }
#endif
    m_dataPhase = DataPhase::Open;
    return true;
}

bool FtpSession::DataConnectFailed(TransferStart& start, const asio::error_code& ec) {
    const std::string reason = "cannot open the data connection (" + NetworkReason(ec) + ")";
    m_data.Reset();
    // A server that refuses the command closes its listener at once, so the connection may
    // fail before the refusal has been read: the reply says why.
    if (!start.final) {
        try {
            start.final = ReadFinalReply(Clock::now() + std::min<Clock::duration>(m_settings.replyTimeout, CutReplyBudget));
        } catch (const FtpError& e) {
            if (e.Kind() == FtpErrorKind::Aborted)
                throw;
        }
    }
    if (start.final && !start.final->Positive())
        return false;
    // Otherwise the server still waits for the connection with the command unanswered: the
    // session is out of step.
    CloseAll();
    Fail(FtpErrorKind::Job, "Cannot open the data connection", reason);
}

void FtpSession::FailCut(const std::string& what, const asio::error_code& ec, std::optional<FtpReply> final) {
    m_data.Reset();
    if (!final) {
        try {
            final = ReadFinalReply(Clock::now() + std::min<Clock::duration>(m_settings.replyTimeout, CutReplyBudget));
        } catch (const FtpError& e) {
            if (e.Kind() == FtpErrorKind::Aborted)
                throw;
            CloseAll();
        }
    }
    if (final && !final->Positive())
        FailReply(what, *final);
    const std::string reason = "data connection cut (" + NetworkReason(ec) + ")";
    if (final) {
        SetState(FtpState::Ready);
        ArmControlRead();
    }
    Fail(FtpErrorKind::Job, what + " (" + NetworkReason(ec) + ")", reason);
}
void FtpSession::TakeReplyDuringTransfer(const std::string& what, std::optional<FtpReply>& final) {
    PumpControl();
    while (auto reply = NextParsedReply()) {
        if (reply->Preliminary())
            continue;
        if (!reply->Positive()) {
            // The server gave up on the transfer (552 when a size limit is hit, 426 when it
            // cut the data connection): no point in moving another byte.
            m_data.Reset();
            FailReply(what, *reply);
        }
        final = reply;
    }
    if (m_controlGarbled || m_controlError)
        ReadReply(Clock::now()); // raises the failure that fits
    ArmControlRead();
}

void FtpSession::FailStalled(const std::string& what) {
    CloseAll();
    Fail(FtpErrorKind::Job, what + ": the data connection moved nothing for " + SecondsText(m_settings.dataTimeout),
         "transfer stalled");
}

void FtpSession::FailTooSlow(const std::string& what, const std::string& floor) {
    CloseAll();
    Fail(FtpErrorKind::Job, what + ": the transfer moved " + floor, "transfer too slow (" + floor + ")");
}

std::vector<char>& FtpSession::Buffer() {
    if (m_buffer.empty())
        m_buffer.resize(FtpTransferBufferSize);
    return m_buffer;
}

void FtpSession::Receive(FtpLocalFile& file, WorkReporter& reporter, std::int64_t& total,
                         std::optional<FtpReply>& final) {
    const std::string what = "The download broke off";
    auto& buffer = Buffer();
    // Reads fill the buffer and the file is written in large pieces: over TLS each read
    // brings one record (16 KiB), and a write per record would cost more than the reads.
    std::size_t filled = 0;
    auto flush = [&] {
        if (filled > 0 && !file.Write(buffer.data(), filled))
            FailLocal("the local file cannot be written");
        filled = 0;
    };
    SpeedFloor floor(m_settings);
    auto lastByte = Clock::now();
    m_data.StartRead(asio::buffer(buffer));
    for (;;) {
        OpState& read = m_data.ReadOp();
        if (read.Take()) {
            if (read.bytes > 0) {
                filled += read.bytes;
                total += static_cast<std::int64_t>(read.bytes);
                floor.Moved(static_cast<std::int64_t>(read.bytes));
                lastByte = Clock::now();
                reporter.Progress(total);
            }
            if (read.ec) {
                flush();
                if (m_data.IsCleanEnd(read.ec))
                    return;
                if (m_data.IsTruncatedEnd(read.ec)) {
                    // Without the server's close_notify nothing shows that the file is whole.
                    m_data.Reset();
                    if (!final)
                        final = ReadFinalReply(Clock::now() + m_settings.replyTimeout);
                    if (!final->Positive())
                        FailReply(what, *final);
                    SetState(FtpState::Ready);
                    ArmControlRead();
                    Fail(FtpErrorKind::Job, "The download ended without the server's TLS close",
                         "download ended without TLS close");
                }
                FailCut(what, read.ec, final);
            }
            if (buffer.size() - filled < buffer.size() / 4)
                flush();
            m_data.StartRead(asio::buffer(buffer.data() + filled, buffer.size() - filled));
        }
        TakeReplyDuringTransfer(what, final);
        const auto now = Clock::now();
        if (now >= lastByte + m_settings.dataTimeout)
            FailStalled(what);
        if (!floor.Holds(now))
            FailTooSlow(what, floor.Describe());
        reporter.Tick(now);
        if (m_waiter.WaitForAny(std::min({lastByte + m_settings.dataTimeout, floor.WindowEnd(), reporter.Due()})) ==
            WaitEnd::Aborted)
            FailAborted();
    }
}

void FtpSession::Send(FtpLocalFile& file, UploadProgress& progress, std::optional<FtpReply>& final) {
    const std::string what = "The upload broke off";
    auto& buffer = Buffer();
    SpeedFloor floor(m_settings);
    WorkReporter& reporter = progress.Reporter();
    auto lastProgress = Clock::now();
    std::size_t have = 0;
    std::size_t offset = 0;
    bool endOfFile = false;
    for (;;) {
        OpState& write = m_data.WriteOp();
        if (write.Take()) {
            if (write.ec)
                FailCut(what, write.ec, final);
            offset += write.bytes;
            progress.Written(static_cast<std::int64_t>(write.bytes));
            floor.Moved(static_cast<std::int64_t>(write.bytes));
            lastProgress = Clock::now();
        }
        if (progress.Sample() > 0)
            lastProgress = Clock::now();
        TakeReplyDuringTransfer(what, final);
        if (final) {
            // A 2xx before the whole file was sent: the server stopped listening early.
            m_data.Reset();
            SetState(FtpState::Ready);
            ArmControlRead();
            Fail(FtpErrorKind::Job, "The FTP server ended the upload before all of it was sent " +
                                        QuoteReply(*final, m_settings.password),
                 "upload ended early by the server");
        }
        if (!write.pending) {
            if (offset == have && !endOfFile) {
                std::int64_t n = file.Read(buffer.data(), buffer.size());
                if (n < 0)
                    FailLocal("the local file cannot be read");
                endOfFile = n == 0;
                have = static_cast<std::size_t>(n);
                offset = 0;
            }
            if (offset == have && endOfFile)
                return;
            m_data.StartWriteSome(asio::buffer(buffer.data() + offset, std::min(have - offset, UploadPiece)));
        }
        const auto now = Clock::now();
        if (now >= lastProgress + m_settings.dataTimeout)
            FailStalled(what);
        if (!floor.Holds(now))
            FailTooSlow(what, floor.Describe());
        reporter.Tick(now);
        // While the socket holds bytes the server has not acknowledged, look again soon.
        const auto look = progress.AllTaken() ? Clock::time_point::max() : now + DrainTick;
        if (m_waiter.WaitForAny(
                std::min({lastProgress + m_settings.dataTimeout, floor.WindowEnd(), reporter.Due(), look})) ==
            WaitEnd::Aborted)
            FailAborted();
    }
}

// Every byte has been handed to the transport; the upload is over once the server has it.
// In clear the end of the stream is a FIN, over TLS a close_notify first. Then the data
// connection is watched until the server closes it, and the control connection until the
// server answers; the bytes it acknowledges count as progress. A server that refuses the
// upload part-way (a size limit) resets the data connection or answers 4xx/5xx, and either
// ends the wait at once.
void FtpSession::FinishUpload(UploadProgress& progress, std::optional<FtpReply>& final) {
    const std::string what = "The upload broke off at its end";
    SpeedFloor floor(m_settings);
    WorkReporter& reporter = progress.Reporter();
    auto lastProgress = Clock::now();
    const bool secure = m_data.Secure();
#if defined(CLOUDTRANSFER_TLS)
    if (secure)
        m_data.StartTlsShutdown();
#endif
    if (!secure) {
        m_data.ShutdownSend();
        m_data.StartRead(asio::buffer(m_drainBuffer));
    }
    bool dataDone = false;
    for (;;) {
        if (secure) {
            OpState& shutdown = m_data.OtherOp();
            if (shutdown.Take()) {
                // Our close_notify went out first; the peer then answers with its own or
                // simply closes, and either way has read everything before it.
                if (shutdown.ec && !m_data.IsCleanEnd(shutdown.ec) && !m_data.IsTruncatedEnd(shutdown.ec))
                    FailCut(what, shutdown.ec, final);
                dataDone = true;
            }
        } else {
            OpState& read = m_data.ReadOp();
            if (read.Take()) {
                if (m_data.IsCleanEnd(read.ec))
                    dataDone = true;
                else if (read.ec)
                    FailCut(what, read.ec, final);
                else
                    m_data.StartRead(asio::buffer(m_drainBuffer));
            }
        }
        TakeReplyDuringTransfer(what, final);
        if (dataDone || final)
            break;
        const auto now = Clock::now();
        if (const std::int64_t gained = progress.Sample(); gained > 0) {
            floor.Moved(gained);
            lastProgress = now;
        }
        if (auto ec = m_data.PendingError())
            FailCut(what, ec, final);
        if (now >= lastProgress + m_settings.dataTimeout)
            FailStalled(what);
        if (!floor.Holds(now))
            FailTooSlow(what, floor.Describe());
        reporter.Tick(now);
        auto deadline = std::min({lastProgress + m_settings.dataTimeout, floor.WindowEnd(), now + DrainTick});
        if (m_waiter.WaitForAny(deadline) == WaitEnd::Aborted)
            FailAborted();
    }
    m_data.Close();
}

void FtpSession::Get(const std::string& remotePath, const std::string& localPath, bool overwrite, bool resume) {
    CheckUsable();
    if (resume)
        Fail(FtpErrorKind::Job, "Resuming a download is not supported", "resume not supported");
    CheckArgument("RETR", remotePath);
    if (remotePath.empty())
        Fail(FtpErrorKind::Job, "No remote file given for the download", "no remote file");
    RequireConnection();
    // A SIZE just before, for the same path, tells the expected length without a round trip.
    auto memo = std::exchange(m_sizeMemo, std::nullopt);
    const bool sizeKnown = memo && memo->first == remotePath;
    std::int64_t expected = sizeKnown ? memo->second : -1;

    FtpLocalFile file;
    if (auto why = file.Open(localPath, overwrite ? FtpLocalFile::Mode::Write : FtpLocalFile::Mode::WriteNew);
        !why.empty())
        FailLocal(why);
    auto removeIfCreated = [&] {
        if (file.Created()) {
            file.Close();
            std::error_code ignored;
            std::filesystem::remove(std::filesystem::path(std::u8string(localPath.begin(), localPath.end())), ignored);
        }
    };

    WorkReporter reporter(m_eventSource, TWorkMode::wmRead);
    try {
        SetState(FtpState::Transfer);
        EnsureType(m_settings.transferType);
        TransferStart start = StartTransfer("RETR", remotePath);
        if (start.opening && start.final && !start.final->Positive()) {
            // Begun, then cut at once.
            reporter.Begin(std::max<std::int64_t>(expected, 0));
            FailReply("The download of " + remotePath + " failed", *start.final);
        }
        if (start.final && !start.final->Positive()) {
            removeIfCreated();
            bool vague = false;
            // vsftpd says "Failed to open file" for a missing and an unreadable file alike;
            // after a SIZE that found the file, it cannot be the missing one.
            if (SaysFileMissing(*start.final, &vague) && !(vague && sizeKnown && expected >= 0)) {
                SetState(FtpState::Ready);
                ArmControlRead();
                Fail(FtpErrorKind::RemoteMissing,
                     "The remote file " + remotePath + " does not exist " + QuoteReply(*start.final, m_settings.password),
                     ReasonLine(*start.final, m_settings.password), start.final->code);
            }
            FailReply("RETR " + remotePath + " refused", *start.final);
        }
        if (expected < 0 && start.opening)
            expected = ParseOpeningByteCount(start.opening->text).value_or(-1);
        if (!file.Truncate())
            FailLocal("the local file cannot be emptied");

        reporter.Begin(std::max<std::int64_t>(expected, 0));
        std::int64_t total = 0;
        std::optional<FtpReply> final = start.final;
        Receive(file, reporter, total, final);
        m_data.Close();
        if (!final)
            final = ReadFinalReply(Clock::now() + m_settings.replyTimeout);
        reporter.Final(total);
        if (!file.Close()) {
            SetState(FtpState::Ready);
            ArmControlRead();
            FailLocal("the local file cannot be written");
        }
        if (!final->Positive())
            FailReply("The download of " + remotePath + " failed", *final);
        SetState(FtpState::Ready);
        ArmControlRead();
        // A server that acknowledges a short stream would otherwise pass for a success.
        if (m_settings.transferType == TIdFTPTransferType::ftBinary && expected >= 0 && total < expected) {
            const std::string counts = std::to_string(total) + " of " + std::to_string(expected) + " bytes";
            Fail(FtpErrorKind::Job, "The download of " + remotePath + " ended after " + counts,
                 "download incomplete (" + counts + ")");
        }
        reporter.End();
    } catch (...) {
        reporter.EndQuietly();
        throw;
    }
}

void FtpSession::Put(const std::string& localPath, const std::string& remoteName, bool append,
                     std::int64_t startPosition) {
    CheckUsable();
    if (append)
        Fail(FtpErrorKind::Job, "Appending to a remote file is not supported", "append not supported");
    if (startPosition != -1 && startPosition != 0)
        Fail(FtpErrorKind::Job, "Uploading part of a file is not supported", "partial upload not supported");
    CheckArgument("STOR", remoteName);
    if (remoteName.empty())
        Fail(FtpErrorKind::Job, "No remote file name given for the upload", "no remote file name");
    // Opened and checked before a byte is sent: a FIFO or a device fails here, at once.
    FtpLocalFile file;
    if (auto why = file.Open(localPath, FtpLocalFile::Mode::Read); !why.empty())
        FailLocal(why);
    RequireConnection();
    m_sizeMemo.reset();

    WorkReporter reporter(m_eventSource, TWorkMode::wmWrite);
    try {
        SetState(FtpState::Transfer);
        EnsureType(m_settings.transferType);
        TransferStart start = StartTransfer("STOR", remoteName);
        if (start.opening && start.final && !start.final->Positive()) {
            reporter.Begin(file.Size());
            FailReply("The upload of " + remoteName + " failed", *start.final);
        }
        if (start.final && !start.final->Positive())
            FailReply("STOR " + remoteName + " refused", *start.final);
        if (start.final) {
            m_data.Reset();
            SetState(FtpState::Ready);
            ArmControlRead();
            Fail(FtpErrorKind::Job, "The FTP server ended the upload before it began " +
                                        QuoteReply(*start.final, m_settings.password),
                 "upload ended early by the server");
        }
        reporter.Begin(file.Size());
        UploadProgress progress(m_data, reporter);
        std::optional<FtpReply> final;
        Send(file, progress, final);
        FinishUpload(progress, final);
        if (!final)
            final = ReadFinalReply(Clock::now() + m_settings.replyTimeout);
        reporter.Final(progress.WrittenTotal());
        if (!final->Positive())
            FailReply("The upload of " + remoteName + " failed", *final);
        SetState(FtpState::Ready);
        ArmControlRead();
        reporter.End();
    } catch (...) {
        // Refused or broken off: the folder the session stood in may be gone.
        m_knownDir.clear();
        reporter.EndQuietly();
        throw;
    }
}

} // namespace ct::ftp
