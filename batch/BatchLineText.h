#pragma once

// The queue's text at the file boundary, line by line. Internal to batch/.
//
// Lines in memory are UTF-8. On Linux the file's bytes are UTF-8 as they stand; on Windows they
// are the ANSI code page unless the file starts with a UTF-8 byte-order mark. A mark at the very
// start is the file's; one in front of a later line is that line's own (a producer appended a
// file an editor saved with one) and says that line is UTF-8. Either way a mark is never part of
// a line's text: every reader drops it, every comparison is made without it, and what the store
// writes of its own has none. So the line a reader hands out is the line a rewrite finds again,
// wherever the line stands by then.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/json/SuperObject.h"

namespace ct::batchtext {

inline constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";
// What a reader takes of a line at most: a longer line is no job, and the worker only needs to
// see that it is too long.
inline constexpr std::size_t kLineCap = kMaxJobLineBytes + 1;

bool StartsWithBom(std::string_view bytes);
// A line's bytes without the marks in front of them.
std::string_view WithoutMarks(std::string_view line);
// An unfinished last line as the readers report it: a CR at its end may be the first half of
// its line end, and is no part of the line.
std::string_view OwnAsLine(std::string_view own);
// Bytes of a file that had (or had not) a byte-order mark, as UTF-8 text.
std::string DecodeBytes(std::string_view bytes, bool marked);
// One line's bytes (without its line end) as text: its own mark, like the file's, says UTF-8.
std::string LineText(std::string_view raw, bool fileMarked);
// Bytes of a file as UTF-8 text with no mark in front of any line; line ends stay as they are.
std::string DecodeText(std::string_view bytes);
// UTF-8 text as the file's bytes.
std::string EncodeFileText(const std::string& text);
// CR LF and a lone LF end a line; so does the end of the text after a last line without one.
// Marks in front of a line are dropped.
std::vector<std::string> SplitLines(std::string_view text);
// Every line followed by CR LF.
std::string JoinLines(const std::vector<std::string>& lines);
// A file's bytes as its lines.
std::vector<std::string> LinesOf(std::string_view bytes);
bool HasJob(const std::vector<std::string>& lines);
// Letters compared without regard to case. Only ASCII letters fold: the worker searches with
// the job line's own text, so other letters always come in the same case on both sides.
bool ContainsIgnoringCase(std::string_view text, std::string_view part);
bool IsBlankLines(std::string_view bytes);
// A line cut at the cap.
std::string Capped(std::string_view line);

} // namespace ct::batchtext
