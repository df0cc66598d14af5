#include "platform/sftp/SftpClient.h"

#if defined(CLOUDTRANSFER_SFTP)
#include "platform/sftp/SftpSession.h"
#endif

namespace ct {

#if defined(CLOUDTRANSFER_SFTP)

bool SftpAvailable() {
    return true;
}

SftpClient::SftpClient(const Endpoint& endpoint) {
    m_settings.host = endpoint.host;
    m_settings.port = endpoint.port;
    m_settings.username = endpoint.user;
    m_settings.password = endpoint.password;
    m_settings.keyFile = endpoint.keyFile;
    m_settings.pin = endpoint.pin;
    m_session = std::make_unique<sftp::SftpSession>(m_settings, *this);
}

SftpClient::~SftpClient() = default;

bool SftpClient::Connected() {
    return m_session->Connected();
}
void SftpClient::Connect() {
    m_session->Connect();
}
void SftpClient::Disconnect() {
    m_session->Disconnect();
}
std::int64_t SftpClient::Size(const std::string& remotePath) {
    return m_session->Size(remotePath);
}
void SftpClient::Get(const std::string& remotePath, const std::string& localPath, bool overwrite, bool /*resume*/) {
    m_session->Get(remotePath, localPath, overwrite, 0);
}
void SftpClient::Put(const std::string& localPath, const std::string& remoteName, bool /*append*/,
                     std::int64_t /*startPosition*/) {
    m_session->Put(localPath, remoteName, 0);
}

namespace {
void RefuseHashing(const TransferRequest& request) {
    if (request.localHash)
        throw TransferError("Hashing is not supported by the SFTP client", 0, TransferErrorKind::Job, "not supported");
}
} // namespace

TransferResult SftpClient::GetFile(const std::string& remotePath, const std::string& localPath,
                                   const TransferRequest& request) {
    RefuseHashing(request);
    TransferResult result;
    result.startedAt = m_session->Get(remotePath, localPath, true, request.startPosition);
    return result;
}
TransferResult SftpClient::PutFile(const std::string& localPath, const std::string& remoteName,
                                   const TransferRequest& request) {
    RefuseHashing(request);
    TransferResult result;
    result.startedAt = m_session->Put(localPath, remoteName, request.startPosition);
    return result;
}
std::optional<std::int64_t> SftpClient::ModifiedTime(const std::string& remotePath) {
    return m_session->ModifiedTime(remotePath);
}
bool SftpClient::SetModifiedTime(const std::string& remotePath, std::int64_t unixSeconds) {
    return m_session->SetModifiedTime(remotePath, unixSeconds);
}
void SftpClient::Rename(const std::string& from, const std::string& to) {
    m_session->Rename(from, to);
}
void SftpClient::Delete(const std::string& remotePath) {
    m_session->Delete(remotePath);
}
void SftpClient::MakeDir(const std::string& name) {
    m_session->MakeDir(name);
}
void SftpClient::ChangeDir(const std::string& path) {
    m_session->ChangeDir(path);
}
std::string SftpClient::RetrieveCurrentDir() {
    return m_session->RetrieveCurrentDir();
}
std::string SftpClient::KnownCurrentDir() const {
    return m_session->KnownCurrentDir();
}
void SftpClient::Abort() {
    m_session->Abort();
}
void SftpClient::ResetAbort() {
    m_session->ResetAbort();
}

#else

// A build without an SSH library (the MinGW cross-build): every SFTP job fails at once with a
// reason that says why, as an FTPS job does without TLS.
namespace sftp {
class SftpSession {};
} // namespace sftp

namespace {
[[noreturn]] void Unavailable() {
    throw TransferError("SFTP not available in this build of cloudtransfer", 0, TransferErrorKind::Job,
                        "SFTP not available in this build");
}
} // namespace

bool SftpAvailable() {
    return false;
}
SftpClient::SftpClient(const Endpoint&) {}
SftpClient::~SftpClient() = default;
bool SftpClient::Connected() {
    return false;
}
void SftpClient::Connect() {
    Unavailable();
}
void SftpClient::Disconnect() {}
std::int64_t SftpClient::Size(const std::string&) {
    Unavailable();
}
void SftpClient::Get(const std::string&, const std::string&, bool, bool) {
    Unavailable();
}
void SftpClient::Put(const std::string&, const std::string&, bool, std::int64_t) {
    Unavailable();
}
void SftpClient::MakeDir(const std::string&) {
    Unavailable();
}
void SftpClient::ChangeDir(const std::string&) {
    Unavailable();
}
std::string SftpClient::RetrieveCurrentDir() {
    Unavailable();
}
std::string SftpClient::KnownCurrentDir() const {
    return {};
}
TransferResult SftpClient::GetFile(const std::string&, const std::string&, const TransferRequest&) {
    Unavailable();
}
TransferResult SftpClient::PutFile(const std::string&, const std::string&, const TransferRequest&) {
    Unavailable();
}
std::optional<std::int64_t> SftpClient::ModifiedTime(const std::string&) {
    Unavailable();
}
bool SftpClient::SetModifiedTime(const std::string&, std::int64_t) {
    Unavailable();
}
void SftpClient::Rename(const std::string&, const std::string&) {
    Unavailable();
}
void SftpClient::Delete(const std::string&) {
    Unavailable();
}
void SftpClient::Abort() {}
void SftpClient::ResetAbort() {}

#endif

void SftpClient::SetTimeouts(std::chrono::milliseconds timeout) {
    m_settings.connectTimeout = m_settings.replyTimeout = m_settings.dataTimeout = timeout;
}

void SftpClient::SetLowSpeedLimit(std::int64_t bytes, std::chrono::milliseconds window) {
    m_settings.lowSpeedBytes = bytes;
    m_settings.lowSpeedWindow = window;
}

} // namespace ct
