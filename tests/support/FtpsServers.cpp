#include "support/FtpsServers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ct::test {

namespace fs = std::filesystem;

namespace {

// "secret", hashed as `openssl passwd -6 -salt ctsalt secret` prints it: a fast hash, so that
// logins take milliseconds (pure-pw's own default takes seconds).
constexpr const char* SecretHash =
    "$6$ctsalt$LJh/IUdTHNTfXY4s5PYu77UXMU0b4fToCREruW0ZpWYYY5v0.OXbxKAHB.atZx1o1bSB3rAcQ02lBdeebHtbv1";
// The unprivileged account the servers hand their sessions to.
constexpr int NobodyId = 65534;

std::string Fingerprint(const fs::path& certificate) {
    std::string out = RunForOutput({"/usr/bin/openssl", "x509", "-in", certificate.string(), "-noout", "-fingerprint",
                                    "-sha256"});
    auto equals = out.find('=');
    auto end = out.find_first_of("\r\n");
    if (equals == std::string::npos)
        throw std::runtime_error("no fingerprint from openssl: " + out);
    return out.substr(equals + 1, end == std::string::npos ? std::string::npos : end - equals - 1);
}

} // namespace

// ---- certificates ----

TestCertificates::TestCertificates() {
    m_dir = std::make_unique<TempDir>("ct-certs");
    chmod(m_dir->Path().c_str(), 0755);
    const fs::path dir = m_dir->Path();
    const std::string openssl = "/usr/bin/openssl";
    auto path = [&](const std::string& name) { return (dir / name).string(); };

    RunForOutput({openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path("ca.key"), "-out",
                  path("ca.pem"), "-days", "2", "-subj", "/CN=cloudtransfer test CA"});
    m_caFile = dir / "ca.pem";

    auto signedBy = [&](const std::string& name, const std::string& cn, const std::string& san) {
        RunForOutput({openssl, "req", "-newkey", "rsa:2048", "-nodes", "-keyout", path(name + ".key"), "-out",
                      path(name + ".csr"), "-subj", "/CN=" + cn});
        std::ofstream(dir / (name + ".ext")) << "subjectAltName=" << san << "\n";
        RunForOutput({openssl, "x509", "-req", "-in", path(name + ".csr"), "-CA", path("ca.pem"), "-CAkey",
                      path("ca.key"), "-CAcreateserial", "-out", path(name + ".pem"), "-days", "2", "-extfile",
                      path(name + ".ext")});
        return Pair{dir / (name + ".pem"), dir / (name + ".key"), Fingerprint(dir / (name + ".pem"))};
    };
    m_trusted = signedBy("trusted", "127.0.0.1", "IP:127.0.0.1,IP:::1,DNS:localhost");
    m_wrongName = signedBy("wrong", "wrong.example", "DNS:wrong.example");

    RunForOutput({openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path("self.key"), "-out",
                  path("self.pem"), "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                  "subjectAltName=IP:127.0.0.1,DNS:localhost"});
    m_selfSigned = Pair{dir / "self.pem", dir / "self.key", Fingerprint(dir / "self.pem")};
    for (const auto& entry : fs::directory_iterator(dir))
        chmod(entry.path().c_str(), 0644);
}

// ---- vsftpd with TLS ----

namespace {

VsftpdServer::Variant TlsVariant(const VsftpdTlsOptions& options) {
    std::ostringstream c;
    c << "ssl_enable=YES\nallow_anon_ssl=YES\nssl_ciphers=HIGH\nrequire_ssl_reuse=YES\n"
      << "force_anon_logins_ssl=" << (options.requireTls ? "YES" : "NO") << "\n"
      << "force_anon_data_ssl=" << (options.requireTls ? "YES" : "NO") << "\n"
      << "rsa_cert_file=" << options.certificate->certificate.string() << "\n"
      << "rsa_private_key_file=" << options.certificate->key.string() << "\n";
    if (options.implicitTls)
        c << "implicit_ssl=YES\n";
    if (options.maxRate > 0)
        c << "anon_max_rate=" << options.maxRate << "\n";
    VsftpdServer::Variant variant{"ct-vsftpd-tls", c.str(), {}};
    if (options.tls12Only) {
        variant.environment = [](const fs::path& work) {
            const fs::path opensslConf = work / "openssl.cnf";
            std::ofstream(opensslConf) << "openssl_conf = default_conf\n[default_conf]\nssl_conf = ssl_sect\n"
                                       << "[ssl_sect]\nsystem_default = system_default_sect\n"
                                       << "[system_default_sect]\nMaxProtocol = TLSv1.2\n";
            return std::vector<std::string>{"OPENSSL_CONF=" + opensslConf.string()};
        };
    }
    return variant;
}

} // namespace

VsftpdTlsServer::VsftpdTlsServer(const VsftpdTlsOptions& options)
    : VsftpdServer(VsftpdOptions{.rootOnTmpfs = options.rootOnTmpfs}, TlsVariant(options)) {}

// ---- pyftpdlib with TLS ----

namespace {

std::vector<std::string> TlsServerArgs(const PyFtpTlsOptions& options) {
    std::vector<std::string> args{"--host", options.host, "--user", "user:" + options.password,
                                  "--cert", options.certificate->certificate.string(),
                                  "--key", options.certificate->key.string()};
    if (options.requireTls)
        args.push_back("--require-tls");
    args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
    return args;
}

} // namespace

PyFtpTlsServer::PyFtpTlsServer(const PyFtpTlsOptions& options)
    : PyFtpProcess("ftpserver_tls.py", false, TlsServerArgs(options), "the TLS test FTP server") {}

PyFtpTlsServer::~PyFtpTlsServer() = default;

// ---- proftpd and pure-ftpd, unpacked ----

fs::path UnpackedFtpdRoot() {
    return "/opt/cloudtransfer-ftpd";
}

namespace {

std::string LibraryPath() {
    return "LD_LIBRARY_PATH=" + (UnpackedFtpdRoot() / "usr/lib/x86_64-linux-gnu").string();
}

// A work folder the servers' unprivileged sessions can reach, and a root they own.
fs::path PrepareRoot(TempDir& work) {
    chmod(work.Path().c_str(), 0755);
    fs::path root = work.Path() / "root";
    fs::create_directories(root);
    if (chown(root.c_str(), NobodyId, NobodyId) != 0)
        throw std::runtime_error("cannot hand the FTP root to nobody");
    return root;
}

} // namespace

bool ProftpdServer::Available() {
    return geteuid() == 0 && fs::exists(UnpackedFtpdRoot() / "usr/sbin/proftpd");
}

ProftpdServer::ProftpdServer(const ProftpdOptions& options) {
    m_work = std::make_unique<TempDir>("ct-proftpd", options.rootOnTmpfs);
    m_root = PrepareRoot(*m_work);
    const fs::path work = m_work->Path();
    m_port = FreeLoopbackPort();
    const std::uint16_t low = PassiveLowFor(m_port);
    std::ofstream(work / "passwd") << "user:" << SecretHash << ":" << NobodyId << ":" << NobodyId << "::"
                                   << m_root.string() << ":/bin/sh\n";
    std::ofstream(work / "group") << "nogroup:x:" << NobodyId << ":\n";
    chmod((work / "passwd").c_str(), 0600);
    const fs::path conf = work / "proftpd.conf";
    {
        std::ofstream c(conf);
        c << "ServerName \"cloudtransfer test\"\nServerType standalone\n"
          << "Port " << m_port << "\nDefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\n"
          << "User nobody\nGroup nogroup\n"
          << "PidFile " << (work / "proftpd.pid").string() << "\n"
          << "ScoreboardFile " << (work / "scoreboard").string() << "\n"
          << "DelayTable none\nWtmpLog off\nTransferLog none\nUseReverseDNS off\n"
          << "SystemLog " << (work / "system.log").string() << "\n"
          << "AuthOrder mod_auth_file.c\n"
          << "AuthUserFile " << (work / "passwd").string() << "\n"
          << "AuthGroupFile " << (work / "group").string() << "\n"
          << "RequireValidShell off\nDefaultRoot ~\nAllowOverwrite on\nUmask 022\n"
          << "PassivePorts " << low << " " << low + 200 << "\n";
        if (options.certificate || options.digest)
            c << "ModulePath " << (UnpackedFtpdRoot() / "usr/lib/proftpd").string() << "\n";
        if (options.digest)
            c << "LoadModule mod_digest.c\nDigestEngine on\nDigestAlgorithms all\n";
        if (options.certificate) {
            c << "LoadModule mod_tls.c\n"
              << "TLSEngine on\nTLSRequired on\nTLSProtocol " << options.tlsProtocols << "\n"
              << "TLSRSACertificateFile " << options.certificate->certificate.string() << "\n"
              << "TLSRSACertificateKeyFile " << options.certificate->key.string() << "\n"
              << "TLSLog " << (work / "tls.log").string() << "\n";
            if (options.implicitTls)
                c << "TLSOptions UseImplicitSSL\n";
        }
        for (const auto& line : options.extraConfig)
            c << line << "\n";
    }
    const fs::path output = work / "output.txt";
    std::ofstream(output).close();
    if (!Launch({(UnpackedFtpdRoot() / "usr/sbin/proftpd").string(), "-n", "-q", "-c", conf.string()}, {LibraryPath()},
                output))
        m_error = ReadFileIfAny(work / "system.log");
}

ProftpdServer::~ProftpdServer() = default;

bool PureFtpdServer::Available() {
    return geteuid() == 0 && fs::exists(UnpackedFtpdRoot() / "usr/sbin/pure-ftpd");
}

PureFtpdServer::PureFtpdServer(const std::vector<std::string>& extraArgs) {
    m_work = std::make_unique<TempDir>("ct-pureftpd");
    m_root = PrepareRoot(*m_work);
    const fs::path work = m_work->Path();
    m_port = FreeLoopbackPort();
    const std::uint16_t low = PassiveLowFor(m_port);
    std::ofstream(work / "users.txt") << "user:" << SecretHash << ":" << NobodyId << ":" << NobodyId << "::"
                                      << m_root.string() << "/./::::::::::::\n";
    try {
        RunForOutput({(UnpackedFtpdRoot() / "usr/bin/pure-pw").string(), "mkdb", (work / "users.pdb").string(), "-f",
                      (work / "users.txt").string()},
                     {LibraryPath()});
    } catch (const std::exception& e) {
        m_error = e.what();
        return;
    }
    std::vector<std::string> argv{(UnpackedFtpdRoot() / "usr/sbin/pure-ftpd").string(),
                                  "-S", "127.0.0.1," + std::to_string(m_port),
                                  "-l", "puredb:" + (work / "users.pdb").string(),
                                  "-p", std::to_string(low) + ":" + std::to_string(low + 200),
                                  "-E", "-A", "-H"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    if (!Launch(argv, {LibraryPath()}))
        m_error = "pure-ftpd did not start";
}

PureFtpdServer::~PureFtpdServer() = default;

} // namespace ct::test
