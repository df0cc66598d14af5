#include "support/FtpServers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace ct::test {

namespace fs = std::filesystem;

PyFtpServer::PyFtpServer(PyFtpOptions options) {
    m_root = std::make_unique<TempDir>("ct-ftproot", options.rootOnTmpfs);
    m_work = std::make_unique<TempDir>("ct-ftpwork");
    m_log = m_work->Path() / "commands.log";
    std::vector<std::string> argv{CT_PYTHON, std::string(CT_TEST_SUPPORT_DIR) + "/ftpserver.py",
                                  "--root", m_root->Path().string(), "--log", m_log.string(),
                                  "--host", options.host};
    for (const auto& u : options.users) {
        argv.push_back("--user");
        argv.push_back(u);
    }
    if (options.anonymous)
        argv.push_back("--anonymous");
    argv.insert(argv.end(), options.extraArgs.begin(), options.extraArgs.end());
    m_process = std::make_unique<ChildProcess>(argv);
    std::string line = m_process->ReadLine(std::chrono::seconds(20));
    if (line.rfind("PORT ", 0) != 0)
        throw std::runtime_error("the test FTP server did not start (got '" + line + "')");
    m_port = static_cast<std::uint16_t>(std::stoi(line.substr(5)));
}

PyFtpServer::~PyFtpServer() = default;

std::vector<std::string> PyFtpServer::Log() const {
    std::vector<std::string> lines;
    std::ifstream in(m_log);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

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

bool VsftpdServer::Available() {
    return geteuid() == 0 && fs::exists("/usr/sbin/vsftpd");
}

namespace {
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
} // namespace

VsftpdServer::VsftpdServer(bool rootOnTmpfs) : VsftpdServer(VsftpdOptions{.rootOnTmpfs = rootOnTmpfs}) {}

VsftpdServer::VsftpdServer(const VsftpdOptions& options) {
    m_work = std::make_unique<TempDir>("ct-vsftpd", options.rootOnTmpfs);
    m_root = m_work->Path() / "root";
    fs::create_directories(m_root / "up");
    fs::create_directories(m_work->Path() / "empty");
    chmod(m_work->Path().c_str(), 0755);
    chmod(m_root.c_str(), 0555);
    chmod((m_root / "up").c_str(), 0777);
    m_port = FreeLoopbackPort();
    m_pasvLow = static_cast<std::uint16_t>(20000 + (m_port % 20000));
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
          << "seccomp_sandbox=NO\nxferlog_enable=NO\nsyslog_enable=NO\n";
    }
    // vsftpd writes its start-up errors to file descriptor 0.
    fs::path errors = m_work->Path() / "startup.txt";
    std::ofstream(errors).close();
    m_process = std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/sbin/vsftpd", conf.string()},
                                               std::vector<std::string>{}, errors);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (CanConnect(m_port)) {
            m_started = true;
            return;
        }
        if (!m_process->Running())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::ifstream in(errors);
    m_error.assign(std::istreambuf_iterator<char>(in), {});
}

VsftpdServer::~VsftpdServer() = default;

} // namespace ct::test
