#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ftp/FtpClient.h"
#include "platform/thread/Clock.h"

namespace ct {

// Size of the buffer a data connection is read into and a file is read from.
inline constexpr std::size_t FtpTransferBufferSize = 1024 * 1024;

// Everything a session is made from. Held by TIdFTP; read by the session at each step.
struct FtpSettings {
    std::string host;
    std::uint16_t port = 21;
    std::string username;
    std::string password;
    bool passive = true;
    TIdFTPTransferType transferType = TIdFTPTransferType::ftBinary;
    FtpSecurity security = FtpSecurity::None;
    std::string pinnedFingerprint;
    // An extra trust anchor besides the system's store (tests use their own CA).
    std::string caFile;

    // Resolving and connecting, together.
    std::chrono::milliseconds connectTimeout{30000};
    // Each reply of the server, counted from the command across all its 1xx replies; the
    // greeting and a TLS handshake likewise.
    std::chrono::milliseconds replyTimeout{30000};
    // A data connection that moves not a single byte for this long has stalled.
    std::chrono::milliseconds dataTimeout{30000};
    // A transfer that moves fewer than lowSpeedBytes in any lowSpeedWindow is too slow to
    // be a working link (a trickle keeps the stall time-out fresh for ever). Far below any
    // real link, however slow.
    std::int64_t lowSpeedBytes = 1024;
    std::chrono::milliseconds lowSpeedWindow{60000};
    // Folder commands that do not wait for each other's answers go out in one write, their
    // replies read in order. Off: one command at a time, for a server or a middlebox that
    // loses commands sent together.
    bool pipelining = true;
    // What every deadline of the client is measured by (connecting, replies, the stall and
    // low-speed rules); null: the system's clock.
    IClock* clock = nullptr;
};

} // namespace ct
