#include "batch/BatchFileStore.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <string_view>

#include "platform/fs/FileSystem.h"
#include "platform/fs/GuardedRewrite.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace ct {

namespace fs = std::filesystem;

// Text at the file boundary. Lines in memory are UTF-8. On Linux the file's bytes are UTF-8
// as they stand; on Windows they are the ANSI code page unless the file starts with a UTF-8
// byte-order mark. A leading UTF-8 mark is never part of line 1: it is dropped when the file
// is read, and a rewrite does not write it back (every writer of the queue writes the
// platform's 8-bit text without a mark).
namespace {

constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";

#ifdef _WIN32
std::string Convert(const std::string& bytes, UINT from, UINT to) {
    if (bytes.empty())
        return bytes;
    int wide = MultiByteToWideChar(from, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(from, 0, bytes.data(), static_cast<int>(bytes.size()), w.data(), wide);
    int narrow = WideCharToMultiByte(to, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(narrow), '\0');
    WideCharToMultiByte(to, 0, w.data(), wide, out.data(), narrow, nullptr, nullptr);
    return out;
}
#endif

// The file's bytes as UTF-8 text without a byte-order mark.
std::string DecodeFileText(std::string bytes) {
    if (bytes.compare(0, Utf8Bom.size(), Utf8Bom) == 0)
        return bytes.substr(Utf8Bom.size());
#ifdef _WIN32
    return Convert(bytes, CP_ACP, CP_UTF8);
#else
    return bytes;
#endif
}

std::string EncodeFileText(const std::string& text) {
#ifdef _WIN32
    return Convert(text, CP_UTF8, CP_ACP);
#else
    return text;
#endif
}

// CR LF and a lone LF end a line; so does the end of the file after a last line without one.
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
        lines.emplace_back(text.substr(start, stop - start));
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

std::vector<std::string> LinesOf(const std::string& bytes) {
    return SplitLines(DecodeFileText(bytes));
}

RewritePlan ReplaceWith(const std::vector<std::string>& lines) {
    return RewritePlan::Replace(EncodeFileText(JoinLines(lines)));
}

bool HasJob(const std::vector<std::string>& lines) {
    return std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return !l.empty(); });
}

// Letters compared without regard to case. Only ASCII letters fold: the worker searches with
// the job line's own text, so other letters always come in the same case on both sides.
bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    auto it = std::search(text.begin(), text.end(), part.begin(), part.end(),
                          [&](char a, char b) { return lower(a) == lower(b); });
    return it != text.end() || part.empty();
}

struct Head {
    bool present = false;
    std::string firstLine;
    bool hasJob = false; // some line (line 1 or later) is not empty
};

// Reads only as far as the first non-empty line: the worker asks for line 1 before every
// job, and a long queue must not cost a whole read each time.
Head ReadHead(const fs::path& file) {
    Head head;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (!FileExists(file))
            return head;
        throw BatchFileError("cannot open the batch file " + file.string() + ": " + std::strerror(errno));
    }
    head.present = true;
    std::string buffer;
    std::size_t scanned = 0;
    bool first = true;
    bool bomChecked = false;
    char chunk[16384];
    for (;;) {
        in.read(chunk, sizeof chunk);
        buffer.append(chunk, static_cast<std::size_t>(in.gcount()));
        const bool atEnd = in.eof();
        if (!atEnd && in.fail())
            throw BatchFileError("cannot read the batch file " + file.string());
        if (!bomChecked && (buffer.size() >= Utf8Bom.size() || atEnd)) {
            bomChecked = true;
            if (buffer.compare(0, Utf8Bom.size(), Utf8Bom) == 0)
                scanned = Utf8Bom.size();
        }
        if (!bomChecked)
            continue;
        for (;;) {
            std::size_t end = buffer.find('\n', scanned);
            if (end == std::string::npos && !(atEnd && scanned < buffer.size()))
                break;
            if (end == std::string::npos)
                end = buffer.size();
            std::string line = buffer.substr(scanned, end - scanned);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            scanned = end + 1;
            if (first) {
                head.firstLine = DecodeFileText(line);
                first = false;
            }
            if (!line.empty()) {
                head.hasJob = true;
                return head;
            }
        }
        if (atEnd)
            return head;
    }
}

} // namespace

fs::path BatchFilePath() {
    return ExecutableDir() / "cloud_batch.txt";
}

std::string ReadFirstBatchLine(const fs::path& file) {
    Head head = ReadHead(file);
    if (head.present && !head.firstLine.empty())
        return head.firstLine;
    // Before the queue is reported empty, lines that reached a replaced version of the file
    // late must be in it.
    if (SettleLateWriters(file).carriedBytes > 0)
        head = ReadHead(file);
    if (!head.present || !head.firstLine.empty())
        return head.firstLine;

    // Line 1 is empty: either the queue is exhausted (the file goes) or empty lines stand in
    // front of jobs (they go, so that the queue does not stall on them). Decided again under
    // the lock, on what the file holds by then.
    std::string result;
    RewriteReport report = RewriteFileGuarded(file, [&](const std::optional<std::string>& current) {
        result.clear();
        if (!current)
            return RewritePlan::Keep();
        std::vector<std::string> lines = LinesOf(*current);
        if (!HasJob(lines))
            return RewritePlan::Delete();
        if (!lines.front().empty()) {
            result = lines.front();
            return RewritePlan::Keep();
        }
        lines.erase(lines.begin(), std::find_if(lines.begin(), lines.end(),
                                                [](const std::string& l) { return !l.empty(); }));
        result = lines.front();
        return ReplaceWith(lines);
    });
    if (result.empty() && report.changed && SettleLateWriters(file).carriedBytes > 0) {
        // A producer added jobs while the exhausted file was being removed: they are the queue now.
        Head again = ReadHead(file);
        if (!again.firstLine.empty())
            return again.firstLine;
    }
    return result;
}

bool UpdateBatchFile(const fs::path& file, const std::string& search, const std::string& replacement,
                     const std::string& jobLine) {
    // Checked before the lock so that a vanished queue leaves the folder as it was.
    if (!FileExists(file))
        throw BatchFileError("the batch file " + file.string() + " does not exist");
    bool hit = false;
    RewriteFileGuarded(file, [&](const std::optional<std::string>& current) {
        hit = false;
        if (!current)
            throw BatchFileError("the batch file " + file.string() + " does not exist");
        std::vector<std::string> lines = LinesOf(*current);
        if (search.empty()) {
            if (lines.empty())
                throw BatchFileError("the batch file " + file.string() + " holds no line to remove");
            // The job's own line, wherever the file's changes have put it; never another job.
            auto own = lines.begin();
            if (!jobLine.empty() && lines.front() != jobLine)
                own = std::find(lines.begin(), lines.end(), jobLine);
            if (own != lines.end())
                lines.erase(own);
        } else {
            auto found = std::find_if(lines.begin(), lines.end(),
                                      [&](const std::string& l) { return ContainsIgnoringCase(l, search); });
            if (found != lines.end()) {
                lines.erase(found);
                lines.push_back(replacement.empty() ? search : replacement);
                hit = true;
            }
        }
        return ReplaceWith(lines);
    });
    return hit;
}

BatchLines ReadAllBatchLines(const fs::path& file) {
    BatchLines result;
    std::optional<std::string> bytes;
    try {
        SettleLateWriters(file);
        bytes = ReadFileIfExists(file);
    } catch (const FileSystemError& e) {
        throw BatchFileError(e.what());
    }
    if (!bytes)
        return result;
    result.present = true;
    result.lines = LinesOf(*bytes);
    if (result.lines.empty()) {
        RewriteFileGuarded(file, [](const std::optional<std::string>& current) {
            if (current && LinesOf(*current).empty())
                return RewritePlan::Delete();
            return RewritePlan::Keep();
        });
    }
    return result;
}

void SaveBatchLines(const fs::path& file, const std::vector<std::string>& lines) {
    if (lines.empty()) {
        if (!FileExists(file))
            return;
        RewriteFileGuarded(file, [](const std::optional<std::string>& current) {
            return current ? RewritePlan::Delete() : RewritePlan::Keep();
        });
        return;
    }
    const RewritePlan plan = ReplaceWith(lines);
    RewriteFileGuarded(file, [&](const std::optional<std::string>&) { return plan; });
}

void ApplyBatchDeletions(const fs::path& file, const std::vector<std::string>& deleted) {
    if (!FileExists(file))
        return;
    RewriteFileGuarded(file, [&](const std::optional<std::string>& current) {
        if (!current)
            return RewritePlan::Keep();
        std::vector<std::string> lines = LinesOf(*current);
        for (const auto& gone : deleted) {
            auto it = std::find(lines.begin(), lines.end(), gone);
            if (it != lines.end())
                lines.erase(it);
        }
        if (lines.empty())
            return RewritePlan::Delete();
        return ReplaceWith(lines);
    });
}

// First versions of the wider store operations; simple and whole-file where a faster form
// is possible.

fs::path DeadLetterPathFor(const fs::path& file) {
    return file.parent_path() / "cloud_batch.failed.txt";
}

void AppendDeadLetter(const fs::path& file, const std::string& line) {
    const fs::path dead = DeadLetterPathFor(file);
    RewriteFileGuarded(dead, [&](const std::optional<std::string>& current) {
        std::string bytes = current.value_or(std::string());
        if (!bytes.empty() && bytes.back() != '\n')
            bytes += "\r\n";
        bytes += EncodeFileText(line) + "\r\n";
        return RewritePlan::Replace(std::move(bytes));
    });
}

void CheckBatchFileWritable(const fs::path&) {}

std::optional<std::string> FindFirstBatchLine(const fs::path& file, const std::function<bool(const std::string&)>& accept) {
    BatchLines all = ReadAllBatchLines(file);
    for (const auto& line : all.lines)
        if (!line.empty() && accept(line))
            return line;
    return std::nullopt;
}

void SettleBatchFile(const fs::path& file) {
    SettleLateWriters(file);
}

void SettleAllBatchFiles() {
    SettleAllLateWriters();
}

std::string_view BatchText::Line(std::size_t i) const {
    const std::size_t start = lineStarts[i];
    std::size_t end = i + 1 < lineStarts.size() ? lineStarts[i + 1] : text.size();
    if (end > start && text[end - 1] == '\n')
        --end;
    if (end > start && text[end - 1] == '\r')
        --end;
    return std::string_view(text).substr(start, end - start);
}

BatchText ReadBatchText(const fs::path& file) {
    BatchText result;
    BatchLines all = ReadAllBatchLines(file);
    result.present = all.present;
    for (const auto& line : all.lines) {
        result.lineStarts.push_back(result.text.size());
        result.text += line;
        result.text += "\r\n";
    }
    return result;
}

std::optional<std::vector<std::string>> ReadBatchLinesAfter(const fs::path&, BatchFileMark&) {
    return std::nullopt;
}

std::optional<std::vector<BatchFileEdit>> BatchFileEditsSince(const fs::path&, const BatchFileMark&) {
    return std::nullopt;
}

} // namespace ct
