// The executable itself: an unattended pass over a queue beside a copy of the program, on a
// machine without a display, and the single-instance guard between two real processes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "platform/json/SuperObject.h"
#include "support/FtpServers.h"
#include "support/TestSupport.h"
#include "ExecutableFixture.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST_F(Executable, UnattendedRunProcessesTheQueueAndExits) {
    PyFtpServer server;
    std::string queue;
    const char* remotes[] = {"\\e2e\\one.txt", "\\e2e\\deep\\two.txt", "\\e2e\\deep\\er\\three.txt"};
    for (int i = 0; i < 3; ++i) {
        const fs::path local = m_dir / ("f" + std::to_string(i) + ".txt");
        WriteFileBytes(local, MakePattern(10000 + static_cast<std::size_t>(i), static_cast<std::uint32_t>(i)));
        queue += UploadLine(server.Port(), local, remotes[i]) + "\r\n";
    }
    WriteFileBytes(m_dir / "cloud_batch.txt", queue);
    StoreDelay(1);  // the run lasts a couple of seconds: time for a second start

    ChildProcess first({m_program.string(), "go"}, Env());
    // Once the first instance has logged in, it surely holds the guard.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (server.Logins() == 0 && first.Running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_GE(server.Logins(), 1);

    const auto started = std::chrono::steady_clock::now();
    ChildProcess second({m_program.string()}, Env());
    EXPECT_EQ(second.Wait(30s), 0);
    // It ended by itself while the first still works (the first needs two pauses of 1 s).
    EXPECT_TRUE(first.Running() || std::chrono::steady_clock::now() - started < 30s);

    EXPECT_EQ(first.Wait(120s), 0);
    EXPECT_EQ(ReadFileBytes(server.Root() / "e2e" / "one.txt"), MakePattern(10000, 0));
    EXPECT_EQ(ReadFileBytes(server.Root() / "e2e" / "deep" / "two.txt"), MakePattern(10001, 1));
    EXPECT_EQ(ReadFileBytes(server.Root() / "e2e" / "deep" / "er" / "three.txt"), MakePattern(10002, 2));
    EXPECT_FALSE(fs::exists(m_dir / "cloud_batch.txt"));
    EXPECT_EQ(server.Logins(), 1);  // the second instance never ran a job
}

TEST_F(Executable, UnattendedWithoutAQueueEndsAtOnce) {
    ChildProcess run({m_program.string(), "x", "y"}, Env());
    EXPECT_EQ(run.Wait(60s), 0);
    EXPECT_FALSE(fs::exists(m_dir / "cloud_batch.txt"));
}

TEST_F(Executable, UnattendedWithAnEmptyQueueDeletesItAndEnds) {
    WriteFileBytes(m_dir / "cloud_batch.txt", "");
    ChildProcess run({m_program.string(), "go"}, Env());
    EXPECT_EQ(run.Wait(60s), 0);
    EXPECT_FALSE(fs::exists(m_dir / "cloud_batch.txt"));
}

TEST_F(Executable, ADisplayThatIsNotThereFallsBackToOffscreen) {
    // DISPLAY names a server that does not exist: no crash, the run still happens.
    auto env = Env();
    env[0] = "DISPLAY=:93";
    ChildProcess run({m_program.string(), "go"}, env);
    EXPECT_EQ(run.Wait(60s), 0);
}

// Started without arguments where no display opens (none named, or one that is not there), the
// window does not run unseen: it says why and what to run instead, and ends with status 2.
class ExecutableWithoutDisplay : public Executable, public testing::WithParamInterface<const char*> {};

TEST_P(ExecutableWithoutDisplay, TheWindowSaysItNeedsADisplayAndExitsWith2) {
    std::vector<std::string> env = Env();
    env[0] = std::string("DISPLAY=") + GetParam();
    ChildProcess run({"/bin/sh", "-c", "exec \"$0\" 2>&1", m_program.string()}, env);
    std::string said;
    for (std::string line; !(line = run.ReadLine(60s)).empty();)
        said += line + "\n";
    EXPECT_EQ(run.Wait(60s), 2);
    EXPECT_NE(said.find("cloudtransfer: the window needs a display; run `cloudtransfer go` or "
                        "`cloudtransfer --watch`"),
              std::string::npos)
        << said;
}

INSTANTIATE_TEST_SUITE_P(Displays, ExecutableWithoutDisplay, testing::Values("", ":93"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(*info.param ? "NotThere" : "NoneNamed");
                         });

TEST_F(Executable, ASecondInstanceWaitsForNothing) {
    // The first instance sits in its window (offscreen) until it is killed.
    ChildProcess first({m_program.string()}, WindowEnv());
    std::this_thread::sleep_for(200ms);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!fs::exists(m_runtime / "TCloudTransferFrm") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(first.Running());
    ChildProcess second({m_program.string(), "go"}, Env());
    EXPECT_EQ(second.Wait(30s), 0);
    EXPECT_TRUE(first.Running());
    first.Kill();
    first.Wait(10s);
    // Once the first has gone, a new start runs normally (and ends: nothing queued).
    ChildProcess third({m_program.string(), "go"}, Env());
    EXPECT_EQ(third.Wait(60s), 0);
}

// A start from a terminal that finds another instance says why it does nothing, on the
// terminal and in the outcome log, and still ends at once with status 0.
TEST_F(Executable, ASecondInstanceFromATerminalSaysThatAnotherIsRunning) {
    ChildProcess first({m_program.string()}, WindowEnv());
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!fs::exists(m_runtime / "TCloudTransferFrm") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(first.Running());

    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(::grantpt(terminal), 0);
    ASSERT_EQ(::unlockpt(terminal), 0);
    const std::string side = ::ptsname(terminal);
    ChildProcess second({"/bin/sh", "-c", "exec \"$0\" go 2>\"$1\"", m_program.string(), side}, Env());
    EXPECT_EQ(second.Wait(30s), 0);
    std::string said;
    for (char buffer[512];;) {
        pollfd ready{terminal, POLLIN, 0};
        if (::poll(&ready, 1, 2000) <= 0)
            break;
        const ssize_t got = ::read(terminal, buffer, sizeof buffer);
        if (got <= 0)
            break;
        said.append(buffer, static_cast<std::size_t>(got));
        if (said.find('\n') != std::string::npos)
            break;
    }
    ::close(terminal);
    first.Kill();
    first.Wait(10s);
    EXPECT_NE(said.find("another instance is running"), std::string::npos) << said;
    EXPECT_NE(ReadFileBytes(m_dir / "cloud_transfer.log").find("another instance is running"), std::string::npos);
}

// Appends one line at a time the way producers do: open, append, close.
class Producer {
public:
    explicit Producer(fs::path file) : m_file(std::move(file)), m_thread([this] { Run(); }) {}
    ~Producer() { Stop(); }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    const std::vector<std::string>& Lines() const { return m_lines; }

private:
    void Run() {
        for (int i = 0; !m_stop; ++i) {
            const std::string line = R"({"producer":)" + std::to_string(i) + "}";
            const std::string bytes = line + "\r\n";
            const int fd = ::open(m_file.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
            if (fd >= 0) {
                if (::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()))
                    m_lines.push_back(line);
                ::close(fd);
            }
            std::this_thread::sleep_for(3ms);
        }
    }

    fs::path m_file;
    std::atomic<bool> m_stop{false};
    std::vector<std::string> m_lines;
    std::thread m_thread;
};

TEST_F(Executable, SigtermStopsTheRunWithTheJobFirstAndNoAppendedLineLost) {
    PyFtpOptions options;
    options.extraArgs = {"--throttle", "200000"};
    options.rootOnTmpfs = true;
    PyFtpServer server(options);
    WriteFileBytes(m_dir / "first.txt", "first");
    WriteFileBytes(m_dir / "big.bin", MakePattern(4u << 20, 5));
    WriteFileBytes(m_dir / "last.txt", "last");
    const std::string first = UploadLine(server.Port(), m_dir / "first.txt", "\\s\\first.txt");
    const std::string big = UploadLine(server.Port(), m_dir / "big.bin", "\\s\\big.bin");
    const std::string last = UploadLine(server.Port(), m_dir / "last.txt", "\\s\\last.txt");
    const fs::path queue = m_dir / "cloud_batch.txt";
    WriteFileBytes(queue, first + "\r\n" + big + "\r\n" + last + "\r\n");

    // The producer appends throughout, also while the first job's line is taken out.
    Producer producer(queue);
    ChildProcess run({m_program.string(), "go"}, Env());
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (server.Commands("STOR").size() < 2 && run.Running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(server.Commands("STOR").size(), 2u);   // the big upload is under way
    std::this_thread::sleep_for(300ms);

    const auto signalled = std::chrono::steady_clock::now();
    run.Kill(SIGTERM);
    const int status = run.Wait(60s);
    const auto took = std::chrono::steady_clock::now() - signalled;
    std::this_thread::sleep_for(100ms);
    producer.Stop();
    EXPECT_EQ(status, 0);
    EXPECT_LT(took, 15s);   // it stops the transfer instead of finishing it

    const std::vector<std::string> lines = QueueLines(queue);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], big);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), first), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), last), 1);
    const std::multiset<std::string> inQueue(lines.begin(), lines.end());
    ASSERT_GT(producer.Lines().size(), 50u);
    for (const std::string& appended : producer.Lines())
        EXPECT_EQ(inQueue.count(appended), 1u) << appended;
    EXPECT_FALSE(fs::exists(server.Root() / "s" / "last.txt"));
}

class ExecutableSignal : public Executable, public testing::WithParamInterface<int> {};

TEST_P(ExecutableSignal, EndsAnOpenWindowNormally) {
    // An empty queue is deleted by the window's first load: by then the window exists.
    WriteFileBytes(m_dir / "cloud_batch.txt", "");
    ChildProcess run({m_program.string()}, WindowEnv());
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (fs::exists(m_dir / "cloud_batch.txt") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(fs::exists(m_dir / "cloud_batch.txt"));
    run.Kill(GetParam());
    EXPECT_EQ(run.Wait(30s), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, ExecutableSignal, testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGTERM ? "SIGTERM" : info.param == SIGINT ? "SIGINT" : "SIGHUP");
                         });

TEST_F(Executable, AnUnattendedStartThatCannotReadItsQueueSaysSoAndExitsWith2) {
    fs::create_directories(m_dir / "cloud_batch.txt");   // a folder where the queue should be
    ChildProcess run({"/bin/sh", "-c", "exec \"$0\" go 2>&1", m_program.string()}, Env());
    const std::string said = run.ReadLine(60s);
    EXPECT_EQ(run.Wait(60s), 2);
    EXPECT_EQ(said.rfind("cloudtransfer: ", 0), 0u) << said;
}

} // namespace
} // namespace ct::test
