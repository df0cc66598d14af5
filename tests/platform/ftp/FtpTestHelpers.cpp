#include "FtpTestHelpers.h"

#include <exception>

#include <gtest/gtest.h>

namespace ct::test {

FtpError ExpectFtpError(const std::function<void()>& call) {
    try {
        call();
    } catch (const FtpError& e) {
        return e;
    } catch (const std::exception& e) {
        ADD_FAILURE() << "not an FtpError: " << e.what();
        return FtpError("wrong type");
    }
    ADD_FAILURE() << "no FtpError raised";
    return FtpError("none");
}

std::string WriteHook(const TempDir& work, const std::string& python) {
    WriteFileBytes(work / "hook.py", python);
    return (work / "hook.py").string();
}

std::unique_ptr<TIdFTP> MakeClient(std::uint16_t port, const std::string& user, const std::string& password,
                                   const std::string& host) {
    auto ftp = std::make_unique<TIdFTP>();
    ftp->SetHost(host);
    ftp->SetPort(port);
    ftp->SetUsername(user);
    ftp->SetPassword(password);
    ftp->SetTimeouts(TestTimeout);
    return ftp;
}

void WorkLog::Attach(IFtpClient& client) {
    client.OnWorkBegin = [this](IFtpClient*, TWorkMode mode, std::int64_t count) {
        ++begins;
        beginCount = count;
        modes.push_back(mode);
    };
    client.OnWork = [this](IFtpClient*, TWorkMode, std::int64_t count) {
        progress.push_back(count);
        lastProgress = count;
    };
    client.OnWorkEnd = [this](IFtpClient*, TWorkMode) { ++ends; };
}

void WorkLog::Clear() {
    begins = ends = 0;
    beginCount = -1;
    progress.clear();
    modes.clear();
    lastProgress = 0;
}

bool WorkLog::Monotonic() const {
    for (std::size_t i = 1; i < progress.size(); ++i)
        if (progress[i] < progress[i - 1])
            return false;
    return true;
}

std::string ToString(ServerKind kind) {
    return kind == ServerKind::Pyftpdlib ? "pyftpdlib" : "vsftpd";
}

AnyServer::AnyServer(ServerKind kind, PyFtpOptions options) : m_kind(kind) {
    if (kind == ServerKind::Pyftpdlib) {
        m_py = std::make_unique<PyFtpServer>(std::move(options));
        return;
    }
    if (!VsftpdServer::Available()) {
        m_usable = false;
        m_why = "vsftpd needs root";
        return;
    }
    m_vsftpd = std::make_unique<VsftpdServer>();
    if (!m_vsftpd->Started()) {
        m_usable = false;
        m_why = "vsftpd did not start: " + m_vsftpd->StartupError();
    }
}

std::uint16_t AnyServer::Port() const {
    return m_py ? m_py->Port() : m_vsftpd->Port();
}

std::unique_ptr<TIdFTP> AnyServer::Client() const {
    return m_py ? MakeClient(Port()) : MakeClient(Port(), "anonymous", "guest@example");
}

std::filesystem::path AnyServer::WritableRoot() const {
    return m_py ? m_py->Root() : m_vsftpd->Root() / "up";
}

std::string AnyServer::WritableRemote() const {
    return m_py ? "/" : "/up/";
}

bool LogMentions(const PyFtpServer& server, const std::string& text) {
    for (const auto& line : server.Log())
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

} // namespace ct::test
