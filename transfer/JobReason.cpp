#include "transfer/JobReason.h"

namespace ct {

std::string RedactSecret(std::string text, const std::string& secret) {
    if (secret.empty())
        return text;
    for (auto pos = text.find(secret); pos != std::string::npos; pos = text.find(secret, pos + 3))
        text.replace(pos, secret.size(), "***");
    return text;
}

std::string ShortReason(const std::string& text, const std::string& secret) {
    std::string reason = RedactSecret(text, secret);
    for (char& c : reason)
        if (c == '\r' || c == '\n' || c == '\t')
            c = ' ';
    if (reason.size() > kMaxReasonBytes) {
        std::size_t cut = kMaxReasonBytes - 3;
        // Back to the start of a UTF-8 character, so the cut text stays valid UTF-8.
        while (cut > 0 && (static_cast<unsigned char>(reason[cut]) & 0xC0) == 0x80)
            --cut;
        reason.resize(cut);
        reason += "...";
    }
    return reason;
}

} // namespace ct
