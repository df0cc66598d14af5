#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/client/TransferClient.h"

namespace ct::test {

// What a connect attempt of the recording client does. Raises: a refused login (kind Job);
// Unavailable: a refused connection; Busy: 421 before the login (both kind Unavailable).
enum class ConnectOutcome { Connects, StaysDown, Raises, Unavailable, Busy };

// The "server" behind the recording clients of one test, outliving each run's client: a folder
// tree with its files, the log of every call, and the faults the test scripts. Paths in the
// tree are absolute, without a trailing "/". Refusals raise TransferError as the real client does:
// MKD of anything that exists (folder or file) or whose parent is missing, CWD into anything
// that is not a folder, an empty MKD or CWD.
struct RecordingFtpServer {
    std::mutex mutex;
    // One line per call, in order: "CONNECT", "PWD", "MKD in", "CWD /up", "PUT c.txt",
    // "GET /x.bin", "SIZE /x.bin", "CONNECTED? yes", "DISCONNECT", "ABORT", and a client made
    // by RecordingFactory ("CLIENT 127.0.0.1:21 user tls AB:CD...", see ClientLine).
    std::vector<std::string> log;
    // Each RunFolderCommands call as the commands it was given, joined by "|".
    std::vector<std::string> batches;
    std::set<std::string> dirs{"/"};
    std::map<std::string, std::string> files;

    std::deque<ConnectOutcome> connects;       // consumed one per Connect; Connects when empty
    std::set<std::string> downServers;         // "host:port" whose every connect is refused
    std::set<std::string> refuse;              // call words ("PWD", "MKD") refused with 550
    std::set<std::string> refuseCalls;         // exact call lines ("CWD /home") refused with 550
    // A call word ("CONNECT", "MKD", "SIZE", "PUT", "GET") and the error it raises, once each.
    std::map<std::string, std::deque<TransferError>> raises;
    bool failEverything = false;               // every server call raises: a lost connection
    bool sizeRaises = false;
    bool sizeUnknown = false;                  // Size gives -1 whatever the file
    std::string putRaisesFor;                  // a Put whose remote name contains this raises 553
    // A call word on which a call waits until Abort, as a silent server would keep it.
    std::string blockOn;
    bool aborted = false;                      // sticky, as the client's contract says
    bool blocked = false;                      // a call is waiting in blockOn now
    std::condition_variable abortCv;
    int clientsMade = 0;
    // Called inside Put / Get after the begin event, on the calling thread.
    std::function<void()> duringTransfer;
    // The clients keep track of the folder they stand in as the real client does
    // (KnownCurrentDir); otherwise they never know it, and every walk is made whole.
    bool knowsCurrentDir = false;

    void AddDir(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex);
        dirs.insert(Normalise(path));
    }
    void AddFile(const std::string& path, std::string content = {}) {
        std::lock_guard<std::mutex> lock(mutex);
        files[Normalise(path)] = std::move(content);
    }
    // A folder and everything below it disappear, as another client might remove them.
    void RemoveDir(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex);
        const std::string gone = Normalise(path);
        auto below = [&](const std::string& p) { return p == gone || p.rfind(gone + "/", 0) == 0; };
        std::erase_if(dirs, below);
        std::erase_if(files, [&](const auto& entry) { return below(entry.first); });
    }
    bool HasDir(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex);
        return dirs.count(Normalise(path)) > 0;
    }
    bool HasFile(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex);
        return files.count(Normalise(path)) > 0;
    }
    std::vector<std::string> Log() {
        std::lock_guard<std::mutex> lock(mutex);
        return log;
    }
    std::vector<std::string> Batches() {
        std::lock_guard<std::mutex> lock(mutex);
        return batches;
    }
    void ClearLog() {
        std::lock_guard<std::mutex> lock(mutex);
        log.clear();
        batches.clear();
    }
    bool Blocked() {
        std::lock_guard<std::mutex> lock(mutex);
        return blocked;
    }
    void Record(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(line);
    }

    // Every server call: logged, then a scripted wait, abort or error, then the refusals.
    void Call(const std::string& line) {
        const std::string word = line.substr(0, line.find(' '));
        std::unique_lock<std::mutex> lock(mutex);
        log.push_back(line);
        if (!aborted && blockOn == word) {
            blocked = true;
            abortCv.wait_for(lock, std::chrono::seconds(20), [&] { return aborted; });
            blocked = false;
        }
        if (aborted)
            throw TransferError("aborted", 0, TransferErrorKind::Aborted);
        auto it = raises.find(word);
        if (it != raises.end() && !it->second.empty()) {
            TransferError error = it->second.front();
            it->second.pop_front();
            throw error;
        }
        if (failEverything)
            throw TransferError("Not connected to the FTP server");
        if (refuse.count(word) || refuseCalls.count(line))
            throw TransferError(line + " refused", 550);
    }

    static std::string Normalise(const std::string& absolute) {
        std::vector<std::string> parts;
        std::size_t start = 0;
        while (start <= absolute.size()) {
            auto slash = absolute.find('/', start);
            std::string part = absolute.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            if (part == "..") {
                if (!parts.empty())
                    parts.pop_back();
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            if (slash == std::string::npos)
                break;
            start = slash + 1;
        }
        std::string out;
        for (auto& p : parts)
            out += "/" + p;
        return out.empty() ? "/" : out;
    }
    static std::string Parent(const std::string& path) {
        auto slash = path.rfind('/');
        return slash == 0 ? "/" : path.substr(0, slash);
    }
};

// A fake transfer client over a RecordingFtpServer: logs every call, keeps the tree and the files in
// memory, never touches the network. For exact command sequences; transfers themselves are
// proven on real servers. The batches of RunFolderCommands run as the plain calls they stand
// for, so the log shows each command in the order a sequential client sends it.
class RecordingFtpClient : public ITransferClient {
public:
    explicit RecordingFtpClient(std::shared_ptr<RecordingFtpServer> server = std::make_shared<RecordingFtpServer>(),
                                Endpoint endpoint = {})
        : m_server(std::move(server)), m_endpoint(std::move(endpoint)) {
        std::lock_guard<std::mutex> lock(m_server->mutex);
        ++m_server->clientsMade;
    }

    RecordingFtpServer& Server() { return *m_server; }
    // The log so far (every call, the server's view).
    std::vector<std::string> Calls() { return m_server->Log(); }
    const std::string& CurrentDir() const { return m_cwd; }
    void SetCurrentDir(const std::string& path) { m_cwd = RecordingFtpServer::Normalise(path); }

    bool Connected() override {
        m_server->Record(m_connected ? "CONNECTED? yes" : "CONNECTED? no");
        return m_connected;
    }
    void Connect() override {
        m_server->Call("CONNECT");
        m_known.clear();
        ConnectOutcome outcome = ConnectOutcome::Connects;
        {
            std::lock_guard<std::mutex> lock(m_server->mutex);
            if (!m_server->connects.empty()) {
                outcome = m_server->connects.front();
                m_server->connects.pop_front();
            }
            if (m_server->downServers.count(ServerText(m_endpoint)))
                outcome = ConnectOutcome::Unavailable;
        }
        if (outcome == ConnectOutcome::Raises)
            throw TransferError("530 Login incorrect.", 530, TransferErrorKind::Job, "login refused (530)");
        if (outcome == ConnectOutcome::Unavailable)
            throw TransferError("Cannot connect to " + m_endpoint.host, 0, TransferErrorKind::Unavailable, "connection refused");
        if (outcome == ConnectOutcome::Busy)
            throw TransferError("421 Too many connections", 421, TransferErrorKind::Unavailable, "421 Too many connections");
        m_connected = outcome == ConnectOutcome::Connects;
        m_cwd = "/";
    }
    void Disconnect() override {
        m_server->Record("DISCONNECT");
        m_connected = false;
        m_known.clear();
    }

    std::int64_t Size(const std::string& remotePath) override {
        m_server->Call("SIZE " + remotePath);
        std::lock_guard<std::mutex> lock(m_server->mutex);
        if (m_server->sizeRaises)
            throw TransferError("connection lost");
        if (m_server->sizeUnknown)
            return -1;
        auto it = m_server->files.find(Resolve(remotePath));
        return it == m_server->files.end() ? -1 : static_cast<std::int64_t>(it->second.size());
    }
    void Get(const std::string& remotePath, const std::string& localPath, bool, bool) override {
        m_server->Call("GET " + remotePath);
        std::string content;
        {
            std::lock_guard<std::mutex> lock(m_server->mutex);
            auto it = m_server->files.find(Resolve(remotePath));
            if (it == m_server->files.end())
                throw TransferError("550 no such file", 550, TransferErrorKind::RemoteMissing);
            content = it->second;
        }
        Transfer(TWorkMode::wmRead, static_cast<std::int64_t>(content.size()));
        std::ofstream(std::filesystem::path(localPath), std::ios::binary | std::ios::trunc) << content;
    }
    void Put(const std::string& localPath, const std::string& remoteName, bool, std::int64_t) override {
        try {
            m_server->Call("PUT " + remoteName);
            const std::string target = Resolve(remoteName);
            {
                std::lock_guard<std::mutex> lock(m_server->mutex);
                if (!m_server->putRaisesFor.empty() && remoteName.find(m_server->putRaisesFor) != std::string::npos)
                    throw TransferError("553 refused", 553);
                // A name in a folder that does not exist (any more) is refused, as a server does.
                if (!m_server->dirs.count(RecordingFtpServer::Parent(target)))
                    throw TransferError("553 Could not create file.", 553);
            }
            std::ifstream in(std::filesystem::path(localPath), std::ios::binary);
            if (!in)
                throw TransferError("cannot open " + localPath);
            std::stringstream content;
            content << in.rdbuf();
            Transfer(TWorkMode::wmWrite, static_cast<std::int64_t>(content.str().size()));
            std::lock_guard<std::mutex> lock(m_server->mutex);
            m_server->files[target] = content.str();
        } catch (...) {
            m_known.clear();
            throw;
        }
    }
    void MakeDir(const std::string& name) override {
        m_server->Call("MKD " + name);
        std::lock_guard<std::mutex> lock(m_server->mutex);
        const std::string target = Resolve(name);
        if (name.empty() || m_server->dirs.count(target) || m_server->files.count(target) ||
            !m_server->dirs.count(RecordingFtpServer::Parent(target)))
            throw TransferError("MKD refused", 550);
        m_server->dirs.insert(target);
    }
    void ChangeDir(const std::string& path) override {
        m_known.clear();
        m_server->Call("CWD " + path);
        std::string target = Resolve(path);
        {
            std::lock_guard<std::mutex> lock(m_server->mutex);
            if (path.empty() || !m_server->dirs.count(target))
                throw TransferError("CWD refused", 550);
        }
        m_cwd = target;
        if (path.front() == '/')
            m_known = path;
    }
    std::string RetrieveCurrentDir() override {
        m_server->Call("PWD");
        return m_cwd;
    }
    std::vector<bool> RunFolderCommands(const std::vector<FolderCommand>& commands) override {
        std::string batch;
        for (const auto& command : commands)
            batch += (batch.empty() ? "" : "|") +
                     std::string(command.verb == FolderCommand::Verb::MakeDir ? "MKD " : "CWD ") + command.name;
        {
            std::lock_guard<std::mutex> lock(m_server->mutex);
            m_server->batches.push_back(batch);
        }
        return ITransferClient::RunFolderCommands(commands);
    }
    std::string KnownCurrentDir() const override {
        std::lock_guard<std::mutex> lock(m_server->mutex);
        return m_server->knowsCurrentDir ? m_known : std::string();
    }
    void ResetAbort() override {
        std::lock_guard<std::mutex> lock(m_server->mutex);
        m_server->aborted = false;
    }
    void Abort() override {
        m_server->Record("ABORT");
        std::lock_guard<std::mutex> lock(m_server->mutex);
        m_server->aborted = true;
        m_server->abortCv.notify_all();
    }

private:
    void Transfer(TWorkMode mode, std::int64_t size) {
        if (OnWorkBegin)
            OnWorkBegin(this, mode, size);
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(m_server->mutex);
            hook = m_server->duringTransfer;
        }
        if (hook)
            hook();
        if (OnWork)
            OnWork(this, mode, size);
        if (OnWorkEnd)
            OnWorkEnd(this, mode);
    }
    std::string Resolve(const std::string& path) const {
        return RecordingFtpServer::Normalise(!path.empty() && path.front() == '/' ? path : m_cwd + "/" + path);
    }

    std::shared_ptr<RecordingFtpServer> m_server;
    Endpoint m_endpoint;
    bool m_connected = false;
    std::string m_cwd = "/";
    std::string m_known;
};

// How the log names a client made for an endpoint: "CLIENT host:port user", then the
// security when there is one and the pin when there is one. The password is left out.
inline std::string ClientLine(const Endpoint& endpoint) {
    std::string line = "CLIENT " + ServerText(endpoint) + " " + endpoint.user;
    if (endpoint.security == EndpointSecurity::ExplicitTls)
        line += " tls";
    if (endpoint.security == EndpointSecurity::ImplicitTls)
        line += " implicit";
    if (!endpoint.pin.empty())
        line += " " + endpoint.pin;
    return line;
}

// The worker's factory over one recording server: each client it makes is logged (ClientLine).
inline TransferClientFactory RecordingFactory(std::shared_ptr<RecordingFtpServer> server) {
    return [server](const Endpoint& endpoint) {
        server->Record(ClientLine(endpoint));
        return std::make_unique<RecordingFtpClient>(server, endpoint);
    };
}

} // namespace ct::test
