#include "support/FtpsServers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace ct::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// "secret", hashed as `openssl passwd -6 -salt ctsalt secret` prints it: a fast hash, so that
// logins take milliseconds (pure-pw's own default takes seconds).
constexpr const char* SecretHash =
    "$6$ctsalt$LJh/IUdTHNTfXY4s5PYu77UXMU0b4fToCREruW0ZpWYYY5v0.OXbxKAHB.atZx1o1bSB3rAcQ02lBdeebHtbv1";
// The unprivileged account the servers hand their sessions to.
constexpr int NobodyId = 65534;

bool CanConnect(std::uint16_t port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(s);
    return ok;
}

// Waits for a server to listen; false when it ended first or took too long.
bool AwaitListening(ChildProcess& process, std::uint16_t port) {
    auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (CanConnect(port))
            return true;
        if (!process.Running())
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::uint16_t PassiveLow(std::uint16_t port) {
    return static_cast<std::uint16_t>(20000 + (port % 20000));
}

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

std::string RunForOutput(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e)
        envStrings.emplace_back(*e);
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char*> cargv, cenv;
    for (const auto& a : argv)
        cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (const auto& e : envStrings)
        cenv.push_back(const_cast<char*>(e.c_str()));
    cenv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        int in = open("/dev/null", O_RDONLY);
        if (in >= 0)
            dup2(in, 0);
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(argv[0] + " failed: " + text);
    return text;
}

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
    m_trusted = signedBy("trusted", "127.0.0.1", "IP:127.0.0.1,DNS:localhost");
    m_wrongName = signedBy("wrong", "wrong.example", "DNS:wrong.example");

    RunForOutput({openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path("self.key"), "-out",
                  path("self.pem"), "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                  "subjectAltName=IP:127.0.0.1,DNS:localhost"});
    m_selfSigned = Pair{dir / "self.pem", dir / "self.key", Fingerprint(dir / "self.pem")};
    for (const auto& entry : fs::directory_iterator(dir))
        chmod(entry.path().c_str(), 0644);
}

// ---- vsftpd with TLS ----

bool VsftpdTlsServer::Available() {
    return geteuid() == 0 && fs::exists("/usr/sbin/vsftpd");
}

VsftpdTlsServer::VsftpdTlsServer(VsftpdTlsOptions options) {
    m_work = std::make_unique<TempDir>("ct-vsftpd-tls", options.rootOnTmpfs);
    m_root = m_work->Path() / "root";
    fs::create_directories(m_root / "up");
    fs::create_directories(m_work->Path() / "empty");
    chmod(m_work->Path().c_str(), 0755);
    chmod(m_root.c_str(), 0555);
    chmod((m_root / "up").c_str(), 0777);
    m_port = FreeLoopbackPort();
    const std::uint16_t low = PassiveLow(m_port);
    const fs::path conf = m_work->Path() / "vsftpd.conf";
    {
        std::ofstream c(conf);
        c << "listen=YES\nlisten_ipv6=NO\nbackground=NO\nlisten_address=127.0.0.1\n"
          << "listen_port=" << m_port << "\n"
          << "anonymous_enable=YES\nno_anon_password=YES\nnopriv_user=nobody\nftp_username=ftp\n"
          << "anon_root=" << m_root.string() << "\n"
          << "local_enable=NO\nwrite_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
          << "anon_other_write_enable=YES\nanon_umask=022\npasv_enable=YES\npasv_address=127.0.0.1\n"
          << "pasv_min_port=" << low << "\npasv_max_port=" << low + 200 << "\n"
          << "connect_from_port_20=NO\n"
          << "secure_chroot_dir=" << (m_work->Path() / "empty").string() << "\n"
          << "seccomp_sandbox=NO\nxferlog_enable=NO\nsyslog_enable=NO\n"
          << "ssl_enable=YES\nallow_anon_ssl=YES\nssl_ciphers=HIGH\nrequire_ssl_reuse=YES\n"
          << "force_anon_logins_ssl=" << (options.requireTls ? "YES" : "NO") << "\n"
          << "force_anon_data_ssl=" << (options.requireTls ? "YES" : "NO") << "\n"
          << "rsa_cert_file=" << options.certificate->certificate.string() << "\n"
          << "rsa_private_key_file=" << options.certificate->key.string() << "\n";
        if (options.implicitTls)
            c << "implicit_ssl=YES\n";
        if (options.maxRate > 0)
            c << "anon_max_rate=" << options.maxRate << "\n";
    }
    std::vector<std::string> env;
    if (options.tls12Only) {
        const fs::path opensslConf = m_work->Path() / "openssl.cnf";
        std::ofstream(opensslConf) << "openssl_conf = default_conf\n[default_conf]\nssl_conf = ssl_sect\n"
                                   << "[ssl_sect]\nsystem_default = system_default_sect\n"
                                   << "[system_default_sect]\nMaxProtocol = TLSv1.2\n";
        env.push_back("OPENSSL_CONF=" + opensslConf.string());
    }
    // vsftpd writes its start-up errors to file descriptor 0.
    const fs::path errors = m_work->Path() / "startup.txt";
    std::ofstream(errors).close();
    m_process = std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/sbin/vsftpd", conf.string()}, env, errors);
    m_started = AwaitListening(*m_process, m_port);
    if (!m_started)
        m_error = ReadAll(errors);
}

VsftpdTlsServer::~VsftpdTlsServer() = default;

// ---- pyftpdlib with TLS ----

PyFtpTlsServer::PyFtpTlsServer(PyFtpTlsOptions options) {
    m_root = std::make_unique<TempDir>("ct-ftproot");
    m_work = std::make_unique<TempDir>("ct-ftpwork");
    m_log = m_work->Path() / "commands.log";
    std::vector<std::string> argv{CT_PYTHON, std::string(CT_TEST_SUPPORT_DIR) + "/ftpserver_tls.py",
                                  "--root", m_root->Path().string(), "--log", m_log.string(),
                                  "--user", "user:" + options.password,
                                  "--cert", options.certificate->certificate.string(),
                                  "--key", options.certificate->key.string()};
    if (options.requireTls)
        argv.push_back("--require-tls");
    argv.insert(argv.end(), options.extraArgs.begin(), options.extraArgs.end());
    m_process = std::make_unique<ChildProcess>(argv);
    std::string line = m_process->ReadLine(20s);
    if (line.rfind("PORT ", 0) != 0)
        throw std::runtime_error("the TLS test FTP server did not start (got '" + line + "')");
    m_port = static_cast<std::uint16_t>(std::stoi(line.substr(5)));
}

PyFtpTlsServer::~PyFtpTlsServer() = default;

std::vector<std::string> PyFtpTlsServer::Log() const {
    std::vector<std::string> lines;
    std::ifstream in(m_log);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

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

ProftpdServer::ProftpdServer(ProftpdOptions options) {
    m_work = std::make_unique<TempDir>("ct-proftpd");
    m_root = PrepareRoot(*m_work);
    const fs::path work = m_work->Path();
    m_port = FreeLoopbackPort();
    const std::uint16_t low = PassiveLow(m_port);
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
        if (options.certificate) {
            c << "ModulePath " << (UnpackedFtpdRoot() / "usr/lib/proftpd").string() << "\n"
              << "LoadModule mod_tls.c\n"
              << "TLSEngine on\nTLSRequired on\nTLSProtocol " << options.tlsProtocols << "\n"
              << "TLSRSACertificateFile " << options.certificate->certificate.string() << "\n"
              << "TLSRSACertificateKeyFile " << options.certificate->key.string() << "\n"
              << "TLSLog " << (work / "tls.log").string() << "\n";
        }
        for (const auto& line : options.extraConfig)
            c << line << "\n";
    }
    const fs::path output = work / "output.txt";
    std::ofstream(output).close();
    m_process = std::make_unique<ChildProcess>(
        std::vector<std::string>{(UnpackedFtpdRoot() / "usr/sbin/proftpd").string(), "-n", "-q", "-c", conf.string()},
        std::vector<std::string>{LibraryPath()}, output);
    m_started = AwaitListening(*m_process, m_port);
    if (!m_started)
        m_error = ReadAll(work / "system.log");
}

ProftpdServer::~ProftpdServer() = default;

bool PureFtpdServer::Available() {
    return geteuid() == 0 && fs::exists(UnpackedFtpdRoot() / "usr/sbin/pure-ftpd");
}

PureFtpdServer::PureFtpdServer(std::vector<std::string> extraArgs) {
    m_work = std::make_unique<TempDir>("ct-pureftpd");
    m_root = PrepareRoot(*m_work);
    const fs::path work = m_work->Path();
    m_port = FreeLoopbackPort();
    const std::uint16_t low = PassiveLow(m_port);
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
    m_process = std::make_unique<ChildProcess>(argv, std::vector<std::string>{LibraryPath()});
    m_started = AwaitListening(*m_process, m_port);
    if (!m_started)
        m_error = "pure-ftpd did not start";
}

PureFtpdServer::~PureFtpdServer() = default;

} // namespace ct::test
