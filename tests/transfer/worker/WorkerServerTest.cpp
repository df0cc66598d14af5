#include "transfer/TThreadCopia.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <regex>
#include <thread>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "WorkerTestSupport.h"
#include "platform/ftp/TIdFTP.h"
#include "support/FtpServers.h"
#include "support/TestClock.h"
#include "transfer/AppGlobals.h"
#include "transfer/PartialDownloads.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// Whole runs of the worker with the real client against a real pyftpdlib server on loopback.
class WorkerServer : public WorkerTest {
protected:
    void Start(PyFtpOptions options = {}) {
        if (options.users == std::vector<std::string>{"user:secret"})
            options.users = {"user:secret", "alice:pa", "bob:pb"};
        server = std::make_unique<PyFtpServer>(std::move(options));
    }
    std::unique_ptr<TThreadCopia> MakeServerWorker(std::chrono::milliseconds timeouts = std::chrono::seconds(20)) {
        auto worker = MakeWorker();
        // The worker's own factory, with time-outs short enough for a test.
        worker->ClientFactory = [this, timeouts](const Endpoint& endpoint) {
            ++clientsMade;
            auto client = DefaultTransferClient(endpoint);
            dynamic_cast<TIdFTP&>(*client).SetTimeouts(timeouts);
            return client;
        };
        return worker;
    }
    // Runs the worker on a thread of its own, as run control does.
    void StartThreaded(TThreadCopia& worker) {
        worker.isAthread = true;
        worker.OnTerminate = [this](TThread*) { ended = true; };
        worker.Start();
    }
    JobSpec Job() const {
        JobSpec job;
        job.port = server->Port();
        return job;
    }
    // An upload of a fresh local file with the given content.
    JobSpec Upload(const std::string& localName, const std::string& d, const std::string& content = "payload") {
        fs::path p = dir / "local" / localName;
        fs::create_directories(p.parent_path());
        WriteFileBytes(p, content);
        JobSpec job = Job();
        job.f = p.string();
        job.d = d;
        return job;
    }
    JobSpec Download(const std::string& f, const std::string& d) {
        JobSpec job = Job();
        job.v = "get";
        job.f = f;
        job.d = d;
        return job;
    }
    void RemoteFile(const std::string& relative, const std::string& content) {
        fs::path p = server->Root() / relative;
        fs::create_directories(p.parent_path());
        WriteFileBytes(p, content);
    }
    std::string Remote(const std::string& relative) { return ReadFileBytes(server->Root() / relative); }

    std::unique_ptr<PyFtpServer> server;
    std::atomic<int> clientsMade{0};
    std::atomic<bool> ended{false};
};

// The job line without its "reason", whose wording is the client's.
std::string WithoutReason(const std::string& line) {
    auto o = nlohmann::ordered_json::parse(line);
    o.erase("reason");
    return o.dump();
}

std::vector<Lines> WithoutReasons(const std::vector<Lines>& snapshots) {
    std::vector<Lines> out;
    for (const auto& lines : snapshots) {
        out.emplace_back();
        for (const auto& line : lines)
            out.back().push_back(WithoutReason(line));
    }
    return out;
}

// The worker is written to the FTP client's contract (error kinds, Size without a size, a
// sticky abort). Where a test needs more than the client in this build does, a probe asks the
// real client directly and the test is skipped, naming what is missing.
std::unique_ptr<TIdFTP> ProbeClient(std::uint16_t port, std::chrono::milliseconds timeouts = std::chrono::seconds(2)) {
    auto client = std::make_unique<TIdFTP>();
    client->SetHost("127.0.0.1");
    client->SetPort(port);
    client->SetUsername("user");
    client->SetPassword("secret");
    client->SetTimeouts(timeouts);
    return client;
}

std::optional<FtpErrorKind> ConnectFailureKind(std::uint16_t port) {
    auto client = ProbeClient(port, std::chrono::seconds(1));
    try {
        client->Connect();
    } catch (const FtpError& error) {
        return error.Kind();
    }
    return std::nullopt;
}

bool ClientAbortsAConnect(std::uint16_t silentPort) {
    auto client = ProbeClient(silentPort, std::chrono::seconds(2));
    auto stop = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        client->Abort();
    });
    const auto started = std::chrono::steady_clock::now();
    try {
        client->Connect();
    } catch (const FtpError&) {
    }
    stop.wait();
    return std::chrono::steady_clock::now() - started < std::chrono::milliseconds(1000);
}

struct UploadRule {
    const char* d;
    std::optional<std::string> b;
    const char* stored;  // below the server's root
    const char* precreate;
};

void PrintTo(const UploadRule& rule, std::ostream* os) {
    *os << "d=" << rule.d << " b=" << (rule.b ? *rule.b : "(none)");
}

class WorkerUploadRules : public WorkerServer, public ::testing::WithParamInterface<UploadRule> {};

TEST_P(WorkerUploadRules, StoreTheFileWhereDAndBSay) {
    const UploadRule rule = GetParam();
    Start();
    if (*rule.precreate)
        fs::create_directories(server->Root() / rule.precreate);
    JobSpec job = Upload("src.bin", rule.d, MakePattern(70000));
    job.b = rule.b;
    WriteLines(batch, {JobLineText(job)});
    auto worker = MakeServerWorker();
    worker->Execute();
    EXPECT_FALSE(fs::exists(batch)) << "the job is done and removed";
    ASSERT_TRUE(fs::exists(server->Root() / rule.stored)) << rule.stored;
    EXPECT_EQ(Remote(rule.stored), MakePattern(70000));
}

INSTANTIATE_TEST_SUITE_P(Cases, WorkerUploadRules,
                         ::testing::Values(UploadRule{"\\a\\b\\c.txt", "base", "base/a/b/c.txt", ""},
                                           UploadRule{"\\a\\b\\c.txt", std::nullopt, "a/b/c.txt", ""},
                                           UploadRule{"\\c.txt", "base", "base/c.txt", ""},
                                           UploadRule{"\\c.txt", std::nullopt, "c.txt", ""},
                                           UploadRule{"\\c.txt", "", "c.txt", ""},
                                           UploadRule{"/a/c.txt", std::nullopt, "a/c.txt", "a"},
                                           UploadRule{"\\dir with space\\n\xC3\xA4me.txt", "b", "b/dir with space/n\xC3\xA4me.txt", ""}));

struct DownloadRule {
    const char* d;
    std::optional<std::string> b;
    const char* remote;  // below the server's root
};

void PrintTo(const DownloadRule& rule, std::ostream* os) {
    *os << "d=" << rule.d << " b=" << (rule.b ? *rule.b : "(none)");
}

class WorkerDownloadRules : public WorkerServer, public ::testing::WithParamInterface<DownloadRule> {};

TEST_P(WorkerDownloadRules, FetchTheRemotePathIntoANewLocalFolder) {
    const DownloadRule rule = GetParam();
    Start();
    RemoteFile(rule.remote, MakePattern(150000, 7));
    const fs::path local = dir / "dl" / "deep" / "x.bin";
    JobSpec job = Download(local.string(), rule.d);
    job.b = rule.b;
    WriteLines(batch, {JobLineText(job)});
    auto worker = MakeServerWorker();
    worker->Execute();
    EXPECT_FALSE(fs::exists(batch));
    ASSERT_TRUE(fs::exists(local));
    EXPECT_EQ(ReadFileBytes(local), MakePattern(150000, 7));
    EXPECT_TRUE(FilesContaining(local.parent_path(), ".part-").empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, WorkerDownloadRules,
                         ::testing::Values(DownloadRule{"-\\a\\c.txt", std::nullopt, "a/c.txt"},
                                           DownloadRule{"-\\a\\c.txt", "base", "base/a/c.txt"},
                                           DownloadRule{"\\a\\c.txt", std::nullopt, "a/c.txt"},
                                           DownloadRule{"a\\c.txt", "base", "base/a/c.txt"}));

TEST_F(WorkerServer, ADownloadReplacesAnExistingLocalFileWhole) {
    Start();
    RemoteFile("r.bin", "short");
    const fs::path local = dir / "r.bin";
    WriteFileBytes(local, MakePattern(100000));
    WriteLines(batch, {JobLineText(Download(local.string(), "\\r.bin"))});
    MakeServerWorker()->Execute();
    EXPECT_EQ(ReadFileBytes(local), "short");
}

// A watch outlives its queue: it waits where there is none, takes a line appended later, and
// ends only when stopped, by a stop that came before its thread began as well.
TEST_F(WorkerServer, AWatchTakesAppendedLinesAndEndsOnlyWhenStopped) {
    Start();
    auto worker = MakeServerWorker();
    worker->WatchQueue = true;
    StartThreaded(*worker);
    AppendLine(batch, JobLineText(Upload("w.txt", "\\w.txt")));
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return fs::exists(server->Root() / "w.txt") && !fs::exists(batch); }));
    EXPECT_FALSE(dispatcher.PumpUntil([&] { return ended.load(); }, std::chrono::milliseconds(300)));
    worker->RequestStop();
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return ended.load(); }));
    worker->WaitFor();
    EXPECT_EQ(worker->HowRunEnded(), TThreadCopia::RunEnd::Stopped);

    ended = false;
    auto early = MakeServerWorker();
    early->WatchQueue = true;
    early->RequestStop();
    StartThreaded(*early);
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return ended.load(); }, std::chrono::seconds(10)));
    early->WaitFor();
}

// Done, requeued with "1" and then "2", dropped at the third failure, as the queue sees it
// after every job.
TEST_F(WorkerServer, JobOutcomesMoveThroughTheQueue) {
    Start({.extraArgs = {"--refuse", "STOR bad=553"}});
    const std::string a = JobLineText(Upload("a.txt", "\\a.txt"));
    JobSpec badSpec = Upload("b.txt", "\\bad.txt");
    const std::string bad = JobLineText(badSpec);
    const std::string c = JobLineText(Upload("c.txt", "\\c.txt"));
    WriteLines(batch, {a, bad, c});
    auto worker = MakeServerWorker();
    worker->fileCloudTotCount = 3;
    worker->Execute();

    badSpec.error = "1";
    const std::string bad1 = JobLineText(badSpec);
    badSpec.error = "2";
    const std::string bad2 = JobLineText(badSpec);
    EXPECT_EQ(WithoutReasons(view.Snapshots()), (std::vector<Lines>{{bad, c}, {c, bad1}, {bad1}, {bad2}, {}}));
    EXPECT_NE(Member(view.Snapshots()[1][1], "reason").find("553"), std::string::npos) << view.Snapshots()[1][1];
    const Lines dead = ReadLines(deadLetter);
    ASSERT_EQ(dead.size(), 1u) << "the dropped job's trace";
    EXPECT_EQ(WithoutReason(dead[0]), bad2);
    EXPECT_NE(Member(dead[0], "reason").find("553"), std::string::npos);
    EXPECT_EQ(Remote("a.txt"), "payload");
    EXPECT_EQ(Remote("c.txt"), "payload");
    EXPECT_FALSE(fs::exists(server->Root() / "bad.txt"));
    EXPECT_FALSE(fs::exists(batch));
    EXPECT_FALSE(worker->AbortTransfer);
    EXPECT_EQ(worker->FileCloudTrCount(), 3);
    EXPECT_EQ(server->Logins(), 1);
}

TEST_F(WorkerServer, ConsecutiveJobsOfOneAccountLogInOnceAndAnotherUserReconnects) {
    Start();
    auto as = [&](const std::string& user, const std::string& password, const std::string& name) {
        JobSpec job = Upload(name, "\\" + name);
        job.user = user;
        job.password = password;
        return JobLineText(job);
    };
    WriteLines(batch, {as("alice", "pa", "1.txt"), as("alice", "pa", "2.txt"), as("alice", "pa", "3.txt"),
                       as("bob", "pb", "4.txt"), as("alice", "pa", "5.txt")});
    MakeServerWorker()->Execute();
    EXPECT_EQ(server->Commands("LOGIN"), (Lines{"LOGIN alice", "LOGIN bob", "LOGIN alice"}));
    for (const char* name : {"1.txt", "2.txt", "3.txt", "4.txt", "5.txt"})
        EXPECT_TRUE(fs::exists(server->Root() / name)) << name;
}

TEST_F(WorkerServer, AWrongPasswordFailsTheJobAndTheRunGoesOn) {
    Start();
    JobSpec wrong = Upload("w.txt", "\\w.txt");
    wrong.password = "nope-x81";
    JobSpec right = Upload("r.txt", "\\r.txt");
    WriteLines(batch, {JobLineText(wrong), JobLineText(right)});
    auto worker = MakeServerWorker();
    worker->Execute();
    EXPECT_TRUE(fs::exists(server->Root() / "r.txt"));
    EXPECT_FALSE(fs::exists(server->Root() / "w.txt"));
    EXPECT_FALSE(fs::exists(batch)) << "the wrong job was dropped after its third failure";
    EXPECT_EQ(view.Reloads(), 4u);
    const std::string reason = Member(view.Snapshots()[0][1], "reason");
    EXPECT_NE(reason.find("530"), std::string::npos) << reason;
    EXPECT_EQ(reason.find("nope-x81"), std::string::npos) << reason;
    EXPECT_EQ(ReadFileBytes(outcomeLog).find("nope-x81"), std::string::npos);
    EXPECT_EQ(ReadLines(deadLetter).size(), 1u);
}

TEST_F(WorkerServer, AnEmptyBatchFileEndsTheRunWithoutALogin) {
    Start();
    WriteFileBytes(batch, "");
    auto worker = MakeServerWorker();
    worker->Execute();
    EXPECT_EQ(clientsMade.load(), 0);
    EXPECT_EQ(server->Logins(), 0);
    EXPECT_FALSE(fs::exists(batch));
    EXPECT_EQ(view.Reloads(), 0u);
}

TEST_F(WorkerServer, AMissingBatchFileMakesNoClient) {
    Start();
    auto worker = MakeServerWorker();
    worker->Execute();
    EXPECT_EQ(clientsMade.load(), 0);
    EXPECT_EQ(server->Log().size(), 0u);
    EXPECT_FALSE(fs::exists(batch));
}

TEST_F(WorkerServer, ANonJsonHeadLineEndsTheRunWithAnErrorAndStays) {
    Start();
    const std::string good = JobLineText(Upload("a.txt", "\\a.txt"));
    WriteLines(batch, {"{not json", good});
    auto worker = MakeServerWorker();
    EXPECT_THROW(worker->Execute(), CloudError);
    EXPECT_EQ(ReadLines(batch), (Lines{"{not json", good}));
    EXPECT_EQ(server->Logins(), 0);
    EXPECT_FALSE(worker->HasClient());
}

TEST_F(WorkerServer, StopDuringAnUploadEndsTheRunAndLeavesTheJobFirst) {
    Start({.extraArgs = {"--throttle", "65536"}});
    const std::string job = JobLineText(Upload("big.bin", "\\big.bin", MakePattern(16 << 20)));
    const std::string next = JobLineText(Upload("n.txt", "\\n.txt"));
    WriteLines(batch, {job, next});
    ControlLog log;
    RecordingProgressBar bar{log};
    auto worker = MakeServerWorker();
    worker->ProgressBarSpeed = &bar;
    std::atomic<bool> ended{false};
    worker->isAthread = true;
    worker->OnTerminate = [&](TThread*) { ended = true; };
    worker->Start();
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return !log.With("bar.show").empty() && !server->Commands("STOR").empty(); }));
    worker->RequestStop();
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return ended.load(); }, std::chrono::seconds(120)));
    worker->WaitFor();
    EXPECT_TRUE(worker->AbortTransfer);
    EXPECT_EQ(ReadLines(batch), (Lines{job, next})) << "untouched, without a mark";
    EXPECT_FALSE(worker->HasClient());
    EXPECT_EQ(view.Reloads(), 0u);
    EXPECT_FALSE(fs::exists(server->Root() / "n.txt"));
}

TEST_F(WorkerServer, StopDuringADownloadLeavesTheLocalFileAsItWas) {
    Start({.extraArgs = {"--throttle", "65536"}});
    RemoteFile("big.bin", MakePattern(16 << 20));
    const fs::path local = dir / "keep" / "big.bin";
    fs::create_directories(local.parent_path());
    WriteFileBytes(local, "old content");
    const std::string job = JobLineText(Download(local.string(), "\\big.bin"));
    WriteLines(batch, {job});
    ControlLog log;
    RecordingProgressBar bar{log};
    auto worker = MakeServerWorker();
    worker->ProgressBarSpeed = &bar;
    std::atomic<bool> ended{false};
    worker->isAthread = true;
    worker->OnTerminate = [&](TThread*) { ended = true; };
    worker->Start();
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return !log.With("bar.show").empty(); }));
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return !FilesContaining(local.parent_path(), ".part-").empty(); }));
    worker->RequestStop();
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return ended.load(); }, std::chrono::seconds(120)));
    worker->WaitFor();
    EXPECT_TRUE(worker->AbortTransfer);
    EXPECT_EQ(ReadLines(batch), Lines{job});
    EXPECT_EQ(ReadFileBytes(local), "old content");
    // What arrived before the stop may stay as a part to resume on, but only one the
    // journal names, so that a later run finds it or removes it.
    const auto parts = FilesContaining(local.parent_path(), ".part-");
    const fs::path journal = PartialDownloadJournal::PathFor(batch);
    for (const auto& part : parts)
        EXPECT_NE(fs::exists(journal) ? ReadFileBytes(journal).find(part) : std::string::npos, std::string::npos) << part;
}

// A stop request during the pause ends it at once; the next job is not begun and stays first.
TEST_F(WorkerServer, StopDuringThePauseEndsTheRunAtOnce) {
    Start();
    SecDelay = 3600;
    const std::string first = JobLineText(Upload("a.txt", "\\a.txt"));
    const std::string second = JobLineText(Upload("b.txt", "\\b.txt"));
    WriteLines(batch, {first, second});
    auto worker = MakeServerWorker();
    StartThreaded(*worker);
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return view.Reloads() == 1; }));
    worker->RequestStop();
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return ended.load(); }, std::chrono::seconds(10)));
    worker->WaitFor();
    EXPECT_TRUE(worker->AbortTransfer);
    EXPECT_EQ(worker->HowRunEnded(), TThreadCopia::RunEnd::Stopped);
    EXPECT_EQ(server->Commands("STOR").size(), 1u) << "the second job was not begun";
    EXPECT_EQ(ReadLines(batch), Lines{second});
    EXPECT_EQ(view.Reloads(), 1u);
}

// Timed on the worker's clock, which a test moves: an hour's pause passes at once and is
// still measured whole.
TEST_F(WorkerServer, ThePauseBetweenJobsLastsSecDelay) {
    Start();
    SecDelay = 3600;
    WriteLines(batch, {JobLineText(Upload("a.txt", "\\a.txt")), JobLineText(Upload("b.txt", "\\b.txt"))});
    TestClock clock;
    view.Clock = &clock;
    auto worker = MakeServerWorker();
    worker->Clock = &clock;
    worker->Execute();
    auto times = view.Times();
    ASSERT_EQ(times.size(), 2u);
    EXPECT_EQ(times[1] - times[0], std::chrono::seconds(3600)) << "the second job itself takes no time on this clock";
    EXPECT_EQ(server->Commands("STOR").size(), 2u);
}

TEST_F(WorkerServer, LinesAppendedDuringARunAreProcessedInTheSameRun) {
    Start();
    WriteLines(batch, {JobLineText(Upload("a.txt", "\\a.txt")), JobLineText(Upload("b.txt", "\\b.txt"))});
    const std::string late = JobLineText(Upload("late.txt", "\\later\\late.txt", "late"));
    view.OnReload = [&](std::size_t reload) {
        if (reload == 1)
            AppendLine(batch, late);
    };
    auto worker = MakeServerWorker();
    worker->fileCloudTotCount = 2;
    worker->Execute();
    EXPECT_EQ(Remote("later/late.txt"), "late");
    EXPECT_FALSE(fs::exists(batch));
    EXPECT_EQ(worker->FileCloudTrCount(), 3) << "the count may pass the total";
}

// A download that could not be had is a failed job (marked and retried), never counted as
// done, and never leaves a truncated file behind.
TEST_F(WorkerServer, ADownloadCutShortFailsAndKeepsTheOldLocalFile) {
    Start({.extraArgs = {"--cut-retr", "1000"}});
    RemoteFile("r.bin", MakePattern(300000));
    const fs::path local = dir / "out" / "r.bin";
    fs::create_directories(local.parent_path());
    WriteFileBytes(local, "old");
    JobSpec job = Download(local.string(), "\\r.bin");
    WriteLines(batch, {JobLineText(job)});
    MakeServerWorker()->Execute();
    auto snapshots = WithoutReasons(view.Snapshots());
    ASSERT_EQ(snapshots.size(), 3u);
    job.error = "1";
    EXPECT_EQ(snapshots[0], Lines{JobLineText(job)});
    job.error = "2";
    EXPECT_EQ(snapshots[1], Lines{JobLineText(job)});
    EXPECT_TRUE(snapshots[2].empty());
    EXPECT_EQ(ReadFileBytes(local), "old");
    EXPECT_TRUE(FilesContaining(local.parent_path(), ".part-").empty());
}

class WorkerSizeless : public WorkerServer, public ::testing::WithParamInterface<const char*> {};

// A server that answers SIZE with anything but 213 (500 not implemented, 550 by policy) still
// serves the file: RETR decides.
TEST_P(WorkerSizeless, ServerStillServesTheDownload) {
    Start({.extraArgs = {"--refuse", std::string("SIZE=") + GetParam()}});
    RemoteFile("r.bin", "content");
    {
        auto client = ProbeClient(server->Port());
        client->Connect();
        try {
            client->Size("/r.bin");
        } catch (const FtpError&) {
            GTEST_SKIP() << "needs the FTP client's Size to give -1 for SIZE answered " << GetParam();
        }
        client->Disconnect();
    }
    const fs::path local = dir / "out" / "r.bin";
    WriteLines(batch, {JobLineText(Download(local.string(), "\\r.bin"))});
    MakeServerWorker()->Execute();
    EXPECT_EQ(ReadFileBytes(local), "content");
    EXPECT_FALSE(fs::exists(batch));
}

INSTANTIATE_TEST_SUITE_P(Replies, WorkerSizeless, ::testing::Values("500", "550", "451"));

class WorkerLocalFolder : public WorkerServer, public ::testing::WithParamInterface<const char*> {};

TEST_P(WorkerLocalFolder, ThatCannotBeHadFailsTheDownload) {
    Start();
    RemoteFile("r.bin", "content");
    WriteFileBytes(dir / "blocker", "a file where a folder should be");
    std::string f = GetParam();
    if (f.rfind("DIR/", 0) == 0)
        f = (dir / f.substr(4)).string();
    JobSpec job = Download(f, "\\r.bin");
    WriteLines(batch, {JobLineText(job)});
    MakeServerWorker()->Execute();
    auto snapshots = view.Snapshots();
    ASSERT_EQ(snapshots.size(), 3u);
    ASSERT_EQ(snapshots[0].size(), 1u);
    EXPECT_EQ(ErrorMark(snapshots[0][0]), "1");
    EXPECT_TRUE(server->Commands("RETR").empty());
}

INSTANTIATE_TEST_SUITE_P(Paths, WorkerLocalFolder, ::testing::Values("DIR/blocker/sub/r.bin", "r-without-folder.bin"));

TEST_F(WorkerServer, AMissingOrEmptyRemoteFileEndsTheDownloadAsDone) {
    Start();
    {
        auto client = ProbeClient(server->Port());
        client->Connect();
        try {
            client->Get("/missing.bin", (dir / "probe.bin").string(), true, false);
        } catch (const FtpError& error) {
            if (error.Kind() != FtpErrorKind::RemoteMissing)
                GTEST_SKIP() << "needs the FTP client to report RETR of a missing file as FtpErrorKind::RemoteMissing";
        }
        client->Disconnect();
        server->ClearLog();
    }
    RemoteFile("empty.bin", "");
    const fs::path a = dir / "out" / "missing.bin";
    const fs::path b = dir / "out" / "empty.bin";
    WriteLines(batch, {JobLineText(Download(a.string(), "\\missing.bin")), JobLineText(Download(b.string(), "\\empty.bin"))});
    auto worker = MakeServerWorker();
    worker->Execute();
    EXPECT_EQ(view.Snapshots().size(), 2u);
    EXPECT_FALSE(fs::exists(batch));
    EXPECT_FALSE(fs::exists(a));
    EXPECT_FALSE(fs::exists(b));
    EXPECT_EQ(server->Commands("RETR"), Lines{"RETR /missing.bin"}) << "an empty file is not fetched";
    EXPECT_TRUE(FilesContaining(dir / "out", ".part-").empty());
}

// What the window shows during an inline run: the exact announcement texts and a bar that
// runs from 0 to the file's size, for an upload and for a download.
TEST_F(WorkerServer, InlineRunShowsTheFilesTheCountsAndTheProgress) {
    Start();
    DecimalSeparator = ',';
    RemoteFile("in/d.bin", MakePattern(200000, 3));
    const JobSpec up = Upload("u.bin", "\\u.bin", MakePattern(300000, 5));
    const fs::path down = dir / "got" / "d.bin";
    WriteLines(batch, {JobLineText(up), JobLineText(Download(down.string(), "-\\in\\d.bin"))});
    ControlLog log;
    RecordingLabel speed{log, "speed"};
    RecordingLabel file{log, "file"};
    RecordingProgressBar bar{log};
    RecordingTray tray{log};
    auto worker = MakeServerWorker();
    worker->LabelSpeed = &speed;
    worker->LabelFile = &file;
    worker->ProgressBarSpeed = &bar;
    worker->BalloonHint = &tray;
    worker->fileCloudTotCount = 2;
    worker->Execute();

    EXPECT_EQ(log.With("file.caption "), (Lines{"1/2- file: " + up.f, "2/2- file: " + down.string()}));
    EXPECT_EQ(log.With("tray.hint "), (Lines{"Trasferimento su Cloud - Attendere...\r\n File 1/2",
                                            "Trasferimento su Cloud - Attendere...\r\n File 2/2"}));
    EXPECT_EQ(log.With("tray.balloon "), (Lines{"Trasferimento su Cloud - Attendere...|File 1/2|0|10",
                                               "Trasferimento su Cloud - Attendere...|File 2/2|0|10"}));
    EXPECT_EQ(log.With("bar.max "), (Lines{"300000", "200000"}));
    auto positions = log.With("bar.pos ");
    EXPECT_NE(std::find(positions.begin(), positions.end(), "300000"), positions.end());
    EXPECT_NE(std::find(positions.begin(), positions.end(), "200000"), positions.end());
    EXPECT_EQ(positions.back(), "0");
    auto speeds = log.With("speed.caption ");
    ASSERT_FALSE(speeds.empty());
    for (auto& s : speeds)
        EXPECT_TRUE(std::regex_match(s, std::regex(R"(\d+,\d\d KB/s)"))) << s;
    for (auto id : log.Threads())
        EXPECT_EQ(id, dispatcher.MainThreadId()) << "an inline run runs on the GUI thread";
    EXPECT_EQ(ReadFileBytes(down), MakePattern(200000, 3));
}

// Against a slow server the bar and the speed follow what the server has taken: small steps
// from the start, and a speed near the link's, never the rate at which the socket swallowed
// the first megabyte.
TEST_F(WorkerServer, TheUploadBarFollowsASlowServerInSmallSteps) {
    const int pace = 600000;  // bytes per second, evenly
    Start({.extraArgs = {"--pace", std::to_string(pace), "--data-rcvbuf", "32768"}});
    const std::int64_t size = 2000000;
    WriteLines(batch, {JobLineText(Upload("big.bin", "\\big.bin", MakePattern(static_cast<std::size_t>(size), 4)))});
    ControlLog log;
    RecordingLabel speed{log, "speed"};
    RecordingProgressBar bar{log};
    auto worker = MakeServerWorker();
    worker->LabelSpeed = &speed;
    worker->ProgressBarSpeed = &bar;
    worker->Execute();
    ASSERT_FALSE(fs::exists(batch));

    std::vector<std::int64_t> positions;
    for (const auto& p : log.With("bar.pos "))
        positions.push_back(std::stoll(p));
    ASSERT_GE(positions.size(), 12u);
    EXPECT_EQ(positions.back(), 0) << "reset at the end";
    positions.pop_back();
    EXPECT_EQ(positions.back(), size);
    std::int64_t before = 0;
    for (std::int64_t p : positions) {
        EXPECT_GE(p, before);
        EXPECT_LE(p - before, size / 12) << "a step from " << before << " to " << p;
        before = p;
    }
    std::vector<double> speeds;
    for (auto caption : log.With("speed.caption ")) {
        std::replace(caption.begin(), caption.end(), ',', '.');
        speeds.push_back(std::stod(caption));
    }
    ASSERT_FALSE(speeds.empty());
    const double linkKb = pace / 1024.0;
    for (double s : speeds)
        EXPECT_LT(s, 10 * linkKb) << "a speed reading far beyond the link";
    EXPECT_NEAR(speeds.back(), linkKb, linkKb / 2) << "over the whole upload";
}

// ---- Servers that cannot be reached ------------------------------------------------------------

struct DownServer {
    const char* name;
    std::vector<std::string> args;   // ftpserver.py arguments; empty: a port nobody listens on
};

void PrintTo(const DownServer& c, std::ostream* os) {
    *os << c.name;
}

class WorkerUnreachable : public WorkerServer, public ::testing::WithParamInterface<DownServer> {};

TEST_P(WorkerUnreachable, ServerKeepsItsJobsUnmarkedWhileAnotherServesTheRest) {
    const DownServer c = GetParam();
    Start();
    std::unique_ptr<PyFtpServer> down;
    std::uint16_t downPort = 0;
    if (c.args.empty()) {
        downPort = FreeLoopbackPort();
    } else {
        down = std::make_unique<PyFtpServer>(PyFtpOptions{.extraArgs = c.args});
        downPort = down->Port();
    }
    if (ConnectFailureKind(downPort) != FtpErrorKind::Unavailable)
        GTEST_SKIP() << "needs the FTP client to report " << c.name << " as FtpErrorKind::Unavailable";

    auto onDown = [&](JobSpec job) {
        job.port = downPort;
        return JobLineText(job);
    };
    const std::string d1 = onDown(Upload("d1.txt", "\\d1.txt"));
    const std::string d2 = onDown(Upload("d2.txt", "\\d2.txt"));
    WriteLines(batch, {d1, JobLineText(Upload("w1.txt", "\\w1.txt")), d2, JobLineText(Upload("w2.txt", "\\w2.txt"))});
    auto worker = MakeServerWorker(std::chrono::seconds(1));
    worker->Execute();
    EXPECT_EQ(ReadLines(batch), (Lines{d1, d2})) << "unmarked and in order";
    EXPECT_EQ(Remote("w1.txt"), "payload");
    EXPECT_EQ(Remote("w2.txt"), "payload");
    EXPECT_EQ(worker->HowRunEnded(), TThreadCopia::RunEnd::ServersUnreachable);
    if (down) {
        EXPECT_LE(down->Commands("USER").size(), 1u) << "tried once in the run";
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, WorkerUnreachable,
                         ::testing::Values(DownServer{"a refused connection", {}},
                                           DownServer{"421 at connect", {"--greeting", "421"}},
                                           DownServer{"a greeting that never comes", {"--silent-greeting"}}));

// vsftpd max_per_ip=1 and pure-ftpd -C 1 refuse a session that follows a QUIT too closely.
TEST_F(WorkerServer, ALimitOfOneSessionPerClientCostsNoJob) {
    {
        PyFtpServer busy({.extraArgs = {"--greeting", "421"}});
        if (ConnectFailureKind(busy.Port()) != FtpErrorKind::Unavailable)
            GTEST_SKIP() << "needs the FTP client to report 421 at connect as FtpErrorKind::Unavailable";
    }
    Start({.extraArgs = {"--max-per-ip", "1"}});
    Lines lines;
    for (int i = 0; i < 6; ++i) {
        JobSpec job = Upload(std::to_string(i) + ".txt", "\\" + std::to_string(i) + ".txt");
        job.user = i % 2 ? "alice" : "bob";
        job.password = i % 2 ? "pa" : "pb";
        lines.push_back(JobLineText(job));
    }
    WriteLines(batch, lines);
    MakeServerWorker()->Execute();
    EXPECT_FALSE(fs::exists(batch));
    EXPECT_EQ(server->Logins(), 6);
}

// pure-ftpd -r stores a second upload of a name as name.1 and answers 226: the upload arrived.
TEST_F(WorkerServer, AServerThatRenamesASecondUploadCountsItDone) {
    Start({.extraArgs = {"--rename-stor"}});
    {
        auto client = ProbeClient(server->Port());
        client->Connect();
        WriteFileBytes(dir / "p1", "1");
        WriteFileBytes(dir / "p2", "22");
        client->Put((dir / "p1").string(), "probe.bin", false, -1);
        try {
            client->Put((dir / "p2").string(), "probe.bin", false, -1);
        } catch (const FtpError&) {
            GTEST_SKIP() << "needs the FTP client to accept a 226 for a stored file whose SIZE differs";
        }
        client->Disconnect();
    }
    WriteLines(batch, {JobLineText(Upload("a", "\\same.bin", "first")), JobLineText(Upload("b", "\\same.bin", "second!"))});
    MakeServerWorker()->Execute();
    EXPECT_FALSE(fs::exists(batch)) << "both done, none marked";
    EXPECT_EQ(Remote("same.bin"), "first");
    EXPECT_EQ(Remote("same.bin.1"), "second!");
}

// ---- Stop within a second against a server that says nothing -----------------------------------

struct SilentPhase {
    const char* name;
    std::vector<std::string> args;
    const char* awaited;   // the command the server receives and never answers; "" for the greeting
    bool download;
};

void PrintTo(const SilentPhase& c, std::ostream* os) {
    *os << c.name;
}

class WorkerSilentServer : public WorkerServer, public ::testing::WithParamInterface<SilentPhase> {};

TEST_P(WorkerSilentServer, StopEndsTheRunWithinASecond) {
    const SilentPhase c = GetParam();
    {
        PyFtpServer silent({.extraArgs = {"--silent-greeting"}});
        if (!ClientAbortsAConnect(silent.Port()))
            GTEST_SKIP() << "needs the FTP client's Abort to end a connect, a login and a command wait";
    }
    Start({.extraArgs = c.args});
    RemoteFile("r.bin", "content");
    const std::string job = c.download ? JobLineText(Download((dir / "got" / "r.bin").string(), "\\r.bin"))
                                       : JobLineText(Upload("a.txt", "\\in\\a.txt"));
    WriteLines(batch, {job});
    auto worker = MakeServerWorker(std::chrono::seconds(60));
    StartThreaded(*worker);
    const std::string awaited = c.awaited;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(dispatcher.PumpUntil([&] {
        return awaited.empty() ? std::chrono::steady_clock::now() - started > std::chrono::milliseconds(300)
                               : !server->Commands(awaited).empty();
    }, std::chrono::seconds(20)));
    const auto stopped = std::chrono::steady_clock::now();
    worker->RequestStop();
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return ended.load(); }, std::chrono::seconds(30)));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(1));
    worker->WaitFor();
    EXPECT_EQ(ReadLines(batch), Lines{job}) << "first, unmarked";
    EXPECT_EQ(worker->HowRunEnded(), TThreadCopia::RunEnd::Stopped);
}

INSTANTIATE_TEST_SUITE_P(Phases, WorkerSilentServer,
                         ::testing::Values(SilentPhase{"greeting", {"--silent-greeting"}, "", false},
                                           SilentPhase{"login", {"--silent", "PASS"}, "PASS", false},
                                           SilentPhase{"folder walk", {"--silent", "MKD"}, "MKD", false},
                                           SilentPhase{"reply", {"--silent", "SIZE"}, "SIZE", true}));

} // namespace
} // namespace ct::test
