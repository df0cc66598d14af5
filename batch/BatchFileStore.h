#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error/CloudError.h"

namespace ct {

class BatchFileError : public CloudError {
public:
    using CloudError::CloudError;
};

// The running executable's folder followed by "cloud_batch.txt" (never the current directory).
std::filesystem::path BatchFilePath();

// Line 1 of the batch file, or "" when there is no file or no job. A file holding no
// non-empty line is deleted. Leading empty lines in front of a job are removed from the
// file and the first job is returned. A UTF-8 byte-order mark is not part of line 1.
std::string ReadFirstBatchLine(const std::filesystem::path& file);

// The worker's rewrite after a job.
//  search empty:  removes the job's own line: line 1 if it equals jobLine, else the first
//                 line equal to jobLine, else nothing (jobLine empty: line 1). Raises when
//                 the file holds no line.
//  search given:  the first line containing search (case-insensitive) is taken out and
//                 replacement (or search when replacement is empty) appended as the last
//                 line; returns true then, so the caller can lower its job counter.
// The file is always rewritten (CR LF after every line), atomically and under the store's
// lock; lines appended meanwhile by other processes are kept. A missing file raises
// BatchFileError and creates nothing.
bool UpdateBatchFile(const std::filesystem::path& file, const std::string& search,
                     const std::string& replacement, const std::string& jobLine = {});

struct BatchLines {
    bool present = false;
    std::vector<std::string> lines;
};

// Every line in file order (empty lines included). A file holding no line is deleted and
// reported present with no lines; no file is reported not present.
BatchLines ReadAllBatchLines(const std::filesystem::path& file);

// Replaces the file with the lines, each followed by CR LF; an empty list deletes the file.
void SaveBatchLines(const std::filesystem::path& file, const std::vector<std::string>& lines);

// "Salva" against a file that may have changed since the view was loaded: removes from the
// current file the lines the user deleted (each deleted entry removes one equal line), keeps
// every other current line in its order, and deletes the file when none remain. Atomic and
// under the store's lock.
void ApplyBatchDeletions(const std::filesystem::path& file, const std::vector<std::string>& deleted);

// ---------------------------------------------------------------------------------------
// Beyond the queue's own four operations.

// "cloud_batch.failed.txt" beside the queue: every job dropped at its third failure.
std::filesystem::path DeadLetterPathFor(const std::filesystem::path& file);

// Appends the line (plus CR LF) to the dead-letter file beside the queue, under the store's
// lock; the file is created owner-only and earlier lines are never lost.
void AppendDeadLetter(const std::filesystem::path& file, const std::string& line);

// Raises BatchFileError with a readable reason when the queue could not be rewritten now
// (folder or file not writable, queue not a regular file, lock held too long). The worker
// asks before its first transfer, so that a run never sends what it cannot then record.
void CheckBatchFileWritable(const std::filesystem::path& file);

// The first non-empty line, from the head, for which accept gives true, read without
// loading the whole file; nullopt when none does. Lines over the job-line cap are handed
// to accept cut at the cap plus one byte.
std::optional<std::string> FindFirstBatchLine(const std::filesystem::path& file,
                                              const std::function<bool(const std::string&)>& accept);

// Carries into the queue whatever producers added late to versions this process replaced,
// waiting for them when needed. The worker calls it when its run ends and the application
// at exit; a reader on the GUI thread never waits for it.
void SettleBatchFile(const std::filesystem::path& file);
void SettleAllBatchFiles();

// How long an operation waits for the store's lock before it raises BatchFileError ("the
// queue is locked by another process: ..."); about 10 s unless set. Process-wide.
void SetBatchFileLockWait(std::chrono::milliseconds wait);

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
BatchText ReadBatchText(const std::filesystem::path& file);

// The complete lines that follow mark.size in the same file (producers' appends), when the
// file is still the one the mark names and has not shrunk; nullopt otherwise. Advances mark.
std::optional<std::vector<std::string>> ReadBatchLinesAfter(const std::filesystem::path& file, BatchFileMark& mark);

// One rewrite this process made: the version it read (before), the lines of that version it
// took out (0-based, ascending), the lines it added after the kept ones, and the version it
// installed (after). The new file holds the kept lines in order, then `appended`.
struct BatchFileEdit {
    BatchFileMark before;
    std::vector<std::size_t> removed;
    std::vector<std::string> appended;
    BatchFileMark after;
};
// The chain of this process's rewrites that leads from exactly `mark` to the file's current
// version, oldest first (empty when the mark is current); nullopt when there is none (the
// file changed otherwise: the reader then reads it whole).
std::optional<std::vector<BatchFileEdit>> BatchFileEditsSince(const std::filesystem::path& file,
                                                              const BatchFileMark& mark);

} // namespace ct
