// Resume, verification, publish by rename and kept times: whole runs of the worker with the real
// client against pyftpdlib servers scripted to cut, lie or refuse.
#include "transfer/TThreadCopia.h"

#include <gtest/gtest.h>

#include "WorkerTestSupport.h"
#include "platform/fs/TempFile.h"
#include "platform/ftp/TIdFTP.h"
#include "support/FtpServers.h"
#include "transfer/JobDelivery.h"
#include "transfer/PartialDownloads.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr std::int64_t kBig = 3 * 1024 * 1024;
constexpr std::int64_t kCut = 1024 * 1024;

class Delivery : public WorkerTest {
protected:
    void Start(std::vector<std::string> extraArgs = {}) {
        PyFtpOptions options;
        options.extraArgs = std::move(extraArgs);
        server = std::make_unique<PyFtpServer>(std::move(options));
    }
    void Run() {
        auto worker = MakeWorker();
        worker->ClientFactory = [](const Endpoint& endpoint) {
            auto client = DefaultTransferClient(endpoint);
            dynamic_cast<TIdFTP&>(*client).SetTimeouts(std::chrono::seconds(20));
            return client;
        };
        worker->Execute();
    }
    JobSpec Job(std::vector<std::pair<std::string, std::string>> members = {}) const {
        JobSpec job;
        job.port = server->Port();
        job.members = std::move(members);
        return job;
    }
    JobSpec Download(const std::string& name, std::vector<std::pair<std::string, std::string>> members = {}) {
        JobSpec job = Job(std::move(members));
        job.v = "get";
        job.f = (dir / "local" / name).string();
        job.d = "\\" + name;
        return job;
    }
    JobSpec Upload(const std::string& name, const std::string& content,
                   std::vector<std::pair<std::string, std::string>> members = {}) {
        fs::create_directories(dir / "local");
        WriteFileBytes(dir / "local" / name, content);
        JobSpec job = Job(std::move(members));
        job.f = (dir / "local" / name).string();
        job.d = "\\" + name;
        return job;
    }
    // The reason the outcome log gives for the last job's record of this outcome.
    std::string LastReason(const std::string& outcome) const {
        std::string reason = "(none)";
        for (const auto& record : LogRecords())
            if (record.size() > 2 && record[1] == outcome)
                reason = record.back();
        return reason;
    }
    std::int64_t RestOffset() const {
        const Lines rest = server->Commands("REST");
        return rest.empty() ? 0 : std::stoll(rest.back().substr(5));
    }

    std::unique_ptr<PyFtpServer> server;
};

TEST_F(Delivery, ACutDownloadResumesInTheSameRunFromItsPart) {
    Start({"--cut-retr-once", std::to_string(kCut)});
    WriteFileBytes(server->Root() / "big.bin", MakePattern(kBig, 3));
    WriteLines(batch, {JobLineText(Download("big.bin"))});
    Run();
    EXPECT_FALSE(fs::exists(batch)) << "done at its second try";
    EXPECT_TRUE(ReadFileBytes(dir / "local" / "big.bin") == MakePattern(kBig, 3));
    EXPECT_EQ(RestOffset(), kCut) << "only the rest was sent again";
    EXPECT_NE(LastReason("done").find("resumed at"), std::string::npos) << LastReason("done");
    EXPECT_TRUE(FilesContaining(dir / "local", ".part-").empty());
    EXPECT_FALSE(fs::exists(PartialDownloadJournal::PathFor(batch)));
}

// What a run killed mid-download leaves: the record (written before the part was made) and the
// part. A new run resumes on it; a changed remote file, or a job no longer queued, does not.
TEST_F(Delivery, APartLeftByAKilledRunIsResumedOnlyOntoTheSameRemoteFile) {
    Start();
    WriteFileBytes(server->Root() / "big.bin", MakePattern(kBig, 5));
    const std::string line = JobLineText(Download("big.bin"));
    const ct::Job job = std::get<ct::Job>(ParseJob(line));
    auto leaveKilledPart = [&](std::int64_t remoteSize) {
        fs::create_directories(dir / "local");
        PartialDownloadJournal journal(PartialDownloadJournal::PathFor(batch));
        auto probe = std::make_unique<TIdFTP>(job.endpoint);
        probe->Connect();
        PartialRecord record{{}, ResumeKeyOf(job), remoteSize, probe->ModifiedTime("/big.bin")};
        TempFile part = TempFile::CreateFor(dir / "local" / "big.bin", [&](const fs::path& name) {
            record.part = name;
            journal.Record(record);
        });
        WriteFileBytes(part.Path(), MakePattern(kBig, 5).substr(0, 1500000));
        part.Keep();
    };
    leaveKilledPart(kBig);
    WriteLines(batch, {line});
    Run();
    EXPECT_TRUE(ReadFileBytes(dir / "local" / "big.bin") == MakePattern(kBig, 5));
    EXPECT_EQ(RestOffset(), 1500000);

    fs::remove(dir / "local" / "big.bin");
    server->ClearLog();
    leaveKilledPart(kBig - 1);  // the remote file has changed since the part began
    WriteLines(batch, {line});
    Run();
    EXPECT_TRUE(ReadFileBytes(dir / "local" / "big.bin") == MakePattern(kBig, 5));
    EXPECT_TRUE(server->Commands("REST").empty()) << "started over";
    EXPECT_TRUE(FilesContaining(dir / "local", ".part-").empty());

    leaveKilledPart(kBig);
    WriteLines(batch, {JobLineText(Download("other.bin"))});
    MakeWorker()->Execute();  // the job of the part is gone: its part goes at the run's start
    EXPECT_TRUE(FilesContaining(dir / "local", ".part-").empty());
}

// A server that hashes ranges shows the part to differ from the remote file's start: the
// download starts over rather than add the rest to it.
TEST_F(Delivery, APartThatARangeHashShowsToDifferIsNotResumedOn) {
    Start({"--hash", "lie"});
    WriteFileBytes(server->Root() / "big.bin", MakePattern(kBig, 5));
    const std::string line = JobLineText(Download("big.bin", {{"verify", "off"}}));
    const ct::Job job = std::get<ct::Job>(ParseJob(line));
    fs::create_directories(dir / "local");
    PartialDownloadJournal journal(PartialDownloadJournal::PathFor(batch));
    auto probe = std::make_unique<TIdFTP>(job.endpoint);
    probe->Connect();
    PartialRecord record{{}, ResumeKeyOf(job), kBig, probe->ModifiedTime("/big.bin")};
    TempFile part = TempFile::CreateFor(dir / "local" / "big.bin", [&](const fs::path& name) {
        record.part = name;
        journal.Record(record);
    });
    WriteFileBytes(part.Path(), MakePattern(kBig, 5).substr(0, kCut));
    part.Keep();
    WriteLines(batch, {line});
    Run();
    EXPECT_TRUE(ReadFileBytes(dir / "local" / "big.bin") == MakePattern(kBig, 5));
    EXPECT_EQ(server->Commands("XSHA256").size(), 1u);
    EXPECT_TRUE(server->Commands("REST").empty()) << "started over";
}

struct UploadResumeCase {
    const char* name;
    std::vector<std::string> serverArgs;
    const char* command;  // what carries the rest
    std::size_t count;    // how often the server saw it
    bool resumed;
};

void PrintTo(const UploadResumeCase& c, std::ostream* os) {
    *os << c.name;
}

class DeliveryUploadResume : public Delivery, public ::testing::WithParamInterface<UploadResumeCase> {};

TEST_P(DeliveryUploadResume, ACutUploadGoesOnWhereTheServerAllows) {
    const UploadResumeCase c = GetParam();
    std::vector<std::string> args{"--cut-stor-once", std::to_string(kCut)};
    args.insert(args.end(), c.serverArgs.begin(), c.serverArgs.end());
    Start(args);
    WriteLines(batch, {JobLineText(Upload("up.bin", MakePattern(kBig, 9)))});
    Run();
    EXPECT_FALSE(fs::exists(batch));
    EXPECT_TRUE(ReadFileBytes(server->Root() / "up.bin") == MakePattern(kBig, 9));
    const Lines sent = server->Commands(c.command);
    EXPECT_EQ(sent.size(), c.count);
    EXPECT_EQ(LastReason("done").find("resumed at") != std::string::npos, c.resumed) << LastReason("done");
}

INSTANTIATE_TEST_SUITE_P(
    Servers, DeliveryUploadResume,
    ::testing::Values(UploadResumeCase{"RestStor", {}, "REST", 1, true},
                      UploadResumeCase{"AppeWhereRestIsRefusedForStor", {"--refuse-rest-stor"}, "APPE", 1, true},
                      UploadResumeCase{"WholeFileWhereBothAreRefused", {"--refuse-rest-stor", "--refuse-appe"}, "STOR",
                                       3, false}));

// What a killed run leaves of an upload: its record (the local file's size and time then) and
// a part on the server. A new run goes on from the part only when the local file is unchanged
// and the part is not larger than it.
TEST_F(Delivery, AnUploadResumesAfterAKilledRunOnlyOntoTheSameLocalFile) {
    Start();
    const std::string line = JobLineText(Upload("up.bin", MakePattern(kBig, 1)));
    const fs::path local = dir / "local" / "up.bin";
    const ct::Job job = std::get<ct::Job>(ParseJob(line));
    auto leaveKilledUpload = [&](std::int64_t recordedSize, const std::string& remotePart) {
        PartialDownloadJournal(PartialDownloadJournal::PathFor(batch))
            .Record(PartialRecord{{}, ResumeKeyOf(job), recordedSize, LocalModifiedTime(local)});
        WriteFileBytes(server->Root() / "up.bin", remotePart);
        server->ClearLog();
        WriteLines(batch, {line});
        Run();
        EXPECT_TRUE(ReadFileBytes(server->Root() / "up.bin") == MakePattern(kBig, 1));
    };
    leaveKilledUpload(kBig, MakePattern(kBig, 1).substr(0, kCut));
    EXPECT_EQ(RestOffset(), kCut) << "the rest only";
    leaveKilledUpload(kBig - 1, MakePattern(kBig, 1).substr(0, kCut));  // the local file changed since
    EXPECT_TRUE(server->Commands("REST").empty());
    leaveKilledUpload(kBig, MakePattern(kBig + 10, 1));  // larger than ours: no part of it
    EXPECT_TRUE(server->Commands("REST").empty());
}

struct VerifyCase {
    const char* name;
    bool download;
    const char* hash;  // the server's --hash, or "" for none
    const char* verify;
    const char* outcome;
    const char* reasonPart;
};

void PrintTo(const VerifyCase& c, std::ostream* os) {
    *os << c.name;
}

class DeliveryVerify : public Delivery, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(DeliveryVerify, TheHashDecidesTheJob) {
    const VerifyCase c = GetParam();
    Start(*c.hash ? std::vector<std::string>{"--hash", c.hash} : std::vector<std::string>{});
    std::vector<std::pair<std::string, std::string>> members;
    if (*c.verify)
        members.push_back({"verify", c.verify});
    const fs::path local = dir / "local" / "v.bin";
    if (c.download) {
        WriteFileBytes(server->Root() / "v.bin", MakePattern(200000, 4));
        fs::create_directories(local.parent_path());
        WriteFileBytes(local, "the old f");
        WriteLines(batch, {JobLineText(Download("v.bin", members))});
    } else {
        WriteLines(batch, {JobLineText(Upload("v.bin", MakePattern(200000, 4), members))});
    }
    Run();
    EXPECT_NE(LastReason(c.outcome).find(c.reasonPart), std::string::npos) << LastReason(c.outcome);
    if (c.download && std::string(c.outcome) != "done") {
        EXPECT_TRUE(ReadFileBytes(local) == "the old f") << "a file that fails its check never replaces f";
    }
    EXPECT_TRUE(FilesContaining(local.parent_path(), ".part-").empty());
    if (std::string(c.reasonPart).find("offers no hash") != std::string::npos) {
        EXPECT_TRUE(server->Commands(c.download ? "RETR" : "STOR").empty()) << "refused before any transfer";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeliveryVerify,
    ::testing::Values(VerifyCase{"AutoDownload", true, "honest", "", "done", "verified by SHA-256"},
                      VerifyCase{"AutoUpload", false, "honest", "", "done", "verified by SHA-256"},
                      VerifyCase{"LyingDownload", true, "lie", "", "dropped", "SHA-256 checksum mismatch"},
                      VerifyCase{"LyingUpload", false, "lie", "auto", "dropped", "SHA-256 checksum mismatch"},
                      VerifyCase{"OffIgnoresALie", true, "lie", "off", "done", ""},
                      VerifyCase{"RequiredWithoutHashDownload", true, "", "hash", "dropped", "offers no hash"},
                      VerifyCase{"RequiredWithoutHashUpload", false, "", "hash", "dropped", "offers no hash"}));

TEST_F(Delivery, NoHashOfferedAddsNoCommandPerJob) {
    Start();
    WriteLines(batch, {JobLineText(Upload("a.bin", "a")), JobLineText(Upload("b.bin", "b"))});
    Run();
    EXPECT_EQ(server->Commands("FEAT").size(), 1u) << "asked once per session";
    EXPECT_TRUE(server->Commands("XSHA256").empty());
    EXPECT_TRUE(server->Commands("MDTM").empty());
}

TEST_F(Delivery, PublishByRenameNeverShowsAPartialTarget) {
    Start({"--cut-stor-once", std::to_string(kCut)});
    WriteLines(batch, {JobLineText(Upload("x.bin", MakePattern(kBig, 6), {{"publish", "rename"}}))});
    WriteFileBytes(server->Root() / "x.bin", "the old version");
    Run();
    EXPECT_TRUE(ReadFileBytes(server->Root() / "x.bin") == MakePattern(kBig, 6));
    EXPECT_FALSE(fs::exists(server->Root() / ".x.bin.part"));
    const Lines log = server->Log();
    // Until the rename the target stays the old version: only the temporary name is written.
    for (const auto& line : log)
        if (line.rfind("STOR", 0) == 0 || line.rfind("APPE", 0) == 0)
            EXPECT_NE(line.find(".x.bin.part"), std::string::npos) << line;
    EXPECT_EQ(server->Commands("RNTO").size(), 1u);
    EXPECT_GT(RestOffset(), 0) << "the resume continues the temporary file";
}

TEST_F(Delivery, KeptTimesGoBothWays) {
    Start();
    const std::int64_t stamp = 978307200;  // 2001-01-01 00:00:00 UTC
    JobSpec up = Upload("t.bin", "content", {{"mtime", "keep"}});
    ASSERT_TRUE(SetLocalModifiedTime(dir / "local" / "t.bin", stamp));
    WriteFileBytes(server->Root() / "r.bin", "remote");
    ASSERT_TRUE(SetLocalModifiedTime(server->Root() / "r.bin", stamp + 3600));
    WriteLines(batch, {JobLineText(up), JobLineText(Download("r.bin", {{"mtime", "keep"}}))});
    Run();
    EXPECT_EQ(LocalModifiedTime(server->Root() / "t.bin"), stamp);
    EXPECT_EQ(LocalModifiedTime(dir / "local" / "r.bin"), stamp + 3600);
    EXPECT_NE(LastReason("done").find("time kept"), std::string::npos);
}

TEST_F(Delivery, AServerThatCannotSetTimesDoesNotFailTheJob) {
    Start({"--refuse", "MFMT=502", "--refuse", "MDTM=502", "--refuse", "SITE=502"});
    WriteLines(batch, {JobLineText(Upload("t.bin", "content", {{"mtime", "keep"}}))});
    Run();
    EXPECT_FALSE(fs::exists(batch));
    EXPECT_NE(LastReason("done").find("time not kept"), std::string::npos) << LastReason("done");
}

} // namespace
} // namespace ct::test
