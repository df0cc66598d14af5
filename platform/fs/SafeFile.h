#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "platform/fs/FileSystem.h"

// The files beside the queue (dead-letter file, outcome log, journals) and the files that
// replace others (a rewritten queue, a download) are written here and nowhere else: owner-only
// from the first byte, never through a symbolic link, bounded when read, and on disk before a
// rename makes them count. Every Windows branch for these lives in SafeFile.cpp.

namespace ct {

// What went wrong, as far as a caller acts on it.
enum class FileFault {
    NotFound,      // nothing at the name
    TooLarge,      // more bytes than the caller's bound
    NotRegular,    // a folder, a FIFO, a device
    Link,          // a symbolic link (or another reparse point) at the name
    NoSpace,       // the disk or the quota is full
    AccessDenied,  // permissions, a read-only file system
    InUse,         // Windows: another process holds the file without sharing it
    IoError,       // everything else, a failing device first of all
};

struct FileFailure {
    FileFault fault = FileFault::IoError;
    int code = 0;         // errno, or the Windows error code
    std::string message;  // "cannot write /q/cloud_transfer.log: No space left on device"
};

// A FileFailure raised: for callers that let a guard deal with it.
class SafeFileError : public FileSystemError {
public:
    explicit SafeFileError(FileFailure failure)
        : FileSystemError(failure.message), m_failure(std::move(failure)) {}
    const FileFailure& Failure() const { return m_failure; }

private:
    FileFailure m_failure;
};

// A value or the failure that prevented it (in the manner of std::expected).
template <class T>
class [[nodiscard]] FileResult {
public:
    FileResult(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
    FileResult(FileFailure failure) : m_state(std::in_place_index<1>, std::move(failure)) {}

    explicit operator bool() const { return m_state.index() == 0; }
    bool Ok() const { return m_state.index() == 0; }
    const T& operator*() const { return std::get<0>(m_state); }
    T& operator*() { return std::get<0>(m_state); }
    const T* operator->() const { return &std::get<0>(m_state); }
    const FileFailure& Failure() const { return std::get<1>(m_state); }
    bool Is(FileFault fault) const { return !Ok() && Failure().fault == fault; }
    // The value, or SafeFileError.
    T OrThrow() && {
        if (!Ok())
            throw SafeFileError(Failure());
        return std::move(std::get<0>(m_state));
    }

private:
    std::variant<T, FileFailure> m_state;
};

template <>
class [[nodiscard]] FileResult<void> {
public:
    FileResult() = default;
    FileResult(FileFailure failure) : m_failure(std::move(failure)) {}

    explicit operator bool() const { return !m_failure; }
    bool Ok() const { return !m_failure; }
    const FileFailure& Failure() const { return *m_failure; }
    bool Is(FileFault fault) const { return m_failure && m_failure->fault == fault; }
    void OrThrow() const {
        if (m_failure)
            throw SafeFileError(*m_failure);
    }

private:
    std::optional<FileFailure> m_failure;
};

// Whether a write waits until its data is on disk before it returns.
enum class Durability { OnDisk, Buffered };

struct AppendOptions {
    // Written first when the file holds bytes and its last byte is not '\n', so that whatever
    // is there stays a line of its own ("\r\n" for a CR LF file).
    std::string_view unterminatedPrefix;
    // When the file holds bytes and the append would take it past rotateAt, the file is first
    // renamed to rotateTo (replacing the one there) and a new file begun. 0: never.
    std::uint64_t rotateAt = 0;
    std::filesystem::path rotateTo;
    Durability durability = Durability::OnDisk;
};

// Appends bytes to a file that this program owns. A new file is owner-only (0600) from its
// first byte; an existing one keeps its mode. A link at the name is refused (Link), and so is
// anything but a regular file (NotRegular), without waiting on a FIFO. Every byte goes to the
// end of the file even while another process appends. When the bytes cannot all be written
// (a full disk), the file is cut back to what it held, so no half line stays behind.
FileResult<void> AppendOwnerOnly(const std::filesystem::path& file, std::string_view bytes,
                                 const AppendOptions& options = {});

// The whole file, read through no link, refused when it is not a regular file or holds more
// than maxBytes (TooLarge). NotFound when nothing is at the name.
FileResult<std::string> ReadRegularFile(const std::filesystem::path& file, std::uint64_t maxBytes);

// The durable write-then-rename: the bytes go to a temporary file in the target's folder
// ("<name>.rewrite-<unique>.tmp"), reach the disk, and the file is renamed over the target,
// whose folder is then synced, so that after a crash or a power cut the target holds its old
// or its new content, never less. Temporary files of the target left by a killed process are
// removed first; the caller serialises the writers of one target. permissions: the new file's
// mode (POSIX), created with it; nullopt: 0666 less the umask. OnlyIfAbsent yields false, and
// changes nothing, when the target exists. Windows: FlushFileBuffers, then ReplaceFileW, which
// keeps the target's access list (MoveFileExW when there is no target yet).
FileResult<bool> WriteFileDurably(const std::filesystem::path& target, std::string_view bytes,
                                  ReplaceMode mode = ReplaceMode::ReplaceExisting,
                                  std::optional<unsigned> permissions = std::nullopt);

// The steps of that commit, for files written by other code (a download, a queue rewrite).
#ifdef _WIN32
using NativeFile = void*;  // HANDLE
#else
using NativeFile = int;
#endif

// Writes every byte at the file's position (POSIX: the descriptor's offset or the end for
// O_APPEND); a short write is continued, an interrupted one retried.
FileResult<void> WriteAll(NativeFile file, std::string_view bytes, const std::filesystem::path& name);
// The file's data (and what is needed to read it back) is on disk when this returns.
FileResult<void> SyncToDisk(NativeFile file, const std::filesystem::path& name);
// The same for a file that another handle wrote and closed (opened again by name, never
// through a link).
FileResult<void> SyncToDiskByName(const std::filesystem::path& name);
// Makes the file's folder entry (a create or a rename) durable: POSIX fsync of the folder;
// Windows has nothing to do (MoveFileExW writes through). A file system that cannot sync a
// folder counts as done.
FileResult<void> SyncFolderOf(const std::filesystem::path& file);

enum class RenameStyle {
    KeepTargetAttributes,  // Windows: ReplaceFileW keeps the replaced file's access list
    Move,                  // Windows: MoveFileExW, the moved file keeps its own
};
// Renames from over to (replacing it); not synced (see CommitTemporary).
FileResult<void> RenameOver(const std::filesystem::path& from, const std::filesystem::path& to,
                            RenameStyle style = RenameStyle::KeepTargetAttributes);
// Renames from to to unless something is at to already: false then, nothing changed.
FileResult<bool> RenameIfAbsent(const std::filesystem::path& from, const std::filesystem::path& to);
// A complete temporary file takes the target's place durably: its data to disk, the rename,
// the folder synced. A failure before the rename leaves the target as it was (the temporary
// file is the caller's to remove).
FileResult<void> CommitTemporary(NativeFile temp, const std::filesystem::path& tempPath,
                                 const std::filesystem::path& target, RenameStyle style = RenameStyle::Move);

// ---------------------------------------------------------------------------------------
// The seam for faults and traces. Every write, sync, rename and folder sync above (and those
// of the queue rewrite) asks the hook first, when one is installed: tests make a step fail
// with an errno (ENOSPC, EIO) or write fewer bytes than asked, and record the order of steps.
// Process-wide; install it only while nothing else writes.

enum class FileStep { Write, Sync, Rename, SyncFolder };

struct FileStepOutcome {
    int error = 0;                          // != 0: the step fails with this errno
    std::optional<std::size_t> writeOnly;   // Write: only this many bytes go through
};

// file: the file written or synced, the rename's destination, the folder synced. bytes: what
// a Write asks to write.
using FileStepHook = std::function<FileStepOutcome(FileStep step, const std::filesystem::path& file,
                                                   std::size_t bytes)>;
// Installs the hook (an empty one removes it); returns the one it replaces.
FileStepHook SetFileStepHook(FileStepHook hook);
// What the hook says of a step (nothing when there is none): for writers in platform/fs that
// make their own system calls.
FileStepOutcome AskFileStepHook(FileStep step, const std::filesystem::path& file, std::size_t bytes = 0);
// A failure of errno `error` while doing `what` ("write", "sync") to file.
FileFailure FailureFromErrno(int error, const std::string& what, const std::filesystem::path& file);

} // namespace ct
