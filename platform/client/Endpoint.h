#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ct {

// How a session to the server is secured, from the job line's "s": "" plain FTP, "tls"
// explicit FTPS (AUTH TLS, then PBSZ 0 and PROT P), "implicit" implicit FTPS (TLS from the
// first byte), "sftp" SFTP over SSH. A secured session never falls back to clear text.
enum class EndpointSecurity { None, ExplicitTls, ImplicitTls, Sftp };

// Where a job's transfer goes and who logs in there: everything the client is made from.
// Two jobs with equal endpoints share one session.
struct Endpoint {
    std::string host;
    std::uint16_t port = 0;
    std::string user;
    std::string password;
    EndpointSecurity security = EndpointSecurity::None;
    // SHA-256 fingerprint of the server's certificate as the job gives it (hex digits, colons
    // optional, either case), or for SFTP of its host key ("SHA256:" and base64); empty: the
    // system's trust store and the host name decide, for SFTP the user's known_hosts.
    std::string pin;
    // A private key file for a login by key (SFTP only); the password is then its passphrase.
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

// An SSH host key's fingerprint as `ssh-keygen -lf` prints it ("SHA256:" and the base64 of
// the 32 bytes, "=" padding optional) as "SHA256:" and 43 base64 characters without padding;
// nullopt when it is no such fingerprint.
std::optional<std::string> NormalizeSshFingerprint(const std::string& text);

} // namespace ct
