#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/fs/FileSystem.h"

namespace ct {

// Something other than a regular file stands at a name that must hold one (a FIFO, a device, a
// folder): refused at once instead of blocking on it or reading it as text.
class NotARegularFileError : public FileSystemError {
public:
    using FileSystemError::FileSystemError;
};

// Windows: another process holds the file open without sharing it (a producer writing it).
class FileInUseError : public FileSystemError {
public:
    using FileSystemError::FileSystemError;
};

// One version of a file: the device that holds it and its file number there. A rename over the
// name gives the name another identity; an append does not.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// A regular file opened for reading through a handle of its own, so that every read refers to
// the version that was opened even while the name is replaced. The open never blocks (a FIFO at
// the name is refused, not waited on).
class ReadOnlyFile {
public:
    enum class Sharing {
        Everyone,          // others may read, write and delete meanwhile
        KeepWritersOut,    // Windows: nobody may open the file for writing meanwhile (POSIX: as Everyone)
    };

    // nullopt when nothing is at the name. Raises NotARegularFileError for anything but a
    // regular file and FileSystemError for every other failure.
    static std::optional<ReadOnlyFile> Open(const std::filesystem::path& file, Sharing sharing = Sharing::Everyone);

    ReadOnlyFile(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    ~ReadOnlyFile();

    const std::filesystem::path& Path() const { return m_path; }
    FileIdentity Identity() const { return m_identity; }
    // The size now: it grows while producers append.
    std::int64_t Size() const;
    // Permission bits (POSIX; 0666 elsewhere).
    unsigned Mode() const { return m_mode; }
    // Up to `length` bytes from `offset`; fewer only at the end of the file.
    std::size_t ReadInto(std::int64_t offset, char* buffer, std::size_t length) const;
    std::string Read(std::int64_t offset, std::int64_t length) const;
    // From `offset` to the end of the file as it is while being read.
    std::string ReadFrom(std::int64_t offset) const;

#ifdef _WIN32
    void* Handle() const { return m_handle; }
#else
    int Fd() const { return m_fd; }
    // Hands the descriptor over to the caller, who closes it.
    int ReleaseFd();
#endif

private:
    ReadOnlyFile() = default;
    void Close();

    std::filesystem::path m_path;
    FileIdentity m_identity;
    unsigned m_mode = 0666;
#ifdef _WIN32
    void* m_handle = nullptr;
#else
    int m_fd = -1;
#endif
};

} // namespace ct
