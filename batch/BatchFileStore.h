#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "batch/BatchFileTypes.h"
#include "platform/error/CloudError.h"
#include "platform/thread/Clock.h"

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

// The outcomes of several jobs in one rewrite, in the order given, each as UpdateBatchFile
// records it (a line that goes is found by its text, a line that moves by `search`); returns how
// many moved. Raises as UpdateBatchFile does, and then records none of them.
std::size_t ApplyBatchOutcomes(const std::filesystem::path& file, const std::vector<BatchOutcome>& outcomes);

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

// A producer's lines, each followed by CR LF, added after the queue's complete lines in one new
// version written to disk under the store's lock: all of them, or (when it raises
// BatchFileError) none. An unterminated last line stays last, behind the new lines: its producer
// may still be writing it, and the worker takes it only once its writer is gone. A missing queue
// is created owner-only.
void AppendBatchLines(const std::filesystem::path& file, const std::vector<std::string>& lines);

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
// The clock those waits (and the waits for producers still writing) are timed by: the system's
// unless set. Process-wide; the clock must outlive its use.
void SetBatchFileClock(IClock& clock);

// How many complete lines the queue holds (nullopt: no file), read in pieces and never held
// whole: what a start that shows nothing needs of a long queue. The same pass tells the store
// whether the version is CR LF throughout, so that the run's first rewrite of it reads only what
// producers append later. A file holding no line is deleted, as ReadBatchText does.
std::optional<std::size_t> CountBatchLines(const std::filesystem::path& file);

// The whole queue as one block of text (see BatchText).
BatchText ReadBatchText(const std::filesystem::path& file);

// The complete lines that follow mark.size in the same file (producers' appends), when the
// file is still the one the mark names and has not shrunk; nullopt otherwise. Advances mark.
std::optional<std::vector<std::string>> ReadBatchLinesAfter(const std::filesystem::path& file, BatchFileMark& mark);

// The chain of this process's rewrites that leads from exactly `mark` to the file's current
// version, oldest first (empty when the mark is current); nullopt when there is none (the
// file changed otherwise: the reader then reads it whole).
std::optional<std::vector<BatchFileEdit>> BatchFileEditsSince(const std::filesystem::path& file,
                                                              const BatchFileMark& mark);

} // namespace ct
