#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace ct::test {

// A real pyftpdlib server on 127.0.0.1 (tests/support/ftpserver.py, run with /usr/bin/python3),
// started on a free port and killed by its PID on destruction. The server's root is a fresh
// temporary folder; every command it receives is logged and can be read back.
struct PyFtpOptions {
    std::vector<std::string> users{"user:secret"};   // name:password
    bool anonymous = false;
    // Extra ftpserver.py arguments, for example {"--refuse", "STOR=553"} or {"--cut-retr", "1000"}.
    std::vector<std::string> extraArgs;
    bool rootOnTmpfs = false;
    std::string host = "127.0.0.1";
};

class PyFtpServer {
public:
    explicit PyFtpServer(PyFtpOptions options = {});
    ~PyFtpServer();

    std::uint16_t Port() const { return m_port; }
    const std::filesystem::path& Root() const { return m_root->Path(); }
    // Every command line received so far (PASS masked), plus "LOGIN <user>" and
    // "RECEIVED <path>" records, in order.
    std::vector<std::string> Log() const;
    // Only the lines of Log() that begin with the given command word.
    std::vector<std::string> Commands(const std::string& word) const;
    int Logins() const;
    void ClearLog();
    // Stops the server process at once (SIGKILL); connections drop.
    void Kill();

private:
    std::unique_ptr<TempDir> m_root;
    std::unique_ptr<TempDir> m_work;
    std::unique_ptr<ChildProcess> m_process;
    std::filesystem::path m_log;
    std::uint16_t m_port = 0;
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

// vsftpd in the foreground with a config of the test's own: anonymous sessions chrooted to a
// root of mode 0555 with a writable subfolder "up/". Needs root; Available() says whether it
// can run here (tests skip otherwise).
class VsftpdServer {
public:
    // rootOnTmpfs puts the chroot below /dev/shm (for throughput measurements).
    explicit VsftpdServer(bool rootOnTmpfs = false);
    explicit VsftpdServer(const VsftpdOptions& options);
    ~VsftpdServer();
    static bool Available();

    std::uint16_t Port() const { return m_port; }
    // The passive range, both ends included.
    std::uint16_t PassiveLow() const { return m_pasvLow; }
    std::uint16_t PassiveHigh() const { return m_pasvHigh; }
    // The chroot; tests write below Root()/"up".
    const std::filesystem::path& Root() const { return m_root; }
    bool Started() const { return m_started; }
    std::string StartupError() const { return m_error; }

private:
    std::unique_ptr<TempDir> m_work;
    std::filesystem::path m_root;
    std::unique_ptr<ChildProcess> m_process;
    std::uint16_t m_port = 0;
    std::uint16_t m_pasvLow = 0;
    std::uint16_t m_pasvHigh = 0;
    bool m_started = false;
    std::string m_error;
};

} // namespace ct::test
