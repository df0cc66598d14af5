#pragma once

#include <string>
#include <vector>

#if defined(CLOUDTRANSFER_TLS)
#include <asio/ssl/context.hpp>
#include <openssl/ssl.h>
#endif

namespace ct::ftp {

// Whether this build can speak TLS at all (the MinGW cross-build has no OpenSSL).
bool TlsAvailable();

// What a server's certificate must name: the host as the user gave it, or, for an address,
// its bytes. An IPv6 zone id ("fe80::1%eth0") says which link leads to the server, not who
// the server is, so it is no part of the identity.
struct TlsIdentity {
    std::string shown;                  // as given, for reasons
    std::string name;                   // a host name; empty for an address
    std::vector<unsigned char> address; // 4 or 16 bytes; empty for a name
};

TlsIdentity IdentityOf(const std::string& host);

#if defined(CLOUDTRANSFER_TLS)

// Tells OpenSSL what the handshake checks the certificate against (unless `checkName` is
// false: a pin stands in for the name) and names the host to the server. Empty when all of
// it took, else why not; the connection must not go ahead then, or nothing would be checked.
std::string ExpectIdentity(SSL* ssl, const TlsIdentity& identity, bool checkName);

// Whether the certificate names the identity (as the handshake checks it).
bool CertificateNames(X509* certificate, const TlsIdentity& identity);

// What the certificate check of one connection saw; filled during its handshake.
struct TlsPeerCheck {
    std::string fingerprint; // of the server's own certificate, colon form; empty if none was seen
    std::string problem;     // why it was refused; empty when it was accepted
};

// The TLS side of one FTP session: the settings every connection of it shares (trust store
// or pin, the host name to check, TLS 1.2 or later) and the session that data connections
// resume. vsftpd and proftpd refuse a data connection that does not resume the control
// connection's session. Under TLS 1.3 that session arrives after the handshake, as tickets
// that such servers accept once each, and every resumed data connection brings new ones;
// so every session the server hands out is captured as it comes, and the newest is offered.
class TlsContext {
public:
    // host: the name or address the user gave, checked against the certificate unless a
    // pin (already normalised) is given. caFile: an extra trust anchor file, may be empty.
    // Raises std::runtime_error when OpenSSL cannot be set up.
    TlsContext(const std::string& host, const std::string& pin, const std::string& caFile);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    asio::ssl::context& Native() { return m_context; }

    // Prepares a connection's SSL before its handshake: name indication, the certificate
    // check writing into `check`, and, for a data connection, the session to resume. Empty
    // when ready, else why the handshake must not start.
    std::string Prepare(SSL* ssl, TlsPeerCheck& check, bool dataConnection);
    // After a completed handshake: empty when the peer is accepted, else why not.
    std::string CheckAfterHandshake(SSL* ssl, TlsPeerCheck& check) const;

private:
    static int OnNewSession(SSL* ssl, SSL_SESSION* session);
    static int OnVerify(int preverified, X509_STORE_CTX* store);

    asio::ssl::context m_context;
    TlsIdentity m_identity;
    std::string m_pin;
    SSL_SESSION* m_session = nullptr; // the newest, owned
};

#endif

} // namespace ct::ftp
