// Jobs per second of a worker run against a local FTP server, next to lftp uploading the
// same files in one process over one connection.
//
//   bench_job_rate [--server vsftpd|pyftpdlib] [--jobs N] [--rounds R]
//
// Every job is a 1 KiB upload into a three-level folder tree; the worker pays per job for
// reading the queue head, the folder walk and the queue rewrite, lftp only for the transfer
// and for the folders it has not made yet.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "batch/BatchFileStore.h"
#include "support/FtpServers.h"
#include "support/TestSupport.h"
#include "transfer/AppGlobals.h"
#include "transfer/TThreadCopia.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Layout {
    int top = 5, middle = 5, leaf = 4;  // 100 leaf folders
    std::string RelativeDir(int i) const {
        int leafIndex = i % (top * middle * leaf);
        return "t" + std::to_string(leafIndex / (middle * leaf)) + "/m" + std::to_string((leafIndex / leaf) % middle) +
               "/l" + std::to_string(leafIndex % leaf);
    }
};

std::vector<std::string> MakeFiles(const fs::path& root, int jobs, const Layout& layout) {
    std::vector<std::string> relative;
    const std::string content = ct::test::MakePattern(1024, 11);
    for (int i = 0; i < jobs; ++i) {
        std::string rel = layout.RelativeDir(i) + "/file" + std::to_string(i) + ".bin";
        fs::create_directories((root / rel).parent_path());
        ct::test::WriteFileBytes(root / rel, content);
        relative.push_back(rel);
    }
    return relative;
}

int CountFiles(const fs::path& root) {
    int n = 0;
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(root, ec))
        if (e.is_regular_file())
            ++n;
    return n;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Target {
    std::uint16_t port;
    std::string user, password;
    fs::path writable;      // local path of the server's writable folder
    std::string remoteBase;  // that folder as the server names it, without slashes
};

double RunWorker(const Target& target, const fs::path& localRoot, const std::vector<std::string>& files,
                 const std::string& base, const fs::path& queueDir) {
    const fs::path batch = queueDir / "cloud_batch.txt";
    {
        std::ofstream out(batch, std::ios::binary);
        for (const auto& rel : files) {
            std::string d = "\\" + rel;
            std::replace(d.begin(), d.end(), '/', '\\');
            nlohmann::ordered_json job;
            job["ftp"] = {{"h", "127.0.0.1"}, {"u", target.user}, {"p", target.password}, {"t", target.port}};
            job["v"] = "put";
            job["f"] = (localRoot / rel).string();
            job["d"] = d;
            job["b"] = base;
            out << job.dump() << "\r\n";
        }
    }
    ct::SecDelay = 0;
    ct::InteractiveMode = false;
    ct::TThreadCopia worker;
    worker.BatchFile = batch;
    worker.PingProbe = [](const std::string&) { return false; };
    const auto start = Clock::now();
    worker.Execute();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (fs::exists(batch))
        throw std::runtime_error("the worker left jobs in the queue");
    return seconds;
}

// The queue's share of a job: the head read and the rewrite, with no network.
double StoreSecondsPerJob(const fs::path& queueDir, int jobs) {
    const fs::path batch = queueDir / "store_only.txt";
    {
        std::ofstream out(batch, std::ios::binary);
        for (int i = 0; i < jobs; ++i)
            out << "{\"ftp\":{\"h\":\"127.0.0.1\",\"u\":\"anonymous\",\"p\":\"x\",\"t\":2121},\"v\":\"put\","
                   "\"f\":\"/dev/shm/t1/m2/l3/file" << i << ".bin\",\"d\":\"\\\\t1\\\\m2\\\\l3\\\\file" << i
                << ".bin\",\"b\":\"up\"}\r\n";
    }
    // A worker's store calls are a whole FTP job apart; the gap lets the store's deferred check
    // of the replaced file find its grace period over, as it does in a run. Only the calls count.
    Clock::duration inStore{};
    for (int i = 0; i < jobs; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const auto start = Clock::now();
        ct::UpdateBatchFile(batch, "", "", ct::ReadFirstBatchLine(batch));
        inStore += Clock::now() - start;
    }
    return std::chrono::duration<double>(inStore).count() / jobs;
}

double RunLftp(const Target& target, const fs::path& localRoot, const std::string& remoteDir) {
    std::string script = "set cmd:fail-exit yes; set net:max-retries 1; set ftp:passive-mode on; "
                         "open -u " + target.user + "," + target.password + " -p " + std::to_string(target.port) +
                         " 127.0.0.1; cd " + remoteDir + "; lcd " + localRoot.string() + "; mput -d t*/m*/l*/*.bin";
    const std::string command = "lftp -c '" + script + "' >/dev/null";
    const auto start = Clock::now();
    int status = std::system(command.c_str());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (status != 0)
        throw std::runtime_error("lftp failed: " + command);
    return seconds;
}

} // namespace

int main(int argc, char** argv) {
    std::string serverKind = ct::test::VsftpdServer::Available() ? "vsftpd" : "pyftpdlib";
    int jobs = 1000, rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--server")
            serverKind = argv[i + 1];
        else if (a == "--jobs")
            jobs = std::atoi(argv[i + 1]);
        else if (a == "--rounds")
            rounds = std::atoi(argv[i + 1]);
    }
    try {
        Layout layout;
        ct::test::TempDir local("ct-bench-local", true);
        ct::test::TempDir queue("ct-bench-queue", true);
        const auto files = MakeFiles(local.Path(), jobs, layout);

        std::unique_ptr<ct::test::VsftpdServer> vsftpd;
        std::unique_ptr<ct::test::PyFtpServer> pyftpd;
        Target target;
        if (serverKind == "vsftpd") {
            vsftpd = std::make_unique<ct::test::VsftpdServer>();
            if (!vsftpd->Started())
                throw std::runtime_error("vsftpd did not start: " + vsftpd->StartupError());
            target = {vsftpd->Port(), "anonymous", "bench", vsftpd->Root() / "up", "up"};
        } else {
            ct::test::PyFtpOptions options;
            options.rootOnTmpfs = true;
            pyftpd = std::make_unique<ct::test::PyFtpServer>(options);
            target = {pyftpd->Port(), "user", "secret", pyftpd->Root(), ""};
        }

        std::vector<double> workerTimes, lftpTimes;
        for (int round = 0; round < rounds; ++round) {
            const std::string tag = "r" + std::to_string(round);
            const std::string workerBase = (target.remoteBase.empty() ? "" : target.remoteBase + "/") + "worker-" + tag;
            workerTimes.push_back(RunWorker(target, local.Path(), files, workerBase, queue.Path()));
            if (CountFiles(target.writable / ("worker-" + tag)) != jobs)
                throw std::runtime_error("the worker did not store every file");

            const std::string lftpDir = "lftp-" + tag;
            fs::create_directories(target.writable / lftpDir);
            fs::permissions(target.writable / lftpDir, fs::perms::all);
            lftpTimes.push_back(RunLftp(target, local.Path(),
                                        (target.remoteBase.empty() ? "" : target.remoteBase + "/") + lftpDir));
            if (CountFiles(target.writable / lftpDir) != jobs)
                throw std::runtime_error("lftp did not store every file");
        }
        const double workerRate = jobs / Median(workerTimes);
        const double lftpRate = jobs / Median(lftpTimes);
        std::printf("server: %s, %d uploads of 1 KiB into %d leaf folders (3 levels), SecDelay 0, median of %d\n",
                    serverKind.c_str(), jobs, layout.top * layout.middle * layout.leaf, rounds);
        for (int r = 0; r < rounds; ++r)
            std::printf("  round %d: worker %.3f s, lftp %.3f s\n", r, workerTimes[r], lftpTimes[r]);
        std::printf("worker: %.1f jobs/s\n", workerRate);
        std::printf("lftp mput -d: %.1f files/s\n", lftpRate);
        std::printf("ratio worker/lftp: %.2f (target >= 0.80)\n", workerRate / lftpRate);
        const double store = StoreSecondsPerJob(queue.Path(), jobs);
        std::printf("of a worker job (%.3f ms): queue head read + rewrite %.3f ms\n", 1000.0 / workerRate,
                    store * 1000.0);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_job_rate: %s\n", e.what());
        return 1;
    }
    return 0;
}
