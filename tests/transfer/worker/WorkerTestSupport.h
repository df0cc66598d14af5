#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestDispatcher.h"
#include "support/TestSupport.h"
#include "transfer/TThreadCopia.h"
#include "RecordingControls.h"

namespace ct::test {

// One job line, built the way a producer writes it.
struct JobSpec {
    std::string host = "127.0.0.1";
    std::int64_t port = 21;
    std::string user = "user";
    std::string password = "secret";
    std::optional<std::string> v;
    std::string f;
    std::string d;
    std::optional<std::string> b;
    std::optional<std::string> error;
    std::optional<std::string> reason;
    std::optional<std::string> s;    // inside "ftp"
    std::optional<std::string> fp;   // inside "ftp"
    // Further members of the line, in order ("verify", "publish", "mtime").
    std::vector<std::pair<std::string, std::string>> members;
};
std::string JobLineText(const JobSpec& job);

// The batch file's lines (CR LF or LF ends); empty when there is no file.
std::vector<std::string> ReadLines(const std::filesystem::path& file);
void WriteLines(const std::filesystem::path& file, const std::vector<std::string>& lines);
void AppendLine(const std::filesystem::path& file, const std::string& line);

// The member "error" of a job line, or "(none)".
std::string ErrorMark(const std::string& line);
// A string member of a job line, or "(none)".
std::string Member(const std::string& line, const std::string& name);

// Files in folder whose name contains part (temporary leftovers of a download).
std::vector<std::string> FilesContaining(const std::filesystem::path& folder, const std::string& part);

// A worker test: a batch file in a fresh folder, a dispatcher pumped by the test's thread,
// an interactive window whose queue view records every reload, no pause between jobs.
class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A worker on this test's batch file.
    std::unique_ptr<TThreadCopia> MakeWorker();
    // Starts a threaded run, pumps the GUI side until its end notification has run, waits for it.
    // False when the run has not ended within the time-out.
    bool RunThreaded(TThreadCopia& worker, std::chrono::milliseconds timeout = std::chrono::seconds(120));

    // The outcome log's lines, each split at its tabs.
    std::vector<std::vector<std::string>> LogRecords() const;

    TempDir dir{"ct-worker"};
    std::filesystem::path batch = dir / "cloud_batch.txt";
    std::filesystem::path deadLetter = dir / "cloud_batch.failed.txt";
    std::filesystem::path outcomeLog = dir / "cloud_transfer.log";
    TestDispatcher dispatcher;
    std::unique_ptr<ScopedDispatcher> installed;
    RecordingQueueView view{batch};
};

} // namespace ct::test
