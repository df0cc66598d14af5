#include "batch/BatchLateLines.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "batch/BatchLineText.h"
#include "platform/fs/FileSystem.h"
#include "platform/fs/ReadOnlyFile.h"

namespace ct {

namespace fs = std::filesystem;

namespace {

// Where the complete lines of the first `size` bytes end (just after the last LF; 0 when none).
std::int64_t CompleteEnd(const ReadOnlyFile& file, std::int64_t size) {
    char buf[65536];
    std::int64_t end = size;
    while (end > 0) {
        const std::int64_t start = std::max<std::int64_t>(0, end - static_cast<std::int64_t>(sizeof buf));
        const std::size_t got = file.ReadInto(start, buf, static_cast<std::size_t>(end - start));
        for (std::size_t i = got; i > 0; --i)
            if (buf[i - 1] == '\n')
                return start + static_cast<std::int64_t>(i);
        end = start;
    }
    return 0;
}

std::size_t WholeLines(std::string_view bytes) {
    const std::size_t lastEnd = bytes.rfind('\n');
    return lastEnd == std::string_view::npos ? 0 : lastEnd + 1;
}

RewritePlan PlaceLateLines(RewritePlan plan, const RewriteSource& source) {
    if (!source.HasLate())
        return plan;
    if (plan.action == RewritePlan::Action::Keep)
        return MergeLateLines(source);
    if (plan.action == RewritePlan::Action::Delete) {
        if (batchtext::IsBlankLines(LateTextOf(source).All()))
            return plan;
        RewriteSource without = source;
        without.file = nullptr;
        RewritePlan kept = MergeLateLines(without);
        kept.accounted = source.size;
        return kept;
    }
    return plan;
}

} // namespace

const LatePlacement KeepingLateLines{WholeLines, PlaceLateLines};

LateText LateTextOf(const RewriteSource& source) {
    LateText text;
    auto addLines = [&](std::string_view lines) {
        if (lines.empty())
            return;
        if (!text.tail.empty()) {
            text.lines += text.tail + "\r\n";
            text.tail.clear();
        }
        text.lines += lines;
    };
    for (const LateRun& run : source.late) {
        std::string_view rest = run.bytes;
        // Bytes that go on with the line a replaced version ended without its LF.
        if (run.before && *run.before != '\n') {
            const std::size_t end = rest.find('\n');
            const std::string_view continuation = end == std::string_view::npos ? rest : rest.substr(0, end + 1);
            if (text.lines.empty() && text.tail.empty() && text.continuation.empty())
                text.continuation = continuation;
            else if (!continuation.empty() && continuation.back() == '\n')
                addLines(continuation);
            else
                addLines(std::string(continuation) + "\r\n");
            rest.remove_prefix(continuation.size());
        }
        const std::size_t complete = WholeLines(rest);
        addLines(rest.substr(0, complete));
        if (complete < rest.size()) {
            if (!text.tail.empty())
                text.lines += text.tail + "\r\n";
            text.tail = rest.substr(complete);
        }
    }
    return text;
}

LateEnding ComposeLateEnding(std::string own, const LateText& late) {
    LateEnding ending;
    own += late.continuation;
    if (!own.empty() && own.back() == '\n') {
        ending.complete = std::move(own);
        own.clear();
    }
    if (!late.tail.empty()) {
        if (own.empty())
            own = late.tail;
        else
            ending.complete += late.tail + "\r\n"; // the version's own line stays last
    }
    ending.last = std::move(own);
    return ending;
}

RewritePlan MergeLateLines(const RewriteSource& source) {
    if (!source.HasLate())
        return RewritePlan::Keep();
    std::vector<RewritePiece> pieces;
    std::string own;
    if (source.Present()) {
        const std::int64_t end = CompleteEnd(*source.file, source.size);
        if (end > 0)
            pieces.push_back(RewritePiece::Copy(0, end));
        own = source.Read(end, source.size - end);
    }
    const LateText late = LateTextOf(source);
    LateEnding ending = ComposeLateEnding(std::move(own), late);
    pieces.push_back(RewritePiece::Bytes(late.lines + ending.complete + ending.last));
    return RewritePlan::Build(std::move(pieces));
}

RewriteReport RewriteFileGuarded(const fs::path& file, const RewritePlanner& planner, const RewriteOptions& options) {
    return RewriteFileFromSource(
        file,
        [&](const RewriteSource& source) {
            std::optional<std::string> current;
            if (source.HasLate())
                current = Materialize(MergeLateLines(source), source);
            else if (source.Present())
                current = source.Read(0, source.size);
            RewritePlan plan = planner(current);
            if (plan.action == RewritePlan::Action::Keep && source.HasLate())
                return RewritePlan::Replace(*current);
            return plan;
        },
        KeepingLateLines, options);
}

SettleReport SettleLateWriters(const fs::path& file) {
    return SettleLateWriters(file, std::chrono::milliseconds(2000), MergeLateLines, KeepingLateLines);
}

void SettleAllLateWriters() {
    std::optional<FileSystemError> first;
    for (const auto& file : FilesWithLateWriters()) {
        try {
            SettleLateWriters(file);
        } catch (const FileSystemError& e) {
            if (!first)
                first = e;
        }
    }
    if (first)
        throw *first;
}

} // namespace ct
