#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace ct {

// One complete server reply. text holds the lines without their CR LF, joined by "\n",
// code included (as the server sent it). A very long line or reply is kept in part only:
// a cut line ends in FtpReply::CutMark, and the lines left out of a long reply are replaced
// by one line holding CutMark; the last line is always kept.
struct FtpReply {
    static constexpr std::string_view CutMark = "[...]";

    int code = 0;
    std::string text;

    bool Preliminary() const { return code >= 100 && code < 200; }
    bool Positive() const { return code >= 200 && code < 300; }
    bool Intermediate() const { return code >= 300 && code < 400; }
    // The text after the code of the last line ("Login successful." of "230 Login successful.").
    std::string LastLineMessage() const;
};

// Splits the control connection's byte stream into replies (RFC 959 section 4.2).
// Bytes may arrive in any pieces, down to one at a time. A single-line reply is
// "ddd text"; a multi-line reply starts with "ddd-text" and ends at the first line that
// starts with the same code followed by a space (or nothing). Lines inside a multi-line
// reply may hold anything. Lines end with CR LF; a bare LF is accepted as well.
// Replies of any length are read (a greeting of many hundred lines is legitimate); only a
// bounded part of each is kept, so memory stays bounded whatever the server sends.
class FtpReplyParser {
public:
    // What is kept of one line, and of one reply's text.
    static constexpr std::size_t MaxLineKept = 8 * 1024;
    static constexpr std::size_t MaxTextKept = 16 * 1024;

    // Raises FtpError on malformed input; the parser is unusable afterwards until Reset.
    void Feed(std::string_view bytes);
    bool HasReply() const { return !m_replies.empty(); }
    FtpReply PopReply();
    // True while a reply has been started but not completed, or a line is half-read.
    bool Partial() const { return !m_line.empty() || m_inMultiLine; }
    void Reset();

private:
    void CompleteLine();

    std::string m_line;
    bool m_lineCut = false;
    bool m_inMultiLine = false;
    int m_code = 0;
    std::string m_text;
    bool m_textCut = false;
    std::deque<FtpReply> m_replies;
    bool m_broken = false;
};

// Parsers for the replies whose text carries data.
// 229 "Entering Extended Passive Mode (|||port|)": the port, RFC 2428.
std::optional<std::uint16_t> ParseEpsvPort(const std::string& text);
// 227 "Entering Passive Mode (h1,h2,h3,h4,p1,p2)": only the port; the address is never used.
std::optional<std::uint16_t> ParsePasvPort(const std::string& text);
// 257 "\"/a \"\"quoted\"\" dir\" is current": the path with doubled quotes undone.
std::optional<std::string> ParseQuotedPath(const std::string& text);
// 213 "<size>".
std::optional<std::int64_t> ParseSizeReply(const std::string& text);
// 150 "... (12345 bytes)": the announced byte count.
std::optional<std::int64_t> ParseOpeningByteCount(const std::string& text);

} // namespace ct
