#pragma once

// What the benchmarks that set a worker run against lftp share: a queue of 1 KiB uploads, the
// worker run over it, lftp run with a script, and the counting afterwards.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/TestSupport.h"
#include "transfer/AppGlobals.h"
#include "transfer/TThreadCopia.h"

namespace ct::bench {

namespace fs = std::filesystem;
using BenchClock = std::chrono::steady_clock;

// The server a run talks to, as the job lines and lftp name it.
struct Target {
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;
    std::string user, password;
    fs::path writable;        // local path of the server's writable folder
    std::string remoteBase;   // that folder as the server names it, without slashes ("" for the root)

    std::string Below(const std::string& name) const { return remoteBase.empty() ? name : remoteBase + "/" + name; }
};

// Local files of 1 KiB at the given paths (relative, "/"-separated) below root.
inline void MakeFiles(const fs::path& root, const std::vector<std::string>& relative) {
    const std::string content = ct::test::MakePattern(1024, 11);
    for (const auto& rel : relative) {
        fs::create_directories((root / rel).parent_path());
        ct::test::WriteFileBytes(root / rel, content);
    }
}

inline int CountFiles(const fs::path& root) {
    int n = 0;
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(root, ec))
        if (e.is_regular_file())
            ++n;
    return n;
}

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One upload job per file: "d" is the file's relative path with backslashes, "b" the base.
inline void WriteQueue(const fs::path& batch, const Target& target, const fs::path& localRoot,
                       const std::vector<std::string>& files, const std::string& base) {
    std::ofstream out(batch, std::ios::binary | std::ios::trunc);
    for (const auto& rel : files) {
        std::string d = "\\" + rel;
        std::replace(d.begin(), d.end(), '/', '\\');
        nlohmann::ordered_json job;
        job["ftp"] = {{"h", target.host}, {"u", target.user}, {"p", target.password}, {"t", target.port}};
        job["v"] = "put";
        job["f"] = (localRoot / rel).string();
        job["d"] = d;
        job["b"] = base;
        out << job.dump() << "\r\n";
    }
}

// A whole worker run over the queue, as an unattended start makes it; its seconds.
inline double RunWorker(const fs::path& batch) {
    ct::SecDelay = 0;
    ct::InteractiveMode = false;
    ct::TThreadCopia worker;
    worker.BatchFile = batch;
    worker.PingProbe = [](const std::string&) { return false; };
    const auto start = BenchClock::now();
    worker.Execute();
    const double seconds = std::chrono::duration<double>(BenchClock::now() - start).count();
    if (fs::exists(batch))
        throw std::runtime_error("the worker left jobs in the queue");
    return seconds;
}

// lftp with the given commands after the login, one session; its seconds.
inline double RunLftp(const Target& target, const std::string& commands, const fs::path& scriptFile) {
    {
        std::ofstream script(scriptFile, std::ios::trunc);
        script << "set cmd:fail-exit yes\nset net:max-retries 1\nset ftp:passive-mode on\n"
               << "open -u " << target.user << "," << target.password << " -p " << target.port << " "
               << target.host << "\n"
               << commands;
    }
    const std::string command = "lftp -f '" + scriptFile.string() + "' >/dev/null";
    const auto start = BenchClock::now();
    const int status = std::system(command.c_str());
    const double seconds = std::chrono::duration<double>(BenchClock::now() - start).count();
    if (status != 0)
        throw std::runtime_error("lftp failed: " + command);
    return seconds;
}

// The seconds of every round of a comparison, the worker's and lftp's.
struct Rounds {
    std::vector<double> worker;
    std::vector<double> lftp;
};

// Makes the files below localRoot, then runs the rounds of a comparison over them: in each the
// worker uploads them into "worker-<tag>-r<N>", then lftp into "lftp-<tag>-r<N>", standing in
// that folder and in localRoot when `lftpUploads` begin. Both must store every file.
inline Rounds RunRounds(const Target& target, const fs::path& queueDir, const fs::path& localRoot,
                        const std::vector<std::string>& files, const std::string& tag, int rounds,
                        const std::string& lftpUploads) {
    const int jobs = static_cast<int>(files.size());
    MakeFiles(localRoot, files);
    Rounds seconds;
    for (int round = 0; round < rounds; ++round) {
        const std::string name = tag + "-r" + std::to_string(round);
        const fs::path batch = queueDir / "cloud_batch.txt";
        WriteQueue(batch, target, localRoot, files, target.Below("worker-" + name));
        seconds.worker.push_back(RunWorker(batch));
        if (CountFiles(target.writable / ("worker-" + name)) != jobs)
            throw std::runtime_error("the worker did not store every file");

        const std::string lftpDir = "lftp-" + name;
        fs::create_directories(target.writable / lftpDir);
        fs::permissions(target.writable / lftpDir, fs::perms::all);
        seconds.lftp.push_back(RunLftp(target,
                                       "cd " + target.Below(lftpDir) + "\nlcd " + localRoot.string() + "\n" + lftpUploads,
                                       queueDir / "lftp.script"));
        if (CountFiles(target.writable / lftpDir) != jobs)
            throw std::runtime_error("lftp did not store every file");
    }
    return seconds;
}

} // namespace ct::bench
