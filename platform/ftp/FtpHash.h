#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/client/TransferClient.h"

namespace ct::ftp {

// Our side of a hash check: the bytes of a file as they stream past, hashed once.
class LocalHasher {
public:
    explicit LocalHasher(HashAlgorithm algorithm);
    ~LocalHasher();
    LocalHasher(const LocalHasher&) = delete;
    LocalHasher& operator=(const LocalHasher&) = delete;

    // Whether this build can hash with the algorithm (the SHA and MD5 family need OpenSSL).
    static bool Available(HashAlgorithm algorithm);
    void Update(const char* data, std::size_t length);
    // Lower-case hex; the hasher is spent afterwards.
    std::string Final();

private:
    struct Digest;
    HashAlgorithm m_algorithm;
    std::uint32_t m_crc = 0xFFFFFFFFu;
    std::unique_ptr<Digest> m_digest;
};

// What the server's FEAT reply offers beyond the basic commands.
struct FtpFeatures {
    // HASH (draft-bryan-ftpext-hash): the algorithms listed, and the one marked current.
    std::vector<HashAlgorithm> hash;
    std::optional<HashAlgorithm> hashCurrent;
    // XSHA256, XSHA512, XSHA1, XMD5, XCRC: whole file or `path start end`.
    std::vector<HashAlgorithm> xHash;
    bool restStream = false;
    bool mfmt = false;
    bool mdtm = false;
};

// Reads the lines of a 211 FEAT reply; lists are in our order of preference.
FtpFeatures ParseFeatures(const std::string& featText);
// The HASH name of an algorithm ("SHA-256") and the X-command of it ("XSHA256").
std::string XCommandOf(HashAlgorithm algorithm);
// The hex digest in a HASH or X-command reply (with or without range and file name), in
// lower case; nullopt when none of the algorithm's length is there.
std::optional<std::string> ParseHashReply(HashAlgorithm algorithm, std::string_view text);

// A 213 reply to MDTM as seconds since 1970 (UTC), and such seconds as MDTM's
// YYYYMMDDHHMMSS.
std::optional<std::int64_t> ParseMdtmReply(const std::string& text);
std::string FormatMdtmTime(std::int64_t unixSeconds);

} // namespace ct::ftp
