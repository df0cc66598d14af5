#pragma once

// One rewrite of the queue by the store: what it decides over the version's lines, how that
// decision becomes the new version (ranges of the old one, or text), and what it records of the
// change once it is in place. Internal to batch/.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "batch/BatchFileJournal.h"
#include "batch/BatchFileTypes.h"
#include "platform/fs/GuardedRewrite.h"

namespace ct {

namespace batchrewrite {
struct Layout;
class LineIndex;
class RangeLines;
} // namespace batchrewrite

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
        Append,            // a producer's lines added after the others
        Outcomes,          // the worker's grouped removals and requeues, in the order the jobs ended
    };

    StoreRewrite(std::filesystem::path file, Kind kind) : m_file(std::move(file)), m_kind(kind) {}

    std::string search;
    std::string replacement;
    std::string jobLine;
    std::vector<std::string> lines;  // Deletions: the deleted entries; Save: the new list; Append: the new lines
    std::vector<BatchOutcome> outcomes;

    bool hit = false;                // Move: a line was taken out and appended
    std::size_t moved = 0;           // Outcomes: how many lines were taken out and appended
    std::string firstJob;            // DropLeadingEmpty: the first job now

    SourcePlanner Planner() {
        return [this](const RewriteSource& source) { return Plan(source); };
    }
    RewriteOptions Options(RewriteOptions options = {}) {
        options.committed = [this](const RewriteReport& report) { Record(report); };
        return options;
    }

    // What the rewrite does to the version's lines, decided once over the line index.
    struct Decision {
        enum class Outcome { Keep, Rewrite, Delete };
        Outcome outcome = Outcome::Rewrite;
        std::vector<std::size_t> removed;  // complete lines that go, ascending
        bool ownGoes = false;              // the unterminated last line goes
        std::vector<std::string> added;    // lines appended after the kept ones
    };

private:
    struct Change {
        bool journal = false;
        BatchFileMark before;
        std::vector<std::size_t> removed;
        std::vector<std::string> appended;
        std::int64_t afterEnd = 0;
        BatchFileMark appendFrom;
        std::vector<batchjournal::AppendedLine> producerLines;
    };
    using Layout = batchrewrite::Layout;
    using LineIndex = batchrewrite::LineIndex;
    using RangeLines = batchrewrite::RangeLines;

    RewritePlan Plan(const RewriteSource& source);
    RewritePlan PlanChange(const RewriteSource& source);
    RewritePlan PlanWithoutFile(const RewriteSource& source, std::vector<std::string> late);
    Decision Decide(LineIndex& index, const std::string& ownText, bool hasOwn, const RewriteSource& source,
                    const std::vector<std::string>& late);
    RewritePlan ByRanges(const Decision& decision, const RangeLines& index, const Layout& layout,
                         const RewriteSource& source, const std::vector<std::string>& late);
    RewritePlan AsText(const Decision& decision, std::vector<std::string> current, const std::string& all,
                       const Layout& layout, const RewriteSource& source, const std::vector<std::string>& late);
    void Record(const RewriteReport& report);
    void DecideOutcomes(Decision& d, LineIndex& index, const std::string& ownText, bool hasOwn);

    // The bytes after the kept lines: late lines, the lines this rewrite adds, the ending.
    std::string Tail(const RewriteSource& source, const std::vector<std::string>& late, std::vector<std::string> added,
                     std::string own, std::size_t& unterminated);

    std::filesystem::path m_file;
    Kind m_kind;
    Change m_change;
    bool m_planned = false;
};

} // namespace ct
