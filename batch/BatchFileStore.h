#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
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

} // namespace ct
