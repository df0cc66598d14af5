#include "batch/BatchFileStore.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>

#include "batch/BatchFileJournal.h"
#include "platform/fs/FileSystem.h"
#include "platform/fs/GuardedRewrite.h"
#include "platform/fs/ReadOnlyFile.h"
#include "platform/json/SuperObject.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ct {

namespace fs = std::filesystem;
namespace journal = batchjournal;

// Text at the file boundary. Lines in memory are UTF-8. On Linux the file's bytes are UTF-8
// as they stand; on Windows they are the ANSI code page unless the file starts with a UTF-8
// byte-order mark. A mark at the very start is the file's; one in front of a later line is
// that line's own (a producer appended a file an editor saved with one) and says that line is
// UTF-8. Either way a mark is never part of a line's text: every reader drops it, every
// comparison is made without it, and what the store writes of its own has none. So the line a
// reader hands out is the line a rewrite finds again, wherever the line stands by then.
namespace {

constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";
// What a reader takes of a line at most: a longer line is no job, and the worker only needs to
// see that it is too long.
constexpr std::size_t kLineCap = kMaxJobLineBytes + 1;
// Lines producers appended since a reader last looked are kept in the journal up to this size;
// beyond it the reader reads the file whole, which costs no more than reading them.
constexpr std::int64_t kMaxJournalAppend = 1 << 20;
// How long a settle waits for producers still writing to a replaced version. Their lines are
// safe on disk either way; waiting only brings them into this run.
constexpr std::chrono::milliseconds kSettleWait{2000};

#ifdef _WIN32
std::string Convert(std::string_view bytes, UINT from, UINT to) {
    if (bytes.empty())
        return {};
    int wide = MultiByteToWideChar(from, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(from, 0, bytes.data(), static_cast<int>(bytes.size()), w.data(), wide);
    int narrow = WideCharToMultiByte(to, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(narrow), '\0');
    WideCharToMultiByte(to, 0, w.data(), wide, out.data(), narrow, nullptr, nullptr);
    return out;
}
#endif

bool StartsWithBom(std::string_view bytes) {
    return bytes.substr(0, Utf8Bom.size()) == Utf8Bom;
}

// An unfinished last line as the readers report it: a CR at its end may be the first half of
// its line end, and is no part of the line.
std::string_view OwnAsLine(std::string_view own) {
    if (!own.empty() && own.back() == '\r')
        own.remove_suffix(1);
    return own;
}

// A line's bytes without the marks in front of them.
std::string_view WithoutMarks(std::string_view line) {
    while (StartsWithBom(line))
        line.remove_prefix(Utf8Bom.size());
    return line;
}

// Bytes of a file that had (or had not) a byte-order mark, as UTF-8 text.
std::string DecodeBytes(std::string_view bytes, [[maybe_unused]] bool marked) {
#ifdef _WIN32
    if (!marked)
        return Convert(bytes, CP_ACP, CP_UTF8);
#endif
    return std::string(bytes);
}

// One line's bytes (without its line end) as text: its own mark, like the file's, says UTF-8.
std::string LineText(std::string_view raw, bool fileMarked) {
    return DecodeBytes(WithoutMarks(raw), fileMarked || StartsWithBom(raw));
}

// Bytes of a file as UTF-8 text with no mark in front of any line; line ends stay as they are.
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
#ifdef _WIN32
    return Convert(text, CP_UTF8, CP_ACP);
#else
    return text;
#endif
}

// CR LF and a lone LF end a line; so does the end of the text after a last line without one.
// Marks in front of a line are dropped.
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

// Letters compared without regard to case. Only ASCII letters fold: the worker searches with
// the job line's own text, so other letters always come in the same case on both sides.
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

// Failures of the layers below, as the store's own errors with a readable reason.
// Every operation works on the file the queue's name stands for when it starts: a queue that is
// a symbolic link stays one, and its target is read, locked and rewritten in its own folder.
template <typename Body>
auto Guarded(const fs::path& file, Body&& body) -> decltype(body(file)) {
    fs::path target = file;
    try {
        target = RewriteTargetOf(file);
        return body(target);
    } catch (const BatchFileError&) {
        throw;
    } catch (const FileLockTimeout&) {
        throw BatchFileError("the queue is locked by another process: " + LockFilePathFor(target).string() +
                             " stayed locked for more than " +
                             std::to_string((RewriteLockWait().count() + 999) / 1000) + " s");
    } catch (const NotARegularFileError& e) {
        throw BatchFileError(std::string("refused: ") + e.what());
    } catch (const FileSystemError& e) {
        throw BatchFileError(e.what());
    }
}

// The lines of a version from its start, each cut at the job-line cap plus one byte, holding
// no more than a chunk and one capped line in memory: a 1 GB line costs a bounded read.
class CappedLines {
public:
    explicit CappedLines(const ReadOnlyFile& file) : m_file(file) {}

    // False when no line is left. `complete`: the line had a line end.
    bool Next(std::string& line, bool& complete) {
        line.clear();
        std::size_t raw = 0;
        const bool lineMarked = SkipMarks();
        if (m_first) {
            m_first = false;
            m_marked = lineMarked;
        }
        m_lineMarked = lineMarked;
        for (;;) {
            const std::size_t end = m_buffer.find('\n', m_pos);
            const std::size_t stop = end == std::string::npos ? m_buffer.size() : end;
            raw += stop - m_pos;
            if (line.size() < kLineCap)
                line.append(m_buffer, m_pos, std::min(stop - m_pos, kLineCap - line.size()));
            if (end != std::string::npos) {
                m_pos = end + 1;
                complete = true;
                return Finish(line, raw);
            }
            m_buffer.clear();
            m_pos = 0;
            if (!Fill()) {
                complete = false;
                if (raw == 0)
                    return false;
                return Finish(line, raw);
            }
        }
    }

private:
    // Steps over the marks in front of the line that starts at m_pos; true when there were any.
    bool SkipMarks() {
        bool marked = false;
        for (;;) {
            if (m_buffer.size() - m_pos < Utf8Bom.size()) {
                m_buffer.erase(0, m_pos);
                m_pos = 0;
                while (m_buffer.size() < Utf8Bom.size() && Fill()) {
                }
            }
            if (!StartsWithBom(std::string_view(m_buffer).substr(m_pos)))
                return marked;
            m_pos += Utf8Bom.size();
            marked = true;
        }
    }
    bool Fill() {
        char chunk[65536];
        const std::size_t got = m_file.ReadInto(m_offset, chunk, sizeof chunk);
        m_offset += static_cast<std::int64_t>(got);
        m_buffer.append(chunk, got);
        return got > 0;
    }
    bool Finish(std::string& line, std::size_t raw) {
        if (raw <= kLineCap && !line.empty() && line.back() == '\r')
            line.pop_back();
        line = DecodeBytes(line, m_marked || m_lineMarked);
        return true;
    }

    const ReadOnlyFile& m_file;
    std::int64_t m_offset = 0;
    std::string m_buffer;
    std::size_t m_pos = 0;
    bool m_first = true;
    bool m_marked = false;     // the file's mark
    bool m_lineMarked = false; // the line's own
};

// The complete lines of [from, end) of a version, read in growing chunks: finding line 1 of
// a long queue reads a few kilobytes, not the file.
class LineReader {
public:
    LineReader(const ReadOnlyFile& file, std::int64_t from, std::int64_t end)
        : m_file(file), m_bufferStart(from), m_offset(from), m_end(end) {}

    // The next line: where it starts, where the next one starts, its text without the line end
    // (valid until the next call). False after the last line.
    bool Next(std::int64_t& start, std::int64_t& next, std::string_view& text) {
        for (;;) {
            const std::size_t end = m_buffer.find('\n', m_pos);
            if (end != std::string::npos) {
                start = m_bufferStart + static_cast<std::int64_t>(m_pos);
                next = m_bufferStart + static_cast<std::int64_t>(end) + 1;
                std::size_t stop = end;
                if (stop > m_pos && m_buffer[stop - 1] == '\r')
                    --stop;
                text = std::string_view(m_buffer).substr(m_pos, stop - m_pos);
                m_pos = end + 1;
                return true;
            }
            if (m_offset >= m_end)
                return false;
            m_buffer.erase(0, m_pos);
            m_bufferStart += static_cast<std::int64_t>(m_pos);
            m_pos = 0;
            const std::int64_t chunk = std::min(m_end - m_offset, m_chunk);
            const std::string more = m_file.Read(m_offset, chunk);
            if (more.empty())
                return false;
            m_buffer += more;
            m_offset += static_cast<std::int64_t>(more.size());
            m_chunk = std::min<std::int64_t>(m_chunk * 4, 1 << 20);
        }
    }

private:
    const ReadOnlyFile& m_file;
    std::int64_t m_bufferStart;
    std::int64_t m_offset;
    std::int64_t m_end;
    std::int64_t m_chunk = 16384;
    std::string m_buffer;
    std::size_t m_pos = 0;
};

// What a rewrite found of the current version.
struct Layout {
    std::uint64_t generation = 0;
    std::int64_t size = 0;
    std::int64_t end = 0;      // its complete lines end here
    bool clean = false;        // CR LF after every complete line, no byte-order mark
    std::string own;           // its unterminated last line, as bytes
    std::int64_t readFrom = 0; // `tail` holds its bytes from here to `size`
    std::string tail;
    std::int64_t appendBase = -1;
    std::vector<journal::AppendedLine> appended; // lines added since this process last knew it
};

// Looks at as little of the version as it can: the bytes past where this process last found it
// clean (producers' appends since), or all of it the first time.
Layout Examine(const fs::path& path, const RewriteSource& source) {
    Layout layout;
    layout.size = source.size;
    layout.generation = journal::Identify(path, *source.file);
    const std::int64_t clean = std::min(journal::KnownCleanUpTo(source.identity, layout.generation), layout.size);
    const std::int64_t base = journal::AppendBase(source.identity, layout.generation);
    std::int64_t from = clean;
    if (base >= 0 && base < from && from - base <= kMaxJournalAppend)
        from = base;
    layout.readFrom = from;
    layout.tail = source.Read(from, layout.size - from);
    const std::size_t lastEnd = layout.tail.rfind('\n');
    layout.end = lastEnd == std::string::npos ? from : from + static_cast<std::int64_t>(lastEnd) + 1;
    layout.own = layout.tail.substr(static_cast<std::size_t>(layout.end - from));
    if (layout.end == 0 && StartsWithBom(layout.own))
        layout.own.erase(0, Utf8Bom.size()); // a mark is no line, and a rewrite drops it

    bool ok = !(clean == 0 && StartsWithBom(layout.tail));
    const char* data = layout.tail.data();
    const std::size_t checkFrom = static_cast<std::size_t>(clean - from);
    const std::size_t checkEnd = static_cast<std::size_t>(layout.end - from);
    for (std::size_t i = checkFrom; ok && i < checkEnd;) {
        const void* hit = std::memchr(data + i, '\n', checkEnd - i);
        if (!hit)
            break;
        const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - data);
        ok = at > 0 && data[at - 1] == '\r';
        i = at + 1;
    }
    layout.clean = ok;
    if (ok)
        journal::NoteClean(source.identity, layout.generation, layout.end);

    if (base >= 0 && base >= from && base < layout.end && layout.end - base <= kMaxJournalAppend) {
        layout.appendBase = base;
        std::size_t at = static_cast<std::size_t>(base - from);
        const bool marked = StartsWithBom(layout.tail) && from == 0;
        while (at < checkEnd) {
            const std::size_t end = layout.tail.find('\n', at);
            std::size_t stop = end;
            if (stop > at && layout.tail[stop - 1] == '\r')
                --stop;
            layout.appended.push_back({from + static_cast<std::int64_t>(at),
                                       LineText(std::string_view(layout.tail).substr(at, stop - at), marked)});
            at = end + 1;
        }
    }
    return layout;
}

// One rewrite of the queue by the store: the planner for the guarded rewrite, and what it
// records of the change once it is in place.
class StoreRewrite {
public:
    enum class Kind {
        RemoveOwn,         // the worker's head removal
        Move,              // the worker's requeue of a failed job at the tail
        DropLeadingEmpty,  // empty lines in front of the first job (the file goes without a job)
        KeepAll,           // nothing of its own: only late lines come in
        Deletions,         // "Salva": lines the user deleted
        Save,              // the whole list replaced
        DeleteIfNoLine,    // a file without a single line goes
    };

    StoreRewrite(fs::path file, Kind kind) : m_file(std::move(file)), m_kind(kind) {}

    std::string search;
    std::string replacement;
    std::string jobLine;
    std::vector<std::string> lines;  // Deletions: the deleted entries; Save: the new list

    bool hit = false;                // Move: a line was taken out and appended
    std::string firstJob;            // DropLeadingEmpty: the first job now

    SourcePlanner Planner() {
        return [this](const RewriteSource& source) { return Plan(source); };
    }
    RewriteOptions Options(RewriteOptions options = {}) {
        options.committed = [this](const RewriteReport& report) { Record(report); };
        return options;
    }

private:
    struct Change {
        bool journal = false;
        BatchFileMark before;
        std::vector<std::size_t> removed;
        std::vector<std::string> appended;
        std::int64_t afterEnd = 0;
        BatchFileMark appendFrom;
        std::vector<journal::AppendedLine> producerLines;
    };

    RewritePlan Plan(const RewriteSource& source);
    RewritePlan PlanChange(const RewriteSource& source);
    RewritePlan PlanWithoutFile(const RewriteSource& source, std::vector<std::string> late);
#ifndef _WIN32
    std::optional<RewritePlan> PlanByRanges(const RewriteSource& source, const Layout& layout,
                                            const std::vector<std::string>& late);
#endif
    RewritePlan PlanInMemory(const RewriteSource& source, const Layout& layout, const std::vector<std::string>& late);
    void Record(const RewriteReport& report);

    // The bytes after the kept lines: late lines, the lines this rewrite adds, the ending.
    std::string Tail(const RewriteSource& source, const std::vector<std::string>& late, std::vector<std::string> added,
                     std::string own, std::size_t& unterminated);

    fs::path m_file;
    Kind m_kind;
    Change m_change;
    bool m_planned = false;
};

std::string StoreRewrite::Tail(const RewriteSource& source, const std::vector<std::string>& late,
                               std::vector<std::string> added, std::string own, std::size_t& unterminated) {
    LateEnding ending = ComposeLateEnding(std::move(own), source);
    const std::vector<std::string> endingLines = SplitLines(ending.complete);
    for (const auto& l : late)
        m_change.appended.push_back(l);
    for (auto& l : added) {
        l = std::string(WithoutMarks(l)); // a line of ours would otherwise read back otherwise
        m_change.appended.push_back(l);
    }
    for (const auto& l : endingLines)
        m_change.appended.push_back(l);
    unterminated = ending.last.size();
    return JoinLines(late) + EncodeFileText(JoinLines(added)) + JoinLines(endingLines) + ending.last;
}

RewritePlan StoreRewrite::Plan(const RewriteSource& source) {
    RewritePlan plan = PlanChange(source);
    // A kept version that late lines arrive for is merged by the layer below, the generic way:
    // nothing of it is ours to journal.
    m_planned = plan.action != RewritePlan::Action::Keep;
    return plan;
}

RewritePlan StoreRewrite::PlanChange(const RewriteSource& source) {
    m_change = {};
    hit = false;
    firstJob.clear();
    std::vector<std::string> late = SplitLines(source.late);
    if (!source.Present())
        return PlanWithoutFile(source, std::move(late));

    const Layout layout = Examine(m_file, source);
    m_change.journal = m_kind != Kind::Save;
    m_change.before = {source.identity.device, source.identity.inode, layout.end, layout.generation};
    if (!layout.appended.empty()) {
        m_change.appendFrom = {source.identity.device, source.identity.inode, layout.appendBase, layout.generation};
        m_change.producerLines = layout.appended;
    }
#ifndef _WIN32
    if (layout.clean) {
        if (std::optional<RewritePlan> plan = PlanByRanges(source, layout, late))
            return std::move(*plan);
    }
#endif
    return PlanInMemory(source, layout, late);
}

RewritePlan StoreRewrite::PlanWithoutFile(const RewriteSource& source, std::vector<std::string> late) {
    if (m_kind == Kind::RemoveOwn || m_kind == Kind::Move)
        throw BatchFileError("the batch file " + m_file.string() + " does not exist");
    m_change.journal = m_kind != Kind::Save;
    m_change.before = BatchFileMark{};
    std::vector<std::string> added;
    if (m_kind == Kind::Save)
        added = lines;
    std::size_t unterminated = 0;
    const std::string bytes = Tail(source, late, added, {}, unterminated);
    if (bytes.empty() || (m_kind != Kind::Save && IsBlankLines(bytes)))
        return RewritePlan::Keep();
    if (m_kind == Kind::DropLeadingEmpty && firstJob.empty()) {
        const std::vector<std::string> all = SplitLines(bytes);
        auto job = std::find_if(all.begin(), all.end(), [](const std::string& l) { return !l.empty(); });
        if (job != all.end())
            firstJob = Capped(*job);
    }
    m_change.afterEnd = static_cast<std::int64_t>(bytes.size() - unterminated);
    return RewritePlan::Replace(bytes);
}

#ifndef _WIN32
// Lines that are already CR LF throughout: the new version is ranges of the old one (copied by
// the kernel) plus a few bytes of its own. nullopt: let the in-memory way decide.
std::optional<RewritePlan> StoreRewrite::PlanByRanges(const RewriteSource& source, const Layout& layout,
                                                      const std::vector<std::string>& late) {
    // An unterminated last line whose writer still holds the file is left to the old version:
    // it comes over whole, with the rest of it, once its writer is done.
    const bool keepOwn = !source.writersActive;
    std::string own = keepOwn ? layout.own : std::string();
    std::int64_t accounted = keepOwn ? layout.size : layout.end;
    std::int64_t cutFrom = 0;
    std::int64_t cutTo = 0;
    bool ownGoes = false;
    std::vector<std::string> added;

    LineReader reader(*source.file, 0, layout.end);
    std::int64_t start = 0;
    std::int64_t next = 0;
    std::string_view text;
    // The version's own bytes are copied as they stand, marks and all; only the comparisons
    // look at a line's text.
    const std::string_view ownText = WithoutMarks(OwnAsLine(layout.own));
    switch (m_kind) {
    case Kind::RemoveOwn:
        if (reader.Next(start, next, text)) {
            if (jobLine.empty() || WithoutMarks(text) == jobLine) {
                cutFrom = start;
                cutTo = next;
                m_change.removed.push_back(0);
            } else {
                for (std::size_t index = 1; reader.Next(start, next, text); ++index) {
                    if (WithoutMarks(text) == jobLine) {
                        cutFrom = start;
                        cutTo = next;
                        m_change.removed.push_back(index);
                        break;
                    }
                }
                ownGoes = cutTo == 0 && !layout.own.empty() && ownText == jobLine;
            }
        } else {
            if (layout.own.empty())
                throw BatchFileError("the batch file " + m_file.string() + " holds no line to remove");
            ownGoes = jobLine.empty() || ownText == jobLine;
        }
        break;
    case Kind::Move:
        for (std::size_t index = 0; reader.Next(start, next, text); ++index) {
            if (ContainsIgnoringCase(WithoutMarks(text), search)) {
                cutFrom = start;
                cutTo = next;
                m_change.removed.push_back(index);
                break;
            }
        }
        ownGoes = cutTo == 0 && !layout.own.empty() && ContainsIgnoringCase(ownText, search);
        if (cutTo > 0 || ownGoes) {
            added.push_back(replacement.empty() ? search : replacement);
            hit = true;
        }
        break;
    case Kind::DropLeadingEmpty: {
        std::size_t empties = 0;
        while (reader.Next(start, next, text)) {
            if (!WithoutMarks(text).empty()) {
                firstJob = Capped(WithoutMarks(text));
                break;
            }
            ++empties;
        }
        if (firstJob.empty())
            return std::nullopt; // no whole job line: the in-memory way decides
        cutFrom = 0;
        cutTo = start;
        for (std::size_t i = 0; i < empties; ++i)
            m_change.removed.push_back(i);
        break;
    }
    case Kind::KeepAll:
        break;
    case Kind::Deletions:
    case Kind::Save:
    case Kind::DeleteIfNoLine:
        return std::nullopt;
    }

    if (ownGoes) {
        // The line the worker ran was the unterminated one.
        own.clear();
        accounted = layout.size;
    }
    if (cutTo == cutFrom && !ownGoes && added.empty() && !source.HasLate())
        return RewritePlan::Keep();

    std::vector<RewritePiece> pieces;
    if (cutFrom > 0)
        pieces.push_back(RewritePiece::Copy(0, cutFrom));
    if (layout.end > cutTo)
        pieces.push_back(RewritePiece::Copy(cutTo, layout.end - cutTo));
    std::size_t unterminated = 0;
    std::string tail = Tail(source, late, added, std::move(own), unterminated);
    const std::int64_t total = cutFrom + (layout.end - cutTo) + static_cast<std::int64_t>(tail.size());
    m_change.afterEnd = total - static_cast<std::int64_t>(unterminated);
    if (!tail.empty())
        pieces.push_back(RewritePiece::Bytes(std::move(tail)));
    return RewritePlan::Build(std::move(pieces), accounted);
}
#endif

// The general way: the version's lines in memory. Lines that do not all end in CR LF, a
// byte-order mark, the window's edits, and every rewrite on Windows (code page) come here.
RewritePlan StoreRewrite::PlanInMemory(const RewriteSource& source, const Layout& layout,
                                       const std::vector<std::string>& late) {
    const bool keepOwn = !source.writersActive;
    std::string own = keepOwn ? layout.own : std::string();
    std::int64_t accounted = keepOwn ? layout.size : layout.end;
    const std::string all = layout.readFrom == 0 ? layout.tail : source.Read(0, layout.size);
    std::vector<std::string> current = LinesOf(all.substr(0, static_cast<std::size_t>(layout.end)));
    const std::string ownText = LineText(OwnAsLine(layout.own), StartsWithBom(all));
    std::vector<bool> gone(current.size(), false);
    std::vector<std::string> added;
    bool ownGoes = false;
    bool deleteFile = false;

    auto take = [&](std::size_t index) {
        gone[index] = true;
        m_change.removed.push_back(index);
    };
    switch (m_kind) {
    case Kind::RemoveOwn: {
        if (current.empty() && layout.own.empty())
            throw BatchFileError("the batch file " + m_file.string() + " holds no line to remove");
        // The job's own line, wherever the file's changes have put it; never another job.
        if (!current.empty() && (jobLine.empty() || current.front() == jobLine)) {
            take(0);
        } else {
            auto it = std::find(current.begin(), current.end(), jobLine);
            if (it != current.end())
                take(static_cast<std::size_t>(it - current.begin()));
            else
                ownGoes = !layout.own.empty() && (jobLine.empty() || ownText == jobLine);
        }
        break;
    }
    case Kind::Move: {
        auto it = std::find_if(current.begin(), current.end(),
                               [&](const std::string& l) { return ContainsIgnoringCase(l, search); });
        if (it != current.end())
            take(static_cast<std::size_t>(it - current.begin()));
        else
            ownGoes = !layout.own.empty() && ContainsIgnoringCase(ownText, search);
        if (it != current.end() || ownGoes) {
            added.push_back(replacement.empty() ? search : replacement);
            hit = true;
        }
        break;
    }
    case Kind::DropLeadingEmpty: {
        // A line that is nothing but a mark reads as empty, and goes as well.
        std::size_t empties = 0;
        while (empties < current.size() && current[empties].empty())
            ++empties;
        const bool lateJob = HasJob(late) || HasJob({source.lateTail, source.lateContinuation});
        // An unfinished last line that holds nothing but a CR or a mark is an empty line too.
        const bool ownBlank = layout.own.empty() || (keepOwn && ownText.empty());
        if (empties == current.size() && ownBlank && !lateJob) {
            deleteFile = true;
            for (std::size_t i = 0; i < current.size(); ++i)
                take(i);
            break;
        }
        if (empties < current.size()) {
            firstJob = Capped(current[empties]);
        } else if (!layout.own.empty() && keepOwn) {
            firstJob = Capped(ownText);
        } else if (!lateJob) {
            return RewritePlan::Keep(); // the only job is still being written
        } else {
            const std::vector<std::string> lateLines = SplitLines(source.late + source.lateTail);
            auto job = std::find_if(lateLines.begin(), lateLines.end(), [](const std::string& l) { return !l.empty(); });
            if (job != lateLines.end())
                firstJob = Capped(*job);
        }
        for (std::size_t i = 0; i < empties; ++i)
            take(i);
        break;
    }
    case Kind::KeepAll:
        break;
    case Kind::Deletions:
        for (const auto& deleted : lines) {
            for (std::size_t i = 0; i < current.size(); ++i) {
                if (!gone[i] && current[i] == deleted) {
                    take(i);
                    break;
                }
            }
        }
        std::sort(m_change.removed.begin(), m_change.removed.end());
        deleteFile = std::all_of(gone.begin(), gone.end(), [](bool g) { return g; }) && own.empty();
        break;
    case Kind::Save:
        std::fill(gone.begin(), gone.end(), true);
        added = lines;
        deleteFile = lines.empty() && own.empty();
        break;
    case Kind::DeleteIfNoLine:
        if (!current.empty() || !layout.own.empty())
            return RewritePlan::Keep();
        deleteFile = true;
        break;
    }
    if (ownGoes) {
        own.clear();
        accounted = layout.size;
    }
    if (deleteFile && !source.HasLate()) {
        m_change.afterEnd = 0;
        RewritePlan plan = RewritePlan::Delete();
        plan.accounted = accounted;
        return plan;
    }

    std::vector<std::string> kept;
    kept.reserve(current.size());
    for (std::size_t i = 0; i < current.size(); ++i)
        if (!gone[i])
            kept.push_back(std::move(current[i]));
    std::string bytes = EncodeFileText(JoinLines(kept));
    std::size_t unterminated = 0;
    bytes += Tail(source, late, added, std::move(own), unterminated);
    // A version that is already exactly what the rewrite would write stays as it is.
    if (bytes.size() == static_cast<std::size_t>(accounted) && all.compare(0, bytes.size(), bytes) == 0 &&
        !source.HasLate()) {
        return RewritePlan::Keep();
    }
    m_change.afterEnd = static_cast<std::int64_t>(bytes.size() - unterminated);
    RewritePlan plan = RewritePlan::Replace(std::move(bytes));
    plan.accounted = accounted;
    return plan;
}

void StoreRewrite::Record(const RewriteReport& report) {
    if (!report.changed || !m_planned)
        return;
    BatchFileMark after;
    if (report.afterPresent) {
        const std::uint64_t generation =
            journal::NoteInstalled(m_file, report.after, report.afterPrefix, m_change.afterEnd);
        after = {report.after.device, report.after.inode, m_change.afterEnd, generation};
    }
    if (!m_change.journal)
        return;
    if (!m_change.producerLines.empty())
        journal::RecordAppend(m_file, m_change.appendFrom, std::move(m_change.producerLines), m_change.before);
    journal::RecordRewrite(m_file, {m_change.before, std::move(m_change.removed), std::move(m_change.appended), after});
}

// The first store operation of a process on a file carries over what a killed run left beside
// it. The GUI thread only tries (it never waits for a lock or a writer); it tries again at its
// next operation when it could not.
std::mutex g_carriedMutex;
std::set<std::string> g_carried;

void CarryLeftoversOnce(const fs::path& file, RewriteOptions::Patience patience) {
    {
        std::lock_guard<std::mutex> lock(g_carriedMutex);
        if (g_carried.count(file.string()))
            return;
    }
    StoreRewrite op(file, StoreRewrite::Kind::KeepAll);
    RewriteOptions options = op.Options();
    options.patience = patience;
    try {
        SettleLateWriters(file, kSettleWait, op.Planner(), options);
    } catch (const FileSystemError&) {
        // A reader must still read when the lock is busy or the folder takes no lock file.
        if (patience == RewriteOptions::Patience::NoWait)
            return;
        throw;
    }
    std::lock_guard<std::mutex> lock(g_carriedMutex);
    g_carried.insert(file.string());
}

// A file without a single line goes; a reader does it only when nobody else is busy with it.
void DeleteIfNoLine(const fs::path& file) {
    StoreRewrite op(file, StoreRewrite::Kind::DeleteIfNoLine);
    RewriteOptions options = op.Options();
    options.patience = RewriteOptions::Patience::NoWait;
    try {
        RewriteFileFromSource(file, op.Planner(), options);
    } catch (const FileLockTimeout&) {
    }
}

void RunRewrite(const fs::path& file, StoreRewrite& op, RewriteOptions options = {}) {
    RewriteFileFromSource(file, op.Planner(), op.Options(std::move(options)));
}

bool AnyLine(const std::string&) {
    return true;
}

enum class LineOneOnly { No, Yes };

// The first non-empty line of the queue that `accept` takes, read as a reader the rewrites
// wait for; with LineOneOnly::Yes only line 1 is looked at. None when no line is taken or there
// is no queue.
std::optional<std::string> FindLine(const fs::path& file, const std::function<bool(const std::string&)>& accept,
                                    LineOneOnly lineOneOnly) {
    RewriteReaderGuard reading;
    std::optional<ReadOnlyFile> queue = ReadOnlyFile::Open(file);
    if (!queue)
        return std::nullopt;
    CappedLines lines(*queue);
    std::string line;
    bool complete = false;
    while (lines.Next(line, complete)) {
        if (!line.empty() && accept(line))
            return line;
        if (lineOneOnly == LineOneOnly::Yes)
            break;
    }
    return std::nullopt;
}

} // namespace

fs::path BatchFilePath() {
    return ExecutableDir() / "cloud_batch.txt";
}

void SetBatchFileLockWait(std::chrono::milliseconds wait) {
    SetRewriteLockWait(wait);
}

std::string ReadFirstBatchLine(const fs::path& file) {
    return Guarded(file, [&](const fs::path& target) {
        CarryLeftoversOnce(target, RewriteOptions::Patience::Wait);
        if (std::optional<std::string> line = FindLine(target, AnyLine, LineOneOnly::Yes))
            return *line;
        // Line 1 is empty: either the queue is exhausted (the file goes) or empty lines stand in
        // front of jobs (they go, so that the queue does not stall on them). Decided under the
        // lock, on what the file holds by then, once producers late for a replaced version are
        // in: an exhausted queue must not hide their lines.
        StoreRewrite op(target, StoreRewrite::Kind::DropLeadingEmpty);
        RewriteOptions options;
        options.lateWriterWait = kSettleWait;
        RunRewrite(target, op, options);
        if (!op.firstJob.empty() || FileExists(target))
            return op.firstJob;
        // A producer may have opened the exhausted file just before it went.
        StoreRewrite carry(target, StoreRewrite::Kind::KeepAll);
        if (SettleLateWriters(target, kSettleWait, carry.Planner(), carry.Options()).carriedBytes == 0)
            return std::string();
        return FindLine(target, AnyLine, LineOneOnly::No).value_or(std::string());
    });
}

bool UpdateBatchFile(const fs::path& file, const std::string& search, const std::string& replacement,
                     const std::string& jobLine) {
    return Guarded(file, [&](const fs::path& target) {
        // Checked before the lock so that a vanished queue leaves the folder as it was.
        if (!FileExists(target))
            throw BatchFileError("the batch file " + target.string() + " does not exist");
        StoreRewrite op(target, search.empty() ? StoreRewrite::Kind::RemoveOwn : StoreRewrite::Kind::Move);
        op.search = search;
        op.replacement = replacement;
        op.jobLine = jobLine;
        RunRewrite(target, op);
        return op.hit;
    });
}

BatchLines ReadAllBatchLines(const fs::path& file) {
    return Guarded(file, [&](const fs::path& target) {
        CarryLeftoversOnce(target, RewriteOptions::Patience::NoWait);
        BatchLines result;
        {
            RewriteReaderGuard reading;
            std::optional<ReadOnlyFile> queue = ReadOnlyFile::Open(target);
            if (!queue)
                return result;
            result.present = true;
            result.lines = LinesOf(queue->ReadFrom(0));
        }
        if (result.lines.empty())
            DeleteIfNoLine(target);
        return result;
    });
}

void SaveBatchLines(const fs::path& file, const std::vector<std::string>& lines) {
    Guarded(file, [&](const fs::path& target) {
        if (lines.empty() && !FileExists(target))
            return;
        StoreRewrite op(target, StoreRewrite::Kind::Save);
        op.lines = lines;
        RunRewrite(target, op);
    });
}

void ApplyBatchDeletions(const fs::path& file, const std::vector<std::string>& deleted) {
    Guarded(file, [&](const fs::path& target) {
        if (!FileExists(target))
            return;
        StoreRewrite op(target, StoreRewrite::Kind::Deletions);
        op.lines = deleted;
        RunRewrite(target, op);
    });
}

fs::path DeadLetterPathFor(const fs::path& file) {
    return file.parent_path() / "cloud_batch.failed.txt";
}

void AppendDeadLetter(const fs::path& file, const std::string& line) {
    Guarded(file, [&](const fs::path& target) {
        RewriteLock lock(target, RewriteLockWait());
        const fs::path dead = DeadLetterPathFor(target);
        const std::string text = EncodeFileText(line) + "\r\n";
#ifdef _WIN32
        HANDLE h = CreateFileW(dead.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            throw BatchFileError("cannot open " + dead.string() + " (error " + std::to_string(GetLastError()) + ")");
        struct Closer {
            HANDLE h;
            ~Closer() { CloseHandle(h); }
        } closer{h};
        BY_HANDLE_FILE_INFORMATION info{};
        if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
            (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
            throw BatchFileError("refused: " + dead.string() + " is not a regular file");
        std::string bytes = text;
        LARGE_INTEGER size{};
        if (GetFileSizeEx(h, &size) && size.QuadPart > 0) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>((size.QuadPart - 1) & 0xffffffff);
            at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
            char last = '\n';
            DWORD got = 0;
            if (ReadFile(h, &last, 1, &got, &at) && got == 1 && last != '\n')
                bytes = "\r\n" + bytes;
        }
        DWORD wrote = 0;
        if (!WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr) ||
            static_cast<std::size_t>(wrote) != bytes.size())
            throw BatchFileError("cannot append to " + dead.string() + " (error " + std::to_string(GetLastError()) + ")");
#else
        // O_APPEND, never a rewrite: an earlier line cannot get lost. O_NOFOLLOW: a link planted
        // at the name would send the job line, password and all, wherever it points.
        const int fd = ::open(dead.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        if (fd < 0) {
            if (errno == ELOOP)
                throw BatchFileError("refused: the dead-letter file " + dead.string() + " is a symbolic link");
            throw BatchFileError("cannot open " + dead.string() + ": " + std::strerror(errno));
        }
        struct Closer {
            int fd;
            ~Closer() { ::close(fd); }
        } closer{fd};
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
            throw BatchFileError("refused: the dead-letter file " + dead.string() + " is not a regular file");
        std::string bytes = text;
        char last = '\n';
        if (st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
            bytes = "\r\n" + bytes; // whatever is there stays a line of its own
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                throw BatchFileError("cannot append to " + dead.string() + ": " + std::strerror(errno));
            done += static_cast<std::size_t>(n);
        }
#endif
    });
}

void CheckBatchFileWritable(const fs::path& file) {
    Guarded(file, [&](const fs::path& target) {
        const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
        if (std::optional<ReadOnlyFile> queue = ReadOnlyFile::Open(target)) {
#ifdef _WIN32
            HANDLE h = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h == INVALID_HANDLE_VALUE)
                throw BatchFileError("the queue " + target.string() + " is not writable (error " +
                                     std::to_string(GetLastError()) + ")");
            CloseHandle(h);
#else
            if (::access(target.c_str(), W_OK) != 0)
                throw BatchFileError("the queue " + target.string() + " is not writable: " + std::strerror(errno));
#endif
        }
        {
            std::optional<RewriteLock> lock;
            try {
                lock.emplace(target, RewriteLockWait());
            } catch (const FileLockTimeout&) {
                throw;
            } catch (const FileSystemError& e) {
                throw BatchFileError("the queue cannot be locked: " + std::string(e.what()));
            }
            // The rewrite's temporary file goes into the folder: it must take a new file.
            const fs::path probe = RewriteTempPathFor(target);
#ifdef _WIN32
            HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h == INVALID_HANDLE_VALUE)
                throw BatchFileError("the folder " + folder.string() + " does not take new files (error " +
                                     std::to_string(GetLastError()) + ")");
            CloseHandle(h);
            DeleteFileW(probe.c_str());
#else
            const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd < 0)
                throw BatchFileError("the folder " + folder.string() + " does not take new files: " + std::strerror(errno));
            ::close(fd);
            ::unlink(probe.c_str());
#endif
        }
        CarryLeftoversOnce(target, RewriteOptions::Patience::Wait);
    });
}

std::optional<std::string> FindFirstBatchLine(const fs::path& file, const std::function<bool(const std::string&)>& accept) {
    return Guarded(file, [&](const fs::path& target) { return FindLine(target, accept, LineOneOnly::No); });
}

void SettleBatchFile(const fs::path& file) {
    Guarded(file, [&](const fs::path& target) {
        StoreRewrite op(target, StoreRewrite::Kind::KeepAll);
        SettleLateWriters(target, kSettleWait, op.Planner(), op.Options());
        std::lock_guard<std::mutex> lock(g_carriedMutex);
        g_carried.insert(target.string());
    });
}

void SettleAllBatchFiles() {
    std::optional<BatchFileError> first;
    for (const auto& file : FilesWithLateWriters()) {
        try {
            SettleBatchFile(file);
        } catch (const BatchFileError& e) {
            if (!first)
                first = e;
        }
    }
    if (first)
        throw *first;
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
    return Guarded(file, [&](const fs::path& target) {
        CarryLeftoversOnce(target, RewriteOptions::Patience::NoWait);
        BatchText result;
        bool noLine = false;
        {
            RewriteReaderGuard reading;
            std::optional<ReadOnlyFile> queue = ReadOnlyFile::Open(target);
            if (!queue)
                return result;
            result.present = true;
            const std::int64_t size = queue->Size();
            const bool marked = StartsWithBom(queue->Read(0, static_cast<std::int64_t>(Utf8Bom.size())));
            const std::int64_t skip = marked ? static_cast<std::int64_t>(Utf8Bom.size()) : 0;
            std::string bytes = queue->Read(skip, size - skip);
            const std::size_t lastEnd = bytes.rfind('\n');
            const std::size_t complete = lastEnd == std::string::npos ? 0 : lastEnd + 1;
            noLine = bytes.empty();
            bytes.resize(complete);
            const FileIdentity id = queue->Identity();
            result.mark = {id.device, id.inode, complete == 0 ? 0 : skip + static_cast<std::int64_t>(complete),
                           journal::Identify(target, *queue)};
#ifndef _WIN32
            if (bytes.find("\n\xEF\xBB\xBF") == std::string::npos)
                result.text = std::move(bytes); // one buffer: the view keeps it, not a copy
            else
#endif
                result.text = DecodeText((marked ? std::string(Utf8Bom) : std::string()) + bytes);
            bytes = std::string();
            const char* data = result.text.data();
            const std::size_t n = result.text.size();
            result.lineStarts.reserve(n / 128 + 1);
            for (std::size_t at = 0; at < n;) {
                result.lineStarts.push_back(at);
                const void* hit = std::memchr(data + at, '\n', n - at);
                at = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - data) + 1 : n;
            }
            journal::NoteReaderMark(result.mark);
        }
        if (noLine)
            DeleteIfNoLine(target);
        return result;
    });
}

std::optional<std::vector<std::string>> ReadBatchLinesAfter(const fs::path& file, BatchFileMark& mark) {
    return Guarded(file, [&](const fs::path& target) -> std::optional<std::vector<std::string>> {
        RewriteReaderGuard reading;
        std::optional<ReadOnlyFile> queue = ReadOnlyFile::Open(target);
        if (!queue) {
            if (mark.size < 0)
                return std::vector<std::string>();
            return std::nullopt;
        }
        const FileIdentity id = queue->Identity();
        if (mark.size < 0 || id.device != mark.device || id.inode != mark.inode ||
            journal::Identify(target, *queue) != mark.generation)
            return std::nullopt;
        const std::int64_t size = queue->Size();
        if (size < mark.size)
            return std::nullopt;
        std::string bytes = queue->Read(mark.size, size - mark.size);
        const std::size_t lastEnd = bytes.rfind('\n');
        if (lastEnd == std::string::npos)
            return std::vector<std::string>();
        std::vector<std::string> lines = SplitLines(DecodeText(std::string_view(bytes).substr(0, lastEnd + 1)));
        mark.size += static_cast<std::int64_t>(lastEnd + 1);
        journal::NoteReaderMark(mark);
        return lines;
    });
}

std::optional<std::vector<BatchFileEdit>> BatchFileEditsSince(const fs::path& file, const BatchFileMark& mark) {
    return Guarded(file, [&](const fs::path& target) {
        BatchFileMark current;
        RewriteReaderGuard reading;
        if (std::optional<ReadOnlyFile> queue = ReadOnlyFile::Open(target)) {
            const FileIdentity id = queue->Identity();
            current = {id.device, id.inode, queue->Size(), journal::Identify(target, *queue)};
        }
        return journal::EditsSince(target, mark, current);
    });
}

} // namespace ct
