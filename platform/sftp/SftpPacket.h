#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ct::sftp {

// The SFTP version 3 messages this client sends and reads (draft-ietf-secsh-filexfer-02, the
// version OpenSSH speaks).
enum class Fxp : std::uint8_t {
    Init = 1, Version = 2, Open = 3, Close = 4, Read = 5, Write = 6, Lstat = 7, Fstat = 8,
    Setstat = 9, Fsetstat = 10, Opendir = 11, Readdir = 12, Remove = 13, Mkdir = 14, Rmdir = 15,
    Realpath = 16, Stat = 17, Rename = 18,
    Status = 101, Handle = 102, Data = 103, Name = 104, Attrs = 105,
    Extended = 200, ExtendedReply = 201,
};

enum class FxStatus : std::uint32_t {
    Ok = 0, Eof = 1, NoSuchFile = 2, PermissionDenied = 3, Failure = 4, BadMessage = 5,
    NoConnection = 6, ConnectionLost = 7, OpUnsupported = 8,
};

inline constexpr std::uint32_t OpenRead = 0x01;
inline constexpr std::uint32_t OpenWrite = 0x02;
inline constexpr std::uint32_t OpenCreate = 0x08;
inline constexpr std::uint32_t OpenTruncate = 0x10;

// The largest message read from the server: OpenSSH's own bound, with room for its framing.
inline constexpr std::uint32_t MaxMessage = 256 * 1024 + 1024;

// File attributes, as far as this client reads or sets them.
struct FileAttrs {
    std::optional<std::uint64_t> size;
    std::optional<std::uint32_t> permissions;
    std::optional<std::uint32_t> atime;
    std::optional<std::uint32_t> mtime;

    bool IsDirectory() const { return permissions && (*permissions & 0170000) == 0040000; }
    bool IsRegular() const { return permissions && (*permissions & 0170000) == 0100000; }
};

// Builds one message: the length is filled in by Finish.
class PacketWriter {
public:
    PacketWriter(Fxp type, std::uint32_t id);
    // INIT has a version where the others have a request id.
    static PacketWriter Init(std::uint32_t version);
    PacketWriter& U32(std::uint32_t value);
    PacketWriter& U64(std::uint64_t value);
    PacketWriter& Str(std::string_view value);
    PacketWriter& Attrs(const FileAttrs& attrs);
    // The whole message with its length in front.
    std::string Finish() &&;
    // How many bytes a message with this much payload after the header takes (for WRITE).
    std::size_t Size() const { return m_bytes.size(); }

private:
    PacketWriter() = default;
    std::string m_bytes;
};

// Reads the fields of one message's body; every read is checked against the end.
class PacketReader {
public:
    explicit PacketReader(std::string_view body) : m_rest(body) {}
    std::optional<std::uint8_t> U8();
    std::optional<std::uint32_t> U32();
    std::optional<std::uint64_t> U64();
    std::optional<std::string_view> Str();
    std::optional<FileAttrs> Attrs();
    std::size_t Left() const { return m_rest.size(); }

private:
    std::string_view m_rest;
};

// One reply of the server: its type, request id and the rest of its body.
struct Reply {
    Fxp type = Fxp::Status;
    std::uint32_t id = 0;
    std::string body;  // after the id (after the type for VERSION)
};

// Splits the byte stream of the SFTP channel into messages. Bounded: a message longer than
// MaxMessage or shorter than its type and id makes Feed return false (the stream cannot be
// trusted any more).
class ReplyParser {
public:
    bool Feed(std::string_view bytes);
    bool HasReply() const { return m_next < m_ready.size(); }
    Reply Pop();

private:
    std::string m_buffer;
    std::size_t m_consumed = 0;
    std::vector<Reply> m_ready;
    std::size_t m_next = 0;
};

// A STATUS reply's code and message; nullopt when the body is malformed.
struct StatusReply {
    FxStatus code = FxStatus::Failure;
    std::string message;
};
std::optional<StatusReply> ParseStatus(const Reply& reply);

// "no such file", "permission denied", ... and the server's own words when it gave any.
std::string StatusText(const StatusReply& status);

} // namespace ct::sftp
