#include "platform/ftp/FtpReply.h"

#include <cctype>
#include <charconv>
#include <limits>

#include "platform/ftp/FtpClient.h"

namespace ct {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A short, printable excerpt of what the server sent, for an error text.
std::string Excerpt(std::string_view line) {
    std::string out;
    for (char c : line.substr(0, 60))
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    if (line.size() > 60)
        out += "...";
    return out;
}

std::optional<std::int64_t> ParseNonNegative(std::string_view digits) {
    if (digits.empty())
        return std::nullopt;
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || value < 0)
        return std::nullopt;
    return value;
}

} // namespace

std::string FtpReply::LastLineMessage() const {
    auto start = text.rfind('\n');
    std::string_view last = start == std::string::npos ? std::string_view(text)
                                                        : std::string_view(text).substr(start + 1);
    return std::string(last.size() > 4 ? last.substr(4) : std::string_view());
}

void FtpReplyParser::Feed(std::string_view bytes) {
    if (m_broken)
        throw FtpError("The server's replies cannot be read any more");
    while (!bytes.empty()) {
        auto newline = bytes.find('\n');
        std::string_view piece = newline == std::string_view::npos ? bytes : bytes.substr(0, newline);
        std::size_t room = MaxLineKept - m_line.size();
        if (piece.size() > room) {
            m_line.append(piece.substr(0, room));
            m_lineCut = true;
        } else {
            m_line.append(piece);
        }
        if (newline == std::string_view::npos)
            return;
        bytes.remove_prefix(newline + 1);
        CompleteLine();
    }
}

void FtpReplyParser::CompleteLine() {
    std::string line = std::move(m_line);
    m_line.clear();
    if (m_lineCut) {
        line += FtpReply::CutMark;
        m_lineCut = false;
    } else if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }

    bool startsWithCode = line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]);
    int code = startsWithCode ? (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0') : 0;

    if (m_inMultiLine) {
        bool last = startsWithCode && code == m_code && (line.size() == 3 || line[3] == ' ');
        if (last || m_text.size() + 1 + line.size() <= MaxTextKept - MaxLineKept) {
            m_text += '\n';
            m_text += line;
        } else if (!m_textCut) {
            // Room is left for the last line, which says how the reply ended.
            m_text += '\n';
            m_text += FtpReply::CutMark;
            m_textCut = true;
        }
        if (last) {
            m_replies.push_back({m_code, std::move(m_text)});
            m_text.clear();
            m_textCut = false;
            m_inMultiLine = false;
        }
        return;
    }

    if (!startsWithCode || code < 100 || code > 599 || (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
        m_broken = true;
        throw FtpError("The server sent a malformed reply: \"" + Excerpt(line) + "\"");
    }
    if (line.size() > 3 && line[3] == '-') {
        m_inMultiLine = true;
        m_code = code;
        m_text = std::move(line);
        return;
    }
    m_replies.push_back({code, std::move(line)});
}

FtpReply FtpReplyParser::PopReply() {
    FtpReply reply = std::move(m_replies.front());
    m_replies.pop_front();
    return reply;
}

void FtpReplyParser::Reset() {
    m_line.clear();
    m_lineCut = false;
    m_inMultiLine = false;
    m_code = 0;
    m_text.clear();
    m_textCut = false;
    m_replies.clear();
    m_broken = false;
}

std::optional<std::uint16_t> ParseEpsvPort(const std::string& text) {
    // "(<d><d><d><port><d>)": the delimiter is any printable character, normally "|".
    auto open = text.find('(');
    if (open == std::string::npos || open + 5 >= text.size())
        return std::nullopt;
    char d = text[open + 1];
    if (d < 33 || d > 126 || IsDigit(d) || text[open + 2] != d || text[open + 3] != d)
        return std::nullopt;
    auto portStart = open + 4;
    auto portEnd = text.find(d, portStart);
    if (portEnd == std::string::npos || portEnd + 1 >= text.size() || text[portEnd + 1] != ')')
        return std::nullopt;
    auto value = ParseNonNegative(std::string_view(text).substr(portStart, portEnd - portStart));
    if (!value || *value == 0 || *value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

std::optional<std::uint16_t> ParsePasvPort(const std::string& text) {
    // Servers differ in the brackets around the six numbers (some leave them out), so find
    // the first run of six comma-separated numbers after the code.
    std::string_view rest = std::string_view(text).substr(text.size() > 3 ? 4 : text.size());
    for (std::size_t start = 0; start < rest.size(); ++start) {
        if (!IsDigit(rest[start]) || (start > 0 && IsDigit(rest[start - 1])))
            continue;
        int numbers[6];
        std::size_t pos = start;
        int count = 0;
        for (; count < 6; ++count) {
            std::size_t end = pos;
            while (end < rest.size() && IsDigit(rest[end]))
                ++end;
            auto value = ParseNonNegative(rest.substr(pos, end - pos));
            if (!value || *value > 255)
                break;
            numbers[count] = static_cast<int>(*value);
            pos = end;
            if (count < 5) {
                if (pos >= rest.size() || rest[pos] != ',')
                    break;
                ++pos;
            }
        }
        if (count == 6) {
            int port = numbers[4] * 256 + numbers[5];
            if (port == 0)
                return std::nullopt;
            return static_cast<std::uint16_t>(port);
        }
    }
    return std::nullopt;
}

std::optional<std::string> ParseQuotedPath(const std::string& text) {
    auto open = text.find('"');
    if (open == std::string::npos)
        return std::nullopt;
    std::string path;
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] != '"') {
            path += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '"') {
            path += '"';
            ++i;
        } else {
            return path;
        }
    }
    return std::nullopt; // no closing quote
}

std::optional<std::int64_t> ParseSizeReply(const std::string& text) {
    if (text.size() < 5)
        return std::nullopt;
    std::string_view digits = std::string_view(text).substr(4);
    while (!digits.empty() && (digits.back() == ' ' || digits.back() == '\t'))
        digits.remove_suffix(1);
    return ParseNonNegative(digits);
}

std::optional<std::int64_t> ParseOpeningByteCount(const std::string& text) {
    // The usual form is "(12345 bytes)"; take the last such group.
    auto close = text.rfind(" bytes)");
    if (close == std::string::npos)
        return std::nullopt;
    auto open = text.rfind('(', close);
    if (open == std::string::npos)
        return std::nullopt;
    return ParseNonNegative(std::string_view(text).substr(open + 1, close - open - 1));
}

} // namespace ct
