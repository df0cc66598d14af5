#include "platform/sftp/SftpSession.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <libssh/libssh.h>

namespace ct::sftp {

using namespace std::chrono_literals;

namespace {

// Ciphers in the order offered: AES-GCM first, which the AES instructions of any current
// processor make the cheapest for both ends; then what OpenSSH offers besides.
constexpr const char* Ciphers =
    "aes128-gcm@openssh.com,aes256-gcm@openssh.com,chacha20-poly1305@openssh.com,aes128-ctr,aes192-ctr,aes256-ctr";
// At most this many requests of a transfer in flight, as OpenSSH's sftp keeps.
constexpr std::size_t ReadBufferSize = 256 * 1024;
// How long Disconnect lets the goodbye take.
constexpr auto CloseBudget = 500ms;

std::string HomeKnownHosts() {
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.ssh/known_hosts" : std::string();
}

int PollMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left + 1, 0, 60000));
}

// A host name looked up on a thread of its own: getaddrinfo cannot be interrupted, and an
// abort must not wait for it. The thread finishes alone when nobody waits any more.
struct Lookup {
    std::mutex mutex;
    bool done = false;
    int error = 0;
    std::vector<sockaddr_storage> addresses;
    std::vector<socklen_t> lengths;
};

} // namespace

SftpSession::SftpSession(const SftpSettings& settings, ITransferClient& eventSource)
    : m_settings(settings), m_eventSource(eventSource) {
    if (::pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0)
        m_wake[0] = m_wake[1] = -1;
}

SftpSession::~SftpSession() {
    CloseAll();
    for (int fd : m_wake)
        if (fd >= 0)
            ::close(fd);
}

// ---- failures ----

void SftpSession::Fail(TransferErrorKind kind, const std::string& message, const std::string& reason) {
    throw TransferError(message, 0, kind, reason.substr(0, 200));
}

void SftpSession::FailAborted() {
    CloseAll();
    Fail(TransferErrorKind::Aborted, "The SFTP step was aborted", "aborted");
}

void SftpSession::FailLost(const std::string& message, const std::string& reason) {
    const auto kind = m_state == State::Ready ? TransferErrorKind::Job : TransferErrorKind::Unavailable;
    CloseAll();
    Fail(kind, message, reason);
}

void SftpSession::FailStatus(const std::string& what, const Reply& reply, bool missingIsRemoteMissing) {
    const auto status = ParseStatus(reply);
    if (!status) {
        CloseAll();
        Fail(TransferErrorKind::Job, what + ": the SFTP server sent a malformed reply", "malformed reply from the server");
    }
    const std::string text = StatusText(*status);
    const auto kind = missingIsRemoteMissing && status->code == FxStatus::NoSuchFile ? TransferErrorKind::RemoteMissing
                                                                                     : TransferErrorKind::Job;
    throw TransferError(what + " refused: " + text, 550, kind, text);
}

void SftpSession::CloseAll() noexcept {
    if (m_channel) {
        ssh_channel_free(m_channel);
        m_channel = nullptr;
    }
    if (m_ssh) {
        ssh_free(m_ssh);  // closes the socket it was handed
        m_ssh = nullptr;
    }
    if (m_fd >= 0 && !m_fdGiven)
        ::close(m_fd);
    m_fd = -1;
    m_fdGiven = false;
    m_out.clear();
    m_outSent = 0;
    m_outBytes = 0;
    m_parser = ReplyParser();
    m_awaited.clear();
    m_replies.clear();
    m_knownDir.clear();
    m_cwd = "/";
    m_state = State::Closed;
}

void SftpSession::CheckUsable() {
    if (m_aborted.load())
        FailAborted();
}

void SftpSession::RequireConnection() {
    CheckUsable();
    if (m_state != State::Ready)
        Fail(TransferErrorKind::Job, "Not connected to the SFTP server", "not connected");
}

void SftpSession::Abort() {
    m_aborted.store(true);
    if (m_wake[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] auto ignored = ::write(m_wake[1], &byte, 1);
    }
}

void SftpSession::ResetAbort() {
    char buffer[64];
    while (m_wake[0] >= 0 && ::read(m_wake[0], buffer, sizeof buffer) > 0) {
    }
    m_aborted.store(false);
}

// ---- waiting ----

bool SftpSession::WaitFd(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        CheckUsable();
        pollfd fds[2] = {{fd, events, 0}, {m_wake[0], POLLIN, 0}};
        const int ms = PollMs(deadline);
        const int n = ::poll(fds, m_wake[0] >= 0 ? 2 : 1, m_wake[0] >= 0 ? ms : std::min(ms, 50));
        CheckUsable();
        if (n > 0 && fds[1].revents) {
            // A wake-up left over from an abort already reset: drained, or every poll would
            // return at once.
            char buffer[64];
            while (::read(m_wake[0], buffer, sizeof buffer) > 0) {
            }
        }
        if (n > 0 && fds[0].revents)
            return true;
        if (n < 0 && errno != EINTR)
            return true;  // the next step on the socket tells what is wrong
        if (Clock::now() >= deadline)
            return false;
    }
}

bool SftpSession::WaitSocket(Clock::time_point deadline) {
    short events = POLLIN;
    if (m_ssh && (ssh_get_poll_flags(m_ssh) & SSH_WRITE_PENDING))
        events |= POLLOUT;
    return WaitFd(m_fd, events, deadline);
}

template <class Step>
int SftpSession::Retry(Step&& step, Clock::time_point deadline, const char* what) {
    for (;;) {
        CheckUsable();
        const int rc = step();
        if (rc != SSH_AGAIN)
            return rc;
        if (!WaitSocket(deadline))
            FailLost(std::string("Timed out ") + what + " with " + m_where, std::string(what) + " timed out");
    }
}

template <class Step>
int SftpSession::RetryAuth(Step&& step) {
    const auto deadline = Clock::now() + m_settings.replyTimeout;
    return Retry(
        [&] {
            const int rc = step();
            return rc == SSH_AUTH_AGAIN ? SSH_AGAIN : rc;
        },
        deadline, "logging in");
}

// ---- connecting ----

bool SftpSession::Connected() {
    if (m_aborted.load()) {
        if (m_state != State::Closed)
            CloseAll();
        return false;
    }
    if (m_state != State::Ready)
        return false;
    try {
        Move();  // a channel the server closed while idle shows here
    } catch (const TransferError&) {
        return false;
    }
    return m_state == State::Ready;
}

void SftpSession::OpenSocket(Clock::time_point deadline) {
    auto lookup = std::make_shared<Lookup>();
    const std::string host = m_settings.host;
    const std::string port = std::to_string(m_settings.port);
    std::thread([lookup, host, port] {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* found = nullptr;
        const int error = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
        std::lock_guard lock(lookup->mutex);
        lookup->error = error;
        for (addrinfo* a = error == 0 ? found : nullptr; a; a = a->ai_next) {
            sockaddr_storage address{};
            std::memcpy(&address, a->ai_addr, a->ai_addrlen);
            lookup->addresses.push_back(address);
            lookup->lengths.push_back(a->ai_addrlen);
        }
        if (found)
            ::freeaddrinfo(found);
        lookup->done = true;
    }).detach();
    for (;;) {
        {
            std::lock_guard lock(lookup->mutex);
            if (lookup->done)
                break;
        }
        if (Clock::now() >= deadline)
            FailLost("Timed out looking up the SFTP host " + host, "host lookup timed out");
        WaitFd(m_wake[0], POLLIN, std::min(deadline, Clock::now() + 10ms));
    }
    if (lookup->error != 0 || lookup->addresses.empty())
        FailLost("Cannot find the SFTP host " + host, "host not found");

    int lastError = ECONNREFUSED;
    for (std::size_t i = 0; i < lookup->addresses.size(); ++i) {
        const auto* address = reinterpret_cast<const sockaddr*>(&lookup->addresses[i]);
        m_fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_fd < 0) {
            lastError = errno;
            continue;
        }
        int error = ::connect(m_fd, address, lookup->lengths[i]) == 0 ? 0 : errno;
        if (error == EINPROGRESS) {
            if (!WaitFd(m_fd, POLLOUT, deadline))
                FailLost("Timed out connecting to " + m_where, "connection timed out");
            socklen_t length = sizeof error;
            if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        }
        if (error == 0) {
            const int on = 1;
            ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return;
        }
        lastError = error;
        ::close(m_fd);
        m_fd = -1;
    }
    const std::string reason = lastError == ECONNREFUSED ? "connection refused" : std::strerror(lastError);
    FailLost("Cannot connect to " + m_where + " (" + reason + ")", reason);
}

void SftpSession::StartSsh() {
    m_ssh = ssh_new();
    if (!m_ssh)
        Fail(TransferErrorKind::Job, "Cannot set up an SSH session", "SSH setup failed");
    // Only what the job says counts: no ~/.ssh/config may redirect the session or add to it.
    bool no = false;
    int verbosity = SSH_LOG_NOLOG;
    const unsigned int port = m_settings.port;
    const std::string knownHosts =
        m_settings.knownHostsFile.empty() ? HomeKnownHosts() : m_settings.knownHostsFile;
    ssh_options_set(m_ssh, SSH_OPTIONS_PROCESS_CONFIG, &no);
    ssh_options_set(m_ssh, SSH_OPTIONS_LOG_VERBOSITY, &verbosity);
    ssh_options_set(m_ssh, SSH_OPTIONS_HOST, m_settings.host.c_str());
    ssh_options_set(m_ssh, SSH_OPTIONS_PORT, &port);
    ssh_options_set(m_ssh, SSH_OPTIONS_USER, m_settings.username.c_str());
    ssh_options_set(m_ssh, SSH_OPTIONS_KNOWNHOSTS, knownHosts.empty() ? "/nonexistent" : knownHosts.c_str());
    ssh_options_set(m_ssh, SSH_OPTIONS_CIPHERS_C_S, Ciphers);
    ssh_options_set(m_ssh, SSH_OPTIONS_CIPHERS_S_C, Ciphers);
    ssh_options_set(m_ssh, SSH_OPTIONS_FD, &m_fd);
    ssh_set_blocking(m_ssh, 0);
    m_fdGiven = true;
    const int rc = Retry([&] { return ssh_connect(m_ssh); }, Clock::now() + m_settings.replyTimeout,
                         "in the key exchange");
    if (rc != SSH_OK) {
        const std::string error = ssh_get_error(m_ssh);
        // A server that ends the session before the login is unavailable, whatever it said;
        // no algorithm in common is the job's to fix.
        if (error.find("no match for method") != std::string::npos) {
            CloseAll();
            Fail(TransferErrorKind::Job, "No SSH algorithms in common with " + m_where + ": " + error,
                 "no SSH algorithms in common");
        }
        FailLost("The SSH session with " + m_where + " failed before the login: " + error,
                 "SSH session closed before the login");
    }
}

void SftpSession::CheckHostKey() {
    ssh_key key = nullptr;
    if (ssh_get_server_publickey(m_ssh, &key) != SSH_OK)
        FailLost("The SSH server " + m_where + " showed no host key", "no host key");
    unsigned char* hash = nullptr;
    std::size_t length = 0;
    const int rc = ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length);
    const std::string type = ssh_key_type_to_char(ssh_key_type(key)) ? ssh_key_type_to_char(ssh_key_type(key)) : "?";
    ssh_key_free(key);
    if (rc != 0)
        FailLost("Cannot read the host key of " + m_where, "host key unreadable");
    char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
    ssh_clean_pubkey_hash(&hash);
    const std::string fingerprint = text ? text : "";
    ssh_string_free_char(text);

    std::string problem;
    if (!m_settings.pin.empty()) {
        const auto pin = NormalizeSshFingerprint(m_settings.pin);
        if (!pin || *pin != fingerprint)
            problem = "host key does not match the pinned fingerprint";
    } else {
        switch (ssh_session_is_known_server(m_ssh)) {
        case SSH_KNOWN_HOSTS_OK: break;
        case SSH_KNOWN_HOSTS_CHANGED: problem = "host key differs from the one in known_hosts"; break;
        case SSH_KNOWN_HOSTS_OTHER: problem = "host key of another type than the one in known_hosts"; break;
        case SSH_KNOWN_HOSTS_ERROR: problem = "known_hosts cannot be read"; break;
        default: problem = "host key unknown (not in known_hosts, no \"fp\" pin)"; break;
        }
    }
    if (problem.empty())
        return;
    // Nothing has been sent that a wrong server could use: no user name, no password, no key.
    const std::string reason = problem + "; " + type + " " + fingerprint;
    CloseAll();
    Fail(TransferErrorKind::Job, "The SSH host key of " + m_where + " was refused: " + reason, reason);
}

bool SftpSession::LoginWithPassword() {
    int rc = RetryAuth([&] { return ssh_userauth_none(m_ssh, nullptr); });
    if (rc == SSH_AUTH_SUCCESS)
        return true;
    const int methods = ssh_userauth_list(m_ssh, nullptr);
    if (methods & SSH_AUTH_METHOD_PASSWORD) {
        rc = RetryAuth([&] { return ssh_userauth_password(m_ssh, nullptr, m_settings.password.c_str()); });
        if (rc == SSH_AUTH_SUCCESS)
            return true;
    }
    if (!(methods & SSH_AUTH_METHOD_INTERACTIVE))
        return false;
    // Keyboard-interactive, as servers that ask through PAM use it: every hidden prompt is
    // answered with the password, a shown one with nothing. A server that keeps asking after
    // a few rounds has refused.
    for (int round = 0; round < 4; ++round) {
        rc = RetryAuth([&] { return ssh_userauth_kbdint(m_ssh, nullptr, nullptr); });
        if (rc != SSH_AUTH_INFO)
            return rc == SSH_AUTH_SUCCESS;
        const int prompts = ssh_userauth_kbdint_getnprompts(m_ssh);
        for (int i = 0; i < prompts; ++i) {
            char echo = 0;
            ssh_userauth_kbdint_getprompt(m_ssh, static_cast<unsigned>(i), &echo);
            ssh_userauth_kbdint_setanswer(m_ssh, static_cast<unsigned>(i), echo ? "" : m_settings.password.c_str());
        }
    }
    return false;
}

void SftpSession::Login() {
    m_state = State::LoggingIn;
    bool accepted = false;
    if (!m_settings.keyFile.empty()) {
        ssh_key key = nullptr;
        const char* passphrase = m_settings.password.empty() ? nullptr : m_settings.password.c_str();
        const int rc = ssh_pki_import_privkey_file(m_settings.keyFile.c_str(), passphrase, nullptr, nullptr, &key);
        if (rc != SSH_OK) {
            CloseAll();
            const std::string reason = rc == SSH_EOF ? "the key file cannot be read"
                                                     : "the key file cannot be opened (wrong passphrase or not a private key)";
            Fail(TransferErrorKind::Job, "Local file: " + reason, reason);
        }
        std::unique_ptr<ssh_key_struct, void (*)(ssh_key)> owned(key, ssh_key_free);
        const int auth = RetryAuth([&] { return ssh_userauth_publickey(m_ssh, nullptr, key); });
        accepted = auth == SSH_AUTH_SUCCESS;
    } else {
        accepted = LoginWithPassword();
    }
    if (accepted)
        return;
    if (!ssh_is_connected(m_ssh))
        FailLost("The SSH server " + m_where + " closed the session during the login", "closed during the login");
    CloseAll();
    Fail(TransferErrorKind::Job, "Login refused by the SSH server at " + m_where, "login refused");
}

void SftpSession::OpenSftp() {
    const auto deadline = Clock::now() + m_settings.replyTimeout;
    m_channel = ssh_channel_new(m_ssh);
    if (!m_channel)
        FailLost("Cannot open a channel to " + m_where, "no channel");
    if (Retry([&] { return ssh_channel_open_session(m_channel); }, deadline, "opening a channel") != SSH_OK)
        FailLost("The SSH server " + m_where + " refused a channel", "channel refused");
    if (Retry([&] { return ssh_channel_request_subsystem(m_channel, "sftp"); }, deadline, "starting SFTP") != SSH_OK) {
        CloseAll();
        Fail(TransferErrorKind::Job, "The SSH server " + m_where + " refused the SFTP subsystem", "SFTP refused by the server");
    }
    m_out.push_back(PacketWriter::Init(3).Finish());
    m_outBytes = m_out.back().size();
    m_awaited.insert(0);
    const Reply version = Await(0);
    if (version.type != Fxp::Version) {
        CloseAll();
        Fail(TransferErrorKind::Job, "The SFTP server at " + m_where + " did not answer its greeting", "no SFTP version");
    }
    PacketReader reader(version.body);
    reader.U32();
    bool limits = false;
    while (reader.Left() > 0) {
        const auto name = reader.Str();
        if (!name || !reader.Str())
            break;
        m_posixRename |= *name == "posix-rename@openssh.com";
        limits |= *name == "limits@openssh.com";
    }
    if (limits) {
        // OpenSSH takes requests of up to 255 KiB: fewer, larger requests cost less on both ends.
        const Reply reply = Request(PacketWriter(Fxp::Extended, NextId()).Str("limits@openssh.com"));
        PacketReader values(reply.body);
        const auto packet = values.U64();
        const auto read = values.U64();
        const auto write = values.U64();
        if (reply.type == Fxp::ExtendedReply && packet && read && write) {
            const std::uint64_t cap = 255 * 1024;
            m_readChunk = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(*read ? *read : cap, 4096, cap));
            m_writeChunk = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(*write ? *write : cap, 4096, cap));
        }
    }
    const Reply home = Request(PacketWriter(Fxp::Realpath, NextId()).Str("."));
    PacketReader names(home.body);
    const auto count = names.U32();
    const auto path = count && *count >= 1 ? names.Str() : std::nullopt;
    if (home.type != Fxp::Name || !path)
        FailStatus("Finding the login folder", home);
    m_home = std::string(*path);
    m_state = State::Ready;
}

void SftpSession::Connect() {
    CheckUsable();
    if (Connected())
        return;
    CloseAll();
    if (m_settings.host.empty())
        Fail(TransferErrorKind::Job, "No SFTP host given", "no host");
    if (m_settings.port == 0)
        Fail(TransferErrorKind::Job, "No SFTP port given", "no port");
    if (!m_settings.pin.empty() && !NormalizeSshFingerprint(m_settings.pin))
        Fail(TransferErrorKind::Job, "The pinned fingerprint is not an SSH host key fingerprint", "malformed fingerprint");
    m_where = m_settings.host + ":" + std::to_string(m_settings.port);
    m_state = State::Connecting;
    try {
        OpenSocket(Clock::now() + m_settings.connectTimeout);
        StartSsh();
        CheckHostKey();
        Login();
        OpenSftp();
    } catch (...) {
        CloseAll();
        throw;
    }
}

void SftpSession::Disconnect() noexcept {
    if (m_state == State::Ready && !m_aborted.load() && m_channel) {
        // A polite close, briefly: the server learns that no write is lost.
        ssh_channel_send_eof(m_channel);
        const auto deadline = Clock::now() + CloseBudget;
        while (m_ssh && (ssh_get_poll_flags(m_ssh) & SSH_WRITE_PENDING) && Clock::now() < deadline) {
            try {
                if (!WaitSocket(deadline))
                    break;
                Move();
            } catch (...) {
                break;
            }
        }
        // ssh_disconnect frees the session's channels itself.
        ssh_channel_free(m_channel);
        m_channel = nullptr;
        if (m_ssh)
            ssh_disconnect(m_ssh);
    }
    CloseAll();
}

// ---- the SFTP channel ----

std::uint32_t SftpSession::Send(PacketWriter& packet) {
    std::string bytes = std::move(packet).Finish();
    std::uint32_t id = 0;
    for (int i = 5; i < 9; ++i)
        id = (id << 8) | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
    m_outBytes += bytes.size();
    m_out.push_back(std::move(bytes));
    m_awaited.insert(id);
    return id;
}

bool SftpSession::Move() {
    bool moved = false;
    // Writes go out only as far as the channel's window reaches: beyond it libssh would wait.
    while (!m_out.empty()) {
        const std::uint32_t window = ssh_channel_window_size(m_channel);
        if (window == 0)
            break;
        const std::string& front = m_out.front();
        const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(front.size() - m_outSent, window));
        const int written = ssh_channel_write(m_channel, front.data() + m_outSent, length);
        if (written < 0)
            FailLost("Lost the connection to " + m_where + ": " + ssh_get_error(m_ssh), "connection lost");
        if (written == 0)
            break;
        m_outSent += static_cast<std::size_t>(written);
        m_outBytes -= static_cast<std::size_t>(written);
        moved = true;
        if (m_outSent == front.size()) {
            m_out.pop_front();
            m_outSent = 0;
        }
    }
    static thread_local std::vector<char> buffer(ReadBufferSize);
    for (;;) {
        const int n = ssh_channel_read_nonblocking(m_channel, buffer.data(), static_cast<std::uint32_t>(buffer.size()), 0);
        if (n == SSH_EOF || (n == 0 && ssh_channel_is_closed(m_channel)))
            FailLost("The SFTP server at " + m_where + " closed the session", "connection closed by the server");
        if (n < 0)
            FailLost("Lost the connection to " + m_where + ": " + ssh_get_error(m_ssh), "connection lost");
        if (n == 0)
            break;
        moved = true;
        if (!m_parser.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)))) {
            CloseAll();
            Fail(TransferErrorKind::Job, "The SFTP server at " + m_where + " sent a malformed message",
                 "malformed reply from the server");
        }
        while (m_parser.HasReply()) {
            Reply reply = m_parser.Pop();
            // Answers to requests given up (a failed transfer's) are dropped.
            if (m_awaited.erase(reply.id))
                m_replies.emplace(reply.id, std::move(reply));
        }
    }
    return moved;
}

void SftpSession::Pump(Clock::time_point until) {
    if (!Move() && Clock::now() < until)
        WaitSocket(until);
}

Reply SftpSession::Await(std::uint32_t id) {
    const auto deadline = Clock::now() + m_settings.replyTimeout;
    for (;;) {
        CheckUsable();
        if (auto found = m_replies.find(id); found != m_replies.end()) {
            Reply reply = std::move(found->second);
            m_replies.erase(found);
            return reply;
        }
        if (Clock::now() >= deadline)
            FailLost("Timed out waiting for the SFTP server at " + m_where, "no reply from the server (timed out)");
        Pump(deadline);
    }
}

Reply SftpSession::Request(PacketWriter& packet) {
    return Await(Send(packet));
}

} // namespace ct::sftp
