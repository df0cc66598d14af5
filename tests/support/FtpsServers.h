#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/FtpServers.h"
#include "support/TestSupport.h"

namespace ct::test {

// Certificates made with the openssl command line, fresh for each test: a CA, a server
// certificate it signed for 127.0.0.1, ::1 and localhost, one it signed for another name, and a
// self-signed one for 127.0.0.1.
class TestCertificates {
public:
    struct Pair {
        std::filesystem::path certificate;
        std::filesystem::path key;
        // As `openssl x509 -noout -fingerprint -sha256` prints it: "AB:CD:...".
        std::string fingerprint;
    };

    TestCertificates();
    const std::filesystem::path& CaFile() const { return m_caFile; }
    const Pair& Trusted() const { return m_trusted; }
    const Pair& WrongName() const { return m_wrongName; }
    const Pair& SelfSigned() const { return m_selfSigned; }

private:
    std::unique_ptr<TempDir> m_dir;
    std::filesystem::path m_caFile;
    Pair m_trusted;
    Pair m_wrongName;
    Pair m_selfSigned;
};

// vsftpd with TLS, anonymous sessions chrooted as VsftpdServer does (writable folder "up/").
struct VsftpdTlsOptions {
    const TestCertificates::Pair* certificate = nullptr;
    bool implicitTls = false;
    // Holds the server to TLS 1.2 (through OPENSSL_CONF); otherwise it negotiates TLS 1.3.
    bool tls12Only = false;
    // force_anon_logins_ssl and force_anon_data_ssl: a session in clear is refused.
    bool requireTls = true;
    // anon_max_rate in bytes per second; 0: no limit.
    int maxRate = 0;
    // The chroot below /dev/shm (for throughput measurements).
    bool rootOnTmpfs = false;
};

class VsftpdTlsServer : public VsftpdServer {
public:
    explicit VsftpdTlsServer(const VsftpdTlsOptions& options);
};

// pyftpdlib's TLS_FTPHandler (tests/support/ftpserver_tls.py), user "user" with the given
// password, root a fresh folder.
struct PyFtpTlsOptions {
    const TestCertificates::Pair* certificate = nullptr;
    std::string password = "secret";
    bool requireTls = true;
    std::vector<std::string> extraArgs;
    std::string host = "127.0.0.1"; // or "::1"
};

class PyFtpTlsServer : public PyFtpProcess {
public:
    explicit PyFtpTlsServer(const PyFtpTlsOptions& options);
    ~PyFtpTlsServer();
};

// proftpd and pure-ftpd are never installed (every Debian FTP server conflicts with
// vsftpd): scripts/setup fetches their packages into /var/cache/cloudtransfer/debs and
// unpacks them below this folder, and they run from there.
std::filesystem::path UnpackedFtpdRoot();

// proftpd in the foreground, user "user" / "secret" chrooted to Root().
struct ProftpdOptions {
    // Lines added to the server's configuration (for example "MaxStoreFileSize 1 Mb").
    std::vector<std::string> extraConfig;
    // mod_tls with this certificate; TLS then is required.
    const TestCertificates::Pair* certificate = nullptr;
    // proftpd 1.3.8 under TLS 1.3 accepts each session ticket once and hands out none on data
    // connections, so with its default session-reuse rule only the first data connection of a
    // session can resume (curl fails the same way); hold it to TLS 1.2 for longer sessions.
    std::string tlsProtocols = "TLSv1.2 TLSv1.3";
    // With a certificate: TLS from the first byte (implicit FTPS) instead of AUTH TLS.
    bool implicitTls = false;
    // mod_digest loaded: HASH and the X-commands (XSHA256 path [start end] and kin) in FEAT.
    bool digest = false;
    // The server's root on tmpfs (benchmarks: the disk must not set the pace).
    bool rootOnTmpfs = false;
};

class ProftpdServer : public FtpdProcess {
public:
    explicit ProftpdServer(const ProftpdOptions& options = {});
    ~ProftpdServer();
    static bool Available();
};

// pure-ftpd in the foreground, user "user" / "secret" chrooted to Root().
class PureFtpdServer : public FtpdProcess {
public:
    // Extra command-line options, for example {"-r"} (never overwrite: store as name.1).
    explicit PureFtpdServer(const std::vector<std::string>& extraArgs = {});
    ~PureFtpdServer();
    static bool Available();
};

} // namespace ct::test
