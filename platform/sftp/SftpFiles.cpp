// Files and folders over the SFTP channel: the paths of the job mapped onto the server's, and
// the transfers, which keep many requests in flight.
#include "platform/sftp/SftpSession.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ct::sftp {

using namespace std::chrono_literals;

namespace {

// Requests of one transfer in flight at most, as OpenSSH's sftp keeps.
constexpr std::size_t MaxRequests = 64;
// Work events at most this often; the last count is always reported.
constexpr auto ProgressInterval = 50ms;
// How long a transfer's loop waits for the socket before it looks at its clock again.
constexpr auto Slice = 50ms;

// A local file opened once and used only through its handle; only regular files are taken,
// so that a FIFO or a device named as the local file fails at once instead of blocking.
class LocalFile {
public:
    ~LocalFile() { Close(); }
    // Empty on success, else why not (no path in it). A file opened for writing keeps its
    // content until Truncate, so that a refused download leaves it as it was.
    std::string Open(const std::string& path, bool write, bool mayExist) {
        const std::filesystem::path native(std::u8string(path.begin(), path.end()));
        int flags = O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | (write ? O_WRONLY | O_CREAT : O_RDONLY);
        if (write && !mayExist)
            flags |= O_EXCL;
        m_fd = ::open(native.c_str(), flags, 0666);
        if (m_fd < 0) {
            const int error = errno;
            if (error == EEXIST)
                return "the local file exists already";
            if (error == ENOENT)
                return "the local file does not exist";
            if (error == EISDIR || error == ENXIO || error == ELOOP)
                return "the local file is not a regular file";
            return std::string("the local file cannot be opened (") + std::strerror(error) + ")";
        }
        struct stat st {};
        const int fl = ::fcntl(m_fd, F_GETFL);
        if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode) || fl < 0 || ::fcntl(m_fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
            Close();
            return "the local file is not a regular file";
        }
        m_size = st.st_size;
        return {};
    }
    std::int64_t Size() const { return m_size; }
    // Cuts the file to `size` bytes and goes on writing after them.
    bool CutTo(std::int64_t size) { return ::ftruncate(m_fd, size) == 0 && ::lseek(m_fd, size, SEEK_SET) == size; }
    bool SeekTo(std::int64_t offset) { return ::lseek(m_fd, offset, SEEK_SET) == offset; }
    std::int64_t Read(char* buffer, std::size_t length) {
        for (;;) {
            const ssize_t n = ::read(m_fd, buffer, length);
            if (n >= 0 || errno != EINTR)
                return n;
        }
    }
    bool Write(const char* buffer, std::size_t length) {
        while (length > 0) {
            const ssize_t n = ::write(m_fd, buffer, length);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            buffer += n;
            length -= static_cast<std::size_t>(n);
        }
        return true;
    }
    bool Close() {
        if (m_fd < 0)
            return true;
        const bool ok = ::close(m_fd) == 0;
        m_fd = -1;
        return ok;
    }

private:
    int m_fd = -1;
    std::int64_t m_size = 0;
};

// The work events of one transfer and its rules of time: a stall (no byte for the data
// time-out) and the low-speed floor, both on the transfer's clock.
class TransferWatch {
public:
    TransferWatch(ITransferClient& client, TWorkMode mode, const SftpSettings& settings)
        : m_client(client), m_mode(mode), m_settings(settings),
          m_clock(settings.clock ? *settings.clock : SystemClock()) {}

    void Begin(std::int64_t expected) {
        m_begun = true;
        m_lastMove = m_lastReport = m_clock.Now();
        m_windowEnd = m_lastMove + m_settings.lowSpeedWindow;
        if (m_client.OnWorkBegin)
            m_client.OnWorkBegin(&m_client, m_mode, expected);
    }
    void Moved(std::int64_t total) {
        const auto now = m_clock.Now();
        if (total > m_count) {
            m_windowMoved += total - m_count;
            m_count = total;
            m_lastMove = now;
        }
        if (now >= m_lastReport + ProgressInterval && m_reported != m_count) {
            m_lastReport = now;
            m_reported = m_count;
            if (m_client.OnWork)
                m_client.OnWork(&m_client, m_mode, m_count);
        }
    }
    // Empty while the transfer keeps the rules, else the reason it breaks one.
    std::string Broken(std::chrono::milliseconds stall) {
        const auto now = m_clock.Now();
        if (now - m_lastMove >= stall)
            return "no data for " + std::to_string(stall.count() / 1000) + " s (stalled)";
        if (now >= m_windowEnd) {
            if (m_settings.lowSpeedBytes > 0 && m_windowMoved < m_settings.lowSpeedBytes)
                return "too slow: fewer than " + std::to_string(m_settings.lowSpeedBytes) + " bytes in " +
                       std::to_string(m_settings.lowSpeedWindow.count() / 1000) + " s";
            m_windowMoved = 0;
            m_windowEnd = now + m_settings.lowSpeedWindow;
        }
        return {};
    }
    void End() {
        if (!m_begun)
            return;
        m_begun = false;
        if (m_client.OnWork)
            m_client.OnWork(&m_client, m_mode, m_count);
        if (m_client.OnWorkEnd)
            m_client.OnWorkEnd(&m_client, m_mode);
    }
    // On the way out of a failed transfer: the end still pairs the begin, but a handler's
    // error must not replace the transfer's own.
    void EndQuietly() noexcept {
        try {
            if (m_begun && m_client.OnWorkEnd) {
                m_begun = false;
                m_client.OnWorkEnd(&m_client, m_mode);
            }
        } catch (...) {
        }
    }

private:
    ITransferClient& m_client;
    TWorkMode m_mode;
    const SftpSettings& m_settings;
    IClock& m_clock;
    bool m_begun = false;
    std::int64_t m_count = 0;
    std::int64_t m_reported = -1;
    std::int64_t m_windowMoved = 0;
    std::chrono::steady_clock::time_point m_lastMove, m_lastReport, m_windowEnd;
};

// The reads of one download: the ranges asked for, the data that came before the data ahead of
// it, and where the file ends. Requests go out ahead of the answers, up to MaxRequests.
struct ReadAhead {
    struct Range {
        std::uint64_t offset;
        std::uint32_t length;
    };
    std::map<std::uint32_t, Range> inFlight;  // by request id
    std::deque<Range> again;                  // the rest of short reads
    std::map<std::uint64_t, std::string> early;
    std::uint64_t nextOffset;
    std::uint64_t written;  // the data handed on so far ends here
    std::optional<std::uint64_t> end;
    std::string current;

    explicit ReadAhead(std::uint64_t start) : nextOffset(start), written(start) {}

    bool MoreToAsk() const { return inFlight.size() < MaxRequests && (!again.empty() || !end); }
    Range NextRange(std::uint32_t chunk) {
        if (!again.empty()) {
            const Range range = again.front();
            again.pop_front();
            return range;
        }
        nextOffset += chunk;
        return {nextOffset - chunk, chunk};
    }
    // Takes the answer to the read of `range`; false when it is neither data nor the end.
    bool Take(const Range& range, const Reply& reply) {
        PacketReader reader(reply.body);
        const std::optional<std::string_view> data = reply.type == Fxp::Data ? reader.Str() : std::nullopt;
        const std::size_t length = data ? data->size() : 0;
        if (data && length > 0 && length <= range.length) {
            early.emplace(range.offset, std::string(*data));
            if (length < range.length)
                again.push_back({range.offset + length, static_cast<std::uint32_t>(range.length - length)});
            return true;
        }
        const auto status = ParseStatus(reply);
        if ((data && length == 0) || (status && status->code == FxStatus::Eof)) {
            end = std::min(end.value_or(range.offset), range.offset);
            return true;
        }
        return false;
    }
    // The next data in file order, while there is any; valid until the next call.
    const std::string* Next() {
        if (early.empty() || early.begin()->first != written || (end && written >= *end))
            return nullptr;
        current = std::move(early.begin()->second);
        early.erase(early.begin());
        written += current.size();
        return &current;
    }
    bool Done() const { return end && inFlight.empty() && again.empty(); }
};

bool HasNul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

} // namespace

// ---- paths ----

std::string SftpSession::VirtualPath(const std::string& path) const {
    std::vector<std::string> segments;
    const std::string joined = !path.empty() && path.front() == '/' ? path : m_cwd + "/" + path;
    std::size_t start = 0;
    while (start <= joined.size()) {
        const auto slash = std::min(joined.find('/', start), joined.size());
        const std::string segment = joined.substr(start, slash - start);
        // The login folder is the root: ".." stops there, as it does at an FTP server's root.
        if (segment == "..") {
            if (!segments.empty())
                segments.pop_back();
        } else if (!segment.empty() && segment != ".") {
            segments.push_back(segment);
        }
        start = slash + 1;
    }
    std::string result;
    for (const auto& segment : segments)
        result += "/" + segment;
    return result.empty() ? "/" : result;
}

std::string SftpSession::ServerPath(const std::string& path) const {
    const std::string virtualPath = VirtualPath(path);
    if (virtualPath == "/")
        return m_home;
    return (m_home == "/" ? std::string() : m_home) + virtualPath;
}

// ---- requests on files ----

std::string SftpSession::OpenHandle(const std::string& serverPath, std::uint32_t flags, const std::string& what,
                                    bool missingIsRemoteMissing) {
    const Reply reply = Request(PacketWriter(Fxp::Open, NextId()).Str(serverPath).U32(flags).Attrs({}));
    if (reply.type == Fxp::Handle) {
        PacketReader reader(reply.body);
        if (const auto handle = reader.Str(); handle && handle->size() <= 256)
            return std::string(*handle);
    }
    FailStatus(what, reply, missingIsRemoteMissing);
}

void SftpSession::CloseHandle(const std::string& handle, bool wait) {
    const std::uint32_t id = Send(PacketWriter(Fxp::Close, NextId()).Str(handle));
    if (!wait) {
        Forget(id);
        return;
    }
    const Reply reply = Await(id);
    const auto status = ParseStatus(reply);
    if (!status || status->code != FxStatus::Ok)
        FailStatus("Closing the remote file", reply);
}

void SftpSession::GiveUp(const std::string& handle) noexcept {
    if (m_state != State::Ready || handle.empty())
        return;
    // Nothing else is outstanding in this session: whatever answers come now are the given-up
    // transfer's, and the file is closed without waiting for the server.
    m_awaited.clear();
    m_replies.clear();
    try {
        CloseHandle(handle, false);
    } catch (...) {
    }
}

std::int64_t SftpSession::HandleSize(const std::string& handle) {
    const Reply reply = Request(PacketWriter(Fxp::Fstat, NextId()).Str(handle));
    PacketReader reader(reply.body);
    const auto attrs = reply.type == Fxp::Attrs ? reader.Attrs() : std::nullopt;
    return attrs && attrs->size ? static_cast<std::int64_t>(*attrs->size) : -1;
}

std::int64_t SftpSession::Size(const std::string& remotePath) {
    RequireConnection();
    if (HasNul(remotePath))
        return -1;
    const Reply reply = Request(PacketWriter(Fxp::Stat, NextId()).Str(ServerPath(remotePath)));
    PacketReader reader(reply.body);
    const auto attrs = reply.type == Fxp::Attrs ? reader.Attrs() : std::nullopt;
    if (!attrs || !attrs->size || attrs->IsDirectory())
        return -1;
    return static_cast<std::int64_t>(*attrs->size);
}

// ---- folders ----

void SftpSession::MakeDir(const std::string& name) {
    RequireConnection();
    if (name.empty() || HasNul(name))
        Fail(TransferErrorKind::Job, "MKD refused: no folder name", "no folder name");
    const Reply reply = Request(PacketWriter(Fxp::Mkdir, NextId()).Str(ServerPath(name)).Attrs({}));
    const auto status = ParseStatus(reply);
    if (!status || status->code != FxStatus::Ok)
        FailStatus("MKD " + name, reply);
}

void SftpSession::ChangeDir(const std::string& path) {
    RequireConnection();
    // Only an absolute path says where the session ends up as it was given; a relative one
    // leaves the walk asking, as with FTP.
    m_knownDir.clear();
    if (path.empty())
        return;  // FTP's bare CWD: the session stays where it is
    if (HasNul(path))
        Fail(TransferErrorKind::Job, "CWD refused: the path holds a NUL character", "unsafe path");
    const std::string target = VirtualPath(path);
    const Reply reply = Request(PacketWriter(Fxp::Stat, NextId()).Str(ServerPath(target)));
    PacketReader reader(reply.body);
    const auto attrs = reply.type == Fxp::Attrs ? reader.Attrs() : std::nullopt;
    if (!attrs)
        FailStatus("CWD " + path, reply);
    if (!attrs->IsDirectory())
        throw TransferError("CWD " + path + " refused: not a folder", 550, TransferErrorKind::Job, "not a folder");
    m_cwd = target;
    if (path.front() == '/')
        m_knownDir = path;
}

std::string SftpSession::RetrieveCurrentDir() {
    RequireConnection();
    return m_cwd;
}

// ---- transfers ----

std::int64_t SftpSession::Get(const std::string& remotePath, const std::string& localPath, bool overwrite,
                              std::int64_t start) {
    RequireConnection();
    if (HasNul(remotePath))
        Fail(TransferErrorKind::Job, "RETR refused: the path holds a NUL character", "unsafe path");
    LocalFile local;
    if (const std::string problem = local.Open(localPath, true, overwrite); !problem.empty())
        Fail(TransferErrorKind::Job, "Local file: " + problem, problem);
    // A resumed download goes on after the part the local file already holds, at most.
    start = std::clamp<std::int64_t>(start, 0, local.Size());
    const std::string handle = OpenHandle(ServerPath(remotePath), OpenRead, "RETR " + remotePath, true);
    TransferWatch watch(m_eventSource, TWorkMode::wmRead, m_settings);
    try {
        const std::int64_t size = HandleSize(handle);
        if (!local.CutTo(start))
            Fail(TransferErrorKind::Job, "Local file: cannot be written", "the local file cannot be written");
        watch.Begin(size);

        ReadAhead reads(static_cast<std::uint64_t>(start));
        for (;;) {
            while (reads.MoreToAsk()) {
                const ReadAhead::Range range = reads.NextRange(m_readChunk);
                reads.inFlight.emplace(
                    Send(PacketWriter(Fxp::Read, NextId()).Str(handle).U64(range.offset).U32(range.length)), range);
            }
            for (auto it = reads.inFlight.begin(); it != reads.inFlight.end();) {
                const auto found = m_replies.find(it->first);
                if (found == m_replies.end()) {
                    ++it;
                    continue;
                }
                const Reply reply = std::move(found->second);
                m_replies.erase(found);
                const ReadAhead::Range range = it->second;
                it = reads.inFlight.erase(it);
                if (!reads.Take(range, reply))
                    FailStatus("RETR " + remotePath, reply);
            }
            for (const std::string* data = reads.Next(); data; data = reads.Next())
                if (!local.Write(data->data(), data->size()))
                    Fail(TransferErrorKind::Job, "Local file: cannot be written", "the local file cannot be written");
            watch.Moved(static_cast<std::int64_t>(reads.written));
            if (reads.Done())
                break;
            if (const std::string broken = watch.Broken(m_settings.dataTimeout); !broken.empty())
                FailLost("The download of " + remotePath + " failed: " + broken, broken);
            Pump(Clock::now() + Slice);
        }
        CloseHandle(handle, true);
        if (!local.Close())
            Fail(TransferErrorKind::Job, "Local file: cannot be written", "the local file cannot be written");
        watch.End();
        return start;
    } catch (...) {
        watch.EndQuietly();
        GiveUp(handle);
        throw;
    }
}

std::int64_t SftpSession::Put(const std::string& localPath, const std::string& remoteName, std::int64_t start) {
    RequireConnection();
    if (remoteName.empty() || HasNul(remoteName))
        Fail(TransferErrorKind::Job, "STOR refused: no remote file name", "no remote file name");
    LocalFile local;
    if (const std::string problem = local.Open(localPath, false, true); !problem.empty())
        Fail(TransferErrorKind::Job, "Local file: " + problem, problem);
    if (start < 0 || start > local.Size() || !local.SeekTo(start))
        start = 0;
    std::string handle;
    try {
        handle = OpenHandle(ServerPath(remoteName), OpenWrite | OpenCreate | (start > 0 ? 0 : OpenTruncate),
                            "STOR " + remoteName, false);
    } catch (const TransferError&) {
        // The folder may have gone: the walk has to look again.
        m_knownDir.clear();
        throw;
    }
    TransferWatch watch(m_eventSource, TWorkMode::wmWrite, m_settings);
    try {
        watch.Begin(local.Size() - start);
        std::map<std::uint32_t, std::uint32_t> inFlight;
        if (start > 0) {
            // The remote file keeps its first `start` bytes and nothing after them; the cut
            // goes ahead of the writes on the same handle, and its refusal fails the upload.
            FileAttrs cut;
            cut.size = static_cast<std::uint64_t>(start);
            inFlight.emplace(Send(PacketWriter(Fxp::Fsetstat, NextId()).Str(handle).Attrs(cut)), 0);
        }
        std::vector<char> buffer(m_writeChunk);
        std::uint64_t offset = static_cast<std::uint64_t>(start);
        std::int64_t acknowledged = 0;
        bool localEnd = false;
        std::optional<std::uint32_t> closing;
        for (;;) {
            while (!localEnd && inFlight.size() < MaxRequests) {
                const std::int64_t n = local.Read(buffer.data(), buffer.size());
                if (n < 0)
                    Fail(TransferErrorKind::Job, "Local file: cannot be read", "the local file cannot be read");
                if (n == 0) {
                    localEnd = true;
                    break;
                }
                const std::string_view data(buffer.data(), static_cast<std::size_t>(n));
                inFlight.emplace(Send(PacketWriter(Fxp::Write, NextId()).Str(handle).U64(offset).Str(data)),
                                 static_cast<std::uint32_t>(n));
                offset += static_cast<std::uint64_t>(n);
            }
            for (auto it = inFlight.begin(); it != inFlight.end();) {
                const auto found = m_replies.find(it->first);
                if (found == m_replies.end()) {
                    ++it;
                    continue;
                }
                const Reply reply = std::move(found->second);
                m_replies.erase(found);
                const auto status = ParseStatus(reply);
                if (!status || status->code != FxStatus::Ok)
                    FailStatus("STOR " + remoteName, reply);
                acknowledged += it->second;
                it = inFlight.erase(it);
            }
            watch.Moved(acknowledged);
            // The close goes out behind the last write, without waiting for its answer: the
            // server takes a handle's requests in order, and a write it refuses still fails
            // the upload. A small file then costs two round trips, not three.
            if (localEnd && !closing)
                closing = Send(PacketWriter(Fxp::Close, NextId()).Str(handle));
            if (localEnd && inFlight.empty())
                break;
            if (const std::string broken = watch.Broken(m_settings.dataTimeout); !broken.empty())
                FailLost("The upload of " + remoteName + " failed: " + broken, broken);
            Pump(Clock::now() + Slice);
        }
        const Reply closed = Await(*closing);
        if (const auto status = ParseStatus(closed); !status || status->code != FxStatus::Ok)
            FailStatus("Closing the remote file", closed);
        handle.clear();  // closed: nothing to give up
        watch.End();
        return start;
    } catch (...) {
        watch.EndQuietly();
        GiveUp(handle);
        throw;
    }
}

// ---- times, names ----

std::optional<std::int64_t> SftpSession::ModifiedTime(const std::string& remotePath) {
    RequireConnection();
    if (HasNul(remotePath))
        return std::nullopt;
    const Reply reply = Request(PacketWriter(Fxp::Stat, NextId()).Str(ServerPath(remotePath)));
    PacketReader reader(reply.body);
    const auto attrs = reply.type == Fxp::Attrs ? reader.Attrs() : std::nullopt;
    if (!attrs || !attrs->mtime)
        return std::nullopt;
    return static_cast<std::int64_t>(*attrs->mtime);
}

bool SftpSession::SetModifiedTime(const std::string& remotePath, std::int64_t unixSeconds) {
    RequireConnection();
    // SFTP version 3 carries times as 32 bits.
    if (HasNul(remotePath) || unixSeconds < 0 || unixSeconds > 0xffffffffLL)
        return false;
    FileAttrs times;
    times.atime = times.mtime = static_cast<std::uint32_t>(unixSeconds);
    const Reply reply = Request(PacketWriter(Fxp::Setstat, NextId()).Str(ServerPath(remotePath)).Attrs(times));
    const auto status = ParseStatus(reply);
    return status && status->code == FxStatus::Ok;
}

void SftpSession::Rename(const std::string& from, const std::string& to) {
    RequireConnection();
    if (HasNul(from) || HasNul(to))
        Fail(TransferErrorKind::Job, "Rename refused: a path holds a NUL character", "unsafe path");
    // Plain SFTP refuses to replace an existing file; OpenSSH's extension replaces it in one
    // step, as rename(2) does.
    PacketWriter request = m_posixRename
                               ? std::move(PacketWriter(Fxp::Extended, NextId()).Str("posix-rename@openssh.com"))
                               : PacketWriter(Fxp::Rename, NextId());
    const Reply reply = Request(request.Str(ServerPath(from)).Str(ServerPath(to)));
    const auto status = ParseStatus(reply);
    if (!status || status->code != FxStatus::Ok)
        FailStatus("Rename of " + from + " to " + to, reply);
}

void SftpSession::Delete(const std::string& remotePath) {
    RequireConnection();
    if (HasNul(remotePath))
        Fail(TransferErrorKind::Job, "Delete refused: the path holds a NUL character", "unsafe path");
    const Reply reply = Request(PacketWriter(Fxp::Remove, NextId()).Str(ServerPath(remotePath)));
    const auto status = ParseStatus(reply);
    if (!status || status->code != FxStatus::Ok)
        FailStatus("Delete of " + remotePath, reply);
}

} // namespace ct::sftp
