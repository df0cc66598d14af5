#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <asio/buffer.hpp>
#include <asio/ip/tcp.hpp>

#include "platform/ftp/FtpTls.h"
#include "platform/ftp/FtpWaiter.h"

#if defined(CLOUDTRANSFER_TLS)
#include <asio/ssl/stream.hpp>
#endif

namespace ct::ftp {

// A network failure in a few words, for a reason ("connection refused").
std::string NetworkReason(const asio::error_code& ec);

// One asynchronous operation of a channel, as its handler left it.
struct OpState {
    bool pending = false;
    bool done = false;
    asio::error_code ec;
    std::size_t bytes = 0;

    // Takes the result: true once when the operation has finished since the last call.
    bool Take() {
        if (!done)
            return false;
        done = false;
        return true;
    }
};

// One connection to the server, control or data: a TCP socket, with TLS over it once
// StartHandshake has run. Owns the transport and nothing of the protocol.
//
// Operations only start here; their handlers record the result in an OpState and tell the
// waiter, and the session decides what to wait for. At most one read, one write and one
// other operation (connect, handshake, TLS close) are pending at a time. Close and Reset
// return only once every pending handler has run.
class FtpChannel {
public:
    explicit FtpChannel(FtpWaiter& waiter);
    ~FtpChannel();
    FtpChannel(const FtpChannel&) = delete;
    FtpChannel& operator=(const FtpChannel&) = delete;

    bool IsOpen() const { return m_socket.is_open(); }
    bool Secure() const;
    asio::ip::tcp::socket& Socket() { return m_socket; }

    void StartConnect(const asio::ip::tcp::endpoint& endpoint);
    void StartRead(asio::mutable_buffer buffer);
    // Writes as much of the buffer as the transport takes at once.
    void StartWriteSome(asio::const_buffer buffer);
    // Writes the whole buffer (a command line).
    void StartWriteAll(asio::const_buffer buffer);
#if defined(CLOUDTRANSFER_TLS)
    // TLS over the connected socket, as the client; a data connection resumes the control
    // connection's session. Empty when the handshake has started; else why it could not,
    // and nothing is pending.
    std::string StartHandshake(TlsContext& tls, bool dataConnection);
    // Sends close_notify and waits for the peer's, or for the peer to close.
    void StartTlsShutdown();
    SSL* NativeTls();
    TlsPeerCheck& PeerCheck() { return m_peerCheck; }
#endif

    OpState& ReadOp() { return m_read; }
    OpState& WriteOp() { return m_write; }
    OpState& OtherOp() { return m_other; }
    bool AnyPending() const { return m_read.pending || m_write.pending || m_other.pending; }

    // A read ended by the peer's orderly close: FIN in clear, close_notify over TLS.
    bool IsCleanEnd(const asio::error_code& ec) const;
    // Over TLS: the connection ended without close_notify, so the data may have been cut.
    bool IsTruncatedEnd(const asio::error_code& ec) const;

    // Bytes written but not yet acknowledged by the peer; -1 where the system cannot tell.
    std::int64_t Unacknowledged();
    // A pending error on the socket (a reset seen by the kernel), or none.
    asio::error_code PendingError();
    // Half-closes: the peer reads the end of the stream after the bytes already sent.
    void ShutdownSend();
    // Closes the connection and settles its operations.
    void Close();
    // Closes with a reset: whatever is still queued for the peer is dropped.
    void Reset();

private:
    template <class Handler>
    auto Completion(OpState& op, Handler after);

    FtpWaiter& m_waiter;
    asio::ip::tcp::socket m_socket;
#if defined(CLOUDTRANSFER_TLS)
    std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket&>> m_tls;
    TlsPeerCheck m_peerCheck;
#endif
    OpState m_read;
    OpState m_write;
    OpState m_other;
};

} // namespace ct::ftp
