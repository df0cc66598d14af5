#include "platform/client/Endpoint.h"

#include <cctype>
#include <string_view>

namespace ct {

std::uint16_t UsualPort(EndpointSecurity security) {
    return security == EndpointSecurity::ImplicitTls ? 990 : 21;
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

} // namespace ct
