#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace ct::test {

// A pyftpdlib script of tests/support on 127.0.0.1 (run with /usr/bin/python3), started on a
// free port and killed by its PID on destruction. Its root is a fresh temporary folder; every
// command it receives is logged and can be read back.
class PyFtpProcess {
public:
    PyFtpProcess(const PyFtpProcess&) = delete;
    PyFtpProcess& operator=(const PyFtpProcess&) = delete;

    std::uint16_t Port() const { return m_port; }
    const std::filesystem::path& Root() const { return m_root->Path(); }
    // Every command line received so far (PASS masked), plus "LOGIN <user>" and
    // "RECEIVED <path>" records, in order.
    std::vector<std::string> Log() const;

protected:
    // `args` follow the root and the log on the script's command line; `what` names the server
    // in the error raised when it does not start.
    PyFtpProcess(const std::string& script, bool rootOnTmpfs, const std::vector<std::string>& args,
                 const std::string& what);
    ~PyFtpProcess();

    std::unique_ptr<TempDir> m_root;
    std::unique_ptr<TempDir> m_work;
    std::unique_ptr<ChildProcess> m_process;
    std::filesystem::path m_log;
    std::uint16_t m_port = 0;
};

// tests/support/ftpserver.py: plain FTP, the users and behaviours the options name.
struct PyFtpOptions {
    std::vector<std::string> users{"user:secret"};   // name:password
    bool anonymous = false;
    // Extra ftpserver.py arguments, for example {"--refuse", "STOR=553"} or {"--cut-retr", "1000"}.
    std::vector<std::string> extraArgs;
    bool rootOnTmpfs = false;
    std::string host = "127.0.0.1";
};

class PyFtpServer : public PyFtpProcess {
public:
    explicit PyFtpServer(PyFtpOptions options = {});
    ~PyFtpServer();

    // Only the lines of Log() that begin with the given command word.
    std::vector<std::string> Commands(const std::string& word) const;
    int Logins() const;
    void ClearLog();
    // Stops the server process at once (SIGKILL); connections drop.
    void Kill();
};

// A server program in the foreground with a configuration of the test's own, run from a fresh
// work folder and killed on destruction. Started() says whether it came to listen on Port(),
// StartupError() what it said otherwise (tests fail with that text).
class FtpdProcess {
public:
    FtpdProcess(const FtpdProcess&) = delete;
    FtpdProcess& operator=(const FtpdProcess&) = delete;

    std::uint16_t Port() const { return m_port; }
    // The folder the server's sessions are chrooted to.
    const std::filesystem::path& Root() const { return m_root; }
    bool Started() const { return m_started; }
    std::string StartupError() const { return m_error; }

protected:
    FtpdProcess() = default;
    ~FtpdProcess();
    // Runs the server and waits for it to listen on Port(); the result is also Started().
    bool Launch(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                const std::filesystem::path& stdinFile = {});
    // The first port of the passive range a server on `port` gets (ranges of servers on
    // different ports seldom meet).
    static std::uint16_t PassiveLowFor(std::uint16_t port);

    std::unique_ptr<TempDir> m_work;
    std::filesystem::path m_root;
    std::unique_ptr<ChildProcess> m_process;
    std::uint16_t m_port = 0;
    bool m_started = false;
    std::string m_error;
};

struct VsftpdOptions {
    // The chroot below /dev/shm (for throughput measurements).
    bool rootOnTmpfs = false;
    // The address PASV replies name: another loopback address where a proxy listens on the
    // control port and on every port of the passive range (a slow link for benchmarks).
    std::string pasvAddress = "127.0.0.1";
    // How many ports the passive range has.
    std::uint16_t passivePorts = 201;
};

// vsftpd: anonymous sessions chrooted to a root of mode 0555 with a writable subfolder "up/"
// (tests write below Root()/"up"). Needs root; Available() says whether it can run here
// (tests skip otherwise).
class VsftpdServer : public FtpdProcess {
public:
    // rootOnTmpfs puts the chroot below /dev/shm (for throughput measurements).
    explicit VsftpdServer(bool rootOnTmpfs = false);
    explicit VsftpdServer(const VsftpdOptions& options);
    ~VsftpdServer();
    static bool Available();

    // The passive range, both ends included.
    std::uint16_t PassiveLow() const { return m_pasvLow; }
    std::uint16_t PassiveHigh() const { return m_pasvHigh; }

    // What a variant of the server adds: the name of its work folder, lines appended to the
    // configuration, and the environment it runs with (made in its work folder when needed).
    struct Variant {
        std::string workPrefix = "ct-vsftpd";
        std::string extraConfig;
        std::function<std::vector<std::string>(const std::filesystem::path& work)> environment;
    };

protected:
    VsftpdServer(const VsftpdOptions& options, const Variant& variant);

private:
    std::uint16_t m_pasvLow = 0;
    std::uint16_t m_pasvHigh = 0;
};

} // namespace ct::test
