#include "platform/ftp/FtpTls.h"

#include <stdexcept>

#include <asio/ip/address.hpp>

#if defined(CLOUDTRANSFER_TLS)
#include <openssl/x509v3.h>

#include "platform/ftp/FtpText.h"
#endif

namespace ct::ftp {

bool TlsAvailable() {
#if defined(CLOUDTRANSFER_TLS)
    return true;
#else
    return false;
#endif
}

TlsIdentity IdentityOf(const std::string& host) {
    TlsIdentity identity{host, {}, {}};
    asio::error_code ec;
    const asio::ip::address address = asio::ip::make_address(host, ec);
    if (ec) {
        identity.name = host;
    } else if (address.is_v4()) {
        const auto bytes = address.to_v4().to_bytes();
        identity.address.assign(bytes.begin(), bytes.end());
    } else {
        const auto bytes = address.to_v6().to_bytes(); // without the scope
        identity.address.assign(bytes.begin(), bytes.end());
    }
    return identity;
}

#if defined(CLOUDTRANSFER_TLS)

namespace {

int ContextIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int CheckIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

std::string Fingerprint(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1)
        return {};
    return FormatFingerprint(digest, length);
}

std::string WithoutColons(const std::string& fingerprint) {
    std::string out;
    for (char c : fingerprint)
        if (c != ':')
            out += c;
    return out;
}

} // namespace

std::string ExpectIdentity(SSL* ssl, const TlsIdentity& identity, bool checkName) {
    const std::string why = "cannot check the certificate against " + identity.shown;
    if (checkName) {
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        const int set = identity.address.empty()
                            ? X509_VERIFY_PARAM_set1_host(param, identity.name.data(), identity.name.size())
                            : X509_VERIFY_PARAM_set1_ip(param, identity.address.data(), identity.address.size());
        if (set != 1 || identity.name.empty() == identity.address.empty())
            return why;
    }
    // Name indication carries host names only (RFC 6066), never an address.
    if (!identity.name.empty() && SSL_set_tlsext_host_name(ssl, identity.name.c_str()) != 1)
        return "cannot name " + identity.shown + " to the server";
    return {};
}

bool CertificateNames(X509* certificate, const TlsIdentity& identity) {
    if (!identity.address.empty())
        return X509_check_ip(certificate, identity.address.data(), identity.address.size(), 0) == 1;
    return !identity.name.empty() && X509_check_host(certificate, identity.name.data(), identity.name.size(),
                                                     X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) == 1;
}

TlsContext::TlsContext(const std::string& host, const std::string& pin, const std::string& caFile)
    : m_context(asio::ssl::context::tls_client), m_identity(IdentityOf(host)), m_pin(pin) {
    asio::error_code ec;
    SSL_CTX* native = m_context.native_handle();
    if (SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION) != 1)
        throw std::runtime_error("cannot require TLS 1.2");
    m_context.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_compression);
    if (pin.empty()) {
        m_context.set_default_verify_paths(ec);
        if (!caFile.empty())
            m_context.load_verify_file(caFile, ec);
    }
    SSL_CTX_set_ex_data(native, ContextIndex(), this);
    SSL_CTX_set_session_cache_mode(native, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(native, &TlsContext::OnNewSession);
}

TlsContext::~TlsContext() {
    if (m_session)
        SSL_SESSION_free(m_session);
}

int TlsContext::OnNewSession(SSL* ssl, SSL_SESSION* session) {
    auto* self = static_cast<TlsContext*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), ContextIndex()));
    if (!self || !SSL_SESSION_is_resumable(session))
        return 0;
    if (self->m_session)
        SSL_SESSION_free(self->m_session);
    self->m_session = session;
    return 1; // the reference is ours now
}

int TlsContext::OnVerify(int preverified, X509_STORE_CTX* store) {
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    if (!ssl)
        return 0;
    auto* self = static_cast<TlsContext*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), ContextIndex()));
    auto* check = static_cast<TlsPeerCheck*>(SSL_get_ex_data(ssl, CheckIndex()));
    if (!self || !check)
        return 0;
    if (check->fingerprint.empty()) {
        if (X509* leaf = X509_STORE_CTX_get0_cert(store))
            check->fingerprint = Fingerprint(leaf);
    }
    if (!self->m_pin.empty()) {
        // A pin stands in for the whole chain and the name: only the server's own
        // certificate counts, and it must be the pinned one.
        if (WithoutColons(check->fingerprint) == self->m_pin)
            return 1;
        if (check->problem.empty())
            check->problem = "certificate does not match the pinned fingerprint";
        return 0;
    }
    if (!preverified && check->problem.empty()) {
        int error = X509_STORE_CTX_get_error(store);
        if (error == X509_V_ERR_HOSTNAME_MISMATCH || error == X509_V_ERR_IP_ADDRESS_MISMATCH)
            check->problem = "certificate does not match " + self->m_identity.shown;
        else
            check->problem = std::string("certificate not trusted (") + X509_verify_cert_error_string(error) + ")";
    }
    return preverified;
}

std::string TlsContext::Prepare(SSL* ssl, TlsPeerCheck& check, bool dataConnection) {
    check = {};
    if (SSL_set_ex_data(ssl, CheckIndex(), &check) != 1)
        return "cannot check the certificate";
    SSL_set_verify(ssl, SSL_VERIFY_PEER, &TlsContext::OnVerify);
    if (std::string problem = ExpectIdentity(ssl, m_identity, m_pin.empty()); !problem.empty())
        return problem;
    // A session that cannot be offered only costs a full handshake.
    if (dataConnection && m_session)
        SSL_set_session(ssl, m_session);
    return {};
}

std::string TlsContext::CheckAfterHandshake(SSL* ssl, TlsPeerCheck& check) const {
    // A resumed session skips the certificate callback; what was checked when the session
    // was made still holds, and is looked at again here for every connection.
    X509* peer = SSL_get0_peer_certificate(ssl);
    if (!peer)
        return "the server showed no certificate";
    if (check.fingerprint.empty())
        check.fingerprint = Fingerprint(peer);
    if (!m_pin.empty())
        return WithoutColons(Fingerprint(peer)) == m_pin ? std::string() : "certificate does not match the pinned fingerprint";
    if (SSL_get_verify_result(ssl) != X509_V_OK)
        return "certificate not trusted";
    // Once more, by hand: a trusted chain is worth nothing for another server's name.
    if (!CertificateNames(peer, m_identity))
        return "certificate does not match " + m_identity.shown;
    return {};
}

#endif

} // namespace ct::ftp
