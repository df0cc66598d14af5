// The transfers of FtpSession: the data connection, downloads and uploads.
#include "platform/ftp/FtpSession.h"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "platform/ftp/FtpHash.h"
#include "platform/ftp/FtpLocalFile.h"
#include "platform/ftp/FtpProgress.h"
#include "platform/ftp/FtpText.h"

namespace ct::ftp {

using asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

// How long a broken transfer waits for the server to say what happened before the
// connection is dropped instead.
constexpr auto CutReplyBudget = 2000ms;
// How often an upload looks at the bytes the server has acknowledged.
constexpr auto DrainTick = 20ms;
// The largest piece of an upload handed to the socket at once: where the system cannot tell
// what the peer has acknowledged, the pieces written are the progress. Where it can, the count
// it gives is the progress and a piece may be as large as the buffer: each costs a turn of
// the wait loop.
constexpr std::size_t UploadPiece = 64 * 1024;
// How often a write that completed looks at what the peer has acknowledged: the count is read
// from the system, and a look after every piece cost a fifth of a fast upload's time.
constexpr auto AckLook = 5ms;

} // namespace

// ---- transfers ----

std::uint16_t FtpSession::PassivePort() {
    if (!m_settings.passive)
        Fail(FtpErrorKind::Job, "Active mode is not supported; only passive transfers are", "active mode not supported");
    std::optional<std::uint16_t> port;
    if (!m_epsvRefused) {
        FtpReply reply = Command("EPSV");
        if (reply.code == 229) {
            port = ParseEpsvPort(reply.text);
            if (!port)
                FailReply("Cannot read the FTP server's EPSV reply", reply);
            m_epsvAnswered = true;
        } else if (reply.code >= 500) {
            m_epsvRefused = true;
        }
    }
    if (!port) {
        FtpReply reply = Command("PASV");
        if (reply.code != 227)
            FailReply("The FTP server refused passive mode", reply);
        port = ParsePasvPort(reply.text);
        if (!port)
            FailReply("Cannot read the FTP server's PASV reply", reply);
    }
    return *port;
}

FtpSession::TransferStart FtpSession::StartTransfer(const std::string& command, const std::string& argument) {
    const std::string line = command + " " + argument;
    std::uint16_t port = 0;
    bool commandSent = false;
    if (m_settings.pipelining && m_epsvAnswered) {
        // EPSV has worked on this session, and the transfer command does not depend on the
        // port it names: the two go out together, a round trip less per transfer.
        const auto deadline = TransferClock().Now() + m_settings.replyTimeout;
        SendCommands({"EPSV", line}, deadline);
        const FtpReply reply = ReadFinalReply(deadline);
        const auto epsvPort = reply.code == 229 ? ParseEpsvPort(reply.text) : std::nullopt;
        if (!epsvPort)
            FailReply("The FTP server refused passive mode", reply); // the command sent with it is lost
        port = *epsvPort;
        commandSent = true;
    } else {
        port = PassivePort();
    }
    // Only the port of the answer is used; the address is always the control connection's
    // peer, so a server (or a man in the middle) cannot point the client at another host.
    // The command goes out while the connection is still being made, as a server in passive
    // mode waits for the connection after the command either way: on a real link that saves
    // a round trip per transfer.
    m_data.Reset();
    m_data.StartConnect(tcp::endpoint(m_peer, port));
    m_dataPhase = DataPhase::Connecting;
    const auto connectDeadline = TransferClock().Now() + m_settings.connectTimeout;
    const auto deadline = TransferClock().Now() + m_settings.replyTimeout;
    if (!commandSent)
        SendCommands({line}, deadline);
    TransferStart start;
    for (;;) {
        if (!AdvanceData(start, command))
            return start;
        PumpControl();
        while (auto reply = NextParsedReply()) {
            if (reply->Preliminary()) {
                if (!start.opening)
                    start.opening = reply;
                continue;
            }
            start.final = reply;
        }
        if (start.final && !start.final->Positive()) {
            // Refused, before the transfer began or at once. A download cut at once may
            // have sent bytes already: its open data connection stays, for them to be read.
            if (!(start.opening && command == "RETR" && m_dataPhase == DataPhase::Open))
                m_data.Reset();
            return start;
        }
        if (m_controlGarbled || m_controlError)
            ReadReply(deadline); // raises the failure that fits
        // A final 2xx may come before the data has been read (an empty file, a fast server).
        if ((start.opening || start.final) && m_dataPhase == DataPhase::Open)
            return start;
        ArmControlRead();
        const bool connecting = m_dataPhase == DataPhase::Connecting;
        WaitEnd end = m_waiter.WaitForAny(TransferClock(), connecting ? std::min(deadline, connectDeadline) : deadline);
        if (end == WaitEnd::Aborted)
            FailAborted();
        if (end == WaitEnd::TimedOut) {
            if (connecting && TransferClock().Now() >= connectDeadline)
                FailTimeout("Timed out opening the data connection", "data connection timed out");
            if (TransferClock().Now() >= deadline)
                FailTimeout("Timed out waiting for the FTP server's reply to " + command,
                            "no reply to " + command + " (timed out)");
        }
    }
}

bool FtpSession::AdvanceData(TransferStart& start, const std::string& command) {
    if (m_dataPhase == DataPhase::Open || !m_data.OtherOp().Take())
        return true;
    const asio::error_code ec = m_data.OtherOp().ec;
    if (m_dataPhase == DataPhase::Connecting) {
        if (ec)
            return DataConnectFailed(start, ec);
        m_dataPhase = DataPhase::Open;
#if defined(CLOUDTRANSFER_TLS)
        // Started at once: some servers accept TLS on the data connection before they
        // answer the command, others after; waiting for either first could wait for ever.
        if (m_tls) {
            StartTls(m_data, "on the data connection");
            m_dataPhase = DataPhase::Handshaking;
        }
#endif
        return true;
    }
#if defined(CLOUDTRANSFER_TLS)
    CheckPeer(m_data, ec, "on the data connection");
    if (ec) {
        m_data.Reset();
        // The server says why on the control connection (vsftpd: 522 when the
        // session was not resumed); its reply makes the better reason.
        try {
            FtpReply reply = ReadFinalReply(TransferClock().Now() + std::min<Clock::duration>(m_settings.replyTimeout, CutReplyBudget));
            if (!reply.Positive())
                FailReply(command + " failed: the TLS handshake on the data connection failed", reply);
        } catch (const FtpError& e) {
            if (e.Kind() == FtpErrorKind::Aborted || e.ReplyCode() != 0)
                throw;
        }
        CloseAll();
        Fail(FtpErrorKind::Job, "The TLS handshake on the data connection failed: " + ec.message(),
             "TLS handshake on the data connection failed (" + ec.message() + ")");
    }
#else
    (void)command;
#endif
    m_dataPhase = DataPhase::Open;
    return true;
}

bool FtpSession::DataConnectFailed(TransferStart& start, const asio::error_code& ec) {
    const std::string reason = "cannot open the data connection (" + NetworkReason(ec) + ")";
    m_data.Reset();
    // A server that refuses the command closes its listener at once, so the connection may
    // fail before the refusal has been read: the reply says why.
    if (!start.final) {
        try {
            start.final = ReadFinalReply(TransferClock().Now() + std::min<Clock::duration>(m_settings.replyTimeout, CutReplyBudget));
        } catch (const FtpError& e) {
            if (e.Kind() == FtpErrorKind::Aborted)
                throw;
        }
    }
    if (start.final && !start.final->Positive())
        return false;
    // Otherwise the server still waits for the connection with the command unanswered: the
    // session is out of step.
    CloseAll();
    Fail(FtpErrorKind::Job, "Cannot open the data connection", reason);
}

void FtpSession::FailCut(const std::string& what, const asio::error_code& ec, std::optional<FtpReply> final) {
    m_data.Reset();
    if (!final) {
        try {
            final = ReadFinalReply(TransferClock().Now() + std::min<Clock::duration>(m_settings.replyTimeout, CutReplyBudget));
        } catch (const FtpError& e) {
            if (e.Kind() == FtpErrorKind::Aborted)
                throw;
            CloseAll();
        }
    }
    if (final && !final->Positive())
        FailReply(what, *final);
    const std::string reason = "data connection cut (" + NetworkReason(ec) + ")";
    if (final) {
        SetState(FtpState::Ready);
        ArmControlRead();
    }
    Fail(FtpErrorKind::Job, what + " (" + NetworkReason(ec) + ")", reason);
}
void FtpSession::TakeReplyDuringTransfer(const std::string& what, std::optional<FtpReply>& final) {
    if (auto refused = RefusalDuringTransfer(final)) {
        // The server gave up on the transfer (552 when a size limit is hit, 426 when it
        // cut the data connection): no point in moving another byte.
        m_data.Reset();
        FailReply(what, *refused);
    }
}

std::optional<FtpReply> FtpSession::RefusalDuringTransfer(std::optional<FtpReply>& final) {
    PumpControl();
    while (auto reply = NextParsedReply()) {
        if (reply->Preliminary())
            continue;
        if (!reply->Positive())
            return reply;
        final = reply;
    }
    if (m_controlGarbled || m_controlError)
        ReadReply(TransferClock().Now()); // raises the failure that fits
    ArmControlRead();
    return std::nullopt;
}

void FtpSession::FailStalled(const std::string& what) {
    CloseAll();
    Fail(FtpErrorKind::Job, what + ": the data connection moved nothing for " + SecondsText(m_settings.dataTimeout),
         "transfer stalled");
}

void FtpSession::FailTooSlow(const std::string& what, const std::string& floor) {
    CloseAll();
    Fail(FtpErrorKind::Job, what + ": the transfer moved " + floor, "transfer too slow (" + floor + ")");
}

std::vector<char>& FtpSession::Buffer() {
    if (m_buffer.empty())
        m_buffer.resize(FtpTransferBufferSize);
    return m_buffer;
}

void FtpSession::Receive(FtpLocalFile& file, WorkReporter& reporter, std::int64_t& total,
                         std::optional<FtpReply>& final, LocalHasher* hasher) {
    const std::string what = "The download broke off";
    auto& buffer = Buffer();
    // Reads fill the buffer and the file is written in large pieces: over TLS each read
    // brings one record (16 KiB), and a write per record would cost more than the reads.
    std::size_t filled = 0;
    auto flush = [&] {
        if (filled > 0 && !file.Write(buffer.data(), filled))
            FailLocal("the local file cannot be written");
        if (hasher && filled > 0)
            hasher->Update(buffer.data(), filled);
        filled = 0;
    };
    // Whatever ends the transfer early, the bytes already here reach the file: a download that
    // is resumed later goes on from them.
    try {
        IClock& clock = TransferClock();
        SpeedFloor floor(m_settings, clock);
        auto lastByte = clock.Now();
        std::optional<FtpReply> refused;
        auto drainUntil = Clock::time_point::max();
        if (final && !final->Positive()) {
            // Cut before the first read: what the server sent before it gave up is read first.
            refused = std::exchange(final, std::nullopt);
            drainUntil = clock.Now() + CutReplyBudget;
        }
        m_data.StartRead(asio::buffer(buffer));
        for (;;) {
            OpState& read = m_data.ReadOp();
            if (read.Take()) {
                if (read.bytes > 0) {
                    filled += read.bytes;
                    total += static_cast<std::int64_t>(read.bytes);
                    floor.Moved(static_cast<std::int64_t>(read.bytes));
                    lastByte = clock.Now();
                    reporter.Progress(total);
                }
                if (read.ec) {
                    flush();
                    if (refused) {
                        m_data.Reset();
                        FailReply(what, *refused);
                    }
                    if (m_data.IsCleanEnd(read.ec))
                        return;
                    if (m_data.IsTruncatedEnd(read.ec)) {
                        // Without the server's close_notify nothing shows that the file is whole.
                        m_data.Reset();
                        if (!final)
                            final = ReadFinalReply(TransferClock().Now() + m_settings.replyTimeout);
                        if (!final->Positive())
                            FailReply(what, *final);
                        SetState(FtpState::Ready);
                        ArmControlRead();
                        Fail(FtpErrorKind::Job, "The download ended without the server's TLS close",
                             "download ended without TLS close");
                    }
                    FailCut(what, read.ec, final);
                }
                if (buffer.size() - filled < buffer.size() / 4)
                    flush();
                m_data.StartRead(asio::buffer(buffer.data() + filled, buffer.size() - filled));
            }
            // A server that cuts the download says so on the control connection, often before
            // the bytes it sent have all been read: they are read first (for a while), so that
            // a later resume goes on from all of them.
            if (!refused && (refused = RefusalDuringTransfer(final)))
                drainUntil = clock.Now() + CutReplyBudget;
            const auto now = clock.Now();
            if (refused && now >= drainUntil) {
                flush();
                m_data.Reset();
                FailReply(what, *refused);
            }
            if (now >= lastByte + m_settings.dataTimeout)
                FailStalled(what);
            if (!floor.Holds(now))
                FailTooSlow(what, floor.Describe());
            reporter.Tick(now);
            if (m_waiter.WaitForAny(clock, std::min({lastByte + m_settings.dataTimeout, floor.WindowEnd(),
                                                     reporter.Due(), drainUntil})) == WaitEnd::Aborted)
                FailAborted();
        }
    } catch (...) {
        if (filled > 0)
            (void)file.Write(buffer.data(), filled);
        throw;
    }
}

void FtpSession::Send(FtpLocalFile& file, UploadProgress& progress, std::optional<FtpReply>& final,
                      LocalHasher* hasher) {
    const std::string what = "The upload broke off";
    auto& buffer = Buffer();
    IClock& clock = TransferClock();
    SpeedFloor floor(m_settings, clock);
    WorkReporter& reporter = progress.Reporter();
    auto lastProgress = clock.Now();
    auto nextLook = lastProgress;
    const std::size_t piece = m_data.Unacknowledged() < 0 ? UploadPiece : buffer.size();
    std::size_t have = 0;
    std::size_t offset = 0;
    bool endOfFile = false;
    for (;;) {
        OpState& write = m_data.WriteOp();
        bool wrote = false;
        if (write.Take()) {
            if (write.ec)
                FailCut(what, write.ec, final);
            offset += write.bytes;
            progress.Written(static_cast<std::int64_t>(write.bytes));
            floor.Moved(static_cast<std::int64_t>(write.bytes));
            lastProgress = clock.Now();
            wrote = true;
        }
        if (!wrote || lastProgress >= nextLook) {
            if (progress.Sample() > 0)
                lastProgress = clock.Now();
            nextLook = lastProgress + AckLook;
        }
        TakeReplyDuringTransfer(what, final);
        if (final) {
            // A 2xx before the whole file was sent: the server stopped listening early.
            m_data.Reset();
            SetState(FtpState::Ready);
            ArmControlRead();
            Fail(FtpErrorKind::Job, "The FTP server ended the upload before all of it was sent " +
                                        QuoteReply(*final, m_settings.password),
                 "upload ended early by the server");
        }
        if (!write.pending) {
            if (offset == have && !endOfFile) {
                std::int64_t n = file.Read(buffer.data(), buffer.size());
                if (n < 0)
                    FailLocal("the local file cannot be read");
                if (hasher && n > 0)
                    hasher->Update(buffer.data(), static_cast<std::size_t>(n));
                endOfFile = n == 0;
                have = static_cast<std::size_t>(n);
                offset = 0;
            }
            if (offset == have && endOfFile)
                return;
            m_data.StartWriteSome(asio::buffer(buffer.data() + offset, std::min(have - offset, piece)));
        }
        const auto now = clock.Now();
        if (now >= lastProgress + m_settings.dataTimeout)
            FailStalled(what);
        if (!floor.Holds(now))
            FailTooSlow(what, floor.Describe());
        reporter.Tick(now);
        // While the socket holds bytes the server has not acknowledged, look again soon.
        const auto look = progress.AllTaken() ? Clock::time_point::max() : now + DrainTick;
        if (m_waiter.WaitForAny(
                clock, std::min({lastProgress + m_settings.dataTimeout, floor.WindowEnd(), reporter.Due(), look})) ==
            WaitEnd::Aborted)
            FailAborted();
    }
}

// Every byte has been handed to the transport; the upload is over once the server has it.
// In clear the end of the stream is a FIN, over TLS a close_notify first. Then the data
// connection is watched until the server closes it, and the control connection until the
// server answers; the bytes it acknowledges count as progress. A server that refuses the
// upload part-way (a size limit) resets the data connection or answers 4xx/5xx, and either
// ends the wait at once.
void FtpSession::FinishUpload(UploadProgress& progress, std::optional<FtpReply>& final) {
    const std::string what = "The upload broke off at its end";
    IClock& clock = TransferClock();
    SpeedFloor floor(m_settings, clock);
    WorkReporter& reporter = progress.Reporter();
    auto lastProgress = clock.Now();
    const bool secure = m_data.Secure();
#if defined(CLOUDTRANSFER_TLS)
    if (secure)
        m_data.StartTlsShutdown();
#endif
    if (!secure) {
        m_data.ShutdownSend();
        m_data.StartRead(asio::buffer(m_drainBuffer));
    }
    bool dataDone = false;
    for (;;) {
        if (secure) {
            OpState& shutdown = m_data.OtherOp();
            if (shutdown.Take()) {
                // Our close_notify went out first; the peer then answers with its own or
                // simply closes, and either way has read everything before it.
                if (shutdown.ec && !m_data.IsCleanEnd(shutdown.ec) && !m_data.IsTruncatedEnd(shutdown.ec))
                    FailCut(what, shutdown.ec, final);
                dataDone = true;
            }
        } else {
            OpState& read = m_data.ReadOp();
            if (read.Take()) {
                if (m_data.IsCleanEnd(read.ec))
                    dataDone = true;
                else if (read.ec)
                    FailCut(what, read.ec, final);
                else
                    m_data.StartRead(asio::buffer(m_drainBuffer));
            }
        }
        TakeReplyDuringTransfer(what, final);
        if (dataDone || final)
            break;
        const auto now = clock.Now();
        if (const std::int64_t gained = progress.Sample(); gained > 0) {
            floor.Moved(gained);
            lastProgress = now;
        }
        if (auto ec = m_data.PendingError())
            FailCut(what, ec, final);
        if (now >= lastProgress + m_settings.dataTimeout)
            FailStalled(what);
        if (!floor.Holds(now))
            FailTooSlow(what, floor.Describe());
        reporter.Tick(now);
        auto deadline = std::min({lastProgress + m_settings.dataTimeout, floor.WindowEnd(), now + DrainTick});
        if (m_waiter.WaitForAny(clock, deadline) == WaitEnd::Aborted)
            FailAborted();
    }
    m_data.Close();
}

void FtpSession::Get(const std::string& remotePath, const std::string& localPath, bool overwrite, bool resume) {
    CheckUsable();
    if (resume)
        Fail(FtpErrorKind::Job, "Resuming a download is not supported", "resume not supported");
    Download(remotePath, localPath, overwrite ? FtpLocalFile::Mode::Write : FtpLocalFile::Mode::WriteNew, {});
}

TransferResult FtpSession::GetFile(const std::string& remotePath, const std::string& localPath,
                                   const TransferRequest& request) {
    CheckUsable();
    return Download(remotePath, localPath, FtpLocalFile::Mode::Write, request);
}

TransferResult FtpSession::PutFile(const std::string& localPath, const std::string& remoteName,
                                   const TransferRequest& request) {
    CheckUsable();
    return Upload(localPath, remoteName, request);
}

std::unique_ptr<LocalHasher> FtpSession::HasherFor(const TransferRequest& request) {
    if (!request.localHash)
        return nullptr;
    if (!LocalHasher::Available(*request.localHash))
        Fail(FtpErrorKind::Job, std::string("This build cannot compute ") + HashName(*request.localHash),
             std::string(HashName(*request.localHash)) + " not available in this build");
    return std::make_unique<LocalHasher>(*request.localHash);
}

bool FtpSession::HashPrefix(FtpLocalFile& file, std::int64_t length, LocalHasher* hasher) {
    if (!hasher)
        return file.Seek(length);
    auto& buffer = Buffer();
    std::int64_t left = length;
    while (left > 0) {
        const std::int64_t n = file.Read(buffer.data(), static_cast<std::size_t>(
                                                             std::min<std::int64_t>(left, static_cast<std::int64_t>(buffer.size()))));
        if (n <= 0)
            return false;
        hasher->Update(buffer.data(), static_cast<std::size_t>(n));
        left -= n;
    }
    return true;
}

bool FtpSession::PartDiffers(const std::string& localPath, const std::string& remotePath, std::int64_t length) {
    // Where the server hashes a range, the part already there is checked before anything is
    // added to it: a part that differs (another file, a corrupted write) is no base.
    const std::vector<HashAlgorithm> offered = OfferedRangeHashes();
    if (length <= 0 || offered.empty())
        return false;
    LocalHasher hasher(offered.front());
    FtpLocalFile file;
    if (!file.Open(localPath, FtpLocalFile::Mode::Read).empty() || !HashPrefix(file, length, &hasher))
        return true;
    const auto remote = RemoteHash(offered.front(), remotePath, 0, length);
    return remote && *remote != hasher.Final();
}

std::int64_t FtpSession::RestartAt(std::int64_t position) {
    // A text transfer changes the bytes on the way, so an offset on one side is not the same
    // offset on the other: only binary transfers resume.
    if (position <= 0 || m_settings.transferType != TIdFTPTransferType::ftBinary)
        return 0;
    EnsureType(TIdFTPTransferType::ftBinary);
    const FtpReply reply = Command("REST", std::to_string(position));
    return reply.code == 350 ? position : 0;
}

TransferResult FtpSession::Download(const std::string& remotePath, const std::string& localPath,
                                    FtpLocalFile::Mode mode, const TransferRequest& request) {
    CheckArgument("RETR", remotePath);
    if (remotePath.empty())
        Fail(FtpErrorKind::Job, "No remote file given for the download", "no remote file");
    RequireConnection();
    // A SIZE just before, for the same path, tells the expected length without a round trip.
    auto memo = std::exchange(m_sizeMemo, std::nullopt);
    const bool sizeKnown = memo && memo->first == remotePath;
    std::int64_t expected = sizeKnown ? memo->second : -1;

    FtpLocalFile file;
    if (auto why = file.Open(localPath, mode); !why.empty())
        FailLocal(why);
    auto removeIfCreated = [&] {
        if (file.Created()) {
            file.Close();
            std::error_code ignored;
            std::filesystem::remove(std::filesystem::path(std::u8string(localPath.begin(), localPath.end())), ignored);
        }
    };
    std::unique_ptr<LocalHasher> hasher = HasherFor(request);
    TransferResult result;
    result.startedAt = std::min(request.startPosition, file.Size());
    if (result.startedAt > 0) {
        // The part already there is hashed through a reading handle: the writing one cannot.
        FtpLocalFile part;
        if (!part.Open(localPath, FtpLocalFile::Mode::Read).empty() || !HashPrefix(part, result.startedAt, hasher.get()))
            result.startedAt = 0, hasher = HasherFor(request);
    }

    if (PartDiffers(localPath, remotePath, result.startedAt))
        result.startedAt = 0, hasher = HasherFor(request);

    WorkReporter reporter(m_eventSource, TWorkMode::wmRead, TransferClock());
    try {
        SetState(FtpState::Transfer);
        EnsureType(m_settings.transferType);
        if (result.startedAt > 0 && RestartAt(result.startedAt) == 0)
            result.startedAt = 0, hasher = HasherFor(request);
        TransferStart start = StartTransfer("RETR", remotePath);
        const bool cutAtOnce = start.opening && start.final && !start.final->Positive();
        if (cutAtOnce && !m_data.IsOpen()) {
            reporter.Begin(std::max<std::int64_t>(expected, 0));
            FailReply("The download of " + remotePath + " failed", *start.final);
        }
        if (!cutAtOnce && start.final && !start.final->Positive()) {
            removeIfCreated();
            bool vague = false;
            // vsftpd says "Failed to open file" for a missing and an unreadable file alike;
            // after a SIZE that found the file, it cannot be the missing one.
            if (SaysFileMissing(*start.final, &vague) && !(vague && sizeKnown && expected >= 0)) {
                SetState(FtpState::Ready);
                ArmControlRead();
                Fail(FtpErrorKind::RemoteMissing,
                     "The remote file " + remotePath + " does not exist " + QuoteReply(*start.final, m_settings.password),
                     ReasonLine(*start.final, m_settings.password), start.final->code);
            }
            FailReply("RETR " + remotePath + " refused", *start.final);
        }
        if (expected < 0 && start.opening && result.startedAt == 0)
            expected = ParseOpeningByteCount(start.opening->text).value_or(-1);
        if (!file.Truncate(result.startedAt))
            FailLocal("the local file cannot be emptied");

        reporter.Begin(std::max<std::int64_t>(expected, 0));
        std::int64_t total = result.startedAt;
        std::optional<FtpReply> final = start.final;
        Receive(file, reporter, total, final, hasher.get());
        m_data.Close();
        if (!final)
            final = ReadFinalReply(TransferClock().Now() + m_settings.replyTimeout);
        reporter.Final(total);
        if (!file.Close()) {
            SetState(FtpState::Ready);
            ArmControlRead();
            FailLocal("the local file cannot be written");
        }
        if (!final->Positive())
            FailReply("The download of " + remotePath + " failed", *final);
        SetState(FtpState::Ready);
        ArmControlRead();
        // A server that acknowledges a short stream would otherwise pass for a success.
        if (m_settings.transferType == TIdFTPTransferType::ftBinary && expected >= 0 && total < expected) {
            const std::string counts = std::to_string(total) + " of " + std::to_string(expected) + " bytes";
            Fail(FtpErrorKind::Job, "The download of " + remotePath + " ended after " + counts,
                 "download incomplete (" + counts + ")");
        }
        reporter.End();
    } catch (...) {
        reporter.EndQuietly();
        throw;
    }
    if (hasher)
        result.localHash = hasher->Final();
    return result;
}

void FtpSession::Put(const std::string& localPath, const std::string& remoteName, bool append,
                     std::int64_t startPosition) {
    CheckUsable();
    if (append)
        Fail(FtpErrorKind::Job, "Appending to a remote file is not supported", "append not supported");
    if (startPosition != -1 && startPosition != 0)
        Fail(FtpErrorKind::Job, "Uploading part of a file is not supported", "partial upload not supported");
    Upload(localPath, remoteName, {});
}

// Starts the upload where it is to go on: REST + STOR where FEAT lists REST STREAM, else (or
// when that is refused) APPE, else the whole file again with result.startedAt back at 0. The
// file and the hash stand at the start position when it returns.
FtpSession::TransferStart FtpSession::StartUpload(const std::string& remoteName, FtpLocalFile& file,
                                                  std::unique_ptr<LocalHasher>& hasher, const TransferRequest& request,
                                                  TransferResult& result, std::string& verb) {
    if (m_settings.transferType != TIdFTPTransferType::ftBinary)
        result.startedAt = 0;
    std::vector<std::string> ways;
    if (result.startedAt > 0) {
        if (Features().restStream)
            ways.push_back("REST");
        ways.push_back("APPE");
    }
    ways.push_back("STOR");
    for (const std::string& way : ways) {
        if (way == "STOR")
            result.startedAt = 0;
        if (way == "REST" && RestartAt(result.startedAt) == 0)
            continue;
        hasher = HasherFor(request);
        if (!file.Seek(0) || !HashPrefix(file, result.startedAt, hasher.get()))
            FailLocal("the local file cannot be read");
        verb = way == "APPE" ? "APPE" : "STOR";
        TransferStart start = StartTransfer(verb, remoteName);
        const bool refusedAtOnce = !start.opening && start.final && !start.final->Positive();
        if (!refusedAtOnce || way == "STOR")
            return start;
    }
    return {}; // not reached: the last way returns
}

TransferResult FtpSession::Upload(const std::string& localPath, const std::string& remoteName,
                                  const TransferRequest& request) {
    CheckArgument("STOR", remoteName);
    if (remoteName.empty())
        Fail(FtpErrorKind::Job, "No remote file name given for the upload", "no remote file name");
    // Opened and checked before a byte is sent: a FIFO or a device fails here, at once.
    FtpLocalFile file;
    if (auto why = file.Open(localPath, FtpLocalFile::Mode::Read); !why.empty())
        FailLocal(why);
    RequireConnection();
    m_sizeMemo.reset();
    std::unique_ptr<LocalHasher> hasher;
    TransferResult result;
    result.startedAt = request.startPosition <= file.Size() ? request.startPosition : 0;
    if (PartDiffers(localPath, remoteName, result.startedAt))
        result.startedAt = 0;

    WorkReporter reporter(m_eventSource, TWorkMode::wmWrite, TransferClock());
    try {
        SetState(FtpState::Transfer);
        EnsureType(m_settings.transferType);
        std::string verb;
        TransferStart start = StartUpload(remoteName, file, hasher, request, result, verb);
        const std::int64_t toSend = file.Size() - result.startedAt;
        if (start.opening && start.final && !start.final->Positive()) {
            reporter.Begin(toSend);
            FailReply("The upload of " + remoteName + " failed", *start.final);
        }
        if (start.final && !start.final->Positive())
            FailReply(verb + " " + remoteName + " refused", *start.final);
        if (start.final) {
            m_data.Reset();
            SetState(FtpState::Ready);
            ArmControlRead();
            Fail(FtpErrorKind::Job, "The FTP server ended the upload before it began " +
                                        QuoteReply(*start.final, m_settings.password),
                 "upload ended early by the server");
        }
        reporter.Begin(toSend);
        UploadProgress progress(m_data, reporter);
        std::optional<FtpReply> final;
        Send(file, progress, final, hasher.get());
        FinishUpload(progress, final);
        if (!final)
            final = ReadFinalReply(TransferClock().Now() + m_settings.replyTimeout);
        reporter.Final(progress.WrittenTotal());
        if (!final->Positive())
            FailReply("The upload of " + remoteName + " failed", *final);
        SetState(FtpState::Ready);
        ArmControlRead();
        reporter.End();
    } catch (...) {
        // Refused or broken off: the folder the session stood in may be gone.
        m_knownDir.clear();
        reporter.EndQuietly();
        throw;
    }
    if (hasher)
        result.localHash = hasher->Final();
    return result;
}

} // namespace ct::ftp
