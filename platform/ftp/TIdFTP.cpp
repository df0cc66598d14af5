#include "platform/ftp/TIdFTP.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif

#include <asio.hpp>

#include "platform/ftp/FtpReply.h"

namespace ct {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using asio::ip::tcp;

// Thrown inside a transfer when the abort flag has been seen; turned into an FtpError
// once the control connection has been brought back into step.
struct AbortedSignal {};
// Thrown inside a transfer when the data connection moved nothing for the data time-out.
struct StallSignal {};
// Thrown inside a transfer when the local file cannot be read or written.
struct LocalFileSignal {
    std::string message;
};

enum class Abortable { No, Yes };
enum class Wait { Done, TimedOut, Aborted };

// Progress at most this often, so that a handler that waits for the GUI thread cannot
// slow a fast transfer down; the last count is always reported.
constexpr auto ProgressInterval = std::chrono::milliseconds(50);
// How long an aborted transfer may take to bring the server back into step before the
// connection is dropped instead.
constexpr auto ResyncBudget = std::chrono::milliseconds(1000);
// How long Disconnect waits for the answer to QUIT.
constexpr auto QuitBudget = std::chrono::milliseconds(1000);

fs::path LocalPath(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

bool HasLineBreakOrNul(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

std::string Seconds(std::chrono::milliseconds timeout) {
    auto ms = timeout.count();
    if (ms % 1000 == 0)
        return std::to_string(ms / 1000) + " s";
    return std::to_string(ms) + " ms";
}

// The server's reply for an error text: one line, bounded.
std::string Quote(const FtpReply& reply) {
    std::string text = reply.text;
    std::replace(text.begin(), text.end(), '\n', ' ');
    if (text.size() > 200)
        text = text.substr(0, 200) + "...";
    return "(" + text + ")";
}

class WorkReporter {
public:
    WorkReporter(IFtpClient& client, TWorkMode mode) : m_client(client), m_mode(mode) {}

    void Begin(std::int64_t expected) {
        m_begun = true;
        if (m_client.OnWorkBegin)
            m_client.OnWorkBegin(&m_client, m_mode, expected);
    }
    void Progress(std::int64_t count) {
        auto now = Clock::now();
        if (now - m_last < ProgressInterval)
            return;
        m_last = now;
        if (m_client.OnWork)
            m_client.OnWork(&m_client, m_mode, count);
    }
    void Final(std::int64_t count) {
        if (m_client.OnWork)
            m_client.OnWork(&m_client, m_mode, count);
    }
    void End() {
        if (!m_begun)
            return;
        m_begun = false;
        if (m_client.OnWorkEnd)
            m_client.OnWorkEnd(&m_client, m_mode);
    }
    // On the way out of a failed transfer: the end event still pairs the begin event,
    // but a handler's error must not replace the transfer's own.
    void EndQuietly() noexcept {
        try {
            End();
        } catch (...) {
        }
    }

private:
    IFtpClient& m_client;
    TWorkMode m_mode;
    bool m_begun = false;
    Clock::time_point m_last;
};

} // namespace

// The connection state and every network step. Lives only on the calling (worker)
// thread, apart from the abort members, which Abort touches under m_abortMutex.
class TIdFTP::Session {
public:
    explicit Session(TIdFTP& owner) : m_owner(owner) {}
    ~Session() { CloseAll(); }

    std::chrono::milliseconds connectTimeout = DefaultTimeout;
    std::chrono::milliseconds replyTimeout = DefaultTimeout;
    std::chrono::milliseconds dataTimeout = DefaultTimeout;

    bool Connected() {
        if (!m_loggedIn)
            return false;
        if (m_awaitingFinal > 0) {
            // Left out of step by an earlier failure; the connection cannot be trusted.
            CloseAll();
            return false;
        }
        return PollControl();
    }

    void Connect();
    void Disconnect() noexcept;
    std::int64_t Size(const std::string& remotePath);
    void Get(const std::string& remotePath, const std::string& localPath, bool overwrite, bool resume);
    void Put(const std::string& localPath, const std::string& remoteName, bool append, std::int64_t startPosition);
    void MakeDir(const std::string& name);
    void ChangeDir(const std::string& path);
    std::string RetrieveCurrentDir();

    void Abort() {
        std::lock_guard lock(m_abortMutex);
        if (!m_inTransfer)
            return;
        m_abortRequested = true;
        // Wakes the worker if it is waiting on the io_context; it sees the flag and
        // cancels its own operations (sockets are touched by the worker thread only).
        asio::post(m_io, [] {});
    }

private:
    // Marks the span of a Get or Put during which Abort takes effect.
    class TransferScope {
    public:
        explicit TransferScope(Session& s) : m_s(s) {
            std::lock_guard lock(m_s.m_abortMutex);
            m_s.m_inTransfer = true;
            m_s.m_abortRequested = false;
        }
        ~TransferScope() {
            std::lock_guard lock(m_s.m_abortMutex);
            m_s.m_inTransfer = false;
            m_s.m_abortRequested = false;
        }

    private:
        Session& m_s;
    };

    [[noreturn]] void Fail(std::string message, int replyCode = 0) const {
        // A server may echo what it was sent; the password must not travel on in an error.
        const std::string& password = m_owner.m_password;
        if (!password.empty()) {
            for (auto pos = message.find(password); pos != std::string::npos; pos = message.find(password, pos))
                message.replace(pos, password.size(), "***");
        }
        throw FtpError(message, replyCode);
    }

    void CloseData() noexcept {
        asio::error_code ec;
        if (m_data.is_open()) {
            m_data.shutdown(tcp::socket::shutdown_both, ec);
            m_data.close(ec);
        }
    }

    // Closes the data connection with a reset: what is still queued for the server is
    // dropped, so that an aborted upload does not keep trickling into the remote file.
    void ResetData() noexcept {
        asio::error_code ec;
        if (m_data.is_open()) {
            m_data.set_option(asio::socket_base::linger(true, 0), ec);
            m_data.close(ec);
        }
    }

    void CloseAll() noexcept {
        CloseData();
        asio::error_code ec;
        if (m_control.is_open())
            m_control.close(ec);
        m_parser.Reset();
        m_loggedIn = false;
        m_awaitingFinal = 0;
        m_serverType.reset();
        m_epsvRefused = false;
    }

    // Runs the io_context until `done` or the deadline. On a time-out or an abort it
    // cancels the operation and keeps running until its handler has run, so that no
    // handler outlives the locals it writes to.
    template <class Cancel>
    Wait RunUntil(const bool& done, Clock::time_point deadline, Abortable abortable, Cancel&& cancel) {
        while (!done) {
            Wait reason = Wait::Done;
            if (abortable == Abortable::Yes && m_abortRequested.load())
                reason = Wait::Aborted;
            else if (Clock::now() >= deadline)
                reason = Wait::TimedOut;
            if (reason != Wait::Done) {
                cancel();
                while (!done) {
                    if (m_io.stopped())
                        m_io.restart();
                    m_io.run_one();
                }
                return reason;
            }
            if (m_io.stopped())
                m_io.restart();
            m_io.run_one_until(deadline);
        }
        return Wait::Done;
    }

    // Whether the idle control connection is still open: reads whatever the server has
    // sent meanwhile without blocking. A closed socket, a 421 or any other reply nobody
    // asked for means the session is over.
    bool PollControl() {
        if (!m_control.is_open())
            return false;
        if (m_parser.HasReply()) {
            CloseAll();
            return false;
        }
        asio::error_code ec;
        m_control.non_blocking(true, ec);
        for (;;) {
            std::size_t n = m_control.read_some(asio::buffer(m_controlBuffer), ec);
            if (ec == asio::error::would_block || ec == asio::error::try_again)
                break;
            if (ec) {
                CloseAll();
                return false;
            }
            try {
                m_parser.Feed(std::string_view(m_controlBuffer.data(), n));
            } catch (const FtpError&) {
                CloseAll();
                return false;
            }
            if (m_parser.HasReply()) {
                CloseAll();
                return false;
            }
        }
        m_control.non_blocking(false, ec);
        return true;
    }

    void RequireConnection() {
        if (!Connected())
            Fail("Not connected to the FTP server");
    }

    void CheckArgument(const std::string& what, const std::string& argument) const {
        if (HasLineBreakOrNul(argument))
            Fail("Refused to send " + what + ": the argument holds a line break or a NUL character");
    }

    void WriteControl(const std::string& bytes, Clock::time_point deadline) {
        bool done = false;
        asio::error_code result;
        asio::async_write(m_control, asio::buffer(bytes), [&](const asio::error_code& ec, std::size_t) {
            result = ec;
            done = true;
        });
        // A command half-written would corrupt the session, so writes are never abortable.
        Wait w = RunUntil(done, deadline, Abortable::No, [&] { m_control.cancel(); });
        if (w == Wait::TimedOut) {
            CloseAll();
            Fail("Timed out sending a command to the FTP server");
        }
        if (result) {
            CloseAll();
            Fail("Lost the connection to the FTP server (" + result.message() + ")");
        }
    }

    // Sends one command; the argument is checked first so that nothing at all is sent
    // when it would break the line. An empty argument sends the bare command.
    void Send(const std::string& command, const std::string& argument = {}) {
        CheckArgument(command, argument);
        if (!m_control.is_open())
            Fail("Not connected to the FTP server");
        std::string line = argument.empty() ? command : command + " " + argument;
        line += "\r\n";
        WriteControl(line, Clock::now() + replyTimeout);
        ++m_awaitingFinal;
    }

    FtpReply ReadReply(Clock::time_point deadline, Abortable abortable) {
        while (!m_parser.HasReply()) {
            bool done = false;
            asio::error_code result;
            std::size_t received = 0;
            m_control.async_read_some(asio::buffer(m_controlBuffer), [&](const asio::error_code& ec, std::size_t n) {
                result = ec;
                received = n;
                done = true;
            });
            Wait w = RunUntil(done, deadline, abortable, [&] {
                asio::error_code ignored;
                m_control.cancel(ignored);
            });
            if (received > 0) {
                try {
                    m_parser.Feed(std::string_view(m_controlBuffer.data(), received));
                } catch (const FtpError&) {
                    CloseAll();
                    throw;
                }
            }
            if (m_parser.HasReply())
                break;
            if (w == Wait::Aborted)
                throw AbortedSignal{};
            if (w == Wait::TimedOut) {
                CloseAll();
                Fail("Timed out waiting for the FTP server's reply");
            }
            if (result) {
                CloseAll();
                Fail(result == asio::error::eof ? std::string("The FTP server closed the connection")
                                                : "Lost the connection to the FTP server (" + result.message() + ")");
            }
        }
        FtpReply reply = m_parser.PopReply();
        if (!reply.Preliminary() && m_awaitingFinal > 0)
            --m_awaitingFinal;
        if (reply.code == 421) {
            // "Service not available, closing control connection": whatever it answers.
            CloseAll();
            Fail("The FTP server closed the connection " + Quote(reply), reply.code);
        }
        return reply;
    }

    FtpReply ReadReply(Abortable abortable = Abortable::Yes) {
        return ReadReply(Clock::now() + replyTimeout, abortable);
    }

    // A command whose only answer is one final reply.
    FtpReply Command(const std::string& command, const std::string& argument = {}) {
        Send(command, argument);
        FtpReply reply = ReadReply();
        while (reply.Preliminary())
            reply = ReadReply();
        return reply;
    }

    void EnsureType(TIdFTPTransferType type) {
        if (m_serverType == type)
            return;
        FtpReply reply = Command("TYPE", type == TIdFTPTransferType::ftBinary ? "I" : "A");
        if (!reply.Positive())
            Fail("The FTP server refused the transfer type " + Quote(reply), reply.code);
        m_serverType = type;
    }

    void ConnectSocket(tcp::socket& socket, const tcp::endpoint& endpoint, Clock::time_point deadline) {
        bool done = false;
        asio::error_code result;
        socket.async_connect(endpoint, [&](const asio::error_code& ec) {
            result = ec;
            done = true;
        });
        Wait w = RunUntil(done, deadline, Abortable::Yes, [&] {
            asio::error_code ignored;
            socket.close(ignored);
        });
        if (w == Wait::Aborted)
            throw AbortedSignal{};
        if (w == Wait::TimedOut)
            Fail("Timed out opening the data connection");
        if (result)
            Fail("Cannot open the data connection (" + result.message() + ")");
    }

    // Passive data connection: EPSV first, PASV once the server has refused EPSV. Only the
    // port of the answer is used; the address is always the control connection's peer,
    // so a server (or a man in the middle) cannot point the client at another host.
    void OpenDataConnection() {
        if (!m_owner.m_passive)
            Fail("Active mode is not supported; only passive transfers are");
        std::optional<std::uint16_t> port;
        if (!m_epsvRefused) {
            FtpReply reply = Command("EPSV");
            if (reply.code == 229) {
                port = ParseEpsvPort(reply.text);
                if (!port)
                    Fail("Cannot read the FTP server's EPSV reply " + Quote(reply), reply.code);
            } else if (reply.code >= 500) {
                m_epsvRefused = true;
            }
        }
        if (!port) {
            FtpReply reply = Command("PASV");
            if (reply.code != 227)
                Fail("The FTP server refused passive mode " + Quote(reply), reply.code);
            port = ParsePasvPort(reply.text);
            if (!port)
                Fail("Cannot read the FTP server's PASV reply " + Quote(reply), reply.code);
        }
        CloseData();
        ConnectSocket(m_data, tcp::endpoint(m_peer, *port), Clock::now() + connectTimeout);
    }

    // Brings an interrupted transfer's session back into step: ABOR, then PWD as a marker
    // (its 257 cannot be mistaken for any reply of a transfer or of ABOR), and every reply
    // up to that marker is skipped. Drops the connection when that does not work out soon.
    void Resync() noexcept {
        ResetData();
        if (!m_control.is_open())
            return;
        try {
            auto deadline = Clock::now() + std::min<Clock::duration>(replyTimeout, ResyncBudget);
            WriteControl("ABOR\r\nPWD\r\n", deadline);
            m_awaitingFinal += 2;
            for (;;) {
                FtpReply reply = ReadReply(deadline, Abortable::No);
                if (reply.code == 257)
                    break;
            }
            // Some servers answer ABOR alone and send the interrupted command's reply later
            // (pyftpdlib does so when the data connection had just opened); a reply still
            // owed must be read now, or it would pass for the answer to the next command.
            while (m_awaitingFinal > 0)
                ReadReply(deadline, Abortable::No);
        } catch (...) {
            CloseAll();
        }
    }

    template <class Body>
    void RunTransfer(TWorkMode mode, Body&& body) {
        TransferScope scope(*this);
        WorkReporter reporter(m_owner, mode);
        try {
            body(reporter);
        } catch (const AbortedSignal&) {
            reporter.EndQuietly();
            Resync();
            Fail("The transfer was aborted");
        } catch (const StallSignal&) {
            reporter.EndQuietly();
            Resync();
            Fail("The data connection moved nothing for " + Seconds(dataTimeout));
        } catch (const LocalFileSignal& e) {
            reporter.EndQuietly();
            Resync();
            Fail(e.message);
        } catch (...) {
            reporter.EndQuietly();
            ResetData();
            if (m_awaitingFinal > 0)
                Resync();
            throw;
        }
    }

    std::vector<char>& Buffer() {
        if (m_buffer.empty())
            m_buffer.resize(TransferBufferSize);
        return m_buffer;
    }

    // Reads the data connection into the file until the server closes it.
    // Returns false when the data connection failed rather than ended.
    bool ReceiveData(std::ofstream& out, const std::string& localPath, WorkReporter& reporter, std::int64_t& total) {
        auto& buffer = Buffer();
        for (;;) {
            bool done = false;
            asio::error_code result;
            std::size_t received = 0;
            m_data.async_read_some(asio::buffer(buffer), [&](const asio::error_code& ec, std::size_t n) {
                result = ec;
                received = n;
                done = true;
            });
            Wait w = RunUntil(done, Clock::now() + dataTimeout, Abortable::Yes, [&] { ResetData(); });
            if (received > 0) {
                out.write(buffer.data(), static_cast<std::streamsize>(received));
                if (!out)
                    throw LocalFileSignal{"Cannot write the local file " + localPath};
                total += static_cast<std::int64_t>(received);
                reporter.Progress(total);
            }
            if (w == Wait::Aborted)
                throw AbortedSignal{};
            if (w == Wait::TimedOut)
                throw StallSignal{};
            if (result == asio::error::eof)
                return true;
            if (result)
                return false;
        }
    }

    // Sends the file over the data connection. Returns false when the data connection
    // failed (the server cut it, for example).
    bool SendData(std::ifstream& in, const std::string& localPath, WorkReporter& reporter, std::int64_t& total) {
        auto& buffer = Buffer();
        for (;;) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            std::size_t length = static_cast<std::size_t>(in.gcount());
            if (in.bad() || (!in && !in.eof()))
                throw LocalFileSignal{"Cannot read the local file " + localPath};
            if (length == 0)
                return true;
            std::size_t offset = 0;
            while (offset < length) {
                bool done = false;
                asio::error_code result;
                std::size_t sent = 0;
                m_data.async_write_some(asio::buffer(buffer.data() + offset, length - offset),
                                        [&](const asio::error_code& ec, std::size_t n) {
                                            result = ec;
                                            sent = n;
                                            done = true;
                                        });
                Wait w = RunUntil(done, Clock::now() + dataTimeout, Abortable::Yes, [&] { ResetData(); });
                offset += sent;
                total += static_cast<std::int64_t>(sent);
                if (sent > 0)
                    reporter.Progress(total);
                if (w == Wait::Aborted)
                    throw AbortedSignal{};
                if (w == Wait::TimedOut)
                    throw StallSignal{};
                if (result)
                    return false;
            }
            if (in.eof())
                return true;
        }
    }

    // The server answers an upload only once it has read all of it, and on a slow link the
    // socket's send queue can still hold many seconds of data after the last write. Waiting
    // here until the queue is empty, with the stall time-out counted from the last progress,
    // keeps a good upload from being mistaken for a silent server by the reply time-out.
    void DrainData() {
#if defined(__linux__)
        const int fd = m_data.native_handle();
        int last = -1;
        auto stallDeadline = Clock::now() + dataTimeout;
        auto pause = std::chrono::microseconds(20);
        for (;;) {
            int pending = 0;
            if (::ioctl(fd, SIOCOUTQ, &pending) != 0 || pending <= 0)
                return;
            if (last < 0 || pending < last) {
                last = pending;
                stallDeadline = Clock::now() + dataTimeout;
            }
            if (m_abortRequested.load()) {
                ResetData();
                throw AbortedSignal{};
            }
            if (Clock::now() >= stallDeadline) {
                ResetData();
                throw StallSignal{};
            }
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::microseconds(20000));
        }
#endif
    }

    TIdFTP& m_owner;
    asio::io_context m_io;
    tcp::socket m_control{m_io};
    tcp::socket m_data{m_io};
    asio::ip::address m_peer;
    FtpReplyParser m_parser;
    std::array<char, 16 * 1024> m_controlBuffer{};
    std::vector<char> m_buffer;
    bool m_loggedIn = false;
    bool m_epsvRefused = false;
    std::optional<TIdFTPTransferType> m_serverType;
    // Commands sent whose final reply has not been read yet.
    int m_awaitingFinal = 0;

    std::mutex m_abortMutex;
    bool m_inTransfer = false; // guarded by m_abortMutex
    std::atomic<bool> m_abortRequested{false};
};

void TIdFTP::Session::Connect() {
    if (Connected())
        return;
    CloseAll();

    std::string host = m_owner.m_host;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty())
        Fail("No FTP host given");
    if (m_owner.m_port == 0)
        Fail("No FTP port given");
    if (HasLineBreakOrNul(host))
        Fail("Refused to connect: the host name holds a line break or a NUL character");
    CheckArgument("USER", m_owner.m_username);
    if (HasLineBreakOrNul(m_owner.m_password))
        Fail("Refused to send PASS: the password holds a line break or a NUL character");

    if (m_owner.m_security != FtpSecurity::None)
        Fail("TLS is not available in this build of cloudtransfer");

    const std::string where = host + ":" + std::to_string(m_owner.m_port);
    auto deadline = Clock::now() + connectTimeout;

    tcp::resolver resolver(m_io);
    tcp::resolver::results_type endpoints;
    {
        bool done = false;
        asio::error_code result;
        resolver.async_resolve(host, std::to_string(m_owner.m_port), tcp::resolver::numeric_service,
                               [&](const asio::error_code& ec, tcp::resolver::results_type r) {
                                   result = ec;
                                   endpoints = std::move(r);
                                   done = true;
                               });
        Wait w = RunUntil(done, deadline, Abortable::No, [&] { resolver.cancel(); });
        if (w == Wait::TimedOut)
            Fail("Timed out looking up the FTP host " + host);
        if (result)
            Fail("Cannot find the FTP host " + host + " (" + result.message() + ")");
    }
    {
        bool done = false;
        asio::error_code result;
        asio::async_connect(m_control, endpoints, [&](const asio::error_code& ec, const tcp::endpoint&) {
            result = ec;
            done = true;
        });
        Wait w = RunUntil(done, deadline, Abortable::No, [&] {
            asio::error_code ignored;
            m_control.close(ignored);
        });
        if (w == Wait::TimedOut) {
            CloseAll();
            Fail("Timed out connecting to " + where);
        }
        if (result) {
            CloseAll();
            Fail("Cannot connect to " + where + " (" + result.message() + ")");
        }
    }
    asio::error_code ec;
    m_control.set_option(tcp::no_delay(true), ec);
    m_peer = m_control.remote_endpoint(ec).address();
    if (ec) {
        CloseAll();
        Fail("Lost the connection to " + where);
    }

    try {
        FtpReply greeting = ReadReply(Abortable::No);
        while (greeting.code == 120 || greeting.Preliminary())
            greeting = ReadReply(Abortable::No);
        if (greeting.code != 220)
            Fail("The FTP server at " + where + " refused the session " + Quote(greeting), greeting.code);

        FtpReply reply = Command("USER", m_owner.m_username);
        if (reply.code == 331 || reply.code == 332) {
            Send("PASS", m_owner.m_password);
            reply = ReadReply(Abortable::No);
        }
        if (reply.code != 230 && reply.code != 202)
            Fail("Login refused by the FTP server at " + where + " " + Quote(reply), reply.code);
        m_loggedIn = true;
        // Some servers refuse SIZE in ASCII mode, so the mode is set before any other command.
        EnsureType(m_owner.m_transferType);
    } catch (...) {
        CloseAll();
        throw;
    }
}

void TIdFTP::Session::Disconnect() noexcept {
    if (m_control.is_open() && m_awaitingFinal == 0) {
        try {
            auto deadline = Clock::now() + std::min<Clock::duration>(replyTimeout, QuitBudget);
            WriteControl("QUIT\r\n", deadline);
            ++m_awaitingFinal;
            ReadReply(deadline, Abortable::No);
        } catch (...) {
        }
    }
    CloseAll();
}

std::int64_t TIdFTP::Session::Size(const std::string& remotePath) {
    CheckArgument("SIZE", remotePath);
    RequireConnection();
    EnsureType(TIdFTPTransferType::ftBinary);
    FtpReply reply = Command("SIZE", remotePath);
    if (reply.code == 213) {
        auto size = ParseSizeReply(reply.text);
        if (!size)
            Fail("Cannot read the FTP server's SIZE reply " + Quote(reply), reply.code);
        return *size;
    }
    if (reply.code == 550)
        return -1;
    Fail("SIZE " + remotePath + " refused " + Quote(reply), reply.code);
}

void TIdFTP::Session::Get(const std::string& remotePath, const std::string& localPath, bool overwrite, bool resume) {
    if (resume)
        Fail("Resuming a download is not supported");
    CheckArgument("RETR", remotePath);
    if (remotePath.empty())
        Fail("No remote file given for the download");
    const fs::path local = LocalPath(localPath);
    std::error_code fsError;
    if (!overwrite && fs::exists(local, fsError))
        Fail("The local file " + localPath + " exists already");
    RequireConnection();

    RunTransfer(TWorkMode::wmRead, [&](WorkReporter& reporter) {
        const bool binary = m_owner.m_transferType == TIdFTPTransferType::ftBinary;
        std::int64_t expected = -1;
        EnsureType(TIdFTPTransferType::ftBinary);
        FtpReply sizeReply = Command("SIZE", remotePath);
        if (sizeReply.code == 213)
            expected = ParseSizeReply(sizeReply.text).value_or(-1);
        EnsureType(m_owner.m_transferType);
        OpenDataConnection();
        Send("RETR", remotePath);
        FtpReply opening = ReadReply();
        if (!opening.Preliminary()) {
            CloseData();
            Fail("RETR " + remotePath + " refused " + Quote(opening), opening.code);
        }
        if (expected < 0)
            expected = ParseOpeningByteCount(opening.text).value_or(-1);

        std::ofstream out(local, std::ios::binary | std::ios::trunc);
        if (!out)
            throw LocalFileSignal{"Cannot create the local file " + localPath};
        reporter.Begin(std::max<std::int64_t>(expected, 0));
        std::int64_t total = 0;
        bool dataOk = ReceiveData(out, localPath, reporter, total);
        CloseData();
        out.close();
        if (!out)
            throw LocalFileSignal{"Cannot write the local file " + localPath};
        FtpReply final = ReadReply();
        reporter.Final(total);
        if (!final.Positive())
            Fail("The download of " + remotePath + " failed " + Quote(final), final.code);
        if (!dataOk)
            Fail("The data connection broke during the download of " + remotePath);
        // A server that acknowledges a short stream would otherwise pass for a success.
        if (binary && expected >= 0 && total < expected)
            Fail("The download of " + remotePath + " ended after " + std::to_string(total) + " of " +
                 std::to_string(expected) + " bytes");
        reporter.End();
    });
}

void TIdFTP::Session::Put(const std::string& localPath, const std::string& remoteName, bool append,
                          std::int64_t startPosition) {
    if (append)
        Fail("Appending to a remote file is not supported");
    if (startPosition != -1 && startPosition != 0)
        Fail("Uploading part of a file is not supported");
    CheckArgument("STOR", remoteName);
    if (remoteName.empty())
        Fail("No remote file name given for the upload of " + localPath);
    const fs::path local = LocalPath(localPath);
    std::ifstream in(local, std::ios::binary);
    std::error_code fsError;
    if (!in || fs::is_directory(local, fsError))
        Fail("Cannot open the local file " + localPath);
    auto localSize = fs::file_size(local, fsError);
    if (fsError)
        Fail("Cannot read the size of the local file " + localPath);
    RequireConnection();

    RunTransfer(TWorkMode::wmWrite, [&](WorkReporter& reporter) {
        const bool binary = m_owner.m_transferType == TIdFTPTransferType::ftBinary;
        EnsureType(m_owner.m_transferType);
        OpenDataConnection();
        Send("STOR", remoteName);
        FtpReply opening = ReadReply();
        if (!opening.Preliminary()) {
            CloseData();
            Fail("STOR " + remoteName + " refused " + Quote(opening), opening.code);
        }
        reporter.Begin(static_cast<std::int64_t>(localSize));
        std::int64_t total = 0;
        bool dataOk = SendData(in, localPath, reporter, total);
        if (dataOk)
            DrainData();
        CloseData(); // the server takes the end of the data connection as the end of the file
        FtpReply final = ReadReply();
        reporter.Final(total);
        if (!final.Positive())
            Fail("The upload of " + remoteName + " failed " + Quote(final), final.code);
        if (!dataOk)
            Fail("The data connection broke during the upload of " + remoteName);
        reporter.End();

        // Servers are known to acknowledge a file they stored short; where SIZE is
        // answered, the stored size must be what was sent.
        if (binary) {
            FtpReply sizeReply = Command("SIZE", remoteName);
            if (sizeReply.code == 213) {
                auto stored = ParseSizeReply(sizeReply.text);
                if (stored && *stored != total)
                    Fail("The FTP server stored " + std::to_string(*stored) + " of the " + std::to_string(total) +
                         " bytes sent for " + remoteName);
            }
        }
    });
}

void TIdFTP::Session::MakeDir(const std::string& name) {
    CheckArgument("MKD", name);
    RequireConnection();
    FtpReply reply = Command("MKD", name);
    if (!reply.Positive())
        Fail("MKD " + name + " refused " + Quote(reply), reply.code);
}

void TIdFTP::Session::ChangeDir(const std::string& path) {
    CheckArgument("CWD", path);
    RequireConnection();
    FtpReply reply = Command("CWD", path);
    if (!reply.Positive())
        Fail("CWD " + path + " refused " + Quote(reply), reply.code);
}

std::string TIdFTP::Session::RetrieveCurrentDir() {
    RequireConnection();
    FtpReply reply = Command("PWD");
    if (reply.code != 257)
        Fail("PWD refused " + Quote(reply), reply.code);
    auto path = ParseQuotedPath(reply.text);
    if (!path)
        Fail("Cannot read the FTP server's PWD reply " + Quote(reply), reply.code);
    return *path;
}

TIdFTP::TIdFTP() : m_session(std::make_unique<Session>(*this)) {}

TIdFTP::~TIdFTP() = default;

void TIdFTP::SetConnectTimeout(std::chrono::milliseconds timeout) {
    m_session->connectTimeout = timeout;
}
void TIdFTP::SetReplyTimeout(std::chrono::milliseconds timeout) {
    m_session->replyTimeout = timeout;
}
void TIdFTP::SetDataTimeout(std::chrono::milliseconds timeout) {
    m_session->dataTimeout = timeout;
}
void TIdFTP::SetTimeouts(std::chrono::milliseconds timeout) {
    SetConnectTimeout(timeout);
    SetReplyTimeout(timeout);
    SetDataTimeout(timeout);
}

bool TIdFTP::Connected() {
    return m_session->Connected();
}
void TIdFTP::Connect() {
    m_session->Connect();
}
void TIdFTP::Disconnect() {
    m_session->Disconnect();
}
std::int64_t TIdFTP::Size(const std::string& remotePath) {
    return m_session->Size(remotePath);
}
void TIdFTP::Get(const std::string& remotePath, const std::string& localPath, bool overwrite, bool resume) {
    m_session->Get(remotePath, localPath, overwrite, resume);
}
void TIdFTP::Put(const std::string& localPath, const std::string& remoteName, bool append,
                 std::int64_t startPosition) {
    m_session->Put(localPath, remoteName, append, startPosition);
}
void TIdFTP::MakeDir(const std::string& name) {
    m_session->MakeDir(name);
}
void TIdFTP::ChangeDir(const std::string& path) {
    m_session->ChangeDir(path);
}
std::string TIdFTP::RetrieveCurrentDir() {
    return m_session->RetrieveCurrentDir();
}
void TIdFTP::Abort() {
    m_session->Abort();
}
void TIdFTP::ResetAbort() {}

} // namespace ct
