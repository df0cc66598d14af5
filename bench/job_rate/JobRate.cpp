// Jobs per second of a worker run against a local FTP server, next to lftp uploading the
// same files in one process over one connection (`mput`).
//
//   bench_job_rate [--server vsftpd|pyftpdlib] [--layout folder|tree|both] [--jobs N] [--rounds R]
//   bench_job_rate --long-queue LINES [--server pyftpdlib] [--rounds R] [--disk 1]
//
// Every job is a 1 KiB upload. Layouts: "folder" puts all of them into one three-level folder,
// "tree" spreads them over 100 leaf folders of a three-level tree. The worker pays per job for
// reading the queue head, the folder walk (none when it already stands in the job's folder) and
// the queue rewrite; lftp only for the transfer and for the folders it has not made yet.
//
// --long-queue: what the queue's length costs an unattended run. 50 uploads stand ahead of a
// line that is not a job (the run stops there), with the queue filled up behind it to 100 lines
// and to LINES; prints the jobs per second of both and their ratio. --disk 1 puts the queue in
// the temporary folder (the machine's disk) instead of tmpfs, for the cost of durable rewrites.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "batch/BatchFileStore.h"
#include "bench/common/BenchJobs.h"
#include "support/FtpServers.h"
#include "support/RecordingFtpClient.h"

namespace {

using namespace ct::bench;

// Relative file paths of the jobs.
std::vector<std::string> Files(const std::string& layout, int jobs) {
    std::vector<std::string> files;
    for (int i = 0; i < jobs; ++i) {
        std::string dir = "a/b/c";
        if (layout == "tree") {
            const int leaf = i % 100;  // 5 x 5 x 4 leaf folders
            dir = "t" + std::to_string(leaf / 20) + "/m" + std::to_string((leaf / 4) % 5) + "/l" + std::to_string(leaf % 4);
        }
        files.push_back(dir + "/file" + std::to_string(i) + ".bin");
    }
    return files;
}

// The worker's share of a job: the same run over a client that sends nothing (queue head read,
// rewrite and its settling, outcome log, the job's local checks).
double OfflineSecondsPerJob(const fs::path& batch, const Target& target, const fs::path& localRoot,
                            const std::vector<std::string>& files) {
    WriteQueue(batch, target, localRoot, files, "offline");
    auto server = std::make_shared<ct::test::RecordingFtpServer>();
    server->knowsCurrentDir = true;
    ct::SecDelay = 0;
    ct::InteractiveMode = false;
    ct::TThreadCopia worker;
    worker.BatchFile = batch;
    worker.ClientFactory = ct::test::RecordingFactory(server);
    const auto start = BenchClock::now();
    worker.Execute();
    return std::chrono::duration<double>(BenchClock::now() - start).count() / static_cast<double>(files.size());
}

// Seconds of a worker run over 50 uploads at the head of a queue of `lines` lines.
double LongQueueRound(const fs::path& batch, const Target& target, const fs::path& localRoot,
                      const std::vector<std::string>& files, int lines, const std::string& base) {
    WriteQueue(batch, target, localRoot, files, base);
    {
        std::ofstream out(batch, std::ios::binary | std::ios::app);
        out << "not a job\r\n";
        const std::string filler = R"({"ftp":{"h":"ftp.example.lan","u":"uploader","p":"secret","t":21},"v":"put",)"
                                   R"("f":"/srv/export/2024/reports/file.csv","d":"\\reports\\2024\\file.csv","b":"x"})";
        for (int i = static_cast<int>(files.size()) + 1; i < lines; ++i)
            out << filler << "\r\n";
    }
    ct::SecDelay = 0;
    ct::InteractiveMode = false;
    ct::TThreadCopia worker;
    worker.BatchFile = batch;
    worker.PingProbe = [](const std::string&) { return false; };
    const auto start = BenchClock::now();
    try {
        worker.Execute();
    } catch (const std::exception&) {
        // the line that is not a job ends the run
    }
    const double seconds = std::chrono::duration<double>(BenchClock::now() - start).count();
    if (ct::ReadFirstBatchLine(batch) != "not a job")
        throw std::runtime_error("the run did not stop at the line that is not a job");
    return seconds;
}

void LongQueue(const Target& target, const fs::path& queueDir, const fs::path& localRoot, int lines, int rounds) {
    std::vector<std::string> files;
    for (int i = 0; i < 50; ++i)
        files.push_back("q/file" + std::to_string(i) + ".bin");
    MakeFiles(localRoot, files);
    std::vector<double> shortRuns, longRuns;
    for (int round = 0; round < rounds; ++round) {
        const std::string r = std::to_string(round);
        shortRuns.push_back(LongQueueRound(queueDir / "cloud_batch.txt", target, localRoot, files, 100, target.Below("s" + r)));
        longRuns.push_back(LongQueueRound(queueDir / "cloud_batch.txt", target, localRoot, files, lines, target.Below("l" + r)));
    }
    const double shortRate = 50 / Median(shortRuns), longRate = 50 / Median(longRuns);
    std::printf("unattended run, 50 uploads of 1 KiB ahead of a line that is not a job (median of %d):\n", rounds);
    std::printf("  %7d lines queued: %8.1f jobs/s\n  %7d lines queued: %8.1f jobs/s\n", 100, shortRate, lines, longRate);
    std::printf("  ratio: %.2f (target >= 0.80)\n", longRate / shortRate);
}

struct Result {
    std::string layout;
    Rounds seconds;
    double offline = 0;
};

} // namespace

int main(int argc, char** argv) {
    std::string serverKind = ct::test::VsftpdServer::Available() ? "vsftpd" : "pyftpdlib";
    std::string layoutArg = "both";
    int jobs = 1000, rounds = 3, longQueue = 0;
    bool onDisk = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--server")
            serverKind = argv[i + 1];
        else if (a == "--layout")
            layoutArg = argv[i + 1];
        else if (a == "--jobs")
            jobs = std::atoi(argv[i + 1]);
        else if (a == "--rounds")
            rounds = std::atoi(argv[i + 1]);
        else if (a == "--disk")
            onDisk = std::atoi(argv[i + 1]) != 0;
        else if (a == "--long-queue")
            longQueue = std::atoi(argv[i + 1]);
    }
    const std::vector<std::string> layouts =
        layoutArg == "both" ? std::vector<std::string>{"folder", "tree"} : std::vector<std::string>{layoutArg};
    try {
        ct::test::TempDir local("ct-bench-local", true);
        ct::test::TempDir queue("ct-bench-queue", !onDisk);

        std::unique_ptr<ct::test::VsftpdServer> vsftpd;
        std::unique_ptr<ct::test::PyFtpServer> pyftpd;
        Target target;
        if (serverKind == "vsftpd") {
            vsftpd = std::make_unique<ct::test::VsftpdServer>(true);
            if (!vsftpd->Started())
                throw std::runtime_error("vsftpd did not start: " + vsftpd->StartupError());
            target = {"127.0.0.1", vsftpd->Port(), "anonymous", "bench", vsftpd->Root() / "up", "up"};
        } else {
            ct::test::PyFtpOptions options;
            options.rootOnTmpfs = true;
            pyftpd = std::make_unique<ct::test::PyFtpServer>(options);
            target = {"127.0.0.1", pyftpd->Port(), "user", "secret", pyftpd->Root(), ""};
        }

        if (longQueue > 0) {
            LongQueue(target, queue.Path(), local.Path() / "long", longQueue, rounds);
            return 0;
        }
        std::vector<Result> results;
        for (const auto& layout : layouts) {
            const auto files = Files(layout, jobs);
            const fs::path localRoot = local.Path() / layout;
            // Into one folder lftp makes it once and puts every file there; into the tree
            // `mput -d` makes each file's folder on the way.
            const std::string put = layout == "tree" ? "mput -d t*/m*/l*/*.bin\n"
                                                     : "mkdir -p -f a/b/c\ncd a/b/c\nlcd a/b/c\nmput *.bin\n";
            const Rounds seconds = RunRounds(target, queue.Path(), localRoot, files, layout, rounds, put);
            const double offline = OfflineSecondsPerJob(queue.Path() / "cloud_batch.txt", target, localRoot, files);
            results.push_back({layout, seconds, offline});
        }

        std::printf("server: %s, %d uploads of 1 KiB, SecDelay 0, median of %d\n", serverKind.c_str(), jobs, rounds);
        for (const auto& r : results) {
            const double workerRate = jobs / Median(r.seconds.worker);
            const double lftpRate = jobs / Median(r.seconds.lftp);
            std::printf("%s: %s\n", r.layout.c_str(),
                        r.layout == "folder" ? "all into one three-level folder"
                                             : "spread over 100 leaf folders of a three-level tree");
            for (int i = 0; i < rounds; ++i)
                std::printf("  round %d: worker %.3f s, lftp %.3f s\n", i, r.seconds.worker[i], r.seconds.lftp[i]);
            std::printf("  worker: %.1f jobs/s, lftp: %.1f files/s\n", workerRate, lftpRate);
            std::printf("  ratio worker/lftp: %.2f (target >= %s)\n", workerRate / lftpRate,
                        r.layout == "folder" ? "1.00" : "0.80");
            std::printf("  of a worker job (%.3f ms): %.3f ms without the network (the same run over a client "
                        "that sends nothing)\n",
                        1000.0 / workerRate, r.offline * 1000.0);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_job_rate: %s\n", e.what());
        return 1;
    }
    return 0;
}
