#include "platform/fs/FileSystem.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "platform/fs/SafeFile.h"

#ifdef _WIN32
#include <io.h>
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

} // namespace

bool StandardErrorIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

#ifdef _WIN32
bool IsLocalPathSeparator(std::size_t, char c) {
    return c == '\\' || c == ':';
}
#else
bool IsLocalPathSeparator(std::size_t index, char c) {
    return c == '\\' || c == '/' || (c == ':' && index == 1);
}
#endif

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

#endif

bool RenameWithoutReplacing(const fs::path& from, const fs::path& to) {
    return RenameIfAbsent(from, to).OrThrow();
}

void InstallOver(const fs::path& temp, const fs::path& target) {
    RenameOver(temp, target).OrThrow();
}

bool ReplaceFileAtomically(const fs::path& target, std::string_view bytes, ReplaceMode mode,
                           std::optional<unsigned> permissions) {
    return WriteFileDurably(target, bytes, mode, permissions).OrThrow();
}

} // namespace ct
