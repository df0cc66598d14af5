// Watch trial: producers feed a running watch through the producers' tool, and every line
// must be delivered once.
//
// A copy of the program watches its queue ("cloudtransfer --watch", offscreen) in a folder of
// its own, against a local pyftpdlib server. Four producers each run `cloudtransfer-enqueue`
// once per line, 250 lines each, with short random pauses, so that their appends meet the
// worker's rewrites of the queue. Once every file is on the server (or the time is up) the
// watch is sent SIGTERM. Then: every upload arrived exactly once (the server's record of
// received files), no line is left in the queue or in the dead-letter file, and no line was
// refused or broken.
//
//   watch_trial [--producers N] [--lines N per producer] [--pause-ms N most between lines]
//               [--limit-s N] [--folder DIR]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    int producers = 4;
    int lines = 250;
    int pauseMs = 20;
    int limitSeconds = 600;
    fs::path folder = fs::temp_directory_path();
};

// Starts a program with extra environment entries; its standard output goes to a pipe when
// asked, else to /dev/null, and its standard error to /dev/null.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv, int* out = nullptr) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const bool replaced = std::any_of(extraEnv.begin(), extraEnv.end(), [&](const std::string& extra) {
            return entry.compare(0, extra.find('=') + 1, extra, 0, extra.find('=') + 1) == 0;
        });
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> argv, envp;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (out) {
        if (::pipe(pipeFds) != 0)
            std::exit(2);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        std::perror(args[0].c_str());
        std::exit(2);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (out) {
        ::close(pipeFds[1]);
        *out = pipeFds[0];
    }
    return pid;
}

int WaitFor(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadLine(int fd) {
    std::string line;
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

std::vector<std::string> LinesOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (name == "--producers")
            options.producers = value;
        else if (name == "--lines")
            options.lines = value;
        else if (name == "--pause-ms")
            options.pauseMs = value;
        else if (name == "--limit-s")
            options.limitSeconds = value;
        else if (name == "--folder")
            options.folder = argv[i + 1];
    }
    std::string templ = (options.folder / "ct-watch-trial-XXXXXX").string();
    if (!::mkdtemp(templ.data())) {
        std::perror("mkdtemp");
        return 2;
    }
    const fs::path work = templ;
    const fs::path app = work / "app", root = work / "ftproot", config = work / "config", runtime = work / "runtime";
    for (const auto& d : {app, root, config / "cloudtransfer", runtime})
        fs::create_directories(d);
    fs::permissions(runtime, fs::perms::owner_all);
    fs::copy_file(CT_APP_EXECUTABLE, app / "cloudtransfer");
    fs::copy_file(CT_ENQUEUE_EXECUTABLE, app / "cloudtransfer-enqueue");
    std::ofstream(config / "cloudtransfer" / "config.ini") << "[Zentravo]\nsecdelay=0\nBitsPerSec=0\n";
    const fs::path payload = work / "payload.bin";
    constexpr std::size_t kPayloadBytes = 300;
    std::ofstream(payload, std::ios::binary) << std::string(kPayloadBytes, 'p');
    const fs::path queue = app / "cloud_batch.txt";
    const fs::path serverLog = work / "server.log";

    int serverOut = -1;
    const pid_t server = Spawn({"/usr/bin/python3", CT_SOURCE_DIR "/tests/support/ftpserver.py", "--root",
                                root.string(), "--user", "user:secret", "--log", serverLog.string()},
                               {}, &serverOut);
    const std::string portLine = ReadLine(serverOut);
    if (portLine.rfind("PORT ", 0) != 0) {
        std::fprintf(stderr, "the FTP server did not start\n");
        return 2;
    }
    const std::string port = portLine.substr(5);
    const std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config.string(),
                                          "XDG_RUNTIME_DIR=" + runtime.string(), "DISPLAY=", "WAYLAND_DISPLAY="};
    const pid_t watch = Spawn({(app / "cloudtransfer").string(), "--watch"}, env);
    std::this_thread::sleep_for(500ms);   // the watch is up and waiting before the first line

    const int total = options.producers * options.lines;
    std::printf("watch_trial: folder %s, FTP port %s\n", work.c_str(), port.c_str());
    std::printf("  %d producers, %d lines each through cloudtransfer-enqueue, pauses up to %d ms\n", options.producers,
                options.lines, options.pauseMs);
    std::fflush(stdout);

    std::atomic<int> refused{0}, notWritten{0};
    std::vector<double> enqueueMs;
    std::mutex enqueueMutex;
    const auto start = Clock::now();
    std::vector<std::thread> producers;
    for (int p = 0; p < options.producers; ++p) {
        producers.emplace_back([&, p] {
            std::mt19937 random(std::random_device{}() + static_cast<unsigned>(p));
            for (int n = 0; n < options.lines; ++n) {
                const std::string line = "{\"ftp\":{\"h\":\"127.0.0.1\",\"u\":\"user\",\"p\":\"secret\",\"t\":" + port +
                                         "},\"v\":\"put\",\"f\":\"" + payload.string() + "\",\"d\":\"\\\\trial\\\\p" +
                                         std::to_string(p) + "-" + std::to_string(n) + ".bin\"}";
                const auto before = Clock::now();
                const int status = WaitFor(Spawn({(app / "cloudtransfer-enqueue").string(), line}, {}));
                const double ms = std::chrono::duration<double, std::milli>(Clock::now() - before).count();
                refused += status == 2;
                notWritten += status == 1;
                {
                    std::lock_guard<std::mutex> lock(enqueueMutex);
                    enqueueMs.push_back(ms);
                }
                if (options.pauseMs > 0)
                    std::this_thread::sleep_for(
                        std::chrono::milliseconds(random() % static_cast<unsigned>(options.pauseMs)));
            }
        });
    }
    for (auto& t : producers)
        t.join();
    const double enqueued = std::chrono::duration<double>(Clock::now() - start).count();

    auto countArrived = [&] {
        int n = 0;
        std::error_code ec;
        for (auto& e : fs::directory_iterator(root / "trial", ec))
            n += e.is_regular_file() ? 1 : 0;
        return n;
    };
    const auto limit = start + std::chrono::seconds(options.limitSeconds);
    while (countArrived() < total && Clock::now() < limit)
        std::this_thread::sleep_for(20ms);
    const double delivered = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(300ms);   // a doubled delivery would come now
    ::kill(watch, SIGTERM);
    const int watchStatus = WaitFor(watch);
    ::kill(server, SIGKILL);
    WaitFor(server);

    std::map<std::string, int> received;
    for (const auto& line : LinesOf(serverLog))
        if (line.rfind("RECEIVED ", 0) == 0)
            ++received[line.substr(9)];
    int once = 0, doubled = 0, wrongSize = 0;
    for (const auto& [path, count] : received) {
        (count == 1 ? once : doubled) += 1;
        std::error_code ec;
        wrongSize += fs::file_size(path, ec) != kPayloadBytes ? 1 : 0;
    }
    const int leftInQueue = static_cast<int>(LinesOf(queue).size());
    const int deadLetter = static_cast<int>(LinesOf(app / "cloud_batch.failed.txt").size());
    const int lost = total - static_cast<int>(received.size());
    std::sort(enqueueMs.begin(), enqueueMs.end());

    std::printf("  enqueued %d lines in %.1f s (enqueue median %.1f ms, slowest %.1f ms); refused %d, not written %d\n",
                total, enqueued, enqueueMs[enqueueMs.size() / 2], enqueueMs.back(), refused.load(), notWritten.load());
    std::printf("  all files on the server %.1f s after the first line (%.0f files/s overall)\n", delivered,
                total / delivered);
    std::printf("  arrived once %d, more than once %d, never %d, wrong size %d   (target %d, 0, 0, 0)\n", once, doubled,
                lost, wrongSize, total);
    std::printf("  lines left in the queue %d, in the dead-letter file %d; the watch exited with %d after SIGTERM\n",
                leftInQueue, deadLetter, watchStatus);
    const bool ok = once == total && doubled == 0 && lost == 0 && wrongSize == 0 && leftInQueue == 0 &&
                    deadLetter == 0 && refused == 0 && notWritten == 0 && watchStatus == 0;
    std::printf("%s\n", ok ? "watch trial passed" : "WATCH TRIAL FAILED");
    if (ok)
        fs::remove_all(work);
    return ok ? 0 : 1;
}
