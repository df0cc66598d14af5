#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/ftp/FtpClient.h"

namespace ct::test {

// A fake FTP client over an in-memory server tree that logs every call as a line
// ("PWD", "CWD /up", "MKD in", "STOR a.txt", ...), for tests of exact command sequences.
// Refusals raise FtpError like the real client: MKD of anything that exists (directory or
// file) or whose parent is missing, CWD into anything that is not a directory, an empty
// MKD or CWD. With Disconnected() true every server call raises.
class RecordingFtpClient : public IFtpClient {
public:
    RecordingFtpClient() { m_dirs.insert("/"); }

    // The tree. Paths are absolute, without a trailing "/".
    void AddDir(const std::string& path) { m_dirs.insert(Normalise(path)); }
    void AddFile(const std::string& path, std::string content = {}) { m_files[Normalise(path)] = std::move(content); }
    bool HasDir(const std::string& path) const { return m_dirs.count(Normalise(path)) > 0; }
    bool HasFile(const std::string& path) const { return m_files.count(Normalise(path)) > 0; }
    const std::string& FileContent(const std::string& path) const { return m_files.at(Normalise(path)); }
    const std::string& CurrentDir() const { return m_cwd; }
    void SetCurrentDir(const std::string& path) { m_cwd = Normalise(path); }

    // Every call that reaches the "server", in order.
    std::vector<std::string> calls;
    // Commands (the first word of a call line, e.g. "PWD") that the server refuses with 550.
    std::set<std::string> refuse;
    // Exact call lines (e.g. "CWD /home") that the server refuses with 550.
    std::set<std::string> refuseCalls;
    bool failEverything = false;
    bool connected = false;
    int connectCount = 0;

    std::string Host() const override { return m_host; }
    void SetHost(const std::string& host) override { m_host = host; }
    std::uint16_t Port() const override { return m_port; }
    void SetPort(std::uint16_t port) override { m_port = port; }
    std::string Username() const override { return m_user; }
    void SetUsername(const std::string& user) override { m_user = user; }
    std::string Password() const override { return m_password; }
    void SetPassword(const std::string& password) override { m_password = password; }
    bool Passive() const override { return m_passive; }
    void SetPassive(bool passive) override { m_passive = passive; }
    TIdFTPTransferType TransferType() const override { return m_type; }
    void SetTransferType(TIdFTPTransferType type) override { m_type = type; }
    FtpSecurity Security() const override { return m_security; }
    void SetSecurity(FtpSecurity security) override { m_security = security; }
    std::string PinnedFingerprint() const override { return m_pinnedFingerprint; }
    void SetPinnedFingerprint(const std::string& fingerprint) override { m_pinnedFingerprint = fingerprint; }

    bool Connected() override { return connected && !failEverything; }
    void Connect() override {
        Record("CONNECT " + m_host + ":" + std::to_string(m_port) + " " + m_user);
        ++connectCount;
        connected = true;
    }
    void Disconnect() override {
        if (connected)
            calls.push_back("QUIT");
        connected = false;
    }

    std::int64_t Size(const std::string& remotePath) override {
        Record("SIZE " + remotePath);
        auto it = m_files.find(Resolve(remotePath));
        return it == m_files.end() ? -1 : static_cast<std::int64_t>(it->second.size());
    }
    void Get(const std::string& remotePath, const std::string& localPath, bool, bool) override {
        Record("RETR " + remotePath);
        auto it = m_files.find(Resolve(remotePath));
        if (it == m_files.end())
            throw FtpError("RETR refused", 550);
        Work(TWorkMode::wmRead, static_cast<std::int64_t>(it->second.size()));
        std::ofstream(std::filesystem::path(localPath), std::ios::binary | std::ios::trunc) << it->second;
    }
    void Put(const std::string& localPath, const std::string& remoteName, bool, std::int64_t) override {
        Record("STOR " + remoteName);
        std::ifstream in(std::filesystem::path(localPath), std::ios::binary);
        if (!in)
            throw FtpError("Cannot open the local file " + localPath);
        std::string content((std::istreambuf_iterator<char>(in)), {});
        Work(TWorkMode::wmWrite, static_cast<std::int64_t>(content.size()));
        m_files[Resolve(remoteName)] = std::move(content);
    }
    void MakeDir(const std::string& name) override {
        Record("MKD " + name);
        std::string target = Resolve(name);
        if (name.empty() || m_dirs.count(target) || m_files.count(target) || !m_dirs.count(Parent(target)))
            throw FtpError("MKD refused", 550);
        m_dirs.insert(target);
    }
    void ChangeDir(const std::string& path) override {
        Record("CWD " + path);
        std::string target = Resolve(path);
        if (path.empty() || !m_dirs.count(target))
            throw FtpError("CWD refused", 550);
        m_cwd = target;
    }
    std::string RetrieveCurrentDir() override {
        Record("PWD");
        return m_cwd;
    }
    void ResetAbort() override {}
    void Abort() override { ++aborts; }
    int aborts = 0;

private:
    FtpSecurity m_security = FtpSecurity::None;
    std::string m_pinnedFingerprint;
    void Record(const std::string& line) {
        calls.push_back(line);
        std::string word = line.substr(0, line.find(' '));
        if (failEverything)
            throw FtpError("Not connected to the FTP server");
        if (refuse.count(word) || refuseCalls.count(line))
            throw FtpError(line + " refused", 550);
    }
    void Work(TWorkMode mode, std::int64_t size) {
        if (OnWorkBegin)
            OnWorkBegin(this, mode, size);
        if (OnWork)
            OnWork(this, mode, size);
        if (OnWorkEnd)
            OnWorkEnd(this, mode);
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
    std::string Resolve(const std::string& path) const {
        return Normalise(!path.empty() && path.front() == '/' ? path : m_cwd + "/" + path);
    }
    static std::string Parent(const std::string& path) {
        auto slash = path.rfind('/');
        return slash == 0 ? "/" : path.substr(0, slash);
    }

    std::set<std::string> m_dirs;
    std::map<std::string, std::string> m_files;
    std::string m_cwd = "/";
    std::string m_host;
    std::uint16_t m_port = 21;
    std::string m_user;
    std::string m_password;
    bool m_passive = true;
    TIdFTPTransferType m_type = TIdFTPTransferType::ftBinary;
};

} // namespace ct::test
