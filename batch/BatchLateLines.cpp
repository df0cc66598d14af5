#include "batch/BatchLateLines.h"

#include <algorithm>
#include <cstdint>
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

} // namespace

LateEnding ComposeLateEnding(std::string own, const RewriteSource& source) {
    LateEnding ending;
    own += source.lateContinuation;
    if (!own.empty() && own.back() == '\n') {
        ending.complete = std::move(own);
        own.clear();
    }
    if (!source.lateTail.empty()) {
        if (own.empty())
            own = source.lateTail;
        else
            ending.complete += source.lateTail + "\r\n"; // the version's own line stays last
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
    LateEnding ending = ComposeLateEnding(std::move(own), source);
    pieces.push_back(RewritePiece::Bytes(source.late + ending.complete + ending.last));
    return RewritePlan::Build(std::move(pieces));
}

RewritePlan KeepingLateLines(RewritePlan plan, const RewriteSource& source) {
    if (!source.HasLate())
        return plan;
    if (plan.action == RewritePlan::Action::Keep)
        return MergeLateLines(source);
    if (plan.action == RewritePlan::Action::Delete) {
        const std::string late = source.late + source.lateContinuation + source.lateTail;
        if (batchtext::IsBlankLines(late))
            return plan;
        RewriteSource without = source;
        without.file = nullptr;
        RewritePlan kept = MergeLateLines(without);
        kept.accounted = source.size;
        return kept;
    }
    return plan;
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
