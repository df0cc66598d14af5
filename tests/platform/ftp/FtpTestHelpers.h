#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ftp/TIdFTP.h"
#include "support/FtpServers.h"

namespace ct::test {

// Generous, so that a loaded CI machine never trips them; fault tests set short ones.
constexpr auto TestTimeout = std::chrono::seconds(20);

std::unique_ptr<TIdFTP> MakeClient(std::uint16_t port, const std::string& user = "user",
                                   const std::string& password = "secret", const std::string& host = "127.0.0.1");

// Runs the call and returns the FtpError it raises; the test fails when it raises none or
// another exception.
FtpError ExpectFtpError(const std::function<void()>& call);

// Writes Python for ftpserver.py's "--hook" (run inside the server, where Handler and
// DTPHandler are the handler classes) into the folder; returns the file's path.
std::string WriteHook(const TempDir& work, const std::string& python);

// Records the work events of one client.
struct WorkLog {
    int begins = 0;
    int ends = 0;
    std::int64_t beginCount = -1;
    std::vector<std::int64_t> progress;
    std::atomic<std::int64_t> lastProgress{0};
    std::vector<TWorkMode> modes;

    void Attach(IFtpClient& client);
    void Clear();
    bool Monotonic() const;
};

// One of the two real servers, with the folder tests may write and its remote name.
enum class ServerKind { Pyftpdlib, Vsftpd };
std::string ToString(ServerKind kind);

class AnyServer {
public:
    explicit AnyServer(ServerKind kind, PyFtpOptions options = {});
    // False when the server cannot run here (vsftpd without root); the test then skips.
    bool Usable() const { return m_usable; }
    std::string Why() const { return m_why; }
    std::uint16_t Port() const;
    std::unique_ptr<TIdFTP> Client() const;
    // Local folder that the remote directory WritableRemote() maps to.
    std::filesystem::path WritableRoot() const;
    std::string WritableRemote() const;
    PyFtpServer* Py() const { return m_py.get(); }

private:
    ServerKind m_kind;
    std::unique_ptr<PyFtpServer> m_py;
    std::unique_ptr<VsftpdServer> m_vsftpd;
    bool m_usable = true;
    std::string m_why;
};

// A file name in the server log's interest: whether any logged command mentions it.
bool LogMentions(const PyFtpServer& server, const std::string& text);

} // namespace ct::test
