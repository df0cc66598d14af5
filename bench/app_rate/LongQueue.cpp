// What a long queue costs an unattended run, process start to exit: `cloudtransfer go` with the
// same 50 uploads of 1 KiB to a local pyftpdlib at the head of the queue, then a line that is not
// a job (the run stops there, exit status 2), then filler lines up to 100 or to 100,000 (about
// 16 MB). The two queues alternate, rounds times each; the median jobs/s of each and their ratio
// are printed against the target (the long queue at 0.8 of the short one or better).
//
//   bench_app_rate --long-queue [--lines N=100000] [--jobs J=50] [--rounds R=5]
//                  [--queue-dir DIR=/dev/shm] [--exe PATH] [--wrap "strace -c -f --"]
//
// --queue-dir is where the queue and the copy of the executable lie: /dev/shm for tmpfs, a folder
// under /work or /var/tmp for the disk. --wrap puts a command in front of the long run only.
#include "bench/app_rate/LongQueue.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/common/BenchJobs.h"
#include "support/FtpServers.h"

namespace ct::bench {

namespace {

// A job line as producers write them, about 160 bytes.
std::string JobLine(std::uint16_t port, const std::string& local, int i) {
    return R"({"ftp":{"h":"127.0.0.1","u":"user","p":"secret","t":)" + std::to_string(port) + R"(},"v":"put","f":")" +
           local + R"(","d":"\\reports\\2024\\q)" + std::to_string(i % 4) + R"(\\file)" + std::to_string(i) +
           R"(.csv","b":"clienti"})";
}

void WriteLongQueue(const fs::path& batch, std::uint16_t port, const std::string& local, int jobs, int lines,
                    const std::string& folder) {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(lines) * 170);
    for (int i = 0; i < jobs; ++i) {
        std::string line = JobLine(port, local, i);
        line.replace(line.find("clienti"), 7, folder);
        bytes += line + "\r\n";
    }
    bytes += "not a job\r\n";
    for (int i = jobs + 1; i < lines; ++i)
        bytes += JobLine(port, local, i) + "\r\n";
    ct::test::WriteFileBytes(batch, bytes);
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find(' ', at), text.size());
        if (end > at)
            words.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

// One unattended run; its seconds. It must stop at the line that is not a job, with the jobs
// ahead of it gone from the queue and every line from it on kept (`lines` of them).
double RunOnce(const fs::path& exe, const fs::path& home, const std::string& wrap, int lines) {
    const std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + (home / "config").string(),
                                          "XDG_RUNTIME_DIR=" + (home / "runtime").string(),
                                          "XDG_CACHE_HOME=" + (home / "cache").string()};
    std::vector<std::string> argv = Words(wrap);
    argv.push_back(exe.string());
    argv.push_back("go");
    const auto start = BenchClock::now();
    ct::test::ChildProcess child(argv, env);
    const int status = child.Wait(std::chrono::minutes(10));
    const double seconds = std::chrono::duration<double>(BenchClock::now() - start).count();
    if (status != 2)
        throw std::runtime_error("cloudtransfer go exited with " + std::to_string(status) +
                                 " (2 expected: the run stops at a line that is not a job)");
    const std::string queue = ct::test::ReadFileBytes(exe.parent_path() / "cloud_batch.txt");
    std::size_t count = 0;
    for (char c : queue)
        count += c == '\n';
    if (queue.rfind("not a job\r\n", 0) != 0 || count != static_cast<std::size_t>(lines))
        throw std::runtime_error("the queue does not hold what it should after the run");
    return seconds;
}

} // namespace

int RunLongQueue(int argc, char** argv) {
    int lines = 100000, jobs = 50, rounds = 5;
    fs::path queueBase = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    fs::path exeSource = CLOUDTRANSFER_EXE;
    std::string wrap;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--lines")
            lines = std::atoi(argv[i + 1]);
        else if (a == "--jobs")
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
        std::string templ = (queueBase / "ct-bench-long-XXXXXX").string();
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
        const fs::path local = home / "x.bin";
        ct::test::WriteFileBytes(local, ct::test::MakePattern(1024, 3));

        ct::test::PyFtpOptions options;
        options.rootOnTmpfs = true;
        ct::test::PyFtpServer server(options);

        std::vector<double> small, large;
        for (int round = 0; round < rounds; ++round) {
            for (const bool isLong : {false, true}) {
                const int n = isLong ? lines : 100;
                const std::string folder = "r" + std::to_string(round) + (isLong ? "-long" : "-short");
                WriteLongQueue(exe.parent_path() / "cloud_batch.txt", server.Port(), local.string(), jobs, n, folder);
                const double seconds = RunOnce(exe, home, isLong ? wrap : std::string(), n - jobs);
                if (CountFiles(server.Root() / folder) != jobs)
                    throw std::runtime_error("cloudtransfer did not store every file");
                (isLong ? large : small).push_back(seconds);
            }
        }
        std::printf("cloudtransfer go, process start to exit: %d uploads of 1 KiB to pyftpdlib on 127.0.0.1, then a "
                    "line that is not a job; queue in %s\n",
                    jobs, queueBase.c_str());
        for (int i = 0; i < rounds; ++i)
            std::printf("  round %d: %6d lines %.3f s, %6d lines %.3f s\n", i, 100, small[i], lines, large[i]);
        const double shortRate = jobs / Median(small);
        const double longRate = jobs / Median(large);
        std::printf("  %6d lines queued: %8.1f jobs/s (median of %d)\n", 100, shortRate, rounds);
        std::printf("  %6d lines queued: %8.1f jobs/s (median of %d)\n", lines, longRate, rounds);
        std::printf("  ratio: %.2f (target >= 0.80)\n", longRate / shortRate);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_app_rate --long-queue: %s\n", e.what());
        return 1;
    }
    return 0;
}

} // namespace ct::bench
