#pragma once

// The values that name versions of the queue and the changes between them, shared by the store
// and its journal.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ct {

// Which version of the queue file a reader holds: the file (device, inode) and how many of
// its bytes, up to the end of its last complete line. File systems hand inode numbers out
// again (and the store reuses a replaced version's file for a later one), so `generation`
// tells apart the versions that this process has seen under one (device, inode).
struct BatchFileMark {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = -1;   // -1: no file
    std::uint64_t generation = 0;
    friend bool operator==(const BatchFileMark&, const BatchFileMark&) = default;
};

// The whole queue as one block of text (UTF-8, no byte-order mark) with the start of every
// line, for a view that must open 100,000 lines fast. lineStarts[i] is where line i begins;
// its end is the next line start less its line end (CR LF or LF), or the end of text. A last
// line without a line end (a producer still writing it) is left out and not counted in
// mark.size. A file holding no line is deleted, as ReadAllBatchLines does.
struct BatchText {
    bool present = false;
    std::string text;
    std::vector<std::size_t> lineStarts;
    BatchFileMark mark;
    std::size_t LineCount() const { return lineStarts.size(); }
    std::string_view Line(std::size_t i) const;
};

// One rewrite this process made: the version it read (before), the lines of that version it
// took out (0-based, ascending), the lines it added after the kept ones, and the version it
// installed (after). The new file holds the kept lines in order, then `appended`.
struct BatchFileEdit {
    BatchFileMark before;
    std::vector<std::size_t> removed;
    std::vector<std::string> appended;
    BatchFileMark after;
};

// What became of one job, for a rewrite that records several at once: its line goes from the
// queue (replacement empty) or moves to the tail as `replacement`.
struct BatchOutcome {
    std::string line;
    std::string replacement;
};

} // namespace ct
