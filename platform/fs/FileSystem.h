#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error/CloudError.h"

namespace ct {

class FileSystemError : public CloudError {
public:
    using CloudError::CloudError;
};

// The folder that holds the running executable (not the current directory).
std::filesystem::path ExecutableDir();

// True when standard error is a terminal (a person is watching), false for a file or a pipe.
bool StandardErrorIsTerminal();

// Whether the character at `index` of a local path separates folders. On Windows: a backslash
// or a colon. Elsewhere a colon is a file-name character and separates only as a drive prefix
// ("C:x"), so that Windows-style paths keep their rule and POSIX names with colons stay whole;
// a backslash or a slash separates.
bool IsLocalPathSeparator(std::size_t index, char c);

// True when something exists at the path (a dangling link counts as nothing).
bool FileExists(const std::filesystem::path& file);

// Removes a file. A file that is not there, or that cannot be removed, is no error: callers
// never look at the outcome of a delete. Never removes a directory.
void DeleteFileQuietly(const std::filesystem::path& file);

// Creates the directory with all missing parents. True when it exists afterwards.
bool CreateDirectories(const std::filesystem::path& dir);

// The whole file, or nullopt when there is no file. Other failures raise FileSystemError.
std::optional<std::string> ReadFileIfExists(const std::filesystem::path& file);

enum class ReplaceMode { ReplaceExisting, OnlyIfAbsent };

// WriteFileDurably (platform/fs/SafeFile.h) for callers that let a guard deal with failures:
// the target holds either its old or its new content at every moment, whenever the process
// dies or the power goes. Temporary files of the same target left behind by a killed process
// are removed first; the caller must therefore serialise the rewriters of one target (the
// batch store does, with its lock). permissions: the new file's mode bits (POSIX), or nullopt
// for the default. OnlyIfAbsent installs the file only when no target exists and returns false
// otherwise (nothing is changed then). Failures raise SafeFileError.
bool ReplaceFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                           ReplaceMode mode = ReplaceMode::ReplaceExisting,
                           std::optional<unsigned> permissions = std::nullopt);

// The name pattern of the temporary files above, for tests and clean-up:
// "<target name>.rewrite-<unique>.tmp" in the target's folder.
bool IsRewriteTempFor(const std::filesystem::path& target, const std::filesystem::path& candidate);
// A fresh name of that pattern.
std::filesystem::path RewriteTempPathFor(const std::filesystem::path& target);

// Renames a finished temporary file over the target, atomically (RenameOver in SafeFile.h,
// raising). On Windows ReplaceFileW keeps the target's access list, so a restricted file stays
// restricted. Neither this nor the next one syncs anything: see CommitTemporary.
void InstallOver(const std::filesystem::path& temp, const std::filesystem::path& target);

// Renames `from` to `to` unless something is at `to` already: false then, and nothing changed.
bool RenameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

} // namespace ct
