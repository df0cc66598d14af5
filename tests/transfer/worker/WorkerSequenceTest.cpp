#include "transfer/TThreadCopia.h"

#include <algorithm>
#include <atomic>

#include <gtest/gtest.h>

#include "FakeFtpClient.h"
#include "WorkerTestSupport.h"
#include "transfer/AppGlobals.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;

// Whole runs over a recording client: the order of connection calls, the retries and the
// probe, and the end points of a run, without a network.
class WorkerSequence : public WorkerTest {
protected:
    std::unique_ptr<TThreadCopia> MakeFakeWorker() {
        auto worker = MakeWorker();
        worker->ClientFactory = [state = state] { return std::make_unique<FakeFtpClient>(state); };
        return worker;
    }
    // A local file to upload.
    std::string LocalFile(const std::string& name, const std::string& content = "data") {
        fs::path p = dir / name;
        fs::create_directories(p.parent_path());
        WriteFileBytes(p, content);
        return p.string();
    }
    JobSpec Upload(const std::string& name, const std::string& d = "\\in\\x.txt") {
        JobSpec job;
        job.f = LocalFile(name);
        job.d = d;
        return job;
    }
    // The log without the directory walk, which belongs to the remote-directory functions.
    std::vector<std::string> ConnectionLog() {
        std::vector<std::string> out;
        for (auto& line : state->Log())
            if (line.rfind("MKD", 0) != 0 && line.rfind("CWD", 0) != 0 && line != "PWD")
                out.push_back(line);
        return out;
    }
    int Count(const std::string& what) {
        auto log = state->Log();
        return static_cast<int>(std::count(log.begin(), log.end(), what));
    }

    std::shared_ptr<FakeFtpState> state = std::make_shared<FakeFtpState>();
};

TEST_F(WorkerSequence, MissingBatchFileEndsAtOnceWithoutAClient) {
    auto worker = MakeFakeWorker();
    worker->AbortTransfer = true;
    worker->Execute();
    EXPECT_EQ(state->clientsMade, 0);
    EXPECT_FALSE(fs::exists(batch));
    EXPECT_FALSE(worker->AbortTransfer) << "the run resets the stop request before it looks for the file";
    EXPECT_EQ(view.Reloads(), 0u);
}

TEST_F(WorkerSequence, EmptyBatchFileSetsUpAndReleasesTheClientWithoutConnecting) {
    WriteFileBytes(batch, "");
    auto worker = MakeFakeWorker();
    worker->Execute();
    EXPECT_EQ(state->clientsMade, 1);
    EXPECT_EQ(state->Log(), (std::vector<std::string>{"PASSIVE", "TYPE I", "DISCONNECT"}));
    EXPECT_FALSE(worker->HasClient());
    EXPECT_FALSE(fs::exists(batch)) << "a file without lines is removed by the store";
}

TEST_F(WorkerSequence, TerminationRequestedBeforeTheRunTakesNoJob) {
    WriteLines(batch, {JobLineText(Upload("a.txt"))});
    auto worker = MakeFakeWorker();
    worker->Terminate();
    worker->Execute();
    EXPECT_EQ(Count("CONNECT"), 0);
    EXPECT_EQ(ReadLines(batch).size(), 1u);
}

class WorkerBadHeadLine : public WorkerSequence, public ::testing::WithParamInterface<const char*> {};

TEST_P(WorkerBadHeadLine, EndsTheRunWithAnErrorAndKeepsTheLine) {
    const std::string bad = GetParam();
    const std::string good = JobLineText(Upload("a.txt"));
    WriteLines(batch, {bad, good});
    auto worker = MakeFakeWorker();
    EXPECT_THROW(worker->Execute(), CloudError);
    EXPECT_EQ(ReadLines(batch), (std::vector<std::string>{bad, good}));
    EXPECT_EQ(Count("CONNECT"), 0);
    EXPECT_FALSE(worker->HasClient()) << "the clean-up runs on the error path too";
    EXPECT_EQ(state->Log().back(), "DISCONNECT");
}

INSTANTIATE_TEST_SUITE_P(Lines, WorkerBadHeadLine,
                         ::testing::Values("not json at all", "[1,2,3]", "\"ftp\"", "{\"ftp\":",
                                           "{\"v\":\"put\",\"f\":\"x\",\"d\":\"\\\\x\"}",
                                           "{\"ftp\":\"127.0.0.1\",\"f\":\"x\"}"));

TEST_F(WorkerSequence, ThreadedRunWithABadHeadLineStillRunsItsEndNotification) {
    WriteLines(batch, {"garbage"});
    auto worker = MakeFakeWorker();
    ASSERT_TRUE(RunThreaded(*worker));
    EXPECT_EQ(ReadLines(batch), std::vector<std::string>{"garbage"});
    EXPECT_FALSE(worker->HasClient());
}

TEST_F(WorkerSequence, SettingsAreComparedInOrderAndOneLoginServesAnAccount) {
    JobSpec a = Upload("a.txt");
    a.port = 2121;
    JobSpec b = Upload("b.txt");
    b.port = 2121;
    JobSpec c = Upload("c.txt");
    c.port = 2121;
    c.user = "other";
    WriteLines(batch, {JobLineText(a), JobLineText(b), JobLineText(c)});
    auto worker = MakeFakeWorker();
    worker->Execute();
    EXPECT_EQ(ConnectionLog(),
              (std::vector<std::string>{"PASSIVE", "TYPE I",
                                        "DISCONNECT", "HOST 127.0.0.1", "DISCONNECT", "USER user",
                                        "DISCONNECT", "PASS secret", "DISCONNECT", "PORT 2121",
                                        "CONNECTED? no", "CONNECT", "CONNECTED? yes", "PUT x.txt",
                                        "CONNECTED? yes", "CONNECTED? yes", "PUT x.txt",
                                        "DISCONNECT", "USER other",
                                        "CONNECTED? no", "CONNECT", "CONNECTED? yes", "PUT x.txt",
                                        "DISCONNECT"}));
    EXPECT_FALSE(fs::exists(batch));
    EXPECT_EQ(worker->FileCloudTrCount(), 3);
}

class WorkerPort : public WorkerSequence,
                   public ::testing::WithParamInterface<std::tuple<std::optional<std::int64_t>, std::string, int>> {};

// The port is compared as a 64-bit number: a value that does not fit 16 bits never equals
// the client's port, so every such job reconnects.
TEST_P(WorkerPort, IsTakenFromTAndComparedWidened) {
    auto [port, portCall, connects] = GetParam();
    std::vector<std::string> lines;
    for (const char* name : {"a.txt", "b.txt"}) {
        JobSpec job = Upload(name);
        std::string text = JobLineText(job);
        if (port)
            text.replace(text.find("\"t\":21"), 6, "\"t\":" + std::to_string(*port));
        else
            text.replace(text.find(",\"t\":21"), 7, "");
        lines.push_back(text);
    }
    WriteLines(batch, lines);
    auto worker = MakeFakeWorker();
    worker->Execute();
    EXPECT_EQ(Count(portCall), connects);
    EXPECT_EQ(Count("CONNECT"), connects);
}

INSTANTIATE_TEST_SUITE_P(Values, WorkerPort,
                         ::testing::Values(std::make_tuple(std::optional<std::int64_t>(2121), "PORT 2121", 1),
                                           std::make_tuple(std::optional<std::int64_t>(), "PORT 0", 1),
                                           std::make_tuple(std::optional<std::int64_t>(70000), "PORT 4464", 2),
                                           std::make_tuple(std::optional<std::int64_t>(-1), "PORT 65535", 2)));

TEST_F(WorkerSequence, ASecondConnectThatWorksNeedsNoProbe) {
    state->connects = {ConnectOutcome::StaysDown, ConnectOutcome::Connects};
    WriteLines(batch, {JobLineText(Upload("a.txt"))});
    auto worker = MakeFakeWorker();
    worker->Execute();
    auto log = ConnectionLog();
    auto from = std::find(log.begin(), log.end(), "CONNECTED? no");
    ASSERT_NE(from, log.end());
    EXPECT_EQ(std::vector<std::string>(from, log.end()),
              (std::vector<std::string>{"CONNECTED? no", "CONNECT", "CONNECTED? no", "CONNECT", "CONNECTED? yes",
                                        "CONNECT", "CONNECTED? yes", "PUT x.txt", "DISCONNECT"}));
    EXPECT_FALSE(fs::exists(batch));
}

struct ProbeCase {
    std::vector<ConnectOutcome> connects;
    bool reachable;
    int expectedConnects;
    bool jobDone;
};

class WorkerProbe : public WorkerSequence, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(WorkerProbe, DecidesBetweenGivingUpAndOneMoreAttempt) {
    const ProbeCase c = GetParam();
    state->connects.assign(c.connects.begin(), c.connects.end());
    const std::string line = JobLineText(Upload("a.txt"));
    WriteLines(batch, {line});
    auto worker = MakeFakeWorker();
    std::vector<std::string> probed;
    worker->PingProbe = [&](const std::string& host) {
        probed.push_back(host);
        return c.reachable;
    };
    worker->Execute();
    EXPECT_EQ(probed, std::vector<std::string>{kReachabilityHost});
    EXPECT_EQ(Count("CONNECT"), c.expectedConnects);
    if (c.jobDone) {
        EXPECT_FALSE(worker->AbortTransfer);
        EXPECT_FALSE(fs::exists(batch));
    } else {
        EXPECT_TRUE(worker->AbortTransfer);
        EXPECT_EQ(ReadLines(batch), std::vector<std::string>{line}) << "the job stays first, unmarked";
        EXPECT_EQ(Count("PUT x.txt"), 0);
        EXPECT_EQ(worker->FileCloudTrCount(), 0);
        EXPECT_EQ(view.Reloads(), 0u);
    }
    EXPECT_FALSE(worker->HasClient());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkerProbe,
    ::testing::Values(ProbeCase{{ConnectOutcome::StaysDown, ConnectOutcome::StaysDown}, false, 2, false},
                      ProbeCase{{ConnectOutcome::StaysDown, ConnectOutcome::StaysDown, ConnectOutcome::StaysDown},
                                true, 3, false},
                      ProbeCase{{ConnectOutcome::StaysDown, ConnectOutcome::StaysDown, ConnectOutcome::Connects},
                                true, 3, true}));

TEST_F(WorkerSequence, AConnectErrorFailsTheJobUntilItIsDropped) {
    state->connects = {ConnectOutcome::Raises, ConnectOutcome::Raises, ConnectOutcome::Raises};
    const std::string line = JobLineText(Upload("a.txt"));
    WriteLines(batch, {line});
    auto worker = MakeFakeWorker();
    worker->Execute();
    auto snapshots = view.Snapshots();
    ASSERT_EQ(snapshots.size(), 3u);
    ASSERT_EQ(snapshots[0].size(), 1u);
    EXPECT_EQ(ErrorMark(snapshots[0][0]), "1");
    ASSERT_EQ(snapshots[1].size(), 1u);
    EXPECT_EQ(ErrorMark(snapshots[1][0]), "2");
    EXPECT_TRUE(snapshots[2].empty());
    EXPECT_FALSE(worker->AbortTransfer);
    // A job counts as taken only once it has a connection, but its requeue still lowers
    // the count: never raised, lowered twice.
    EXPECT_EQ(worker->FileCloudTrCount(), -2);
}

TEST_F(WorkerSequence, AStopRequestReachesTheClientDuringATransferAndLeavesTheJobFirst) {
    const std::string first = JobLineText(Upload("a.txt"));
    const std::string second = JobLineText(Upload("b.txt"));
    WriteLines(batch, {first, second});
    auto worker = MakeFakeWorker();
    state->duringTransfer = [&] { worker->RequestStop(); };
    worker->Execute();
    EXPECT_TRUE(worker->AbortTransfer);
    EXPECT_EQ(Count("ABORT"), 1);
    EXPECT_EQ(Count("PUT x.txt"), 1);
    EXPECT_EQ(ReadLines(batch), (std::vector<std::string>{first, second}));
    EXPECT_EQ(worker->FileCloudTrCount(), 1);
    EXPECT_EQ(view.Reloads(), 0u) << "a stopped job is not followed by a reload";
    worker->RequestStop();  // after the run: no client to reach
    EXPECT_EQ(Count("ABORT"), 1);
}

TEST_F(WorkerSequence, AStopRequestBeforeTheRunIsCleared) {
    WriteLines(batch, {JobLineText(Upload("a.txt"))});
    auto worker = MakeFakeWorker();
    worker->AbortTransfer = true;
    worker->Execute();
    EXPECT_FALSE(fs::exists(batch));
}

// Closing the application during a run: the pause ends early and no further job starts.
TEST_F(WorkerSequence, TerminationCutsThePauseShortAndTakesNoNewJob) {
    SecDelay = 3600;
    const std::string second = JobLineText(Upload("b.txt"));
    WriteLines(batch, {JobLineText(Upload("a.txt")), second});
    auto worker = MakeFakeWorker();
    view.OnReload = [&](std::size_t) { worker->Terminate(); };
    worker->Execute();
    EXPECT_EQ(Count("PUT x.txt"), 1);
    EXPECT_EQ(ReadLines(batch), std::vector<std::string>{second});
}

// The removal after a job finds the job's own line even when the head changed meanwhile.
TEST_F(WorkerSequence, RemovesTheJobsOwnLineWhenAnotherLineWasPutInFront) {
    const std::string job = JobLineText(Upload("a.txt"));
    JobSpec otherSpec = Upload("b.txt");
    otherSpec.password = "another";
    const std::string other = JobLineText(otherSpec);
    WriteLines(batch, {job});
    auto worker = MakeFakeWorker();
    state->duringTransfer = [&] {
        WriteLines(batch, {other, job});
        state->duringTransfer = nullptr;
    };
    SecDelay = 0;
    view.OnReload = [&](std::size_t reload) {
        if (reload == 1) {
            EXPECT_EQ(ReadLines(batch), std::vector<std::string>{other});
        }
    };
    worker->Execute();
    EXPECT_EQ(view.Reloads(), 2u);
}

TEST_F(WorkerSequence, AnUploadWhoseLocalFileIsMissingIsMarkedEvenWithErrorInItsPath) {
    JobSpec job;
    job.f = (dir / "errors" / "missing.bin").string();
    job.d = "\\errors\\missing.bin";
    WriteLines(batch, {JobLineText(job)});
    auto worker = MakeFakeWorker();
    worker->Execute();
    auto snapshots = view.Snapshots();
    ASSERT_EQ(snapshots.size(), 3u);
    EXPECT_EQ(ErrorMark(snapshots[0].at(0)), "1");
    EXPECT_EQ(ErrorMark(snapshots[1].at(0)), "2");
    EXPECT_TRUE(snapshots[2].empty());
    EXPECT_EQ(Count("PUT missing.bin"), 0);
}

TEST_F(WorkerSequence, ADownloadWhoseSizeQueryFailsIsAFailedJob) {
    state->sizeRaises = true;
    JobSpec job;
    job.v = "get";
    job.f = (dir / "out" / "x.bin").string();
    job.d = "\\x.bin";
    WriteLines(batch, {JobLineText(job)});
    auto worker = MakeFakeWorker();
    worker->Execute();
    auto snapshots = view.Snapshots();
    ASSERT_EQ(snapshots.size(), 3u);
    EXPECT_EQ(ErrorMark(snapshots[0].at(0)), "1");
    EXPECT_EQ(Count("GET /x.bin"), 0);
    EXPECT_FALSE(fs::exists(job.f));
}

TEST_F(WorkerSequence, ADownloadWithoutRemotePathFailsBeforeAnyServerCall) {
    for (const char* d : {"", "-"}) {
        state->log.clear();
        JobSpec job;
        job.v = "get";
        job.f = (dir / "x.bin").string();
        job.d = d;
        WriteLines(batch, {JobLineText(job)});
        auto worker = MakeFakeWorker();
        worker->Execute();
        auto log = state->Log();
        EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](const std::string& l) { return l.rfind("SIZE", 0) == 0; }))
            << "d=" << d;
        EXPECT_FALSE(fs::exists(batch)) << "dropped at its third failure, d=" << d;
        EXPECT_EQ(worker->FileCloudTrCount(), 1);
    }
}

} // namespace
} // namespace ct::test
