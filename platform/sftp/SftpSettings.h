#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/thread/Clock.h"

namespace ct {

// Everything an SFTP session is made from. Held by SftpClient; read by the session at each step.
struct SftpSettings {
    std::string host;
    std::uint16_t port = 22;
    std::string username;
    // The password, or with a key file the key's passphrase (empty when it has none).
    std::string password;
    std::string keyFile;
    // The host key's fingerprint as the job pins it ("SHA256:" and base64); empty: known_hosts.
    std::string pin;
    // The OpenSSH known_hosts file trusted without a pin; empty: ~/.ssh/known_hosts.
    std::string knownHostsFile;

    // Resolving and connecting, together.
    std::chrono::milliseconds connectTimeout{30000};
    // The key exchange, each step of the login and each request's reply.
    std::chrono::milliseconds replyTimeout{30000};
    // A transfer that moves not a single byte for this long has stalled.
    std::chrono::milliseconds dataTimeout{30000};
    // A transfer that moves fewer than lowSpeedBytes in any lowSpeedWindow fails, as with FTP.
    std::int64_t lowSpeedBytes = 1024;
    std::chrono::milliseconds lowSpeedWindow{60000};
    // What the stall and low-speed rules measure a transfer's time by; null: the system's clock.
    IClock* clock = nullptr;
};

} // namespace ct
