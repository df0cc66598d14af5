#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ftp/FtpClient.h"

namespace ct::test {

// What a connect attempt of the fake does. Raises: a refused login (kind Job); Unavailable:
// a refused connection; Busy: 421 before the login (both kind Unavailable).
enum class ConnectOutcome { Connects, StaysDown, Raises, Unavailable, Busy };

// State shared by the fakes a test's factory makes, outliving each run's client.
struct FakeFtpState {
    std::mutex mutex;
    std::vector<std::string> log;            // one line per call, e.g. "CONNECT", "PUT /l/x.txt c.txt"
    std::deque<ConnectOutcome> connects;     // consumed one per Connect; Connects when empty
    std::map<std::string, std::string> files;  // remote path -> content
    bool sizeRaises = false;
    std::string putRaisesFor;                // a Put whose remote name contains this raises
    bool sizeUnknown = false;                // Size gives -1 whatever the file
    std::set<std::string> downServers;       // "host:port" whose every connect is refused
    // A call word ("CONNECT", "MKD", "SIZE", "PUT", "GET") and the error it raises, once each.
    std::map<std::string, std::deque<FtpError>> raises;
    // A call word on which the fake waits until Abort, as a silent server would keep it.
    std::string blockOn;
    bool aborted = false;                    // sticky, as the client's contract says
    bool blocked = false;                    // a call is waiting in blockOn now
    std::condition_variable abortCv;
    int clientsMade = 0;
    // Called inside Put / Get after the begin event, on the worker's thread.
    std::function<void()> duringTransfer;

    void Record(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(line);
    }
    std::vector<std::string> Log() {
        std::lock_guard<std::mutex> lock(mutex);
        return log;
    }
    bool Blocked() {
        std::lock_guard<std::mutex> lock(mutex);
        return blocked;
    }

    // The step every server call takes: a scripted error, a wait for the abort, or the abort
    // itself, which fails this and every later call until ResetAbort.
    void Step(const std::string& word) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!aborted && blockOn == word) {
            blocked = true;
            abortCv.wait_for(lock, std::chrono::seconds(20), [&] { return aborted; });
            blocked = false;
        }
        if (aborted)
            throw FtpError("aborted", 0, FtpErrorKind::Aborted);
        auto it = raises.find(word);
        if (it != raises.end() && !it->second.empty()) {
            FtpError error = it->second.front();
            it->second.pop_front();
            throw error;
        }
    }
};

// A recording FTP client: logs every call, keeps uploaded files in memory, never touches
// the network. For exact command sequences; transfers themselves are proven on real servers.
class FakeFtpClient : public IFtpClient {
public:
    explicit FakeFtpClient(std::shared_ptr<FakeFtpState> state) : m_state(std::move(state)) {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        ++m_state->clientsMade;
    }

    std::string Host() const override { return m_host; }
    void SetHost(const std::string& host) override { m_host = host; m_state->Record("HOST " + host); }
    std::uint16_t Port() const override { return m_port; }
    void SetPort(std::uint16_t port) override { m_port = port; m_state->Record("PORT " + std::to_string(port)); }
    std::string Username() const override { return m_user; }
    void SetUsername(const std::string& user) override { m_user = user; m_state->Record("USER " + user); }
    std::string Password() const override { return m_password; }
    void SetPassword(const std::string& password) override {
        m_password = password;
        m_state->Record("PASS " + password);
    }
    bool Passive() const override { return m_passive; }
    void SetPassive(bool passive) override { m_passive = passive; m_state->Record(passive ? "PASSIVE" : "ACTIVE"); }
    TIdFTPTransferType TransferType() const override { return m_type; }
    void SetTransferType(TIdFTPTransferType type) override {
        m_type = type;
        m_state->Record(type == TIdFTPTransferType::ftBinary ? "TYPE I" : "TYPE A");
    }
    FtpSecurity Security() const override { return m_security; }
    void SetSecurity(FtpSecurity security) override {
        m_security = security;
        m_state->Record(security == FtpSecurity::None          ? "SECURITY none"
                        : security == FtpSecurity::ExplicitTls ? "SECURITY tls"
                                                               : "SECURITY implicit");
    }
    std::string PinnedFingerprint() const override { return m_pinnedFingerprint; }
    void SetPinnedFingerprint(const std::string& fingerprint) override {
        m_pinnedFingerprint = fingerprint;
        m_state->Record("FP " + fingerprint);
    }

    bool Connected() override {
        m_state->Record(m_connected ? "CONNECTED? yes" : "CONNECTED? no");
        return m_connected;
    }
    void Connect() override {
        m_state->Record("CONNECT");
        m_state->Step("CONNECT");
        ConnectOutcome outcome = ConnectOutcome::Connects;
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            if (!m_state->connects.empty()) {
                outcome = m_state->connects.front();
                m_state->connects.pop_front();
            }
            if (m_state->downServers.count(m_host + ":" + std::to_string(m_port)))
                outcome = ConnectOutcome::Unavailable;
        }
        if (outcome == ConnectOutcome::Raises)
            throw FtpError("530 Login incorrect.", 530, FtpErrorKind::Job, "login refused (530)");
        if (outcome == ConnectOutcome::Unavailable)
            throw FtpError("Cannot connect to " + m_host, 0, FtpErrorKind::Unavailable, "connection refused");
        if (outcome == ConnectOutcome::Busy)
            throw FtpError("421 Too many connections", 421, FtpErrorKind::Unavailable, "421 Too many connections");
        m_connected = outcome == ConnectOutcome::Connects;
        m_cwd = "/";
    }
    void Disconnect() override {
        m_state->Record("DISCONNECT");
        m_connected = false;
    }

    std::int64_t Size(const std::string& remotePath) override {
        m_state->Record("SIZE " + remotePath);
        m_state->Step("SIZE");
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (m_state->sizeRaises)
            throw FtpError("connection lost");
        if (m_state->sizeUnknown)
            return -1;
        auto it = m_state->files.find(remotePath);
        return it == m_state->files.end() ? -1 : static_cast<std::int64_t>(it->second.size());
    }
    void Get(const std::string& remotePath, const std::string& localPath, bool, bool) override {
        m_state->Record("GET " + remotePath);
        m_state->Step("GET");
        std::string content;
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            auto it = m_state->files.find(remotePath);
            if (it == m_state->files.end())
                throw FtpError("550 no such file", 550, FtpErrorKind::RemoteMissing);
            content = it->second;
        }
        Transfer(TWorkMode::wmRead, static_cast<std::int64_t>(content.size()));
        std::ofstream(localPath, std::ios::binary) << content;
    }
    void Put(const std::string& localPath, const std::string& remoteName, bool, std::int64_t) override {
        m_state->Record("PUT " + remoteName);
        m_state->Step("PUT");
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            if (!m_state->putRaisesFor.empty() && remoteName.find(m_state->putRaisesFor) != std::string::npos)
                throw FtpError("553 refused", 553);
        }
        std::ifstream in(localPath, std::ios::binary);
        if (!in)
            throw FtpError("cannot open " + localPath);
        std::stringstream content;
        content << in.rdbuf();
        Transfer(TWorkMode::wmWrite, static_cast<std::int64_t>(content.str().size()));
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->files[(remoteName.rfind('/', 0) == 0 ? "" : m_cwd) + remoteName] = content.str();
    }
    void MakeDir(const std::string& name) override {
        m_state->Record("MKD " + name);
        m_state->Step("MKD");
    }
    void ChangeDir(const std::string& path) override {
        m_state->Record("CWD " + path);
        m_state->Step("CWD");
        if (path.empty())
            return;
        if (path[0] == '/')
            m_cwd = path;
        else
            m_cwd += path;
        if (m_cwd.back() != '/')
            m_cwd += '/';
    }
    std::string RetrieveCurrentDir() override {
        m_state->Record("PWD");
        return m_cwd;
    }
    void ResetAbort() override {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->aborted = false;
    }
    void Abort() override {
        m_state->Record("ABORT");
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->aborted = true;
        m_state->abortCv.notify_all();
    }

private:
    FtpSecurity m_security = FtpSecurity::None;
    std::string m_pinnedFingerprint;
    void Transfer(TWorkMode mode, std::int64_t size) {
        if (OnWorkBegin)
            OnWorkBegin(this, mode, size);
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            hook = m_state->duringTransfer;
        }
        if (hook)
            hook();
        if (OnWork)
            OnWork(this, mode, size);
        if (OnWorkEnd)
            OnWorkEnd(this, mode);
    }

    std::shared_ptr<FakeFtpState> m_state;
    std::string m_host;
    std::uint16_t m_port = 21;
    std::string m_user;
    std::string m_password;
    bool m_passive = false;
    TIdFTPTransferType m_type = TIdFTPTransferType::ftASCII;
    bool m_connected = false;
    std::string m_cwd = "/";
};

} // namespace ct::test
