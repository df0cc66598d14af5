#include "support/SshServers.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace ct::test {

namespace {

const char* const HostKeyTypes[] = {"ed25519", "ecdsa", "rsa"};

void MakeKey(const fs::path& file, const std::string& type, const std::string& passphrase) {
    std::vector<std::string> argv{"/usr/bin/ssh-keygen", "-q", "-t", type, "-N", passphrase, "-f", file.string()};
    if (type == "rsa")
        argv.insert(argv.end(), {"-b", "2048"});
    RunForOutput(argv);
}

} // namespace

bool SshdServer::Available() {
    return geteuid() == 0 && fs::exists("/usr/sbin/sshd") && fs::exists("/usr/bin/ssh-keygen") &&
           getpwnam(SftpTestUser) != nullptr;
}

SshdServer::SshdServer(SshdOptions options) {
    m_work = std::make_unique<TempDir>("ct-sshd", options.rootOnTmpfs);
    const fs::path work = m_work->Path();
    // The test user reads its authorized keys here and works below Files().
    chmod(work.c_str(), 0755);
    m_files = work / "files";
    fs::create_directories(m_files);
    if (const passwd* user = getpwnam(SftpTestUser))
        chown(m_files.c_str(), user->pw_uid, user->pw_gid);
    // sshd's privilege separation folder; the system's service would make it.
    fs::create_directories("/run/sshd");
    for (const char* type : HostKeyTypes)
        MakeKey(work / (std::string("host_") + type), type, "");
    std::ofstream(work / "authorized_keys").close();
    chmod((work / "authorized_keys").c_str(), 0644);

    m_port = FreeLoopbackPort();
    const fs::path conf = work / "sshd_config";
    {
        std::ofstream c(conf);
        c << "ListenAddress 127.0.0.1\nPort " << m_port << "\n";
        for (const char* type : HostKeyTypes)
            c << "HostKey " << (work / (std::string("host_") + type)).string() << "\n";
        c << "PidFile none\nUsePAM no\nPermitRootLogin no\nAllowUsers " << SftpTestUser << "\n"
          << "PasswordAuthentication yes\nKbdInteractiveAuthentication no\nPubkeyAuthentication yes\n"
          << "AuthorizedKeysFile " << (work / "authorized_keys").string() << "\n"
          << "StrictModes no\nLogLevel DEBUG1\nMaxStartups 100\nMaxAuthTries 6\n"
          << "Subsystem sftp internal-sftp\n"
          << "ForceCommand internal-sftp -d " << m_files.string() << "\n"
          << options.extraConfig << "\n";
    }
    chmod(conf.c_str(), 0600);
    const fs::path log = work / "sshd.log";
    m_process = std::make_unique<ChildProcess>(std::vector<std::string>{
        "/bin/sh", "-c", "exec /usr/sbin/sshd -f '" + conf.string() + "' -D -e 2>>'" + log.string() + "'"});
    m_started = AwaitListening(*m_process, m_port, std::chrono::seconds(15));
    if (!m_started)
        m_error = "sshd did not start: " + ReadFileIfAny(log);
}

SshdServer::~SshdServer() {
    // Sessions outlive the listener; stopped ones would never end.
    const std::vector<int> sessions = SessionProcesses();
    for (int pid : sessions)
        kill(pid, SIGKILL);
    for (int pid : sessions)
        kill(pid, SIGCONT);
}

std::vector<int> SshdServer::SessionProcesses() const {
    std::vector<int> found;
    if (!m_process)
        return found;
    std::vector<int> parents{m_process->Pid()};
    while (!parents.empty()) {
        const int parent = parents.back();
        parents.pop_back();
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator("/proc", ec)) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            const std::string stat = ReadFileIfAny(entry.path() / "stat");
            const auto close = stat.rfind(')');
            if (close == std::string::npos)
                continue;
            // pid (comm) state ppid ...
            int ppid = 0;
            if (std::sscanf(stat.c_str() + close + 1, " %*c %d", &ppid) == 1 && ppid == parent) {
                found.push_back(std::stoi(name));
                parents.push_back(std::stoi(name));
            }
        }
    }
    return found;
}

void SshdServer::Freeze(bool frozen) {
    for (int pid : SessionProcesses())
        kill(pid, frozen ? SIGSTOP : SIGCONT);
}

std::string SshdServer::Log() const {
    return ReadFileIfAny(m_work->Path() / "sshd.log");
}

bool SshdServer::SawAuthentication() const {
    return Log().find("userauth-request") != std::string::npos;
}

std::string SshdServer::Fingerprint(const std::string& type) const {
    const std::string out = RunForOutput(
        {"/usr/bin/ssh-keygen", "-l", "-E", "sha256", "-f", (m_work->Path() / ("host_" + type + ".pub")).string()});
    const auto start = out.find("SHA256:");
    return out.substr(start, out.find(' ', start) - start);
}

fs::path SshdServer::KnownHosts(bool hashed) const {
    const fs::path file = m_work->Path() / (hashed ? "known_hosts_hashed" : "known_hosts");
    {
        std::ofstream out(file);
        for (const char* type : HostKeyTypes)
            out << "[127.0.0.1]:" << m_port << " "
                << ReadFileBytes(m_work->Path() / (std::string("host_") + type + ".pub"));
    }
    if (hashed)
        RunForOutput({"/usr/bin/ssh-keygen", "-q", "-H", "-f", file.string()});
    return file;
}

fs::path SshdServer::AddUserKey(const std::string& type, const std::string& passphrase) {
    const fs::path key = m_work->Path() / ("user_" + type + "_" + std::to_string(++m_keys));
    MakeKey(key, type, passphrase);
    std::ofstream(m_work->Path() / "authorized_keys", std::ios::app) << ReadFileBytes(key.string() + ".pub");
    return key;
}

bool ParamikoSftpServer::Available() {
    static const bool available = [] {
        try {
            RunForOutput({CT_PYTHON, "-c", "import paramiko"});
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }();
    return available;
}

ParamikoSftpServer::ParamikoSftpServer(const std::vector<std::string>& args) {
    m_root = std::make_unique<TempDir>("ct-paramiko");
    std::vector<std::string> argv{CT_PYTHON, std::string(CT_TEST_SUPPORT_DIR) + "/sftpserver.py", m_root->Path().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    m_process = std::make_unique<ChildProcess>(argv);
    const std::string port = m_process->ReadLine(std::chrono::seconds(20));
    m_fingerprint = m_process->ReadLine(std::chrono::seconds(5));
    if (port.empty() || m_fingerprint.rfind("SHA256:", 0) != 0)
        throw std::runtime_error("sftpserver.py did not start");
    m_port = static_cast<std::uint16_t>(std::stoi(port));
}

ParamikoSftpServer::~ParamikoSftpServer() = default;

} // namespace ct::test
