#include "support/TestSupport.h"

#include <algorithm>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace ct::test {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix, bool onTmpfs) {
    fs::path base = onTmpfs && fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string templ = (base / (prefix + "-XXXXXX")).string();
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    m_path = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

std::vector<std::string> NamesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadFileBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + file.string());
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFileBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot create " + file.string());
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string MakePattern(std::size_t size, std::uint32_t seed) {
    std::string s(size, '\0');
    std::mt19937 gen(seed);
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(gen() & 0xff);
    return s;
}

namespace {

// The argument and environment arrays execve takes, and the strings they point into. The
// environment is this process's, each "NAME=value" of `add` in place of NAME's own entry.
class ExecArrays {
public:
    ExecArrays(const std::vector<std::string>& argv, const std::vector<std::string>& add) : m_args(argv) {
        for (char** e = environ; *e; ++e)
            m_env.emplace_back(*e);
        for (const auto& entry : add) {
            auto name = entry.substr(0, entry.find('=') + 1);
            std::erase_if(m_env, [&](const std::string& s) { return s.rfind(name, 0) == 0; });
            m_env.push_back(entry);
        }
        for (auto& a : m_args)
            m_argv.push_back(a.data());
        m_argv.push_back(nullptr);
        for (auto& e : m_env)
            m_envp.push_back(e.data());
        m_envp.push_back(nullptr);
    }
    ExecArrays(const ExecArrays&) = delete;
    ExecArrays& operator=(const ExecArrays&) = delete;

    // In the child: replaces it with the program, or ends it with status 127.
    [[noreturn]] void Exec() {
        execve(m_argv[0], m_argv.data(), m_envp.data());
        _exit(127);
    }

private:
    std::vector<std::string> m_args;
    std::vector<std::string> m_env;
    std::vector<char*> m_argv;
    std::vector<char*> m_envp;
};

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                           const fs::path& stdinFile) {
    int pipeFd[2];
    if (pipe2(pipeFd, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    ExecArrays exec(argv, env);

    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        dup2(pipeFd[1], 1);
        int in = open(stdinFile.empty() ? "/dev/null" : stdinFile.c_str(), O_RDWR);
        if (in >= 0)
            dup2(in, 0);
        setpgid(0, 0);
        exec.Exec();
    }
    close(pipeFd[1]);
    m_stdout = pipeFd[0];
}

ChildProcess::~ChildProcess() {
    if (!m_reaped) {
        Kill(SIGKILL);
        Wait(std::chrono::seconds(10));
    }
    if (m_stdout >= 0)
        close(m_stdout);
}

std::string ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto nl = m_buffer.find('\n');
        if (nl != std::string::npos) {
            std::string line = m_buffer.substr(0, nl);
            m_buffer.erase(0, nl + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return {};
        pollfd p{m_stdout, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(m_stdout, buf, sizeof buf);
        if (n <= 0)
            return {};
        m_buffer.append(buf, static_cast<std::size_t>(n));
    }
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (m_reaped)
        return m_status;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_reaped = true;
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_status;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ChildProcess::Kill(int signal) {
    if (!m_reaped && m_pid > 0)
        ::kill(m_pid, signal);
}

bool ChildProcess::Running() {
    return Wait(std::chrono::milliseconds(0)) == -1;
}

std::uint16_t FreeLoopbackPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(s);
        throw std::runtime_error("bind failed");
    }
    socklen_t len = sizeof addr;
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    close(s);
    return ntohs(addr.sin_port);
}

std::string RunForOutput(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    ExecArrays exec(argv, env);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        int in = open("/dev/null", O_RDONLY);
        if (in >= 0)
            dup2(in, 0);
        exec.Exec();
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

std::string ReadFileIfAny(const fs::path& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int RunWithoutPrivileges(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed: " + std::string(std::strerror(errno)));
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(125);
        int status = 126;
        try {
            status = body();
        } catch (...) {
        }
        ::_exit(status);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

bool AwaitListening(ChildProcess& process, std::uint16_t port, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (CanConnect(port))
            return true;
        if (!process.Running())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

} // namespace ct::test
