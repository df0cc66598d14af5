#include "transfer/TThreadCopia.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>

#include <unistd.h>

#include <gtest/gtest.h>

#include "support/RecordingFtpClient.h"
#include "support/TestClock.h"
#include "batch/BatchFileStore.h"
#include "platform/ftp/TIdFTP.h"
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
        worker->ClientFactory = RecordingFactory(state);
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

    std::shared_ptr<RecordingFtpServer> state = std::make_shared<RecordingFtpServer>();
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

TEST_F(WorkerSequence, EmptyBatchFileEndsWithoutMakingAClient) {
    WriteFileBytes(batch, "");
    auto worker = MakeFakeWorker();
    worker->Execute();
    EXPECT_EQ(state->clientsMade, 0);
    EXPECT_TRUE(state->Log().empty());
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

class WorkerBadHeadLine : public WorkerSequence, public ::testing::WithParamInterface<const char*> {
protected:
    void ExpectTheRunStopsAt(const std::string& bad);
};

void WorkerBadHeadLine::ExpectTheRunStopsAt(const std::string& bad) {
    const std::string good = JobLineText(Upload("a.txt"));
    WriteLines(batch, {bad, good});
    auto worker = MakeFakeWorker();
    EXPECT_THROW(worker->Execute(), CloudError);
    EXPECT_EQ(ReadLines(batch), (std::vector<std::string>{bad, good}));
    EXPECT_EQ(Count("CONNECT"), 0);
    EXPECT_FALSE(worker->HasClient()) << "the clean-up runs on the error path too";
    EXPECT_EQ(state->clientsMade, 0) << "a client is made for a job, never for a line that is none";
    EXPECT_EQ(worker->HowRunEnded(), TThreadCopia::RunEnd::Error);
    EXPECT_FALSE(worker->RunError().empty());
    EXPECT_EQ(worker->RunError().find("secret"), std::string::npos) << worker->RunError();
}

TEST_P(WorkerBadHeadLine, EndsTheRunWithAnErrorAndKeepsTheLine) {
    ExpectTheRunStopsAt(GetParam());
}

// A job line nested far too deep crashed the process wherever the depth sat: parsing, copying
// "ftp", reading "f", or serialising a failed job's extra member.
std::string DeepLine(const std::string& where) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const std::string ftp = R"({"h":"127.0.0.1","u":"u","p":"secret","t":21)";
    if (where == "v")
        return R"({"ftp":)" + ftp + R"(},"v":)" + deep + R"(,"f":"/nowhere/x","d":"\x"})";
    if (where == "ftp")
        return R"({"ftp":)" + ftp + R"(,"x":)" + deep + R"(},"f":"/nowhere/x","d":"\x"})";
    if (where == "f")
        return R"({"ftp":)" + ftp + R"(},"f":)" + deep + R"(,"d":"\x"})";
    return R"({"ftp":)" + ftp + R"(},"f":"/nowhere/x","d":"\x","extra":)" + deep + "}";
}

INSTANTIATE_TEST_SUITE_P(Lines, WorkerBadHeadLine,
                         ::testing::Values("not json at all", "[1,2,3]", "\"ftp\"", "{\"ftp\":",
                                           "{\"v\":\"put\",\"f\":\"x\",\"d\":\"\\\\x\"}",
                                           "{\"ftp\":\"127.0.0.1\",\"f\":\"x\"}",
                                           "{\"ftp\":{\"p\":\"secret\"},\"f\":\"x\"} trailing"));

class WorkerDeepLine : public WorkerBadHeadLine {};

TEST_P(WorkerDeepLine, EndsTheRunWithAnErrorAndKeepsTheLine) {
    ExpectTheRunStopsAt(DeepLine(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Members, WorkerDeepLine, ::testing::Values("v", "ftp", "f", "extra"));

TEST_F(WorkerSequence, ThreadedRunWithABadHeadLineStillRunsItsEndNotification) {
    WriteLines(batch, {"garbage"});
    auto worker = MakeFakeWorker();
    ASSERT_TRUE(RunThreaded(*worker));
    EXPECT_EQ(ReadLines(batch), std::vector<std::string>{"garbage"});
    EXPECT_FALSE(worker->HasClient());
}

TEST_F(WorkerSequence, OneSessionServesAnEndpointAndAnotherLoginGetsAClientOfItsOwn) {
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
              (std::vector<std::string>{"CLIENT 127.0.0.1:2121 user",
                                        "CONNECTED? no", "CONNECT", "CONNECTED? yes", "PUT x.txt",
                                        "CONNECTED? yes", "CONNECTED? yes", "PUT x.txt",
                                        "DISCONNECT", "CLIENT 127.0.0.1:2121 other",
                                        "CONNECTED? no", "CONNECT", "CONNECTED? yes", "PUT x.txt",
                                        "DISCONNECT"}));
    EXPECT_EQ(state->clientsMade, 2);
    EXPECT_FALSE(fs::exists(batch));
    EXPECT_EQ(worker->FileCloudTrCount(), 3);
}

class WorkerPort : public WorkerSequence,
                   public ::testing::WithParamInterface<std::tuple<std::optional<std::int64_t>, std::string>> {};

// No port, or 0, means the usual one for the job's security.
TEST_P(WorkerPort, IsTakenFromTOrTheUsualOne) {
    auto [port, server] = GetParam();
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
    EXPECT_EQ(Count("CONNECT"), 1);
    EXPECT_FALSE(fs::exists(batch));
    const auto records = LogRecords();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[1][4], server);
    EXPECT_EQ(records[2][4], server);
}

INSTANTIATE_TEST_SUITE_P(Values, WorkerPort,
                         ::testing::Values(std::make_tuple(std::optional<std::int64_t>(2121), "127.0.0.1:2121"),
                                           std::make_tuple(std::optional<std::int64_t>(), "127.0.0.1:21"),
                                           std::make_tuple(std::optional<std::int64_t>(0), "127.0.0.1:21")));

// ---- Jobs that fail before anything is sent ----------------------------------------------------

const char* const kValidPin =
    "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89";

struct RefusedCase {
    const char* name;
    std::function<std::string(JobSpec)> line;  // the job line made of an upload
    const char* reasonPart;
};

void PrintTo(const RefusedCase& c, std::ostream* os) {
    *os << c.name;
}

class WorkerRefusedJob : public WorkerSequence, public ::testing::WithParamInterface<RefusedCase> {};

// A port outside 1..65535 once wrapped to another service and a pin without TLS logged in in
// clear: such a job is marked at once, and not even a connection is made for it.
TEST_P(WorkerRefusedJob, FailsAtOnceAndSendsNothing) {
    JobSpec job = Upload("a.txt");
    job.password = "pw-5t";
    const std::string line = GetParam().line(job);
    WriteLines(batch, {line});
    auto worker = MakeFakeWorker();
    view.OnReload = [&](std::size_t) { worker->AbortTransfer = true; };  // one attempt
    worker->Execute();
    EXPECT_EQ(Count("CONNECT"), 0);
    EXPECT_EQ(Count("PUT x.txt"), 0);
    const auto lines = ReadLines(batch);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(ErrorMark(lines[0]), "1");
    EXPECT_NE(Member(lines[0], "reason").find(GetParam().reasonPart), std::string::npos) << lines[0];
    ASSERT_GE(LogRecords().size(), 2u);
    EXPECT_EQ(LogRecords()[1][1], "failed");
}

std::string WithPort(JobSpec job, std::int64_t port) {
    job.port = port;
    return JobLineText(job);
}

std::string Pinned(JobSpec job, const char* security) {
    job.fp = kValidPin;
    if (security)
        job.s = security;
    std::string text = JobLineText(job);
    if (security && std::string(security) == "null")
        text.replace(text.find("\"s\":\"null\""), 10, "\"s\":null");
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkerRefusedJob,
    ::testing::Values(RefusedCase{"PortPastTheRange", [](JobSpec j) { return WithPort(j, 70000); }, "1..65535"},
                      RefusedCase{"PortThatWrapsToTwentyOne", [](JobSpec j) { return WithPort(j, 65536 + 21); }, "1..65535"},
                      RefusedCase{"NegativePort", [](JobSpec j) { return WithPort(j, -1); }, "1..65535"},
                      RefusedCase{"PinWithoutSecurity", [](JobSpec j) { return Pinned(j, nullptr); }, "needs TLS"},
                      RefusedCase{"PinWithEmptySecurity", [](JobSpec j) { return Pinned(j, ""); }, "needs TLS"},
                      RefusedCase{"PinWithNullSecurity", [](JobSpec j) { return Pinned(j, "null"); }, "needs TLS"}),
    [](const auto& info) { return std::string(info.param.name); });

// A download whose "f" is a folder could never be put in place: once it was fetched three times.
TEST_F(WorkerSequence, ADownloadIntoAFolderFailsBeforeAnyTransfer) {
    state->files["/x.bin"] = "remote";
    JobSpec job;
    job.v = "get";
    job.f = (dir / "target").string();
    job.d = "\\x.bin";
    fs::create_directories(job.f);
    WriteLines(batch, {JobLineText(job)});
    MakeFakeWorker()->Execute();
    EXPECT_EQ(Count("GET /x.bin"), 0);
    EXPECT_EQ(Count("SIZE /x.bin"), 0);
    EXPECT_TRUE(fs::is_directory(job.f));
    const auto dead = ReadLines(deadLetter);
    ASSERT_EQ(dead.size(), 1u) << "dropped at its third failure";
    EXPECT_NE(Member(dead[0], "reason").find("is a folder"), std::string::npos) << dead[0];
}

// A full disk after the transfer: the file is on the server, so the log says "done" before the
// queue's rewrite is tried, and then says that the rewrite failed.
TEST_F(WorkerSequence, AFinishedJobIsLoggedBeforeTheRewriteAndAFailedRewriteAfterIt) {
    const std::string line = JobLineText(Upload("a.txt"));
    WriteLines(batch, {line});
    // The run's user owns the folder, so that it can take its own right to write away.
    if (::geteuid() == 0) {
        for (const auto& entry : fs::recursive_directory_iterator(dir.Path()))
            EXPECT_EQ(::chown(entry.path().c_str(), 65534, 65534), 0);
        EXPECT_EQ(::chown(dir.Path().c_str(), 65534, 65534), 0);
    }
    const int status = RunWithoutPrivileges([&] {
        auto worker = MakeFakeWorker();
        state->duringTransfer = [&] { fs::permissions(dir.Path(), static_cast<fs::perms>(0555)); };
        try {
            worker->Execute();
            return 1;
        } catch (const CloudError&) {
        }
        return Count("PUT x.txt") == 1 ? 0 : 2;
    });
    fs::permissions(dir.Path(), fs::perms::owner_all);
    EXPECT_EQ(status, 0) << "1: the run did not raise, 2: no upload";
    EXPECT_EQ(ReadLines(batch), std::vector<std::string>{line});
    std::vector<std::string> outcomes;
    for (const auto& record : LogRecords())
        outcomes.push_back(record[1]);
    EXPECT_EQ(outcomes, (std::vector<std::string>{"start", "done", "unrecorded", "end"}));
    EXPECT_NE(LogRecords().at(2)[8].find("could not be rewritten"), std::string::npos);
}

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

// A producer appended a file that an editor saved with a byte-order mark: the mark belongs to
// the second line, whose job is done once, and the run ends.
TEST_F(WorkerSequence, AJobBehindAByteOrderMarkOfItsOwnIsDoneOnce) {
    const std::string first = JobLineText(Upload("a.txt"));
    const std::string second = JobLineText(Upload("b.txt"));
    WriteFileBytes(batch, first + "\r\n\xEF\xBB\xBF" + second + "\r\n");
    SecDelay = 0;
    auto worker = MakeFakeWorker();
    state->duringTransfer = [&] {
        if (Count("PUT x.txt") > 2)
            worker->Terminate(); // the fault: the same job for ever
    };
    worker->Execute();
    EXPECT_EQ(Count("PUT x.txt"), 2);
    EXPECT_FALSE(fs::exists(batch));
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

// The pause between jobs, on the worker's clock: SecDelay seconds after every job, the last one
// too, in steps short enough for a stop request to be seen.
TEST_F(WorkerSequence, ThePauseLastsSecDelayAfterEveryJob) {
    SecDelay = 3600;
    WriteLines(batch, {JobLineText(Upload("a.txt")), JobLineText(Upload("b.txt"))});
    TestClock clock;
    view.Clock = &clock;
    auto worker = MakeFakeWorker();
    worker->Clock = &clock;
    worker->Execute();
    const auto times = view.Times();
    ASSERT_EQ(times.size(), 2u);
    EXPECT_EQ(times[1] - times[0], std::chrono::seconds(3600));
    EXPECT_EQ(clock.Elapsed(), std::chrono::seconds(7200));
    for (auto step : clock.Sleeps())
        EXPECT_LE(step, std::chrono::milliseconds(20));
    EXPECT_FALSE(fs::exists(batch));
}

// The switch a user has for a server or a middlebox that loses commands sent together.
TEST(DefaultTransferClient, PipeliningCanBeSwitchedOffFromTheEnvironment) {
    struct Restore {
        ~Restore() { ::unsetenv("CLOUDTRANSFER_FTP_PIPELINING"); }
    } restore;
    for (const auto& [value, on] : std::vector<std::pair<const char*, bool>>{
             {nullptr, true}, {"off", false}, {"0", false}, {"NO", false}, {"on", true}}) {
        if (value)
            ::setenv("CLOUDTRANSFER_FTP_PIPELINING", value, 1);
        auto client = DefaultTransferClient(Endpoint{"127.0.0.1", 21, "u", "p", EndpointSecurity::None, "", ""});
        auto* ftp = dynamic_cast<TIdFTP*>(client.get());
        ASSERT_NE(ftp, nullptr);
        EXPECT_EQ(ftp->Pipelining(), on) << (value ? value : "(unset)");
    }
}

// ---- Jobs into the folder the client already stands in --------------------------------

class WorkerFolderShortcut : public WorkerSequence {
protected:
    void SetUp() override {
        WorkerSequence::SetUp();
        state->knowsCurrentDir = true;
    }
    // The folder commands and the uploads, in order.
    std::vector<std::string> FolderAndTransferCalls() {
        std::vector<std::string> out;
        for (auto& line : state->Log())
            if (line == "PWD" || line.rfind("MKD", 0) == 0 || line.rfind("CWD", 0) == 0 || line.rfind("PUT", 0) == 0)
                out.push_back(line);
        return out;
    }
};

TEST_F(WorkerFolderShortcut, JobsIntoOneFolderWalkOnce) {
    WriteLines(batch, {JobLineText(Upload("a.txt", "\\in\\a.txt")), JobLineText(Upload("b.txt", "\\in\\b.txt")),
                       JobLineText(Upload("c.txt", "\\in\\c.txt"))});
    MakeFakeWorker()->Execute();
    EXPECT_EQ(FolderAndTransferCalls(), (std::vector<std::string>{"PWD", "CWD /", "MKD in", "CWD in", "MKD ", "CWD ",
                                                                  "CWD /", "CWD /in/", "PUT a.txt", "PUT b.txt",
                                                                  "PUT c.txt"}));
    EXPECT_TRUE(state->HasFile("/in/c.txt"));
    EXPECT_FALSE(fs::exists(batch));
}

// Another client removes the folder between two jobs: the upload is refused, and the same job
// walks and uploads once more, so that no job fails for having skipped the walk.
TEST_F(WorkerFolderShortcut, AFolderGoneSinceTheLastJobIsMadeAgainInTheSameJob) {
    WriteLines(batch, {JobLineText(Upload("a.txt", "\\in\\a.txt")), JobLineText(Upload("b.txt", "\\in\\b.txt"))});
    view.OnReload = [&](std::size_t reload) {
        if (reload == 1) {
            state->RemoveDir("/in");
            state->ClearLog();
        }
    };
    auto worker = MakeFakeWorker();
    worker->Execute();
    EXPECT_EQ(FolderAndTransferCalls(), (std::vector<std::string>{"PUT b.txt", "PWD", "CWD /", "MKD in", "CWD in",
                                                                  "MKD ", "CWD ", "CWD /in", "CWD /in/", "PUT b.txt"}));
    EXPECT_TRUE(state->HasFile("/in/b.txt"));
    EXPECT_FALSE(fs::exists(batch)) << "both done, none marked";
}

struct NoRetryCase {
    const char* name;
    std::function<void(RecordingFtpServer&)> second;   // what the second job meets
    int puts;                                          // the second job's uploads
};

void PrintTo(const NoRetryCase& c, std::ostream* os) {
    *os << c.name;
}

class WorkerFolderShortcutFailure : public WorkerFolderShortcut, public ::testing::WithParamInterface<NoRetryCase> {};

// One more try, and only for a refusal of the upload itself: a transfer that began, a stop, a
// lost session fail (or end) the job as before.
TEST_P(WorkerFolderShortcutFailure, TriesAtMostOnceMore) {
    const NoRetryCase c = GetParam();
    const std::string second = JobLineText(Upload("b.txt", "\\in\\b.txt"));
    WriteLines(batch, {JobLineText(Upload("a.txt", "\\in\\a.txt")), second});
    auto worker = MakeFakeWorker();
    view.OnReload = [&](std::size_t reload) {
        if (reload == 1) {
            c.second(*state);
            state->ClearLog();
        } else if (reload == 2) {
            worker->AbortTransfer = true;  // one attempt of the second job only
        }
    };
    worker->Execute();
    EXPECT_EQ(Count("PUT b.txt"), c.puts);
    const auto lines = ReadLines(batch);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(ErrorMark(lines[0]), "1");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkerFolderShortcutFailure,
    ::testing::Values(
        NoRetryCase{"refused again after the walk", [](RecordingFtpServer& s) { s.putRaisesFor = "b.txt"; }, 2},
        NoRetryCase{"cut after the transfer began",
                    [](RecordingFtpServer& s) {
                        s.duringTransfer = [&s] {
                            s.duringTransfer = nullptr;
                            throw FtpError("426 Connection closed; transfer aborted.", 426);
                        };
                    },
                    1},
        NoRetryCase{"a failure without a reply", [](RecordingFtpServer& s) {
                        s.raises["PUT"].push_back(FtpError("connection lost"));
                    }, 1}));

// ---- A server that cannot be reached --------------------------------------------------

JobSpec On(JobSpec job, std::int64_t port, const std::string& user = "user") {
    job.port = port;
    job.user = user;
    return job;
}

TEST_F(WorkerSequence, AServerThatCannotBeReachedIsTriedOnceAndItsJobsKeepTheirPlaces) {
    state->downServers = {"127.0.0.1:2100"};
    const std::string a1 = JobLineText(On(Upload("a1.txt"), 2100));
    const std::string b1 = JobLineText(On(Upload("b1.txt", "\\b1.txt"), 2200));
    const std::string a2 = JobLineText(On(Upload("a2.txt"), 2100));
    const std::string b2 = JobLineText(On(Upload("b2.txt", "\\b2.txt"), 2200));
    WriteLines(batch, {a1, b1, a2, b2});
    auto worker = MakeFakeWorker();
    worker->Execute();
    EXPECT_EQ(ReadLines(batch), (std::vector<std::string>{a1, a2})) << "unmarked, in their order";
    EXPECT_EQ(Count("CLIENT 127.0.0.1:2100 user"), 1);
    EXPECT_EQ(Count("CONNECT"), 2) << "one refused attempt, one session for the other server";
    EXPECT_EQ(Count("PUT b1.txt") + Count("PUT b2.txt"), 2);
    EXPECT_EQ(worker->HowRunEnded(), TThreadCopia::RunEnd::ServersUnreachable);
    EXPECT_TRUE(worker->RunError().empty());
    EXPECT_FALSE(worker->AbortTransfer);
    EXPECT_FALSE(fs::exists(deadLetter));

    std::vector<std::string> outcomes;
    for (const auto& record : LogRecords()) {
        ASSERT_EQ(record.size(), 9u);
        outcomes.push_back(record[1]);
        if (record[1] == "kept") {
            EXPECT_EQ(record[4], "127.0.0.1:2100");
            EXPECT_EQ(record[8], "connection refused");
        }
    }
    EXPECT_EQ(outcomes, (std::vector<std::string>{"start", "kept", "done", "done", "end"}));
    EXPECT_EQ(LogRecords().back()[8], "servers unreachable");
}

TEST_F(WorkerSequence, ALineThatIsNotAJobBehindSkippedJobsStillStopsTheRun) {
    state->downServers = {"127.0.0.1:2100"};
    const std::string a = JobLineText(On(Upload("a.txt"), 2100));
    const std::string b = JobLineText(On(Upload("b.txt"), 2200));
    WriteLines(batch, {a, "not a job", b});
    auto worker = MakeFakeWorker();
    EXPECT_THROW(worker->Execute(), CloudError);
    EXPECT_EQ(ReadLines(batch), (std::vector<std::string>{a, "not a job", b}));
    EXPECT_EQ(worker->HowRunEnded(), TThreadCopia::RunEnd::Error);
    EXPECT_EQ(Count("PUT x.txt"), 0);
}

struct BusyCase {
    const char* name;
    bool afterOwnClose;                 // a job for another login came first
    std::vector<ConnectOutcome> connects;  // after the first job's
    int connects2;                      // connect attempts for the second job
    bool done;
};

void PrintTo(const BusyCase& c, std::ostream* os) {
    *os << c.name;
}

class WorkerBusyServer : public WorkerSequence, public ::testing::WithParamInterface<BusyCase> {};

// vsftpd max_per_ip=1 and pure-ftpd -C 1 answer 421 to a session that follows the worker's own
// QUIT too closely: one short wait and one more try, and only then.
TEST_P(WorkerBusyServer, GetsOneMoreTryOnlyRightAfterTheWorkerClosedASession) {
    const BusyCase c = GetParam();
    std::vector<std::string> lines;
    if (c.afterOwnClose) {
        state->connects.push_back(ConnectOutcome::Connects);
        lines.push_back(JobLineText(On(Upload("first.txt", "\\first.txt"), 21, "alice")));
    }
    state->connects.insert(state->connects.end(), c.connects.begin(), c.connects.end());
    const std::string second = JobLineText(On(Upload("second.txt", "\\second.txt"), 21, "bob"));
    lines.push_back(second);
    WriteLines(batch, lines);
    auto worker = MakeFakeWorker();
    TestClock clock;
    worker->Clock = &clock;
    worker->Execute();
    const auto took = clock.Elapsed();
    EXPECT_EQ(Count("CONNECT") - (c.afterOwnClose ? 1 : 0), c.connects2);
    EXPECT_EQ(Count("PUT second.txt"), c.done ? 1 : 0);
    EXPECT_EQ(ReadLines(batch), c.done ? std::vector<std::string>{} : std::vector<std::string>{second});
    if (c.connects2 > 1) {
        EXPECT_EQ(took, std::chrono::milliseconds(1500)) << "the server is given a moment";
    } else {
        EXPECT_EQ(took, std::chrono::milliseconds(0));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkerBusyServer,
    ::testing::Values(BusyCase{"busy once after own close", true, {ConnectOutcome::Busy}, 2, true},
                      BusyCase{"busy twice after own close", true, {ConnectOutcome::Busy, ConnectOutcome::Busy}, 2, false},
                      BusyCase{"refused after own close", true, {ConnectOutcome::Unavailable}, 1, false},
                      BusyCase{"busy without own close", false, {ConnectOutcome::Busy}, 1, false}));

// ---- What each kind of failure does to the job ------------------------------------------

struct KindCase {
    const char* name;
    std::function<void(RecordingFtpServer&, JobSpec&)> setup;
    const char* expectedMark;   // "(gone)", "(unchanged)" or the new "error"
    const char* reasonPart;     // part of the "reason" member when marked
    TThreadCopia::RunEnd runEnd;
};

void PrintTo(const KindCase& c, std::ostream* os) {
    *os << c.name;
}

class WorkerFailureKind : public WorkerSequence, public ::testing::WithParamInterface<KindCase> {};

TEST_P(WorkerFailureKind, DecidesTheJobsFate) {
    const KindCase c = GetParam();
    JobSpec job = Upload("a.txt");
    job.password = "pw-9f3k";
    c.setup(*state, job);
    const std::string line = JobLineText(job);
    WriteLines(batch, {line});
    auto worker = MakeFakeWorker();
    SecDelay = 0;
    view.OnReload = [&](std::size_t) {  // one attempt only
        if (!ReadLines(batch).empty())
            worker->AbortTransfer = true;
    };
    worker->Execute();
    const auto lines = ReadLines(batch);
    const std::string expected = c.expectedMark;
    if (expected == "(gone)") {
        EXPECT_TRUE(lines.empty());
    } else if (expected == "(unchanged)") {
        EXPECT_EQ(lines, std::vector<std::string>{line});
    } else {
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(ErrorMark(lines[0]), expected);
        EXPECT_NE(Member(lines[0], "reason").find(c.reasonPart), std::string::npos) << lines[0];
        EXPECT_EQ(Member(lines[0], "reason").find("pw-9f3k"), std::string::npos) << lines[0];
    }
    EXPECT_EQ(worker->HowRunEnded(), c.runEnd);
    EXPECT_EQ(ReadFileBytes(outcomeLog).find("pw-9f3k"), std::string::npos);
}

FtpError Failure(FtpErrorKind kind, const std::string& reason, int code = 0) {
    return FtpError(reason + " (long text)", code, kind, reason);
}

using RunEnd = TThreadCopia::RunEnd;

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkerFailureKind,
    ::testing::Values(
        KindCase{"login refused", [](RecordingFtpServer& s, JobSpec&) { s.connects = {ConnectOutcome::Raises}; }, "1",
                 "login refused (530)", RunEnd::Stopped},
        KindCase{"connection refused", [](RecordingFtpServer& s, JobSpec&) { s.connects = {ConnectOutcome::Unavailable}; },
                 "(unchanged)", "", RunEnd::ServersUnreachable},
        KindCase{"server echoes the password",  // masked by the client, as the real one does
                 [](RecordingFtpServer& s, JobSpec&) {
                     s.raises["PUT"].push_back(Failure(FtpErrorKind::Job, "550 *** is not a file name", 550));
                 },
                 "1", "550 *** is not a file name", RunEnd::Stopped},
        KindCase{"aborted", [](RecordingFtpServer& s, JobSpec&) { s.raises["PUT"].push_back(Failure(FtpErrorKind::Aborted, "aborted")); },
                 "(unchanged)", "", RunEnd::Stopped},
        KindCase{"local file missing", [](RecordingFtpServer&, JobSpec& j) { j.f += ".missing"; }, "1", "local file not found",
                 RunEnd::Stopped},
        KindCase{"local file is a folder", [](RecordingFtpServer&, JobSpec& j) { j.f = fs::path(j.f).parent_path().string(); },
                 "1", "not a regular file", RunEnd::Stopped},
        KindCase{"remote folder refused",
                 [](RecordingFtpServer& s, JobSpec&) {
                     for (int i = 0; i < 20; ++i)
                         s.raises["CWD"].push_back(Failure(FtpErrorKind::Job, "550 no", 550));
                 },
                 "1", "remote folder /in/ could not be made", RunEnd::Stopped},
        KindCase{"unknown security", [](RecordingFtpServer&, JobSpec& j) { j.s = "ssl3"; }, "1", "\"ssl3\"", RunEnd::Stopped},
        // The worker's own words stay whole whatever the password.
        KindCase{"unknown security, one-letter password",
                 [](RecordingFtpServer&, JobSpec& j) {
                     j.s = "ssh";  // "sftp" is a protocol of its own now
                     j.password = "y";
                 },
                 "1", "unknown security \"ssh\" in \"s\"", RunEnd::Stopped},
        KindCase{"download of a missing file", [](RecordingFtpServer&, JobSpec& j) { j.v = "get"; }, "(gone)", "",
                 RunEnd::Done},
        KindCase{"download cut",
                 [](RecordingFtpServer& s, JobSpec& j) {
                     j.v = "get";
                     j.f = (fs::path(j.f).parent_path() / "got" / "x.txt").string();
                     s.files["/in/x.txt"] = "remote";
                     s.raises["GET"].push_back(Failure(FtpErrorKind::Job, "426 Connection closed", 426));
                 },
                 "1", "426 Connection closed", RunEnd::Stopped}));


// ---- A dropped job leaves a trace ----------------------------------------------------------

TEST_F(WorkerSequence, TheThirdFailureGoesToTheDeadLetterFileWithItsReasonBeforeItLeaves) {
    JobSpec job = Upload("a.txt");
    job.password = "pw-77q";
    for (int i = 0; i < 3; ++i)
        state->raises["PUT"].push_back(Failure(FtpErrorKind::Job, "553 *** refused", 553)); // as the client masks an echo
    const std::string before = "{\"not\":\"a job of this run\"}";
    WriteFileBytes(deadLetter, before + "\r\n");
    WriteLines(batch, {JobLineText(job)});
    MakeFakeWorker()->Execute();
    EXPECT_FALSE(fs::exists(batch));
    const auto dead = ReadLines(deadLetter);
    ASSERT_EQ(dead.size(), 2u);
    EXPECT_EQ(dead[0], before) << "earlier lines are kept";
    job.error = "2";
    job.reason = "553 *** refused";
    EXPECT_EQ(dead[1], JobLineText(job)) << "the job line as it stood, with its reason";

    std::vector<std::string> outcomes;
    for (const auto& record : LogRecords())
        outcomes.push_back(record[1] + " " + record[8]);
    EXPECT_EQ(outcomes, (std::vector<std::string>{"start -", "failed 553 *** refused", "failed 553 *** refused",
                                                  "dropped 553 *** refused", "end done"}));
    EXPECT_EQ(ReadFileBytes(outcomeLog).find("pw-77q"), std::string::npos);
}

// ---- Stop within a second, whatever the worker is doing -------------------------------------

class WorkerStopPhase : public WorkerSequence, public ::testing::WithParamInterface<const char*> {};

TEST_P(WorkerStopPhase, EndsTheRunWithinASecondAndLeavesTheJobFirstUnmarked) {
    const std::string phase = GetParam();
    JobSpec up = Upload("a.txt");
    JobSpec down;
    down.v = "get";
    down.f = (dir / "got" / "x.bin").string();
    down.d = "\\x.bin";
    state->files["/x.bin"] = "remote";
    std::vector<std::string> lines;
    if (phase == "pause") {
        SecDelay = 3600;
        lines = {JobLineText(Upload("first.txt", "\\first.txt")), JobLineText(up)};
    } else {
        state->blockOn = phase;
        lines = {JobLineText(phase == "SIZE" || phase == "GET" ? down : up)};
    }
    WriteLines(batch, lines);
    auto worker = MakeFakeWorker();
    auto ended = std::make_shared<std::atomic<bool>>(false);
    worker->isAthread = true;
    worker->OnTerminate = [ended](TThread*) { *ended = true; };
    worker->Start();
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return phase == "pause" ? view.Reloads() == 1 : state->Blocked(); },
                                     std::chrono::seconds(10)));
    const auto stopped = std::chrono::steady_clock::now();
    worker->RequestStop();
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return ended->load(); }, std::chrono::seconds(30)));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(1));
    worker->WaitFor();
    const std::vector<std::string> left(lines.end() - 1, lines.end());
    EXPECT_EQ(ReadLines(batch), left) << "first, unmarked";
    EXPECT_EQ(worker->HowRunEnded(), TThreadCopia::RunEnd::Stopped);
    EXPECT_FALSE(fs::exists(down.f));
    EXPECT_TRUE(FilesContaining(dir / "got", ".part-").empty());
}

INSTANTIATE_TEST_SUITE_P(Phases, WorkerStopPhase, ::testing::Values("CONNECT", "MKD", "CWD", "SIZE", "PUT", "GET", "pause"));

// ---- Runs that must not begin ----------------------------------------------------------------

TEST_F(WorkerSequence, AQueueThatCannotBeRewrittenSendsNothing) {
    const std::string line = JobLineText(Upload("a.txt"));
    WriteLines(batch, {line});
    // A folder that the run's user may read but not write (root's powers are given up below).
    fs::permissions(dir.Path(), static_cast<fs::perms>(::geteuid() == 0 ? 0755 : 0555));
    fs::permissions(batch, static_cast<fs::perms>(0644));
    // The run happens in a child process; its exit status says which expectation failed.
    const int status = RunWithoutPrivileges([&] {
        auto worker = MakeFakeWorker();
        try {
            worker->Execute();
            return 1;
        } catch (const CloudError&) {
        }
        if (Count("CONNECT") != 0)
            return 2;
        if (worker->HowRunEnded() != TThreadCopia::RunEnd::Error)
            return 3;
        return worker->RunError().empty() ? 4 : 0;
    });
    fs::permissions(dir.Path(), fs::perms::owner_all);
    EXPECT_EQ(status, 0) << "1: the run did not raise, 2: it connected, 3: it did not end in an error, "
                            "4: without a reason";
    EXPECT_EQ(ReadFileBytes(batch), line + "\r\n") << "the queue is as it was";
}

// ---- Secure sessions ---------------------------------------------------------------------------

TEST_F(WorkerSequence, SecurityAndPinTakePartInTheSameServerComparison) {
    JobSpec plain = Upload("a.txt");
    JobSpec tls = plain;
    tls.s = "tls";
    JobSpec pinned = tls;
    pinned.fp = kValidPin;
    JobSpec implicit = pinned;
    implicit.s = "implicit";
    WriteLines(batch, {JobLineText(plain), JobLineText(tls), JobLineText(pinned), JobLineText(pinned),
                       JobLineText(implicit)});
    MakeFakeWorker()->Execute();
    std::vector<std::string> settings;
    for (const auto& line : state->Log())
        if (line == "CONNECT" || line.rfind("CLIENT", 0) == 0)
            settings.push_back(line);
    const std::string client = "CLIENT 127.0.0.1:21 user";
    EXPECT_EQ(settings, (std::vector<std::string>{client, "CONNECT", client + " tls", "CONNECT",
                                                  client + " tls " + kValidPin, "CONNECT",
                                                  client + " implicit " + kValidPin, "CONNECT"}));
    EXPECT_FALSE(fs::exists(batch));
}

} // namespace
} // namespace ct::test
