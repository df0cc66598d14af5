#include "platform/client/Endpoint.h"

#include <cctype>
#include <string_view>

namespace ct {

std::uint16_t UsualPort(EndpointSecurity security) {
    switch (security) {
    case EndpointSecurity::ImplicitTls: return 990;
    case EndpointSecurity::Sftp: return 22;
    default: return 21;
    }
}

std::string ServerText(const Endpoint& endpoint) {
    return endpoint.host + ":" + std::to_string(endpoint.port);
}

std::optional<std::string> NormalizeFingerprint(const std::string& text) {
    std::string_view rest = text;
    // What `openssl x509 -fingerprint` prints before the digits ("sha256 Fingerprint=").
    if (auto equals = rest.find('='); equals != std::string_view::npos)
        rest.remove_prefix(equals + 1);
    std::string digits;
    for (char c : rest) {
        if (c == ':' || c == ' ' || c == '\t')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (digits.size() != 64)
        return std::nullopt;
    return digits;
}

std::optional<std::string> NormalizeSshFingerprint(const std::string& text) {
    constexpr std::string_view prefix = "SHA256:";
    if (text.size() < prefix.size() || text.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    std::string digits = text.substr(prefix.size());
    // 32 bytes are 43 base64 characters and one "=" of padding.
    if (digits.size() == 44 && digits.back() == '=')
        digits.pop_back();
    if (digits.size() != 43)
        return std::nullopt;
    for (char c : digits)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/')
            return std::nullopt;
    // The last character carries 2 bits of padding that must be zero: "AEIMQUYcgkosw048".
    if (std::string_view("AEIMQUYcgkosw048").find(digits.back()) == std::string_view::npos)
        return std::nullopt;
    return std::string(prefix) + digits;
}

} // namespace ct
