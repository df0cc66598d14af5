#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ct {

// How a session to the server is secured, from the job line's "s": "" plain FTP, "tls"
// explicit FTPS (AUTH TLS, then PBSZ 0 and PROT P), "implicit" implicit FTPS (TLS from the
// first byte). A secured session never falls back to clear text.
enum class EndpointSecurity { None, ExplicitTls, ImplicitTls };

// Where a job's transfer goes and who logs in there: everything the client is made from.
// Two jobs with equal endpoints share one session.
struct Endpoint {
    std::string host;
    std::uint16_t port = 0;
    std::string user;
    std::string password;
    EndpointSecurity security = EndpointSecurity::None;
    // SHA-256 fingerprint of the server's certificate as the job gives it (hex digits, colons
    // optional, either case); empty: the system's trust store and the host name decide.
    std::string pin;
    // A private key file for a login by key; no protocol takes one yet.
    std::string keyFile;

    bool operator==(const Endpoint&) const = default;
};

// The port a job means when it names none: the protocol's registered one.
std::uint16_t UsualPort(EndpointSecurity security);

// "host:port", as the outcome log names a server.
std::string ServerText(const Endpoint& endpoint);

// A pin as a user may write it (hex digits, colons optional, either case, even with the
// "sha256 Fingerprint=" that openssl prints before it) as 64 upper-case hex digits without
// colons; nullopt when it is not a SHA-256 fingerprint.
std::optional<std::string> NormalizeFingerprint(const std::string& text);

} // namespace ct
