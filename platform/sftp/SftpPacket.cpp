#include "platform/sftp/SftpPacket.h"

#include <cctype>
#include <utility>

namespace ct::sftp {

namespace {

constexpr std::uint32_t AttrSize = 0x1;
constexpr std::uint32_t AttrUidGid = 0x2;
constexpr std::uint32_t AttrPermissions = 0x4;
constexpr std::uint32_t AttrTimes = 0x8;
constexpr std::uint32_t AttrExtended = 0x80000000u;

void PutU32(std::string& out, std::uint32_t v) {
    const char bytes[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                           static_cast<char>(v)};
    out.append(bytes, 4);
}

std::uint32_t GetU32(const char* p) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(p[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(p[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(p[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(p[3]));
}

} // namespace

PacketWriter::PacketWriter(Fxp type, std::uint32_t id) {
    m_bytes.assign(4, '\0');
    m_bytes.push_back(static_cast<char>(type));
    PutU32(m_bytes, id);
}

PacketWriter PacketWriter::Init(std::uint32_t version) {
    PacketWriter writer;
    writer.m_bytes.assign(4, '\0');
    writer.m_bytes.push_back(static_cast<char>(Fxp::Init));
    PutU32(writer.m_bytes, version);
    return writer;
}

PacketWriter& PacketWriter::U32(std::uint32_t value) {
    PutU32(m_bytes, value);
    return *this;
}

PacketWriter& PacketWriter::U64(std::uint64_t value) {
    PutU32(m_bytes, static_cast<std::uint32_t>(value >> 32));
    PutU32(m_bytes, static_cast<std::uint32_t>(value));
    return *this;
}

PacketWriter& PacketWriter::Str(std::string_view value) {
    PutU32(m_bytes, static_cast<std::uint32_t>(value.size()));
    m_bytes.append(value);
    return *this;
}

PacketWriter& PacketWriter::Attrs(const FileAttrs& attrs) {
    std::uint32_t flags = 0;
    if (attrs.size)
        flags |= AttrSize;
    if (attrs.permissions)
        flags |= AttrPermissions;
    if (attrs.atime && attrs.mtime)
        flags |= AttrTimes;
    U32(flags);
    if (attrs.size)
        U64(*attrs.size);
    if (attrs.permissions)
        U32(*attrs.permissions);
    if (flags & AttrTimes)
        U32(*attrs.atime).U32(*attrs.mtime);
    return *this;
}

std::string PacketWriter::Finish() && {
    const auto length = static_cast<std::uint32_t>(m_bytes.size() - 4);
    std::string head;
    PutU32(head, length);
    m_bytes.replace(0, 4, head);
    return std::move(m_bytes);
}

std::optional<std::uint8_t> PacketReader::U8() {
    if (m_rest.empty())
        return std::nullopt;
    const auto value = static_cast<std::uint8_t>(m_rest.front());
    m_rest.remove_prefix(1);
    return value;
}

std::optional<std::uint32_t> PacketReader::U32() {
    if (m_rest.size() < 4)
        return std::nullopt;
    const std::uint32_t value = GetU32(m_rest.data());
    m_rest.remove_prefix(4);
    return value;
}

std::optional<std::uint64_t> PacketReader::U64() {
    const auto high = U32();
    const auto low = high ? U32() : std::nullopt;
    if (!low)
        return std::nullopt;
    return (static_cast<std::uint64_t>(*high) << 32) | *low;
}

std::optional<std::string_view> PacketReader::Str() {
    const auto length = U32();
    if (!length || *length > m_rest.size())
        return std::nullopt;
    const std::string_view value = m_rest.substr(0, *length);
    m_rest.remove_prefix(*length);
    return value;
}

std::optional<FileAttrs> PacketReader::Attrs() {
    const auto flags = U32();
    if (!flags)
        return std::nullopt;
    FileAttrs attrs;
    if (*flags & AttrSize) {
        attrs.size = U64();
        if (!attrs.size)
            return std::nullopt;
    }
    if ((*flags & AttrUidGid) && (!U32() || !U32()))
        return std::nullopt;
    if (*flags & AttrPermissions) {
        attrs.permissions = U32();
        if (!attrs.permissions)
            return std::nullopt;
    }
    if (*flags & AttrTimes) {
        attrs.atime = U32();
        attrs.mtime = U32();
        if (!attrs.mtime)
            return std::nullopt;
    }
    if (*flags & AttrExtended) {
        const auto count = U32();
        if (!count)
            return std::nullopt;
        for (std::uint32_t i = 0; i < *count; ++i)
            if (!Str() || !Str())
                return std::nullopt;
    }
    return attrs;
}

bool ReplyParser::Feed(std::string_view bytes) {
    // What was taken is dropped only now, so that a burst of small replies is not copied for
    // each one.
    if (m_next == m_ready.size()) {
        m_ready.clear();
        m_next = 0;
    }
    m_buffer.erase(0, m_consumed);
    m_consumed = 0;
    m_buffer.append(bytes);
    while (m_buffer.size() - m_consumed >= 4) {
        const std::uint32_t length = GetU32(m_buffer.data() + m_consumed);
        if (length > MaxMessage || length < 5)
            return false;
        if (m_buffer.size() - m_consumed - 4 < length)
            break;
        const char* body = m_buffer.data() + m_consumed + 4;
        Reply reply;
        reply.type = static_cast<Fxp>(static_cast<unsigned char>(body[0]));
        reply.id = reply.type == Fxp::Version ? 0 : GetU32(body + 1);
        if (reply.type == Fxp::Version)
            reply.body.assign(body + 1, length - 1);  // the version, then the extensions
        else
            reply.body.assign(body + 5, length - 5);
        m_ready.push_back(std::move(reply));
        m_consumed += 4 + length;
    }
    return true;
}

Reply ReplyParser::Pop() {
    return std::move(m_ready[m_next++]);
}

std::optional<StatusReply> ParseStatus(const Reply& reply) {
    if (reply.type != Fxp::Status)
        return std::nullopt;
    PacketReader reader(reply.body);
    const auto code = reader.U32();
    if (!code)
        return std::nullopt;
    StatusReply status;
    status.code = static_cast<FxStatus>(*code);
    // The message is optional for the oldest servers.
    if (const auto message = reader.Str())
        status.message = std::string(message->substr(0, 160));
    return status;
}

std::string StatusText(const StatusReply& status) {
    std::string text;
    switch (status.code) {
    case FxStatus::Ok: text = "ok"; break;
    case FxStatus::Eof: text = "end of file"; break;
    case FxStatus::NoSuchFile: text = "no such file"; break;
    case FxStatus::PermissionDenied: text = "permission denied"; break;
    case FxStatus::Failure: text = "failure"; break;
    case FxStatus::BadMessage: text = "bad message"; break;
    case FxStatus::NoConnection: text = "no connection"; break;
    case FxStatus::ConnectionLost: text = "connection lost"; break;
    case FxStatus::OpUnsupported: text = "not supported"; break;
    default: text = "status " + std::to_string(static_cast<std::uint32_t>(status.code)); break;
    }
    std::string words;
    for (char c : status.message)
        words += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? ' ' : c;
    std::string lower = words;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // OpenSSH's words for a status are the status's own name; only other words add anything.
    if (!words.empty() && lower != text && lower != "success")
        text += " (" + words + ")";
    return text;
}

} // namespace ct::sftp
