#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ct::ftp {

// A local file opened once and used only through its handle, so that what was checked is
// what is read or written. Only regular files are accepted: a FIFO, a device or a folder
// named as the local file fails at once instead of blocking the transfer.
class FtpLocalFile {
public:
    enum class Mode {
        Read,      // the source of an upload
        Write,     // the destination of a download: opened, or created when missing
        WriteNew,  // the same, but an existing file is an error
    };

    FtpLocalFile() = default;
    ~FtpLocalFile();
    FtpLocalFile(const FtpLocalFile&) = delete;
    FtpLocalFile& operator=(const FtpLocalFile&) = delete;

    // Returns an empty text on success, else why not (no path in it). A file opened for
    // writing keeps its content until Truncate, so that a download the server refuses
    // leaves an existing file as it was.
    std::string Open(const std::string& utf8Path, Mode mode);
    bool IsOpen() const;
    // Whether Open made the file.
    bool Created() const { return m_created; }
    // Cuts the file to `length` bytes and writes on from there.
    bool Truncate(std::int64_t length = 0);
    // Reads or writes on from byte `offset`.
    bool Seek(std::int64_t offset);
    // Size at opening (Read mode).
    std::int64_t Size() const { return m_size; }
    // Reads up to `length` bytes; 0 at the end of the file, -1 on an error.
    std::int64_t Read(char* buffer, std::size_t length);
    // Writes all of it; false on an error.
    bool Write(const char* buffer, std::size_t length);
    // Closes, reporting a failure to write back what was written.
    bool Close();

private:
#if defined(_WIN32)
    void* m_handle = nullptr;
#else
    int m_fd = -1;
#endif
    std::int64_t m_size = 0;
    bool m_created = false;
};

} // namespace ct::ftp
