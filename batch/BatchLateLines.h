#pragma once

// Where lines that producers appended late to replaced versions of a file go. The rewrite in
// platform/fs deals in bytes; what makes a line, and where a late one belongs, is decided here.

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/fs/GuardedRewrite.h"

namespace ct {

// The late bytes of a source as lines: whole lines (each ending in LF) that producers appended
// late to replaced versions, oldest first; an unterminated last line among them whose writer is
// done with it (`tail`); and bytes that continue a replaced version's unterminated last line
// (which that rewrite kept as its own unterminated last line): they belong right after the
// current version's unterminated last line, when it has one (`continuation`).
struct LateText {
    std::string lines;
    std::string tail;
    std::string continuation;
    std::string All() const { return lines + continuation + tail; }
};
LateText LateTextOf(const RewriteSource& source);

// How a new version ends, given the current version's unterminated last line `own` (kept) and
// the source's continuation and late unterminated line: `complete` are whole lines to add after
// the others (the own line once its continuation ended it, a late line that cannot stay last),
// `last` is the one unterminated line that stays last.
struct LateEnding {
    std::string complete;
    std::string last;
};
LateEnding ComposeLateEnding(std::string own, const LateText& late);

// The default placement of late lines: the version's complete lines, the late lines, then the
// ending above.
RewritePlan MergeLateLines(const RewriteSource& source);

// The placement every rewrite of a line file passes on: of a version still being written only
// whole lines are taken (its unfinished line waits for a later operation); Keep or Delete of a
// version that late lines arrived for would lose them, so they become a plan that keeps them.
extern const LatePlacement KeepingLateLines;

// The older, whole-content planner: gets the file's bytes, or nullopt when there is no file.
using RewritePlanner = std::function<RewritePlan(const std::optional<std::string>& current)>;

// RewriteFileFromSource over the whole content: the planner gets every byte of the current
// version (with late lines appended after its complete lines), and a Replace plan's bytes are
// the new content as they stand.
RewriteReport RewriteFileGuarded(const std::filesystem::path& file, const RewritePlanner& planner,
                                 const RewriteOptions& options = {});

// SettleLateWriters with late lines placed by MergeLateLines, waiting up to 2 s.
SettleReport SettleLateWriters(const std::filesystem::path& file);
void SettleAllLateWriters();

} // namespace ct
