#include "platform/ftp/FtpChannel.h"

#include <asio/write.hpp>

#include "platform/ftp/FtpText.h"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <sys/socket.h>
#if defined(__linux__)
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif
#endif

#if defined(CLOUDTRANSFER_TLS)
#include <asio/ssl/error.hpp>
#endif

namespace ct::ftp {

using asio::ip::tcp;

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
    return Bound("connection lost (" + ec.message() + ")", 200);
}

FtpChannel::FtpChannel(FtpWaiter& waiter) : m_waiter(waiter), m_socket(waiter.Io()) {}

FtpChannel::~FtpChannel() {
    Close();
}

template <class Handler>
auto FtpChannel::Completion(OpState& op, Handler after) {
    op.pending = true;
    op.done = false;
    op.ec = {};
    op.bytes = 0;
    return [this, &op, after](const asio::error_code& ec, auto... bytes) {
        op.pending = false;
        op.done = true;
        op.ec = ec;
        ((op.bytes = static_cast<std::size_t>(bytes)), ...);
        after();
        m_waiter.Completed();
    };
}

bool FtpChannel::Secure() const {
#if defined(CLOUDTRANSFER_TLS)
    return m_tls != nullptr;
#else
    return false;
#endif
}

void FtpChannel::StartConnect(const tcp::endpoint& endpoint) {
    asio::error_code ignored;
    if (m_socket.is_open())
        m_socket.close(ignored);
    m_socket.async_connect(endpoint, Completion(m_other, [this] {
                               asio::error_code ec;
                               if (!m_other.ec)
                                   m_socket.set_option(tcp::no_delay(true), ec);
                           }));
}

void FtpChannel::StartRead(asio::mutable_buffer buffer) {
#if defined(CLOUDTRANSFER_TLS)
    if (m_tls) {
        m_tls->async_read_some(buffer, Completion(m_read, [] {}));
        return;
    }
#endif
    m_socket.async_read_some(buffer, Completion(m_read, [] {}));
}

void FtpChannel::StartWriteSome(asio::const_buffer buffer) {
#if defined(CLOUDTRANSFER_TLS)
    if (m_tls) {
        m_tls->async_write_some(buffer, Completion(m_write, [] {}));
        return;
    }
#endif
    m_socket.async_write_some(buffer, Completion(m_write, [] {}));
}

void FtpChannel::StartWriteAll(asio::const_buffer buffer) {
#if defined(CLOUDTRANSFER_TLS)
    if (m_tls) {
        asio::async_write(*m_tls, buffer, Completion(m_write, [] {}));
        return;
    }
#endif
    asio::async_write(m_socket, buffer, Completion(m_write, [] {}));
}

#if defined(CLOUDTRANSFER_TLS)
std::string FtpChannel::StartHandshake(TlsContext& tls, bool dataConnection) {
    m_tls = std::make_unique<asio::ssl::stream<tcp::socket&>>(m_socket, tls.Native());
    if (std::string problem = tls.Prepare(m_tls->native_handle(), m_peerCheck, dataConnection); !problem.empty())
        return problem;
    m_tls->async_handshake(asio::ssl::stream_base::client, Completion(m_other, [] {}));
    return {};
}

void FtpChannel::StartTlsShutdown() {
    m_tls->async_shutdown(Completion(m_other, [] {}));
}

SSL* FtpChannel::NativeTls() {
    return m_tls ? m_tls->native_handle() : nullptr;
}
#endif

bool FtpChannel::IsCleanEnd(const asio::error_code& ec) const {
    return ec == asio::error::eof;
}

bool FtpChannel::IsTruncatedEnd(const asio::error_code& ec) const {
#if defined(CLOUDTRANSFER_TLS)
    return m_tls && ec == asio::ssl::error::stream_truncated;
#else
    (void)ec;
    return false;
#endif
}

std::int64_t FtpChannel::Unacknowledged() {
#if defined(__linux__)
    int pending = 0;
    if (m_socket.is_open() && ::ioctl(m_socket.native_handle(), SIOCOUTQ, &pending) == 0)
        return pending;
#endif
    return -1;
}

asio::error_code FtpChannel::PendingError() {
    if (!m_socket.is_open())
        return asio::error::not_connected;
    int error = 0;
#if defined(_WIN32)
    int length = sizeof error;
    if (::getsockopt(m_socket.native_handle(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
        return {};
#else
    socklen_t length = sizeof error;
    if (::getsockopt(m_socket.native_handle(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return {};
#endif
    return error == 0 ? asio::error_code() : asio::error_code(error, asio::system_category());
}

void FtpChannel::ShutdownSend() {
    asio::error_code ignored;
    m_socket.shutdown(tcp::socket::shutdown_send, ignored);
}

void FtpChannel::Close() {
    asio::error_code ignored;
    if (m_socket.is_open())
        m_socket.close(ignored);
    m_waiter.Settle([this] { return !AnyPending(); });
    m_read.done = m_write.done = m_other.done = false;
#if defined(CLOUDTRANSFER_TLS)
    if (m_tls) {
        // OpenSSL marks the session of a connection freed without both close_notify as not
        // resumable, and the data connections of an FTPS session must all resume it; a
        // connection dropped on purpose (a download's end, an abort) must not spoil it.
        SSL_set_shutdown(m_tls->native_handle(), SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
        m_tls.reset();
    }
#endif
}

void FtpChannel::Reset() {
    asio::error_code ignored;
    if (m_socket.is_open())
        m_socket.set_option(asio::socket_base::linger(true, 0), ignored);
    Close();
}

} // namespace ct::ftp
