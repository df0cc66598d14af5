#include "platform/ftp/FtpText.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace ct::ftp {

namespace {

constexpr std::string_view Mask = "***";

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool ContainsAny(const std::string& lowered, std::initializer_list<std::string_view> needles) {
    return std::any_of(needles.begin(), needles.end(),
                       [&](std::string_view n) { return lowered.find(n) != std::string::npos; });
}

} // namespace

std::string Redact(std::string text, std::string_view secret) {
    if (secret.empty())
        return text;
    for (auto pos = text.find(secret); pos != std::string::npos; pos = text.find(secret, pos + Mask.size()))
        text.replace(pos, secret.size(), Mask);
    // A cut line may end in the first characters of the secret.
    for (auto cut = text.find(FtpReply::CutMark); cut != std::string::npos;
         cut = text.find(FtpReply::CutMark, cut + FtpReply::CutMark.size())) {
        for (std::size_t length = std::min(secret.size() - 1, cut); length > 0; --length) {
            if (std::string_view(text).substr(cut - length, length) == secret.substr(0, length)) {
                text.replace(cut - length, length, Mask);
                cut = cut - length + Mask.size();
                break;
            }
        }
    }
    return text;
}

std::string Bound(std::string_view text, std::size_t maxChars) {
    std::string out;
    const bool cut = text.size() > maxChars;
    for (char c : text.substr(0, cut ? (maxChars > 3 ? maxChars - 3 : 0) : text.size()))
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    if (cut)
        out += "...";
    return out;
}

std::string ReasonLine(const FtpReply& reply, std::string_view secret, std::size_t maxChars) {
    std::string redacted = Redact(reply.text, secret);
    auto newline = redacted.find('\n');
    if (newline != std::string::npos)
        redacted.resize(newline);
    return Bound(redacted, maxChars);
}

std::string QuoteReply(const FtpReply& reply, std::string_view secret, std::size_t maxChars) {
    std::string redacted = Redact(reply.text, secret);
    std::replace(redacted.begin(), redacted.end(), '\n', ' ');
    return "(" + Bound(redacted, maxChars) + ")";
}

bool SaysFileMissing(const FtpReply& reply, bool* vagueOnly) {
    if (vagueOnly)
        *vagueOnly = false;
    if (reply.code != 550)
        return false;
    const std::string text = Lower(reply.text);
    if (ContainsAny(text, {"no such file", "not found", "does not exist", "doesn't exist", "not exist",
                           "can't find", "cannot find"}))
        return true;
    if (text.find("failed to open file") != std::string::npos) {
        if (vagueOnly)
            *vagueOnly = true;
        return true;
    }
    return false;
}

bool SaysTlsRequired(const FtpReply& reply) {
    const std::string text = Lower(reply.text);
    return ContainsAny(text, {"tls", "ssl", "encrypt", "secure"});
}

std::string FormatFingerprint(const unsigned char* digest, std::size_t length) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        if (i > 0)
            out += ':';
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 0x0f];
    }
    return out;
}

} // namespace ct::ftp
