#pragma once

// What this process knows about the versions of its queue files, and the journal of its own
// rewrites: the store's memory between two operations. Internal to batch/.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "batch/BatchFileTypes.h"
#include "platform/fs/ReadOnlyFile.h"

namespace ct::batchjournal {

// The generation of the version open in `file`: the one this process gave it before when its
// (device, inode) and first bytes match, else a new one.
std::uint64_t Identify(const std::filesystem::path& path, const ReadOnlyFile& file);

// How far the version is known to hold CR LF lines only and no byte-order mark (0: unknown).
std::int64_t KnownCleanUpTo(const FileIdentity& identity, std::uint64_t generation);
void NoteClean(const FileIdentity& identity, std::uint64_t generation, std::int64_t cleanUpTo);

// A version this process installed: its first bytes and the end of its complete lines (all
// clean). Returns its generation.
std::uint64_t NoteInstalled(const std::filesystem::path& path, const FileIdentity& identity, const std::string& prefix,
                            std::int64_t completeEnd);

// A reader now holds this mark: the next rewrite of that version keeps in the journal what
// producers appended after it.
void NoteReaderMark(const BatchFileMark& mark);
// Where the lines appended to the version since some reader (or this process's install) last
// knew it begin; -1 when no one in this process knew it.
std::int64_t AppendBase(const FileIdentity& identity, std::uint64_t generation);

// One line of an append: where it begins in the version, and its text.
struct AppendedLine {
    std::int64_t start = 0;
    std::string text;
};
void RecordAppend(const std::filesystem::path& path, const BatchFileMark& before, std::vector<AppendedLine> lines,
                  const BatchFileMark& after);
void RecordRewrite(const std::filesystem::path& path, BatchFileEdit edit);

// The chain of recorded edits from `mark` to the version `current`; nullopt when there is none.
std::optional<std::vector<BatchFileEdit>> EditsSince(const std::filesystem::path& path, const BatchFileMark& mark,
                                                     const BatchFileMark& current);

} // namespace ct::batchjournal
