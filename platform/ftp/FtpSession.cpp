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
// Bounds for the reasons that go into the queue line.
constexpr std::size_t MaxReason = 200;

bool HasLineBreakOrNul(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
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
        if (m_waiter.WaitForAny(TransferClock(), deadline) == WaitEnd::Aborted)
            FailAborted();
        if (!op.done && TransferClock().Now() >= deadline)
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
        WaitEnd end = m_waiter.WaitForAny(TransferClock(), deadline);
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
    const auto deadline = TransferClock().Now() + m_settings.replyTimeout;
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
        WaitEnd end = m_waiter.WaitForAny(TransferClock(), deadline);
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
    if (!WaitOp(m_control.OtherOp(), TransferClock().Now() + m_settings.replyTimeout))
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

std::string FtpSession::CheckedHost() {
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
    return host;
}

std::string FtpSession::CheckedPin() {
    if (m_settings.security == FtpSecurity::None)
        return {};
    if (!TlsAvailable())
        Fail(FtpErrorKind::Job, "TLS is not available in this build of cloudtransfer", "TLS not available in this build");
    if (m_settings.pinnedFingerprint.empty())
        return {};
    auto normalized = NormalizeFingerprint(m_settings.pinnedFingerprint);
    if (!normalized)
        Fail(FtpErrorKind::Job, "The pinned fingerprint is not a SHA-256 fingerprint", "malformed fingerprint");
    return *normalized;
}

void FtpSession::AuthTls() {
    SetState(FtpState::AuthTls);
    FtpReply reply = Command("AUTH", "TLS");
    if (reply.code != 234) {
        // Never a fall-back to clear text.
        const FtpErrorKind kind = reply.code >= 400 && reply.code < 500 ? FtpErrorKind::Unavailable : FtpErrorKind::Job;
        const std::string reason = "TLS refused by the server (" + ReasonLine(reply, m_settings.password, 100) + ")";
        const std::string message = "The FTP server at " + m_where + " refused AUTH TLS " +
                                    QuoteReply(reply, m_settings.password);
        CloseAll();
        Fail(kind, message, reason, reply.code);
    }
    // Whatever came after the 234 was sent in clear, by the server or by anyone on the path;
    // read after the handshake it would pass for a protected reply (a 230 taken as the answer
    // to USER).
    if (m_parser.HasReply() || m_parser.Partial()) {
        CloseAll();
        Fail(FtpErrorKind::Job, "The FTP server at " + m_where + " sent clear text after accepting AUTH TLS",
             "clear text after AUTH TLS");
    }
    SecureControl();
}

void FtpSession::Connect() {
    CheckUsable();
    if (Connected())
        return;
    CloseAll();

    const std::string host = CheckedHost();
    const std::string pin = CheckedPin();
    m_features.reset();
    m_hashChosen.reset();
    m_timeSetter = TimeSetter::Unknown;
    const bool secure = m_settings.security != FtpSecurity::None;
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
        const auto deadline = TransferClock().Now() + m_settings.connectTimeout;
        SetState(FtpState::Resolving);
        auto endpoints = Resolve(host, deadline);
        SetState(FtpState::Connecting);
        ConnectControl(endpoints, deadline);

        if (m_settings.security == FtpSecurity::ImplicitTls)
            SecureControl();
        SetState(FtpState::Greeting);
        m_unanswered.push_back("greeting");
        FtpReply greeting = ReadFinalReply(TransferClock().Now() + m_settings.replyTimeout);
        if (greeting.code != 220)
            FailReply("The FTP server at " + m_where + " refused the session", greeting);
        if (m_settings.security == FtpSecurity::ExplicitTls)
            AuthTls();

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
            auto deadline = TransferClock().Now() + std::min<Clock::duration>(m_settings.replyTimeout, QuitBudget);
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
        SendCommands(lines, TransferClock().Now() + m_settings.replyTimeout);
        for (std::size_t i : sent) {
            const FtpReply reply = ReadFinalReply(TransferClock().Now() + m_settings.replyTimeout);
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

} // namespace ct::ftp
