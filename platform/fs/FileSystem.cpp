#include "platform/fs/FileSystem.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
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

#ifndef _WIN32
std::string Describe(const std::string& what, const fs::path& file, int error) {
    return what + " " + file.string() + ": " + std::strerror(error);
}
#endif

std::string TempNameFor(const fs::path& target) {
    static std::atomic<unsigned> sequence{0};
#ifdef _WIN32
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
    return target.filename().string() + ".rewrite-" + std::to_string(pid) + "-" +
           std::to_string(sequence.fetch_add(1)) + ".tmp";
}

// Only called while the caller holds the target's rewrite lock, so every temporary file of
// this target that exists now was left by a process that died in the middle of a rewrite.
void RemoveStaleTemps(const fs::path& target) {
    std::error_code ec;
    fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (IsRewriteTempFor(target, it->path()))
            DeleteFileQuietly(it->path());
    }
}

} // namespace

fs::path RewriteTempPathFor(const fs::path& target) {
    return target.parent_path() / TempNameFor(target);
}

bool IsRewriteTempFor(const fs::path& target, const fs::path& candidate) {
    const std::string prefix = target.filename().string() + ".rewrite-";
    const std::string name = candidate.filename().string();
    return name.size() > prefix.size() + 4 && name.compare(0, prefix.size(), prefix) == 0 &&
           name.compare(name.size() - 4, 4, ".tmp") == 0;
}

bool FileExists(const fs::path& file) {
    std::error_code ec;
    return fs::exists(file, ec);
}

bool CreateDirectories(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    return fs::is_directory(dir, ec);
}

#ifdef _WIN32

fs::path ExecutableDir() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            throw FileSystemError("cannot find the executable's path");
        if (n < buffer.size() || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            buffer.resize(n);
            return fs::path(buffer).parent_path();
        }
        buffer.resize(buffer.size() * 2);
    }
}

void DeleteFileQuietly(const fs::path& file) {
    DeleteFileW(file.c_str());
}

std::optional<std::string> ReadFileIfExists(const fs::path& file) {
    // Writers may keep the file open; share everything so that reading never blocks them.
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)
            return std::nullopt;
        throw FileSystemError("cannot open " + file.string() + " (error " + std::to_string(e) + ")");
    }
    std::string bytes;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0)
        bytes.append(buf, got);
    CloseHandle(h);
    return bytes;
}

bool RenameWithoutReplacing(const fs::path& from, const fs::path& to) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
        return true;
    const DWORD e = GetLastError();
    if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS)
        return false;
    throw FileSystemError("cannot rename to " + to.string() + " (error " + std::to_string(e) + ")");
}

bool ReplaceFileAtomically(const fs::path& target, std::string_view bytes, ReplaceMode mode,
                           std::optional<unsigned> /*permissions*/) {
    RemoveStaleTemps(target);
    const fs::path temp = RewriteTempPathFor(target);
    HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw FileSystemError("cannot create " + temp.string());
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        DWORD wrote = 0;
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        ok = WriteFile(h, bytes.data() + done, chunk, &wrote, nullptr) != 0;
        done += wrote;
    }
    ok = ok && FlushFileBuffers(h) != 0;
    CloseHandle(h);
    if (!ok) {
        DeleteFileW(temp.c_str());
        throw FileSystemError("cannot write " + temp.string());
    }
    try {
        if (mode == ReplaceMode::OnlyIfAbsent) {
            if (!RenameWithoutReplacing(temp, target)) {
                DeleteFileW(temp.c_str());
                return false;
            }
            return true;
        }
        InstallOver(temp, target);
    } catch (...) {
        DeleteFileW(temp.c_str());
        throw;
    }
    return true;
}

void InstallOver(const fs::path& temp, const fs::path& target) {
    // ReplaceFileW keeps the replaced file's access list, attributes and creation time, so a
    // queue that its owner restricted stays restricted. A reader that opened the target without
    // FILE_SHARE_DELETE blocks the replace for a moment.
    for (int attempt = 0;; ++attempt) {
        if (ReplaceFileW(target.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
            return;
        DWORD e = GetLastError();
        if (e == ERROR_FILE_NOT_FOUND) {
            // No file to replace (any more): a plain rename installs the new one.
            if (MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH | MOVEFILE_REPLACE_EXISTING))
                return;
            e = GetLastError();
        }
        if ((e != ERROR_SHARING_VIOLATION && e != ERROR_ACCESS_DENIED && e != ERROR_UNABLE_TO_REMOVE_REPLACED) ||
            attempt == 50)
            throw FileSystemError("cannot replace " + target.string() + " (error " + std::to_string(e) + ")");
        Sleep(20);
    }
}

#else

fs::path ExecutableDir() {
    std::string buffer(4096, '\0');
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            throw FileSystemError(Describe("cannot read", "/proc/self/exe", errno));
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            return fs::path(buffer).parent_path();
        }
        buffer.resize(buffer.size() * 2);
    }
}

void DeleteFileQuietly(const fs::path& file) {
    ::unlink(file.c_str());
}

std::optional<std::string> ReadFileIfExists(const fs::path& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        throw FileSystemError(Describe("cannot open", file, errno));
    }
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            throw FileSystemError(Describe("cannot read", file, e));
        }
        if (n == 0)
            break;
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

namespace {

void WriteAll(int fd, std::string_view bytes, const fs::path& file) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw FileSystemError(Describe("cannot write", file, errno));
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

bool RenameWithoutReplacing(const fs::path& temp, const fs::path& target) {
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    if (errno != EINVAL && errno != ENOSYS)
        throw FileSystemError(Describe("cannot rename to", target, errno));
    // A file system without RENAME_NOREPLACE: a hard link fails the same way when the name is taken.
    if (::link(temp.c_str(), target.c_str()) != 0) {
        if (errno == EEXIST)
            return false;
        throw FileSystemError(Describe("cannot link to", target, errno));
    }
    ::unlink(temp.c_str());
    return true;
}

void InstallOver(const fs::path& temp, const fs::path& target) {
    if (::rename(temp.c_str(), target.c_str()) != 0)
        throw FileSystemError(Describe("cannot rename over", target, errno));
}

bool ReplaceFileAtomically(const fs::path& target, std::string_view bytes, ReplaceMode mode,
                           std::optional<unsigned> permissions) {
    RemoveStaleTemps(target);
    const fs::path temp = RewriteTempPathFor(target);
    // Created with its final mode (less the umask) from the start: never readable by more
    // people than the file it replaces, not even for a moment.
    const mode_t bits = permissions ? static_cast<mode_t>(*permissions) : 0666;
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, bits);
    if (fd < 0)
        throw FileSystemError(Describe("cannot create", temp, errno));
    try {
        if (permissions)
            ::fchmod(fd, bits); // the umask may have taken bits the caller asked for
        WriteAll(fd, bytes, temp);
    } catch (...) {
        ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
    if (::close(fd) != 0) {
        int e = errno;
        ::unlink(temp.c_str());
        throw FileSystemError(Describe("cannot close", temp, e));
    }
    bool installed = true;
    try {
        if (mode == ReplaceMode::OnlyIfAbsent) {
            installed = RenameWithoutReplacing(temp, target);
        } else {
            InstallOver(temp, target);
        }
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
    if (!installed) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

#endif

} // namespace ct
