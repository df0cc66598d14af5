#include "platform/fs/SafeFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ct {

namespace fs = std::filesystem;

namespace {

std::mutex g_hookMutex;
FileStepHook g_hook;
std::atomic<bool> g_hooked{false};

// A path for a message, whatever the platform's narrow code page can show.
std::string Display(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

fs::path FolderOf(const fs::path& file) {
    return file.parent_path().empty() ? fs::path(".") : file.parent_path();
}

FileFailure Refusal(FileFault fault, const fs::path& file, const std::string& why) {
    return {fault, 0, "refused: " + Display(file) + " " + why};
}

// Only called while the caller serialises the writers of the target, so every temporary file
// of the target that exists now was left by a process that died in the middle of a write.
void RemoveStaleTemps(const fs::path& target) {
    std::error_code ec;
    for (fs::directory_iterator it(FolderOf(target), ec), end; !ec && it != end; it.increment(ec)) {
        if (IsRewriteTempFor(target, it->path()))
            DeleteFileQuietly(it->path());
    }
}

} // namespace

FileStepHook SetFileStepHook(FileStepHook hook) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_hooked.store(static_cast<bool>(hook));
    return std::exchange(g_hook, std::move(hook));
}

FileStepOutcome AskFileStepHook(FileStep step, const fs::path& file, std::size_t bytes) {
    if (!g_hooked.load(std::memory_order_acquire))
        return {};
    FileStepHook hook;
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        hook = g_hook;
    }
    return hook ? hook(step, file, bytes) : FileStepOutcome{};
}

FileFailure FailureFromErrno(int error, const std::string& what, const fs::path& file) {
    FileFault fault = FileFault::IoError;
    switch (error) {
    case ENOENT:
        fault = FileFault::NotFound;
        break;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        fault = FileFault::NoSpace;
        break;
    case EACCES:
    case EPERM:
    case EROFS:
        fault = FileFault::AccessDenied;
        break;
    case ELOOP:
        fault = FileFault::Link;
        break;
    case EISDIR:
    case ENXIO:
        fault = FileFault::NotRegular;
        break;
    default:
        break;
    }
    return {fault, error, "cannot " + what + " " + Display(file) + ": " + std::strerror(error)};
}

FileResult<void> CommitTemporary(NativeFile temp, const fs::path& tempPath, const fs::path& target,
                                 RenameStyle style) {
    if (FileResult<void> synced = SyncToDisk(temp, tempPath); !synced)
        return synced;
    if (FileResult<void> renamed = RenameOver(tempPath, target, style); !renamed)
        return renamed;
    // The new content is in place and visible; a folder that cannot be synced only weakens
    // what survives a power cut, and nothing could undo the rename now.
    (void)SyncFolderOf(target);
    return {};
}

#ifdef _WIN32

namespace {

FileFailure FailureFromWindows(DWORD error, const std::string& what, const fs::path& file) {
    FileFault fault = FileFault::IoError;
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        fault = FileFault::NotFound;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        fault = FileFault::NoSpace;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        fault = FileFault::AccessDenied;
        break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        fault = FileFault::InUse;
        break;
    default:
        break;
    }
    return {fault, static_cast<int>(error), "cannot " + what + " " + Display(file) + " (error " + std::to_string(error) + ")"};
}

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    bool Valid() const { return h != INVALID_HANDLE_VALUE; }
};

// Writes up to `length` bytes at the handle's position (the end for an append handle).
FileResult<void> WriteCounting(HANDLE h, std::string_view bytes, const fs::path& name, std::size_t& done) {
    done = 0;
    while (done < bytes.size()) {
        std::size_t want = std::min<std::size_t>(bytes.size() - done, 1u << 20);
        const FileStepOutcome fault = AskFileStepHook(FileStep::Write, name, want);
        if (fault.error)
            return FailureFromErrno(fault.error, "write", name);
        if (fault.writeOnly)
            want = std::min(want, *fault.writeOnly);
        DWORD wrote = 0;
        if (!WriteFile(h, bytes.data() + done, static_cast<DWORD>(want), &wrote, nullptr))
            return FailureFromWindows(GetLastError(), "write", name);
        if (wrote == 0)
            return FailureFromErrno(EIO, "write", name);
        done += wrote;
    }
    return {};
}

// Something other than a plain file: a link, a folder, a device.
std::optional<FileFailure> RefuseUnlessRegular(HANDLE h, const fs::path& file, BY_HANDLE_FILE_INFORMATION& info) {
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info))
        return Refusal(FileFault::NotRegular, file, "is not a regular file");
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return Refusal(FileFault::Link, file, "is a link");
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))
        return Refusal(FileFault::NotRegular, file, "is not a regular file");
    return std::nullopt;
}

// Takes the file back to `size` bytes after an append that did not complete.
void CutBack(const fs::path& file, std::uint64_t size) {
    Handle h{CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
    if (!h.Valid())
        return;
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    SetFileInformationByHandle(h.h, FileEndOfFileInfo, &end, sizeof end);
}

} // namespace

FileResult<void> WriteAll(NativeFile file, std::string_view bytes, const fs::path& name) {
    std::size_t done = 0;
    return WriteCounting(static_cast<HANDLE>(file), bytes, name, done);
}

FileResult<void> SyncToDisk(NativeFile file, const fs::path& name) {
    if (const FileStepOutcome fault = AskFileStepHook(FileStep::Sync, name); fault.error)
        return FailureFromErrno(fault.error, "write to disk", name);
    if (!FlushFileBuffers(static_cast<HANDLE>(file)))
        return FailureFromWindows(GetLastError(), "write to disk", name);
    return {};
}

FileResult<void> SyncToDiskByName(const fs::path& name) {
    Handle h{CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
    if (!h.Valid())
        return FailureFromWindows(GetLastError(), "open", name);
    return SyncToDisk(h.h, name);
}

FileResult<void> SyncFolderOf(const fs::path& file) {
    // MoveFileExW and ReplaceFileW are asked to write through: the folder is on disk with them.
    if (const FileStepOutcome fault = AskFileStepHook(FileStep::SyncFolder, FolderOf(file)); fault.error)
        return FailureFromErrno(fault.error, "sync the folder", FolderOf(file));
    return {};
}

FileResult<void> RenameOver(const fs::path& from, const fs::path& to, RenameStyle style) {
    if (const FileStepOutcome fault = AskFileStepHook(FileStep::Rename, to); fault.error)
        return FailureFromErrno(fault.error, "rename over", to);
    if (style == RenameStyle::Move) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return {};
        return FailureFromWindows(GetLastError(), "rename over", to);
    }
    // ReplaceFileW keeps the replaced file's access list, attributes and creation time, so a
    // queue that its owner restricted stays restricted. A reader that opened the target without
    // FILE_SHARE_DELETE blocks the replace for a moment.
    for (int attempt = 0;; ++attempt) {
        if (ReplaceFileW(to.c_str(), from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
            return {};
        DWORD e = GetLastError();
        if (e == ERROR_FILE_NOT_FOUND) {
            // No file to replace (any more): a plain rename installs the new one.
            if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH | MOVEFILE_REPLACE_EXISTING))
                return {};
            e = GetLastError();
        }
        if ((e != ERROR_SHARING_VIOLATION && e != ERROR_ACCESS_DENIED && e != ERROR_UNABLE_TO_REMOVE_REPLACED) ||
            attempt == 50)
            return FailureFromWindows(e, "replace", to);
        Sleep(20);
    }
}

FileResult<bool> RenameIfAbsent(const fs::path& from, const fs::path& to) {
    if (const FileStepOutcome fault = AskFileStepHook(FileStep::Rename, to); fault.error)
        return FailureFromErrno(fault.error, "rename to", to);
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
        return true;
    const DWORD e = GetLastError();
    if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS)
        return false;
    return FailureFromWindows(e, "rename to", to);
}

FileResult<bool> WriteFileDurably(const fs::path& target, std::string_view bytes, ReplaceMode mode,
                                  std::optional<unsigned> /*permissions*/) {
    RemoveStaleTemps(target);
    const fs::path temp = RewriteTempPathFor(target);
    {
        Handle h{CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)};
        if (!h.Valid())
            return FailureFromWindows(GetLastError(), "create", temp);
        FileResult<void> written = WriteAll(h.h, bytes, temp);
        if (written)
            written = SyncToDisk(h.h, temp);
        if (!written) {
            CloseHandle(std::exchange(h.h, INVALID_HANDLE_VALUE));
            DeleteFileW(temp.c_str());
            return written.Failure();
        }
    }
    if (mode == ReplaceMode::OnlyIfAbsent) {
        FileResult<bool> renamed = RenameIfAbsent(temp, target);
        if (!renamed || !*renamed)
            DeleteFileW(temp.c_str());
        return renamed;
    }
    if (FileResult<void> renamed = RenameOver(temp, target); !renamed) {
        DeleteFileW(temp.c_str());
        return renamed.Failure();
    }
    return true;
}

FileResult<void> AppendOwnerOnly(const fs::path& file, std::string_view bytes, const AppendOptions& options) {
    for (int round = 0;; ++round) {
        // FILE_FLAG_OPEN_REPARSE_POINT: a link at the name is opened as itself, and refused.
        Handle h{CreateFileW(file.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
        if (!h.Valid())
            return FailureFromWindows(GetLastError(), "open", file);
        const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
        BY_HANDLE_FILE_INFORMATION info{};
        if (auto refused = RefuseUnlessRegular(h.h, file, info))
            return *refused;
        const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        if (round == 0 && options.rotateAt > 0 && size > 0 && size + bytes.size() > options.rotateAt) {
            CloseHandle(std::exchange(h.h, INVALID_HANDLE_VALUE));
            if (FileResult<void> moved = RenameOver(file, options.rotateTo, RenameStyle::Move); !moved)
                return moved;
            continue;
        }
        std::string data(bytes);
        if (size > 0 && !options.unterminatedPrefix.empty()) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>((size - 1) & 0xffffffffu);
            at.OffsetHigh = static_cast<DWORD>((size - 1) >> 32);
            char last = '\n';
            DWORD got = 0;
            if (ReadFile(h.h, &last, 1, &got, &at) && got == 1 && last != '\n')
                data.insert(0, options.unterminatedPrefix);
        }
        std::size_t done = 0;
        FileResult<void> result = WriteCounting(h.h, data, file, done);
        if (result && options.durability == Durability::OnDisk)
            result = SyncToDisk(h.h, file);
        if (!result) {
            CloseHandle(std::exchange(h.h, INVALID_HANDLE_VALUE));
            if (created)
                DeleteFileW(file.c_str());
            else if (done > 0 || options.durability == Durability::OnDisk)
                CutBack(file, size);
        }
        return result;
    }
}

FileResult<std::string> ReadRegularFile(const fs::path& file, std::uint64_t maxBytes) {
    Handle h{CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    if (!h.Valid())
        return FailureFromWindows(GetLastError(), "open", file);
    BY_HANDLE_FILE_INFORMATION info{};
    if (auto refused = RefuseUnlessRegular(h.h, file, info))
        return *refused;
    const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (size > maxBytes)
        return Refusal(FileFault::TooLarge, file, "holds more than " + std::to_string(maxBytes) + " bytes");
    std::string bytes;
    char buf[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h.h, buf, sizeof buf, &got, nullptr))
            return FailureFromWindows(GetLastError(), "read", file);
        if (got == 0)
            return bytes;
        bytes.append(buf, got);
        if (bytes.size() > maxBytes)
            return Refusal(FileFault::TooLarge, file, "holds more than " + std::to_string(maxBytes) + " bytes");
    }
}

#else

namespace {

struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

FileResult<void> WriteCounting(int fd, std::string_view bytes, const fs::path& name, std::size_t& done) {
    done = 0;
    while (done < bytes.size()) {
        std::size_t want = bytes.size() - done;
        const FileStepOutcome fault = AskFileStepHook(FileStep::Write, name, want);
        if (fault.error)
            return FailureFromErrno(fault.error, "write", name);
        if (fault.writeOnly)
            want = std::min(want, *fault.writeOnly);
        const ssize_t n = want == 0 ? 0 : ::write(fd, bytes.data() + done, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return FailureFromErrno(errno, "write", name);
        if (n == 0)
            return FailureFromErrno(EIO, "write", name);
        done += static_cast<std::size_t>(n);
    }
    return {};
}

// Opens the file for appending, creating it owner-only when it is not there. `created` says
// which it was.
FileResult<int> OpenForAppend(const fs::path& file, bool reading, bool& created) {
    // O_NONBLOCK: a FIFO at the name must not hold the open up; O_NOFOLLOW: a link at the name
    // would send the bytes wherever it points.
    const int flags = (reading ? O_RDWR : O_WRONLY) | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = ::open(file.c_str(), flags);
        created = false;
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(file.c_str(), flags | O_CREAT | O_EXCL, 0600);
            created = fd >= 0;
            if (fd < 0 && errno == EEXIST)
                continue; // someone else created it meanwhile
        }
        if (fd >= 0)
            return fd;
        if (errno == ELOOP)
            return Refusal(FileFault::Link, file, "is a symbolic link");
        if (errno == ENXIO || errno == EISDIR)
            return Refusal(FileFault::NotRegular, file, "is not a regular file");
        return FailureFromErrno(errno, "open", file);
    }
    return FailureFromErrno(EEXIST, "create", file);
}

// Takes the file back to what it held before an append that did not complete, provided
// nothing but that append changed it; a file the append created goes again.
void CutBack(int fd, const fs::path& file, bool created, off_t before, std::size_t appended) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size != before + static_cast<off_t>(appended))
        return;
    if (created && before == 0) {
        struct stat named {};
        if (::lstat(file.c_str(), &named) == 0 && named.st_dev == st.st_dev && named.st_ino == st.st_ino)
            ::unlink(file.c_str());
        return;
    }
    if (::ftruncate(fd, before) == 0)
        (void)::fdatasync(fd);
}

} // namespace

FileResult<void> WriteAll(NativeFile file, std::string_view bytes, const fs::path& name) {
    std::size_t done = 0;
    return WriteCounting(file, bytes, name, done);
}

FileResult<void> SyncToDisk(NativeFile file, const fs::path& name) {
    if (const FileStepOutcome fault = AskFileStepHook(FileStep::Sync, name); fault.error)
        return FailureFromErrno(fault.error, "write to disk", name);
    // The data and the size, which is all a reader needs; the rest of the metadata may lag.
    while (::fdatasync(file) != 0) {
        if (errno != EINTR)
            return FailureFromErrno(errno, "write to disk", name);
    }
    return {};
}

FileResult<void> SyncToDiskByName(const fs::path& name) {
    Descriptor d{::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    if (d.fd < 0)
        return FailureFromErrno(errno, "open", name);
    return SyncToDisk(d.fd, name);
}

FileResult<void> SyncFolderOf(const fs::path& file) {
    const fs::path folder = FolderOf(file);
    if (const FileStepOutcome fault = AskFileStepHook(FileStep::SyncFolder, folder); fault.error)
        return FailureFromErrno(fault.error, "sync the folder", folder);
    Descriptor d{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (d.fd < 0)
        return FailureFromErrno(errno, "open the folder", folder);
    while (::fsync(d.fd) != 0) {
        if (errno == EINVAL || errno == ENOTSUP || errno == EBADF)
            return {}; // a file system that keeps no folder state to sync
        if (errno != EINTR)
            return FailureFromErrno(errno, "sync the folder", folder);
    }
    return {};
}

FileResult<void> RenameOver(const fs::path& from, const fs::path& to, RenameStyle) {
    if (const FileStepOutcome fault = AskFileStepHook(FileStep::Rename, to); fault.error)
        return FailureFromErrno(fault.error, "rename over", to);
    if (::rename(from.c_str(), to.c_str()) != 0)
        return FailureFromErrno(errno, "rename over", to);
    return {};
}

FileResult<bool> RenameIfAbsent(const fs::path& from, const fs::path& to) {
    if (const FileStepOutcome fault = AskFileStepHook(FileStep::Rename, to); fault.error)
        return FailureFromErrno(fault.error, "rename to", to);
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    if (errno != EINVAL && errno != ENOSYS)
        return FailureFromErrno(errno, "rename to", to);
    // A file system without RENAME_NOREPLACE: a hard link fails the same way when the name is taken.
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST)
            return false;
        return FailureFromErrno(errno, "link to", to);
    }
    ::unlink(from.c_str());
    return true;
}

FileResult<bool> WriteFileDurably(const fs::path& target, std::string_view bytes, ReplaceMode mode,
                                  std::optional<unsigned> permissions) {
    RemoveStaleTemps(target);
    const fs::path temp = RewriteTempPathFor(target);
    // Created with its final mode (less the umask) from the start: never readable by more
    // people than the file it replaces, not even for a moment.
    const mode_t bits = permissions ? static_cast<mode_t>(*permissions) : 0666;
    Descriptor d{::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, bits)};
    if (d.fd < 0)
        return FailureFromErrno(errno, "create", temp);
    if (permissions)
        ::fchmod(d.fd, bits); // the umask may have taken bits the caller asked for
    FileResult<void> written = WriteAll(d.fd, bytes, temp);
    if (written)
        written = SyncToDisk(d.fd, temp);
    if (written && ::close(std::exchange(d.fd, -1)) != 0)
        written = FailureFromErrno(errno, "close", temp);
    if (!written) {
        ::unlink(temp.c_str());
        return written.Failure();
    }
    bool installed = true;
    if (mode == ReplaceMode::OnlyIfAbsent) {
        FileResult<bool> renamed = RenameIfAbsent(temp, target);
        if (!renamed) {
            ::unlink(temp.c_str());
            return renamed;
        }
        installed = *renamed;
    } else if (FileResult<void> renamed = RenameOver(temp, target); !renamed) {
        ::unlink(temp.c_str());
        return renamed.Failure();
    }
    if (!installed) {
        ::unlink(temp.c_str());
        return false;
    }
    (void)SyncFolderOf(target); // see CommitTemporary
    return true;
}

FileResult<void> AppendOwnerOnly(const fs::path& file, std::string_view bytes, const AppendOptions& options) {
    const bool reading = !options.unterminatedPrefix.empty();
    for (int round = 0;; ++round) {
        bool created = false;
        FileResult<int> opened = OpenForAppend(file, reading, created);
        if (!opened)
            return opened.Failure();
        Descriptor d{*opened};
        struct stat st {};
        if (::fstat(d.fd, &st) != 0)
            return FailureFromErrno(errno, "examine", file);
        if (!S_ISREG(st.st_mode))
            return Refusal(FileFault::NotRegular, file, "is not a regular file");
        if (round == 0 && options.rotateAt > 0 && st.st_size > 0 &&
            static_cast<std::uint64_t>(st.st_size) + bytes.size() > options.rotateAt) {
            ::close(std::exchange(d.fd, -1));
            if (FileResult<void> moved = RenameOver(file, options.rotateTo, RenameStyle::Move); !moved)
                return moved;
            continue;
        }
        std::string data(bytes);
        char last = '\n';
        if (reading && st.st_size > 0 && ::pread(d.fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
            data.insert(0, options.unterminatedPrefix);
        std::size_t done = 0;
        FileResult<void> result = WriteCounting(d.fd, data, file, done);
        if (result && options.durability == Durability::OnDisk) {
            result = SyncToDisk(d.fd, file);
            done = result ? done : data.size();
        }
        if (!result) {
            CutBack(d.fd, file, created, st.st_size, done);
            return result;
        }
        if (created && options.durability == Durability::OnDisk)
            (void)SyncFolderOf(file); // the new name, too, is to survive a power cut
        return {};
    }
}

FileResult<std::string> ReadRegularFile(const fs::path& file, std::uint64_t maxBytes) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    Descriptor d{::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    if (d.fd < 0) {
        if (errno == ELOOP)
            return Refusal(FileFault::Link, file, "is a symbolic link");
        return FailureFromErrno(errno, "open", file);
    }
    struct stat st {};
    if (::fstat(d.fd, &st) != 0)
        return FailureFromErrno(errno, "examine", file);
    if (!S_ISREG(st.st_mode))
        return Refusal(FileFault::NotRegular, file, "is not a regular file");
    const auto tooLarge = [&] {
        return Refusal(FileFault::TooLarge, file, "holds more than " + std::to_string(maxBytes) + " bytes");
    };
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes)
        return tooLarge();
    std::string bytes;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(d.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return FailureFromErrno(errno, "read", file);
        if (n == 0)
            return bytes;
        bytes.append(buf, static_cast<std::size_t>(n));
        if (bytes.size() > maxBytes) // it grew while being read
            return tooLarge();
    }
}

#endif

} // namespace ct
