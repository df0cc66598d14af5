#include "support/FtpServers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace ct::test {

namespace fs = std::filesystem;

PyFtpProcess::PyFtpProcess(const std::string& script, bool rootOnTmpfs, const std::vector<std::string>& args,
                           const std::string& what) {
    m_root = std::make_unique<TempDir>("ct-ftproot", rootOnTmpfs);
    m_work = std::make_unique<TempDir>("ct-ftpwork");
    m_log = m_work->Path() / "commands.log";
    std::vector<std::string> argv{CT_PYTHON, std::string(CT_TEST_SUPPORT_DIR) + "/" + script,
                                  "--root", m_root->Path().string(), "--log", m_log.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    m_process = std::make_unique<ChildProcess>(argv);
    std::string line = m_process->ReadLine(std::chrono::seconds(20));
    if (line.rfind("PORT ", 0) != 0)
        throw std::runtime_error(what + " did not start (got '" + line + "')");
    m_port = static_cast<std::uint16_t>(std::stoi(line.substr(5)));
}

PyFtpProcess::~PyFtpProcess() = default;

std::vector<std::string> PyFtpProcess::Log() const {
    std::vector<std::string> lines;
    std::ifstream in(m_log);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

namespace {

std::vector<std::string> ServerArgs(const PyFtpOptions& options) {
    std::vector<std::string> args{"--host", options.host};
    for (const auto& u : options.users) {
        args.push_back("--user");
        args.push_back(u);
    }
    if (options.anonymous)
        args.push_back("--anonymous");
    args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
    return args;
}

} // namespace

PyFtpServer::PyFtpServer(PyFtpOptions options)
    : PyFtpProcess("ftpserver.py", options.rootOnTmpfs, ServerArgs(options), "the test FTP server") {}

PyFtpServer::~PyFtpServer() = default;

std::vector<std::string> PyFtpServer::Commands(const std::string& word) const {
    std::vector<std::string> out;
    for (auto& line : Log())
        if (line == word || line.rfind(word + " ", 0) == 0)
            out.push_back(line);
    return out;
}

int PyFtpServer::Logins() const {
    return static_cast<int>(Commands("LOGIN").size());
}

void PyFtpServer::ClearLog() {
    std::ofstream(m_log, std::ios::trunc);
}

void PyFtpServer::Kill() {
    m_process->Kill(9);
    m_process->Wait(std::chrono::seconds(10));
}

FtpdProcess::~FtpdProcess() = default;

bool FtpdProcess::Launch(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const fs::path& stdinFile) {
    m_process = std::make_unique<ChildProcess>(argv, env, stdinFile);
    m_started = AwaitListening(*m_process, m_port, std::chrono::seconds(15));
    return m_started;
}

std::uint16_t FtpdProcess::PassiveLowFor(std::uint16_t port) {
    return static_cast<std::uint16_t>(20000 + (port % 20000));
}

bool VsftpdServer::Available() {
    return geteuid() == 0 && fs::exists("/usr/sbin/vsftpd");
}

VsftpdServer::VsftpdServer(bool rootOnTmpfs) : VsftpdServer(VsftpdOptions{.rootOnTmpfs = rootOnTmpfs}) {}

VsftpdServer::VsftpdServer(const VsftpdOptions& options) : VsftpdServer(options, Variant{}) {}

VsftpdServer::VsftpdServer(const VsftpdOptions& options, const Variant& variant) {
    m_work = std::make_unique<TempDir>(variant.workPrefix, options.rootOnTmpfs);
    m_root = m_work->Path() / "root";
    fs::create_directories(m_root / "up");
    fs::create_directories(m_work->Path() / "empty");
    chmod(m_work->Path().c_str(), 0755);
    chmod(m_root.c_str(), 0555);
    chmod((m_root / "up").c_str(), 0777);
    m_port = FreeLoopbackPort();
    m_pasvLow = PassiveLowFor(m_port);
    m_pasvHigh = static_cast<std::uint16_t>(m_pasvLow + std::max<std::uint16_t>(options.passivePorts, 1) - 1);
    fs::path conf = m_work->Path() / "vsftpd.conf";
    {
        std::ofstream c(conf);
        c << "listen=YES\nlisten_ipv6=NO\nbackground=NO\nlisten_address=127.0.0.1\n"
          << "listen_port=" << m_port << "\n"
          << "anonymous_enable=YES\nno_anon_password=YES\nnopriv_user=nobody\nftp_username=ftp\n"
          << "anon_root=" << m_root.string() << "\n"
          << "local_enable=NO\nwrite_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
          << "anon_other_write_enable=YES\nanon_umask=022\npasv_enable=YES\n"
          << "pasv_address=" << options.pasvAddress << "\n"
          << "pasv_min_port=" << m_pasvLow << "\npasv_max_port=" << m_pasvHigh << "\n"
          << "connect_from_port_20=NO\n"
          << "secure_chroot_dir=" << (m_work->Path() / "empty").string() << "\n"
          << "seccomp_sandbox=NO\nxferlog_enable=NO\nsyslog_enable=NO\n"
          << variant.extraConfig;
    }
    const std::vector<std::string> env =
        variant.environment ? variant.environment(m_work->Path()) : std::vector<std::string>{};
    // vsftpd writes its start-up errors to file descriptor 0.
    fs::path errors = m_work->Path() / "startup.txt";
    std::ofstream(errors).close();
    if (!Launch({"/usr/sbin/vsftpd", conf.string()}, env, errors))
        m_error = ReadFileIfAny(errors);
}

VsftpdServer::~VsftpdServer() = default;

} // namespace ct::test
