// The executable end to end, as a user starts it: `cloudtransfer go` on a queue of 1 KiB uploads
// into one three-level folder, next to lftp putting the same files into a folder of its own
// (`mkdir -p`, `cd`, `mput *.dat`) on the same server in the same run.
//
//   bench_app_rate [--jobs N=1000] [--rounds R=5] [--queue-dir DIR] [--exe PATH] [--wrap "perf record -g --"]
//
// The server is vsftpd with its root on tmpfs; the local files lie on tmpfs too. The queue and a
// copy of the executable (the queue lies beside it) go into a fresh folder below --queue-dir
// (default /dev/shm): give a folder on disk to see what the durable rewrites cost there. Each
// round times the whole process, start-up and exit included, and lftp's likewise. --wrap puts a
// command (words split at spaces) in front of the executable, for a profiler.
//
//   bench_app_rate --long-queue ...   a long queue's cost to an unattended run (LongQueue.cpp)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/app_rate/LongQueue.h"
#include "bench/common/BenchJobs.h"
#include "support/FtpServers.h"

namespace {

using namespace ct::bench;

// The executable's run over the queue beside it; its seconds.
double RunExecutable(const fs::path& exe, const fs::path& home, const std::string& wrap) {
    const std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + (home / "config").string(),
                                          "XDG_RUNTIME_DIR=" + (home / "runtime").string(),
                                          "XDG_CACHE_HOME=" + (home / "cache").string()};
    const auto start = BenchClock::now();
    std::vector<std::string> argv;
    for (std::size_t at = 0; at < wrap.size();) {
        const std::size_t end = std::min(wrap.find(' ', at), wrap.size());
        if (end > at)
            argv.push_back(wrap.substr(at, end - at));
        at = end + 1;
    }
    argv.push_back(exe.string());
    argv.push_back("go");
    ct::test::ChildProcess child(argv, env);
    const int status = child.Wait(std::chrono::minutes(10));
    const double seconds = std::chrono::duration<double>(BenchClock::now() - start).count();
    if (status != 0)
        throw std::runtime_error("cloudtransfer go exited with " + std::to_string(status));
    if (fs::exists(exe.parent_path() / "cloud_batch.txt"))
        throw std::runtime_error("cloudtransfer left jobs in the queue");
    return seconds;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--long-queue")
        return RunLongQueue(argc, argv);
    int jobs = 1000, rounds = 5;
    fs::path queueBase = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    fs::path exeSource = CLOUDTRANSFER_EXE;
    std::string wrap;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--jobs")
            jobs = std::atoi(argv[i + 1]);
        else if (a == "--rounds")
            rounds = std::atoi(argv[i + 1]);
        else if (a == "--queue-dir")
            queueBase = argv[i + 1];
        else if (a == "--exe")
            exeSource = argv[i + 1];
        else if (a == "--wrap")
            wrap = argv[i + 1];
    }
    try {
        if (!ct::test::VsftpdServer::Available())
            throw std::runtime_error("vsftpd needs root");
        ct::test::TempDir local("ct-bench-app-local", true);
        std::string templ = (queueBase / "ct-bench-app-XXXXXX").string();
        if (!mkdtemp(templ.data()))
            throw std::runtime_error("no folder below " + queueBase.string());
        const fs::path home = templ;
        struct Remove {
            fs::path dir;
            ~Remove() {
                std::error_code ec;
                fs::remove_all(dir, ec);
            }
        } removeHome{home};
        for (const char* sub : {"config", "runtime", "cache"}) {
            fs::create_directories(home / sub);
            fs::permissions(home / sub, fs::perms::owner_all, fs::perm_options::replace);
        }
        const fs::path exe = home / "cloudtransfer";
        fs::copy_file(exeSource, exe);

        ct::test::VsftpdServer vsftpd(true);
        if (!vsftpd.Started())
            throw std::runtime_error("vsftpd did not start: " + vsftpd.StartupError());
        const Target target{"127.0.0.1", vsftpd.Port(), "anonymous", "bench", vsftpd.Root() / "up", "up"};

        std::vector<std::string> files;
        for (int i = 0; i < jobs; ++i)
            files.push_back("a/b/c/file" + std::to_string(i) + ".dat");
        MakeFiles(local.Path(), files);

        Rounds seconds;
        for (int round = 0; round < rounds; ++round) {
            const std::string name = "r" + std::to_string(round);
            WriteQueue(exe.parent_path() / "cloud_batch.txt", target, local.Path(), files, target.Below("app-" + name));
            seconds.worker.push_back(RunExecutable(exe, home, wrap));
            if (CountFiles(target.writable / ("app-" + name)) != jobs)
                throw std::runtime_error("cloudtransfer did not store every file");

            const std::string lftpDir = "lftp-" + name;
            fs::create_directories(target.writable / lftpDir);
            fs::permissions(target.writable / lftpDir, fs::perms::all);
            seconds.lftp.push_back(RunLftp(target,
                                           "cd " + target.Below(lftpDir) + "\nlcd " + (local.Path() / "a/b/c").string() +
                                               "\nmkdir -p -f a/b/c\ncd a/b/c\nmput *.dat\n",
                                           home / "lftp.script"));
            if (CountFiles(target.writable / lftpDir) != jobs)
                throw std::runtime_error("lftp did not store every file");
        }
        std::printf("cloudtransfer go: %d uploads of 1 KiB into one three-level folder, vsftpd on tmpfs, queue in %s\n",
                    jobs, queueBase.c_str());
        for (int i = 0; i < rounds; ++i)
            std::printf("  round %d: cloudtransfer %.3f s, lftp %.3f s, ratio %.2f\n", i, seconds.worker[i],
                        seconds.lftp[i], seconds.lftp[i] / seconds.worker[i]);
        const double ours = jobs / Median(seconds.worker);
        const double theirs = jobs / Median(seconds.lftp);
        std::printf("  cloudtransfer: %.1f jobs/s, lftp: %.1f files/s (medians of %d)\n", ours, theirs, rounds);
        std::printf("  ratio cloudtransfer/lftp: %.2f (target >= 1.00)\n", ours / theirs);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_app_rate: %s\n", e.what());
        return 1;
    }
    return 0;
}
