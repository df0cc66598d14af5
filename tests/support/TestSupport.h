#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace ct::test {

// A fresh folder below the system temp folder (or /dev/shm for tmpfs), removed on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "ct-test", bool onTmpfs = false);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

std::string ReadFileBytes(const std::filesystem::path& file);
// The names in a folder, sorted: what a test expects to find beside a file.
std::vector<std::string> NamesIn(const std::filesystem::path& dir);
void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes);
// Deterministic pseudo-random content of the given size.
std::string MakePattern(std::size_t size, std::uint32_t seed = 1);

// A child process with its stdout read through a pipe. Killed (SIGKILL) and reaped on
// destruction unless it has already ended.
class ChildProcess {
public:
    // argv[0] is the program path. env entries "NAME=value" are added to the environment.
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                 const std::filesystem::path& stdinFile = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int Pid() const { return m_pid; }
    // Reads one line of stdout; "" on time-out or end of output.
    std::string ReadLine(std::chrono::milliseconds timeout);
    // Waits for the exit; returns the exit status, or -1 on time-out (the child keeps running),
    // or 128 + signal number when it was killed by a signal.
    int Wait(std::chrono::milliseconds timeout);
    void Kill(int signal = 9);
    bool Running();

private:
    int m_pid = -1;
    int m_stdout = -1;
    bool m_reaped = false;
    int m_status = 0;
    std::string m_buffer;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
std::uint16_t FreeLoopbackPort();

// Waits for a server to listen on the port of 127.0.0.1; false when it ended first or took too long.
bool AwaitListening(ChildProcess& process, std::uint16_t port, std::chrono::milliseconds timeout);

// Runs a program to its end and returns its standard output and error; throws when it fails.
// env entries as for ChildProcess.
std::string RunForOutput(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

// The whole text of a file; "" when there is none (a log a failed start did not write).
std::string ReadFileIfAny(const std::filesystem::path& file);

// Runs `body` in a forked child that first gives up root's powers over files when the tests
// run as root (it becomes user and group 65534), so that file and folder modes count. Returns
// the child's exit status: what `body` returned, 125 when root's powers could not be given up,
// 126 when `body` threw, -1 when the child died of a signal.
int RunWithoutPrivileges(const std::function<int()>& body);

} // namespace ct::test
