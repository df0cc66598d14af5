#include "ui/JobLineMask.h"

#include <vector>

#include "ui/StrToInt.h"

namespace ct {

namespace {

constexpr std::string_view kMask = "****";

// A forward-only reader over the shown part of a line. It follows the JSON grammar only as
// far as it needs to find the password's value; nesting below the "ftp" object is skipped by
// counting brackets, never by recursion, so no input can exhaust the stack.
class Scanner {
public:
    explicit Scanner(std::string_view text) : m_text(text) {}

    // Spans [begin, end) to replace by the mask, in order.
    struct Span {
        std::size_t begin;
        std::size_t end;
    };
    std::vector<Span> PasswordSpans() {
        SkipSpace();
        if (!Take('{'))
            return {};
        for (;;) {
            SkipSpace();
            if (Take('}'))
                break;
            std::string key;
            if (!ReadKey(key) || !TakeAfterSpace(':'))
                break;
            SkipSpace();
            bool ok = key == "ftp" && Peek() == '{' ? ScanFtpObject() : SkipValue();
            if (!ok)
                break;
            SkipSpace();
            if (!Take(','))
                break;
        }
        return std::move(m_spans);
    }

private:
    bool AtEnd() const { return m_pos >= m_text.size(); }
    char Peek() const { return AtEnd() ? '\0' : m_text[m_pos]; }
    bool Take(char c) {
        if (Peek() != c || AtEnd())
            return false;
        ++m_pos;
        return true;
    }
    bool TakeAfterSpace(char c) {
        SkipSpace();
        return Take(c);
    }
    void SkipSpace() {
        while (!AtEnd() && (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' || m_text[m_pos] == '\r' ||
                            m_text[m_pos] == '\n'))
            ++m_pos;
    }

    // A member name, decoded as far as a comparison with "ftp" or "p" needs: an escaped
    // letter (\u0070) is the letter, as it is to the parser; anything else that is escaped
    // or longer than three characters cannot match and reads as a non-ASCII mark.
    bool ReadKey(std::string& key) {
        if (!Take('"'))
            return false;
        while (!AtEnd()) {
            char c = m_text[m_pos++];
            if (c == '"')
                return true;
            if (c == '\\') {
                if (AtEnd())
                    return false;
                const char e = m_text[m_pos++];
                if (e == 'u') {
                    if (m_text.size() - m_pos < 4)
                        return false;
                    int code = 0;
                    for (int i = 0; i < 4; ++i) {
                        const int digit = HexDigitValue(m_text[m_pos++]);
                        if (digit < 0)
                            return false;
                        code = code * 16 + digit;
                    }
                    c = code > 0 && code < 0x80 ? static_cast<char>(code) : '\x80';
                } else {
                    c = e == '"' || e == '\\' || e == '/' ? e : '\x80';
                }
            }
            if (key.size() < 4)
                key.push_back(c);
        }
        return false;
    }

    // Moves past a string whose opening quote is at m_pos; false when the text ends first.
    bool SkipString() {
        ++m_pos;
        while (!AtEnd()) {
            const char c = m_text[m_pos++];
            if (c == '"')
                return true;
            if (c == '\\' && !AtEnd())
                ++m_pos;
        }
        return false;
    }

    // Moves past any value; false when it is malformed or the text ends inside it.
    bool SkipValue() {
        const char first = Peek();
        if (AtEnd())
            return false;
        if (first == '"')
            return SkipString();
        if (first == '{' || first == '[') {
            std::size_t depth = 0;
            while (!AtEnd()) {
                const char c = m_text[m_pos];
                if (c == '"') {
                    if (!SkipString())
                        return false;
                    continue;
                }
                ++m_pos;
                if (c == '{' || c == '[') {
                    ++depth;
                } else if (c == '}' || c == ']') {
                    if (--depth == 0)
                        return true;
                }
            }
            return false;
        }
        const std::size_t start = m_pos;
        while (!AtEnd()) {
            const char c = m_text[m_pos];
            if (c == ',' || c == '}' || c == ']' || c == ' ' || c == '\t' || c == '\r' || c == '\n')
                break;
            ++m_pos;
        }
        return m_pos > start;
    }

    bool ScanFtpObject() {
        Take('{');
        for (;;) {
            SkipSpace();
            if (Take('}'))
                return true;
            std::string key;
            if (!ReadKey(key) || !TakeAfterSpace(':'))
                return false;
            SkipSpace();
            const std::size_t valueStart = m_pos;
            const bool isString = Peek() == '"';
            const bool complete = SkipValue();
            if (key == "p") {
                if (isString)
                    m_spans.push_back({valueStart + 1, complete ? m_pos - 1 : m_text.size()});
                else if (m_pos > valueStart || !complete)
                    m_spans.push_back({valueStart, complete ? m_pos : m_text.size()});
            }
            if (!complete)
                return false;
            SkipSpace();
            if (!Take(','))
                return TakeAfterSpace('}');
        }
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
    std::vector<Span> m_spans;
};

// The longest prefix of at most maxBytes that does not end inside a UTF-8 sequence.
std::string_view ShownPart(std::string_view line, std::size_t maxBytes) {
    if (line.size() <= maxBytes)
        return line;
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
        --cut;
    return line.substr(0, cut);
}

} // namespace

std::string MaskedJobLine(std::string_view line, std::size_t maxBytes) {
    const std::string_view shown = ShownPart(line, maxBytes);
    const std::vector<Scanner::Span> spans = Scanner(shown).PasswordSpans();
    if (spans.empty())
        return std::string(shown);
    std::string masked;
    masked.reserve(shown.size() + spans.size() * kMask.size());
    std::size_t from = 0;
    for (const Scanner::Span& span : spans) {
        masked.append(shown.substr(from, span.begin - from));
        masked.append(kMask);
        from = span.end;
    }
    masked.append(shown.substr(from));
    return masked;
}

} // namespace ct
