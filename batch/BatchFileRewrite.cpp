#include "batch/BatchFileRewrite.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "batch/BatchFileStore.h"
#include "batch/BatchLateLines.h"
#include "batch/BatchLineText.h"
#include "platform/fs/FileText.h"
#include "platform/fs/ReadOnlyFile.h"

namespace ct {

namespace fs = std::filesystem;
namespace journal = batchjournal;
using namespace batchtext;

namespace {

// Lines producers appended since a reader last looked are kept in the journal up to this size;
// beyond it the reader reads the file whole, which costs no more than reading them.
constexpr std::int64_t kMaxJournalAppend = 1 << 20;

} // namespace

namespace batchrewrite {

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

// The version's complete lines as the decision asks for them, in order and only as far as it
// needs: finding line 1 of a long queue reads a few kilobytes.
class LineIndex {
public:
    virtual ~LineIndex() = default;
    // Line i's text (no line end, no mark); false when the version has no line i.
    virtual bool At(std::size_t i, std::string_view& text) = 0;
    std::size_t Count() {
        std::string_view text;
        std::size_t n = 0;
        while (At(n, text))
            ++n;
        return n;
    }
};

// Over the version's bytes as they stand, keeping where each line lies for a plan of ranges.
class RangeLines : public LineIndex {
public:
    RangeLines(const ReadOnlyFile& file, std::int64_t end) : m_reader(file, 0, end) {}
    bool At(std::size_t i, std::string_view& text) override {
        while (m_lines.size() <= i) {
            Line line;
            std::string_view raw;
            if (!m_reader.Next(line.start, line.next, raw))
                return false;
            line.text = WithoutMarks(raw);
            m_lines.push_back(std::move(line));
        }
        text = m_lines[i].text;
        return true;
    }
    std::int64_t Start(std::size_t i) const { return m_lines[i].start; }
    std::int64_t Next(std::size_t i) const { return m_lines[i].next; }

private:
    struct Line {
        std::int64_t start = 0;
        std::int64_t next = 0;
        std::string text;
    };
    LineReader m_reader;
    std::vector<Line> m_lines;
};

// Over the version's lines as text.
class TextLines : public LineIndex {
public:
    explicit TextLines(const std::vector<std::string>& lines) : m_lines(lines) {}
    bool At(std::size_t i, std::string_view& text) override {
        if (i >= m_lines.size())
            return false;
        text = m_lines[i];
        return true;
    }

private:
    const std::vector<std::string>& m_lines;
};

} // namespace batchrewrite

using batchrewrite::Examine;
using batchrewrite::TextLines;

std::string StoreRewrite::Tail(const RewriteSource& source, const std::vector<std::string>& late,
                               std::vector<std::string> added, std::string own, std::size_t& unterminated) {
    LateEnding ending = ComposeLateEnding(std::move(own), LateTextOf(source));
    const std::vector<std::string> endingLines = SplitLines(ending.complete);
    for (const auto& l : late)
        m_change.appended.push_back(l);
    for (auto& l : added) {
        l = std::string(WithoutMarks(l)); // else it would read back otherwise
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
    moved = 0;
    firstJob.clear();
    std::vector<std::string> late = SplitLines(LateTextOf(source).lines);
    if (!source.Present())
        return PlanWithoutFile(source, std::move(late));

    const Layout layout = Examine(m_file, source);
    m_change.journal = m_kind != Kind::Save;
    m_change.before = {source.identity.device, source.identity.inode, layout.end, layout.generation};
    if (!layout.appended.empty()) {
        m_change.appendFrom = {source.identity.device, source.identity.inode, layout.appendBase, layout.generation};
        m_change.producerLines = layout.appended;
    }
    const bool hasOwn = !layout.own.empty();
    // Bytes compare with a job line only where the file's text is UTF-8 as it stands.
    if (FileTextIsUtf8() && layout.clean) {
        // CR LF throughout: the new version is ranges of the old one (copied by the kernel) plus
        // a few bytes of its own.
        RangeLines index(*source.file, layout.end);
        const std::string ownText(WithoutMarks(OwnAsLine(layout.own)));
        const Decision decision = Decide(index, ownText, hasOwn, source, late);
        return ByRanges(decision, index, layout, source, late);
    }
    // Lines that do not all end in CR LF, a byte-order mark at the start, and every rewrite on
    // Windows (code page) go through text.
    const std::string all = layout.readFrom == 0 ? layout.tail : source.Read(0, layout.size);
    std::vector<std::string> current = LinesOf(std::string_view(all).substr(0, static_cast<std::size_t>(layout.end)));
    const std::string ownText = LineText(OwnAsLine(layout.own), StartsWithBom(all));
    TextLines index(current);
    const Decision decision = Decide(index, ownText, hasOwn, source, late);
    return AsText(decision, std::move(current), all, layout, source, late);
}

RewritePlan StoreRewrite::PlanWithoutFile(const RewriteSource& source, std::vector<std::string> late) {
    if (m_kind == Kind::RemoveOwn || m_kind == Kind::Move || m_kind == Kind::Outcomes)
        throw BatchFileError("the batch file " + m_file.string() + " does not exist");
    m_change.journal = m_kind != Kind::Save;
    m_change.before = BatchFileMark{};
    std::vector<std::string> added;
    if (m_kind == Kind::Save || m_kind == Kind::Append)
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

StoreRewrite::Decision StoreRewrite::Decide(LineIndex& index, const std::string& ownText, bool hasOwn,
                                            const RewriteSource& source, const std::vector<std::string>& late) {
    Decision d;
    std::string_view text;
    auto firstWhere = [&](auto&& match) -> std::optional<std::size_t> {
        for (std::size_t i = 0; index.At(i, text); ++i)
            if (match(text))
                return i;
        return std::nullopt;
    };
    auto removeFirst = [&](std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            d.removed.push_back(i);
    };
    // An unterminated last line whose writer still holds the file stays with the old version.
    const bool ownStays = hasOwn && !source.writersActive;
    switch (m_kind) {
    case Kind::RemoveOwn: {
        const bool any = index.At(0, text);
        if (!any && !hasOwn)
            throw BatchFileError("the batch file " + m_file.string() + " holds no line to remove");
        // The job's own line, wherever the file's changes have put it; never another job.
        if (any && (jobLine.empty() || text == jobLine))
            d.removed.push_back(0);
        else if (auto at = firstWhere([&](std::string_view l) { return l == jobLine; }))
            d.removed.push_back(*at);
        else
            d.ownGoes = hasOwn && (jobLine.empty() || ownText == jobLine);
        break;
    }
    case Kind::Move: {
        const auto at = firstWhere([&](std::string_view l) { return ContainsIgnoringCase(l, search); });
        if (at)
            d.removed.push_back(*at);
        else
            d.ownGoes = hasOwn && ContainsIgnoringCase(ownText, search);
        if (at || d.ownGoes) {
            d.added.push_back(replacement.empty() ? search : replacement);
            hit = true;
        }
        break;
    }
    case Kind::DropLeadingEmpty: {
        // A line that is nothing but a mark reads as empty, and goes as well.
        std::size_t empties = 0;
        while (index.At(empties, text) && text.empty())
            ++empties;
        if (index.At(empties, text)) {
            firstJob = Capped(text);
            removeFirst(empties);
            break;
        }
        const LateText lateText = LateTextOf(source);
        const bool lateJob = HasJob(late) || HasJob({lateText.tail, lateText.continuation});
        // An unfinished last line that holds nothing but a CR or a mark is an empty line too.
        if ((!hasOwn || (ownStays && ownText.empty())) && !lateJob) {
            removeFirst(empties);
            d.outcome = Decision::Outcome::Delete;
            break;
        }
        if (ownStays) {
            firstJob = Capped(ownText);
        } else if (!lateJob) {
            d.outcome = Decision::Outcome::Keep; // the only job is still being written
            return d;
        } else {
            const std::vector<std::string> lateLines = SplitLines(lateText.lines + lateText.tail);
            auto job = std::find_if(lateLines.begin(), lateLines.end(), [](const std::string& l) { return !l.empty(); });
            if (job != lateLines.end())
                firstJob = Capped(*job);
        }
        removeFirst(empties);
        break;
    }
    case Kind::Outcomes:
        DecideOutcomes(d, index, ownText, hasOwn);
        break;
    case Kind::KeepAll:
        break;
    case Kind::Deletions: {
        std::vector<bool> gone(index.Count(), false);
        for (const auto& deleted : lines) {
            for (std::size_t i = 0; i < gone.size(); ++i) {
                if (!gone[i] && index.At(i, text) && text == deleted) {
                    gone[i] = true;
                    d.removed.push_back(i);
                    break;
                }
            }
        }
        std::sort(d.removed.begin(), d.removed.end());
        if (d.removed.size() == gone.size() && !ownStays)
            d.outcome = Decision::Outcome::Delete;
        break;
    }
    case Kind::Save:
        removeFirst(index.Count());
        d.added = lines;
        if (lines.empty() && !ownStays)
            d.outcome = Decision::Outcome::Delete;
        break;
    case Kind::DeleteIfNoLine:
        d.outcome = index.At(0, text) || hasOwn ? Decision::Outcome::Keep : Decision::Outcome::Delete;
        break;
    case Kind::Append:
        // The added lines go in front of an unterminated last line (see Tail): its producer may
        // still be writing it, and it must not be glued to them.
        d.added = lines;
        break;
    }
    return d;
}

// Each outcome as its own rewrite would have it (RemoveOwn, Move), over the lines the earlier
// outcomes of the group left: two equal lines that ended as two jobs take out two lines.
void StoreRewrite::DecideOutcomes(Decision& d, LineIndex& index, const std::string& ownText, bool hasOwn) {
    std::string_view text;
    if (!index.At(0, text) && !hasOwn)
        throw BatchFileError("the batch file " + m_file.string() + " holds no line to remove");
    std::vector<std::size_t> gone;
    auto taken = [&](std::size_t i) { return std::find(gone.begin(), gone.end(), i) != gone.end(); };
    for (const BatchOutcome& outcome : outcomes) {
        const bool move = !outcome.replacement.empty();
        auto matches = [&](std::string_view l) {
            return move ? ContainsIgnoringCase(l, outcome.line) : l == outcome.line;
        };
        std::optional<std::size_t> at;
        for (std::size_t i = 0; !at && index.At(i, text); ++i)
            if (!taken(i) && matches(text))
                at = i;
        // Where the same outcomes one rewrite each would find the line: among the version's
        // lines, then among those moved to the tail by the group so far, then the unfinished one.
        const auto added = std::find_if(d.added.begin(), d.added.end(), matches);
        if (at)
            gone.push_back(*at);
        else if (added != d.added.end())
            d.added.erase(added);
        else if (hasOwn && !d.ownGoes && matches(ownText))
            d.ownGoes = true;
        else
            continue;
        if (move) {
            d.added.push_back(outcome.replacement);
            ++moved;
        }
    }
    std::sort(gone.begin(), gone.end());
    d.removed = std::move(gone);
}

RewritePlan StoreRewrite::ByRanges(const Decision& d, const RangeLines& index, const Layout& layout,
                                   const RewriteSource& source, const std::vector<std::string>& late) {
    const bool unchanged = d.outcome == Decision::Outcome::Rewrite && d.removed.empty() && !d.ownGoes &&
                           d.added.empty() && !source.HasLate();
    if (d.outcome == Decision::Outcome::Keep || unchanged)
        return RewritePlan::Keep();
    // An unterminated last line whose writer still holds the file is left to the old version:
    // it comes over whole, with the rest of it, once its writer is done.
    const bool keepOwn = !source.writersActive && !d.ownGoes;
    const std::int64_t accounted = source.writersActive && !d.ownGoes ? layout.end : layout.size;
    m_change.removed = d.removed;
    if (d.outcome == Decision::Outcome::Delete && !source.HasLate()) {
        RewritePlan plan = RewritePlan::Delete();
        plan.accounted = accounted;
        return plan;
    }
    std::vector<RewritePiece> pieces;
    std::int64_t from = 0;
    std::int64_t copied = 0;
    auto copyUpTo = [&](std::int64_t to) {
        if (to > from) {
            pieces.push_back(RewritePiece::Copy(from, to - from));
            copied += to - from;
        }
    };
    for (const std::size_t i : d.removed) {
        copyUpTo(index.Start(i));
        from = index.Next(i);
    }
    copyUpTo(layout.end);
    std::size_t unterminated = 0;
    std::string tail = Tail(source, late, d.added, keepOwn ? layout.own : std::string(), unterminated);
    m_change.afterEnd = copied + static_cast<std::int64_t>(tail.size() - unterminated);
    if (!tail.empty())
        pieces.push_back(RewritePiece::Bytes(std::move(tail)));
    return RewritePlan::Build(std::move(pieces), accounted);
}

RewritePlan StoreRewrite::AsText(const Decision& d, std::vector<std::string> current, const std::string& all,
                                 const Layout& layout, const RewriteSource& source, const std::vector<std::string>& late) {
    if (d.outcome == Decision::Outcome::Keep)
        return RewritePlan::Keep();
    const bool keepOwn = !source.writersActive && !d.ownGoes;
    const std::int64_t accounted = source.writersActive && !d.ownGoes ? layout.end : layout.size;
    m_change.removed = d.removed;
    if (d.outcome == Decision::Outcome::Delete && !source.HasLate()) {
        m_change.afterEnd = 0;
        RewritePlan plan = RewritePlan::Delete();
        plan.accounted = accounted;
        return plan;
    }
    std::vector<std::string> kept;
    kept.reserve(current.size() - d.removed.size());
    auto gone = d.removed.begin();
    for (std::size_t i = 0; i < current.size(); ++i) {
        if (gone != d.removed.end() && *gone == i)
            ++gone;
        else
            kept.push_back(std::move(current[i]));
    }
    std::string bytes = EncodeFileText(JoinLines(kept));
    std::size_t unterminated = 0;
    bytes += Tail(source, late, d.added, keepOwn ? layout.own : std::string(), unterminated);
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

} // namespace ct
