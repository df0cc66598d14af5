#include "batch/BatchLineText.h"

#include <algorithm>

#include "platform/fs/FileText.h"

namespace ct::batchtext {

bool StartsWithBom(std::string_view bytes) {
    return bytes.substr(0, Utf8Bom.size()) == Utf8Bom;
}

std::string_view OwnAsLine(std::string_view own) {
    if (!own.empty() && own.back() == '\r')
        own.remove_suffix(1);
    return own;
}

std::string_view WithoutMarks(std::string_view line) {
    while (StartsWithBom(line))
        line.remove_prefix(Utf8Bom.size());
    return line;
}

std::string DecodeBytes(std::string_view bytes, bool marked) {
    if (!marked && !FileTextIsUtf8())
        return FileTextToUtf8(bytes);
    return std::string(bytes);
}

std::string LineText(std::string_view raw, bool fileMarked) {
    return DecodeBytes(WithoutMarks(raw), fileMarked || StartsWithBom(raw));
}

std::string DecodeText(std::string_view bytes) {
    const bool fileMarked = StartsWithBom(bytes);
    if (bytes.find("\n\xEF\xBB\xBF") == std::string_view::npos)
        return DecodeBytes(WithoutMarks(bytes), fileMarked);
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t end = std::min(bytes.find('\n', at), bytes.size());
        text += LineText(bytes.substr(at, end - at), fileMarked);
        if (end < bytes.size())
            text += '\n';
        at = end + 1;
    }
    return text;
}

std::string EncodeFileText(const std::string& text) {
    return Utf8ToFileText(text);
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
        if (end == std::string_view::npos)
            end = text.size();
        std::size_t stop = end;
        if (stop > start && text[stop - 1] == '\r')
            --stop;
        lines.emplace_back(WithoutMarks(text.substr(start, stop - start)));
        start = next;
    }
    return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::size_t size = 0;
    for (const auto& line : lines)
        size += line.size() + 2;
    std::string text;
    text.reserve(size);
    for (const auto& line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

std::vector<std::string> LinesOf(std::string_view bytes) {
    return SplitLines(DecodeText(bytes));
}

bool HasJob(const std::vector<std::string>& lines) {
    return std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return !l.empty(); });
}

bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    auto it = std::search(text.begin(), text.end(), part.begin(), part.end(),
                          [&](char a, char b) { return lower(a) == lower(b); });
    return it != text.end() || part.empty();
}

bool IsBlankLines(std::string_view bytes) {
    return bytes.find_first_not_of("\r\n") == std::string_view::npos;
}

std::string Capped(std::string_view line) {
    return std::string(line.substr(0, kLineCap));
}

} // namespace ct::batchtext
