#include "platform/ftp/FtpHash.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <sstream>

#if defined(CLOUDTRANSFER_TLS)
#include <openssl/evp.h>
#endif

namespace ct::ftp {

namespace {

constexpr std::array<HashAlgorithm, 5> kPreference{HashAlgorithm::Sha256, HashAlgorithm::Sha512, HashAlgorithm::Sha1,
                                                   HashAlgorithm::Md5, HashAlgorithm::Crc32};

const std::array<std::uint32_t, 256>& CrcTable() {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

std::size_t HexLength(HashAlgorithm algorithm) {
    switch (algorithm) {
    case HashAlgorithm::Sha256: return 64;
    case HashAlgorithm::Sha512: return 128;
    case HashAlgorithm::Sha1: return 40;
    case HashAlgorithm::Md5: return 32;
    case HashAlgorithm::Crc32: return 8;
    }
    return 0;
}

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::optional<HashAlgorithm> FromHashName(std::string name) {
    name = Upper(name);
    for (HashAlgorithm a : kPreference)
        if (name == HashName(a) || (a == HashAlgorithm::Crc32 && name == "CRC-32"))
            return a;
    return std::nullopt;
}

void SortByPreference(std::vector<HashAlgorithm>& list) {
    std::sort(list.begin(), list.end());  // the enum is declared in our order of preference
    list.erase(std::unique(list.begin(), list.end()), list.end());
}

} // namespace

#if defined(CLOUDTRANSFER_TLS)
struct LocalHasher::Digest {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    ~Digest() { EVP_MD_CTX_free(context); }
};

static const EVP_MD* MdOf(HashAlgorithm algorithm) {
    switch (algorithm) {
    case HashAlgorithm::Sha256: return EVP_sha256();
    case HashAlgorithm::Sha512: return EVP_sha512();
    case HashAlgorithm::Sha1: return EVP_sha1();
    case HashAlgorithm::Md5: return EVP_md5();
    case HashAlgorithm::Crc32: return nullptr;
    }
    return nullptr;
}
#else
struct LocalHasher::Digest {};
#endif

LocalHasher::LocalHasher(HashAlgorithm algorithm) : m_algorithm(algorithm) {
#if defined(CLOUDTRANSFER_TLS)
    if (const EVP_MD* md = MdOf(algorithm)) {
        m_digest = std::make_unique<Digest>();
        if (!m_digest->context || EVP_DigestInit_ex(m_digest->context, md, nullptr) != 1)
            throw TransferError("Cannot set up the local hash", 0, TransferErrorKind::Job, "local hash unavailable");
    }
#endif
}

LocalHasher::~LocalHasher() = default;

bool LocalHasher::Available(HashAlgorithm algorithm) {
#if defined(CLOUDTRANSFER_TLS)
    (void)algorithm;
    return true;
#else
    return algorithm == HashAlgorithm::Crc32;
#endif
}

void LocalHasher::Update(const char* data, std::size_t length) {
#if defined(CLOUDTRANSFER_TLS)
    if (m_digest) {
        EVP_DigestUpdate(m_digest->context, data, length);
        return;
    }
#endif
    const auto& table = CrcTable();
    std::uint32_t crc = m_crc;
    for (std::size_t i = 0; i < length; ++i)
        crc = table[(crc ^ static_cast<unsigned char>(data[i])) & 0xFFu] ^ (crc >> 8);
    m_crc = crc;
}

std::string LocalHasher::Final() {
    static const char* digits = "0123456789abcdef";
    std::string hex;
#if defined(CLOUDTRANSFER_TLS)
    if (m_digest) {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(m_digest->context, out, &length);
        for (unsigned int i = 0; i < length; ++i) {
            hex += digits[out[i] >> 4];
            hex += digits[out[i] & 0xF];
        }
        return hex;
    }
#endif
    const std::uint32_t value = m_crc ^ 0xFFFFFFFFu;
    for (int shift = 28; shift >= 0; shift -= 4)
        hex += digits[(value >> shift) & 0xFu];
    return hex;
}

std::string XCommandOf(HashAlgorithm algorithm) {
    switch (algorithm) {
    case HashAlgorithm::Sha256: return "XSHA256";
    case HashAlgorithm::Sha512: return "XSHA512";
    case HashAlgorithm::Sha1: return "XSHA1";
    case HashAlgorithm::Md5: return "XMD5";
    case HashAlgorithm::Crc32: return "XCRC";
    }
    return {};
}

FtpFeatures ParseFeatures(const std::string& featText) {
    FtpFeatures features;
    std::istringstream lines(featText);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // Feature lines start with a space; the first and last lines carry the code.
        const auto begin = line.find_first_not_of(' ');
        if (begin == std::string::npos || begin == 0)
            continue;
        std::string word = line.substr(begin);
        const auto space = word.find(' ');
        const std::string name = Upper(word.substr(0, space));
        const std::string rest = space == std::string::npos ? std::string() : word.substr(space + 1);
        if (name == "HASH") {
            std::istringstream names(rest);
            std::string item;
            while (std::getline(names, item, ';')) {
                item.erase(0, item.find_first_not_of(' '));
                const bool current = !item.empty() && item.back() == '*';
                if (current)
                    item.pop_back();
                if (auto a = FromHashName(item)) {
                    features.hash.push_back(*a);
                    if (current)
                        features.hashCurrent = a;
                }
            }
        } else if (name == "REST" && Upper(rest).find("STREAM") != std::string::npos) {
            features.restStream = true;
        } else if (name == "MFMT") {
            features.mfmt = true;
        } else if (name == "MDTM") {
            features.mdtm = true;
        } else {
            for (HashAlgorithm a : kPreference)
                if (name == XCommandOf(a))
                    features.xHash.push_back(a);
        }
    }
    SortByPreference(features.hash);
    SortByPreference(features.xHash);
    return features;
}

std::optional<std::string> ParseHashReply(HashAlgorithm algorithm, std::string_view text) {
    // "SHA-256 0-1234 <hex> name", "<HEX>", "<hex> name": the first word that is all hex digits
    // of the algorithm's length.
    const std::size_t want = HexLength(algorithm);
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\r' || text[i] == '\n'))
            ++i;
        std::size_t j = i;
        while (j < text.size() && text[j] != ' ' && text[j] != '\r' && text[j] != '\n')
            ++j;
        const std::string_view word = text.substr(i, j - i);
        if (word.size() == want &&
            std::all_of(word.begin(), word.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
            std::string hex(word);
            for (char& c : hex)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return hex;
        }
        i = j;
    }
    return std::nullopt;
}

} // namespace ct::ftp
