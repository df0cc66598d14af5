// `cloudtransfer --watch`, the real program against real servers: it waits for work instead of
// ending, starts what is appended at once, and retries servers and jobs after growing pauses.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <fstream>
#include <random>
#include <thread>

#include "support/FtpServers.h"
#include "support/TestSupport.h"
#include "ExecutableFixture.h"

namespace ct::test {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Seconds of CPU the process has used so far (user and system), from /proc.
double CpuSeconds(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::stol(field);
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

class Watch : public Executable {
protected:
    using Seen = std::map<std::string, std::vector<double>>;
    // When the test first saw each record of the outcome log, by outcome, in seconds from the
    // call; watched until `enough` holds or the time is up.
    Seen WatchLog(const std::function<bool(const Seen&)>& enough, std::chrono::seconds limit) {
        Seen seen;
        const auto start = SteadyClock::now();
        while (!enough(seen) && SteadyClock::now() - start < limit) {
            std::map<std::string, std::size_t> counts;
            for (const std::string& line : LogLines()) {
                const std::size_t tab = line.find('\t');
                ++counts[line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1)];
            }
            const double now = std::chrono::duration<double>(SteadyClock::now() - start).count();
            for (const auto& [outcome, count] : counts)
                seen[outcome].resize(count, now);
            std::this_thread::sleep_for(10ms);
        }
        return seen;
    }
    std::vector<std::string> WatchEnv(const std::string& retrySeconds = "15") {
        std::vector<std::string> env = Env();
        env.push_back("CLOUDTRANSFER_RETRY_SECONDS=" + retrySeconds);
        return env;
    }
    void AwaitStart() { WatchLog([](const Seen& seen) { return seen.count("start") != 0; }, 30s); }
    fs::path Queue() const { return m_dir / "cloud_batch.txt"; }
    std::vector<std::string> LogLines() const {
        const fs::path log = m_dir / "cloud_transfer.log";
        return fs::exists(log) ? QueueLines(log) : std::vector<std::string>{};
    }
};

// The queue is absent at first, then recreated by a producer's append, then replaced by a
// rename: each line starts within a second of its arrival.
TEST_F(Watch, AnAppendedLineStartsWithinOneSecond) {
    PyFtpServer server;
    StoreDelay(0);
    ChildProcess run({m_program.string(), "--watch"}, WatchEnv());
    AwaitStart();
    std::mt19937 random(std::random_device{}());
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(200, 1500)(random)));
        const fs::path local = m_dir / ("w" + std::to_string(i) + ".txt");
        WriteFileBytes(local, "watched " + std::to_string(i));
        const std::string line = UploadLine(server.Port(), local, "\\w\\" + local.filename().string()) + "\r\n";
        const auto appended = SteadyClock::now();
        if (i < 2) {
            std::ofstream(Queue(), std::ios::binary | std::ios::app) << line;   // open, append, close
        } else {
            WriteFileBytes(m_dir / "next.tmp", line);
            fs::rename(m_dir / "next.tmp", Queue());
        }
        while (server.Commands("STOR").size() < static_cast<std::size_t>(i + 1) && SteadyClock::now() - appended < 5s)
            std::this_thread::sleep_for(5ms);
        EXPECT_LT(SteadyClock::now() - appended, 1s) << "line " << i;
    }
    ASSERT_TRUE(run.Running());
    run.Kill(SIGTERM);
    EXPECT_EQ(run.Wait(30s), 0);
    EXPECT_EQ(ReadFileBytes(server.Root() / "w" / "w2.txt"), "watched 2");
}

TEST_F(Watch, IdleItUsesAlmostNoCpu) {
    ChildProcess run({m_program.string(), "--watch"}, WatchEnv());
    AwaitStart();
    std::this_thread::sleep_for(1s);
    const double before = CpuSeconds(run.Pid());
    std::this_thread::sleep_for(10s);
    const double used = CpuSeconds(run.Pid()) - before;
    EXPECT_LT(used, 0.03);
    run.Kill(SIGTERM);
    EXPECT_EQ(run.Wait(30s), 0);
}

// Its jobs stay in the queue, unmarked, tried at growing intervals while a job for another
// server is done at once; once the server is up they are done without a restart.
TEST_F(Watch, AServerDownThenUpGetsItsJobsWithoutARestart) {
    PyFtpServer other;
    const std::uint16_t port = FreeLoopbackPort();
    WriteFileBytes(m_dir / "late.txt", "late");
    WriteFileBytes(m_dir / "other.txt", "other");
    WriteFileBytes(Queue(), UploadLine(port, m_dir / "late.txt", "\\late.txt") + "\r\n" +
                                UploadLine(other.Port(), m_dir / "other.txt", "\\other.txt") + "\r\n");
    StoreDelay(0);
    ChildProcess run({m_program.string(), "--watch"}, WatchEnv("0.2"));
    Seen seen = WatchLog([](const Seen& s) { return s.count("kept") && s.at("kept").size() >= 5; }, 20s);
    const std::vector<double> tries = seen["kept"];
    ASSERT_EQ(tries.size(), 5u);
    EXPECT_EQ(ReadFileBytes(other.Root() / "other.txt"), "other");
    // Pause k is 0.2 s times 1.5^k, less at most 20 %; the log is looked at every 10 ms.
    for (std::size_t k = 1; k < tries.size(); ++k)
        EXPECT_GT(tries[k] - tries[k - 1], 0.2 * std::pow(1.5, static_cast<double>(k - 1)) * 0.8 - 0.03) << k;
    EXPECT_EQ(QueueLines(Queue()), std::vector<std::string>{UploadLine(port, m_dir / "late.txt", "\\late.txt")});

    PyFtpOptions options;
    options.extraArgs = {"--port", std::to_string(port)};
    PyFtpServer server(options);
    seen = WatchLog([](const Seen& s) { return s.count("done") && s.at("done").size() >= 2; }, 20s);
    EXPECT_EQ(seen["done"].size(), 2u);
    EXPECT_EQ(ReadFileBytes(server.Root() / "late.txt"), "late");
    EXPECT_TRUE(run.Running());
    run.Kill(SIGTERM);
    EXPECT_EQ(run.Wait(30s), 0);
}

// The job behind a failing one is done at once; the failing one waits a growing pause before
// each try and goes to the dead-letter file at its third failure.
TEST_F(Watch, AFailingJobWaitsItsPauseWhileTheJobBehindItIsDone) {
    PyFtpServer server;
    WriteFileBytes(m_dir / "there.txt", "there");
    const std::string missing = UploadLine(server.Port(), m_dir / "missing.txt", "\\missing.txt");
    WriteFileBytes(Queue(), missing + "\r\n" + UploadLine(server.Port(), m_dir / "there.txt", "\\there.txt") + "\r\n");
    StoreDelay(0);
    ChildProcess run({m_program.string(), "--watch"}, WatchEnv("0.5"));
    Seen seen = WatchLog([](const Seen& s) { return s.count("dropped") != 0; }, 20s);
    const std::vector<double> done = seen["done"], failed = seen["failed"], dropped = seen["dropped"];
    ASSERT_EQ(done.size(), 1u);
    ASSERT_EQ(failed.size(), 2u);
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(ReadFileBytes(server.Root() / "there.txt"), "there");
    // The job behind was done before the first retry, which came at least the first pause
    // (0.5 s, less 20 %) after the failure; the drop 1.5 times that after the retry.
    EXPECT_LT(done[0], failed[1]);
    EXPECT_GT(failed[1] - failed[0], 0.4 - 0.03);
    EXPECT_GT(dropped[0] - failed[1], 0.6 - 0.03);
    EXPECT_NE(ReadFileBytes(m_dir / "cloud_batch.failed.txt").find("missing.txt"), std::string::npos);
    run.Kill(SIGTERM);
    EXPECT_EQ(run.Wait(30s), 0);
    // Read once it has ended: the queue's rewrite may trail the log by a grouped commit.
    EXPECT_TRUE(!fs::exists(Queue()) || QueueLines(Queue()).empty());
}

TEST_F(Watch, SigtermMidTransferKeepsTheJobFirstAndExits0) {
    PyFtpOptions options;
    options.extraArgs = {"--throttle", "200000"};
    options.rootOnTmpfs = true;
    PyFtpServer server(options);
    WriteFileBytes(m_dir / "big.bin", MakePattern(4u << 20, 5));
    WriteFileBytes(m_dir / "after.txt", "after");
    const std::string big = UploadLine(server.Port(), m_dir / "big.bin", "\\big.bin");
    const std::string after = UploadLine(server.Port(), m_dir / "after.txt", "\\after.txt");
    WriteFileBytes(Queue(), big + "\r\n" + after + "\r\n");
    ChildProcess run({m_program.string(), "--watch"}, WatchEnv());
    const auto deadline = SteadyClock::now() + 60s;
    while (server.Commands("STOR").empty() && run.Running() && SteadyClock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(server.Commands("STOR").size(), 1u);
    std::this_thread::sleep_for(300ms);
    run.Kill(SIGTERM);
    EXPECT_EQ(run.Wait(15s), 0);
    EXPECT_EQ(QueueLines(Queue()), (std::vector<std::string>{big, after}));
}

// Without --watch the program ends when nothing can be done now, a job for a server that is
// down left in the queue for the next start.
class RunOnce : public Watch, public testing::WithParamInterface<const char*> {};

TEST_P(RunOnce, EndsWhenNothingCanBeDoneNow) {
    const std::string line = UploadLine(FreeLoopbackPort(), m_dir / "down.txt", "\\down.txt");
    WriteFileBytes(m_dir / "down.txt", "down");
    WriteFileBytes(Queue(), line + "\r\n");
    ChildProcess run({m_program.string(), GetParam()}, WatchEnv("0.1"));
    EXPECT_EQ(run.Wait(60s), 1);
    EXPECT_EQ(QueueLines(Queue()), std::vector<std::string>{line});
}

INSTANTIATE_TEST_SUITE_P(Arguments, RunOnce, testing::Values("go", "--watcher"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.index == 0 ? "Go" : "AnotherArgument");
                         });

} // namespace
} // namespace ct::test
