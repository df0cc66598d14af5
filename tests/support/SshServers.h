#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace ct::test {

// The user the SFTP tests log in as, made by scripts/setup with this password.
inline constexpr const char* SftpTestUser = "ct-sftp-test";
inline constexpr const char* SftpTestPassword = "ct-sftp-Pass-1";

struct SshdOptions {
    // The login folder below /dev/shm (for throughput measurements).
    bool rootOnTmpfs = false;
    // Lines appended to the configuration.
    std::string extraConfig;
};

// OpenSSH's sshd on 127.0.0.1 with a configuration and host keys of the test's own (never the
// system's service): SFTP only (internal-sftp, every session starting in Files()), password
// and key logins for SftpTestUser, its log at DEBUG1 level in a file. Killed by its PID on
// destruction. Needs root and the test user; Available() says whether it can run here.
class SshdServer {
public:
    explicit SshdServer(SshdOptions options = {});
    ~SshdServer();
    SshdServer(const SshdServer&) = delete;
    SshdServer& operator=(const SshdServer&) = delete;
    static bool Available();

    bool Started() const { return m_started; }
    std::string StartupError() const { return m_error; }
    std::uint16_t Port() const { return m_port; }
    // The login folder, owned by the test user.
    const std::filesystem::path& Files() const { return m_files; }
    std::string Log() const;
    // Whether anybody tried to log in at all (the log's "userauth-request" lines).
    bool SawAuthentication() const;

    // "SHA256:..." of the host key of that type ("ed25519", "ecdsa", "rsa"), as ssh-keygen -lf prints it.
    std::string Fingerprint(const std::string& type = "ed25519") const;
    // A known_hosts file naming this server ("[127.0.0.1]:port") with all its host keys,
    // the names hashed as OpenSSH's HashKnownHosts writes them when `hashed`.
    std::filesystem::path KnownHosts(bool hashed = false) const;
    // A new key pair of the type ("ed25519", "ecdsa", "rsa") whose public half the server
    // accepts for the test user; gives the private key file.
    std::filesystem::path AddUserKey(const std::string& type, const std::string& passphrase = "");
    // Stops (SIGSTOP) or resumes every session process of the server: a stall of a real server.
    void Freeze(bool frozen);

private:
    // The processes the server started for its sessions, children's children included.
    std::vector<int> SessionProcesses() const;

    std::unique_ptr<TempDir> m_work;
    std::filesystem::path m_files;
    std::unique_ptr<ChildProcess> m_process;
    std::uint16_t m_port = 0;
    bool m_started = false;
    std::string m_error;
    int m_keys = 0;
};

// tests/support/sftpserver.py (paramiko, run with /usr/bin/python3) on 127.0.0.1: user "user",
// password "secret", a host key made for the run, its root a fresh folder; `args` script its
// faults ({"--cut-read", "100000"}, {"--refuse", "mkdir"}, {"--kbdint-only"}, ...).
class ParamikoSftpServer {
public:
    explicit ParamikoSftpServer(const std::vector<std::string>& args = {});
    ~ParamikoSftpServer();
    static bool Available();

    std::uint16_t Port() const { return m_port; }
    // The host key's "SHA256:" fingerprint, to pin.
    const std::string& Fingerprint() const { return m_fingerprint; }
    const std::filesystem::path& Root() const { return m_root->Path(); }

private:
    std::unique_ptr<TempDir> m_root;
    std::unique_ptr<ChildProcess> m_process;
    std::uint16_t m_port = 0;
    std::string m_fingerprint;
};

} // namespace ct::test
