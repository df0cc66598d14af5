#include "platform/ftp/TIdFTP.h"

#include "platform/ftp/FtpSession.h"

namespace ct {

TIdFTP::TIdFTP() : m_session(std::make_unique<ftp::FtpSession>(m_settings, *this)) {}

TIdFTP::TIdFTP(const Endpoint& endpoint) : TIdFTP() {
    SetEndpoint(endpoint);
}

TIdFTP::~TIdFTP() = default;

void TIdFTP::SetEndpoint(const Endpoint& endpoint) {
    m_settings.host = endpoint.host;
    m_settings.port = endpoint.port;
    m_settings.username = endpoint.user;
    m_settings.password = endpoint.password;
    m_settings.security = endpoint.security;
    m_settings.pinnedFingerprint = endpoint.pin;
}

void TIdFTP::SetTimeouts(std::chrono::milliseconds timeout) {
    SetConnectTimeout(timeout);
    SetReplyTimeout(timeout);
    SetDataTimeout(timeout);
}

void TIdFTP::SetLowSpeedLimit(std::int64_t bytes, std::chrono::milliseconds window) {
    m_settings.lowSpeedBytes = bytes;
    m_settings.lowSpeedWindow = window;
}

bool TIdFTP::Connected() {
    return m_session->Connected();
}
void TIdFTP::Connect() {
    m_session->Connect();
}
void TIdFTP::Disconnect() {
    m_session->Disconnect();
}
std::int64_t TIdFTP::Size(const std::string& remotePath) {
    return m_session->Size(remotePath);
}
void TIdFTP::Get(const std::string& remotePath, const std::string& localPath, bool overwrite, bool resume) {
    m_session->Get(remotePath, localPath, overwrite, resume);
}
void TIdFTP::Put(const std::string& localPath, const std::string& remoteName, bool append,
                 std::int64_t startPosition) {
    m_session->Put(localPath, remoteName, append, startPosition);
}
void TIdFTP::MakeDir(const std::string& name) {
    m_session->MakeDir(name);
}
void TIdFTP::ChangeDir(const std::string& path) {
    m_session->ChangeDir(path);
}
std::string TIdFTP::RetrieveCurrentDir() {
    return m_session->RetrieveCurrentDir();
}
std::vector<bool> TIdFTP::RunFolderCommands(const std::vector<FolderCommand>& commands) {
    if (!m_settings.pipelining || commands.size() < 2)
        return ITransferClient::RunFolderCommands(commands);
    return m_session->RunFolderCommands(commands);
}
std::string TIdFTP::KnownCurrentDir() const {
    return m_session->KnownCurrentDir();
}
std::vector<HashAlgorithm> TIdFTP::OfferedHashes() {
    return m_session->OfferedHashes();
}
std::vector<HashAlgorithm> TIdFTP::OfferedRangeHashes() {
    return m_session->OfferedRangeHashes();
}
std::optional<std::string> TIdFTP::RemoteHash(HashAlgorithm algorithm, const std::string& remotePath,
                                              std::int64_t start, std::int64_t end) {
    return m_session->RemoteHash(algorithm, remotePath, start, end);
}
TransferResult TIdFTP::GetFile(const std::string& remotePath, const std::string& localPath,
                               const TransferRequest& request) {
    return m_session->GetFile(remotePath, localPath, request);
}
TransferResult TIdFTP::PutFile(const std::string& localPath, const std::string& remoteName,
                               const TransferRequest& request) {
    return m_session->PutFile(localPath, remoteName, request);
}
std::optional<std::int64_t> TIdFTP::ModifiedTime(const std::string& remotePath) {
    return m_session->ModifiedTime(remotePath);
}
bool TIdFTP::SetModifiedTime(const std::string& remotePath, std::int64_t unixSeconds) {
    return m_session->SetModifiedTime(remotePath, unixSeconds);
}
void TIdFTP::Rename(const std::string& from, const std::string& to) {
    m_session->Rename(from, to);
}
void TIdFTP::Delete(const std::string& remotePath) {
    m_session->Delete(remotePath);
}
void TIdFTP::Abort() {
    m_session->Abort();
}
void TIdFTP::ResetAbort() {
    m_session->ResetAbort();
}

} // namespace ct
