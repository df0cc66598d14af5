// Crash trial: the real program, killed hundreds of times at random moments while producers
// append jobs, must lose no job and no appended line.
//
// A copy of the executable runs unattended ("cloudtransfer go", offscreen) in a folder of its
// own, against a local pyftpdlib server, on a queue of uploads; two producers append more
// uploads with a plain open-append-close each. The program is killed with SIGKILL at a random
// moment of each run, and started again. After the last kill the producers finish and the
// program runs until the queue is done. Then every line ever queued must be accounted for:
// uploaded (its file is on the server), still in the queue, or in the dead-letter file. After
// every kill the queue must hold no line twice and no broken line.
//
// The server holds every upload for a moment (--job-ms) so that a run gets through a few dozen
// jobs a second: the queue then stays long enough for the kills to land in the middle of runs,
// between a rewrite and the next. For the final drain the server is started again on the same
// port without the delay.
//
//   crash_trial [--kills N] [--jobs N] [--appended N per producer] [--max-run-ms N]
//               [--job-ms N] [--program PATH] [--folder DIR]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
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
    int kills = 220;
    int jobs = 1500;
    int appended = 3600;   // per producer
    int maxRunMs = 800;
    int jobMs = 25;
    fs::path program = CT_APP_EXECUTABLE;
    fs::path folder = fs::temp_directory_path();
};

// A child process; its stdout goes to a pipe when asked.
struct Child {
    pid_t pid = -1;
    int out = -1;

    bool Running() {
        if (pid < 0)
            return false;
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            pid = -1;
            return false;
        }
        return true;
    }
    void Kill() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    int Wait() {
        if (pid < 0)
            return 0;
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string ReadLine() {
        std::string line;
        char c = 0;
        while (::read(out, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
};

Child Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv, bool pipeOut,
            const fs::path& workDir = {}) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& extra : extraEnv)
            replaced = replaced || entry.compare(0, extra.find('=') + 1, extra, 0, extra.find('=') + 1) == 0;
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
    if (pipeOut) {
        if (::pipe(pipeFds) != 0)
            std::exit(2);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (!workDir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    Child child;
    if (::posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        std::perror(args[0].c_str());
        std::exit(2);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (pipeOut) {
        ::close(pipeFds[1]);
        child.out = pipeFds[0];
    }
    return child;
}

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The id of a trial job line: what stands between "\\trial\\" and ".bin" in its "d".
std::string IdOf(const std::string& line) {
    const std::string marker = "\\\\trial\\\\";
    const std::size_t at = line.find(marker);
    if (at == std::string::npos)
        return {};
    const std::size_t start = at + marker.size();
    const std::size_t end = line.find(".bin", start);
    return end == std::string::npos ? std::string() : line.substr(start, end - start);
}

std::vector<std::string> LinesOf(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t end = bytes.find('\n', at);
        if (end == std::string::npos)
            end = bytes.size();
        std::string line = bytes.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

struct QueueLook {
    int doubled = 0;
    int broken = 0;
};

// What the queue holds right after a kill: no line twice, no line torn.
QueueLook LookAtQueue(const fs::path& queue, bool lastMayBeUnfinished) {
    QueueLook look;
    const std::string bytes = ReadAll(queue);
    std::vector<std::string> lines = LinesOf(bytes);
    if (lastMayBeUnfinished && !bytes.empty() && bytes.back() != '\n' && !lines.empty())
        lines.pop_back(); // a producer in the middle of its line
    std::map<std::string, int> seen;
    for (const auto& line : lines) {
        if (line.empty())
            continue;
        const std::string id = IdOf(line);
        if (id.empty() || line.front() != '{' || line.back() != '}')
            ++look.broken;
        else if (++seen[id] == 2)
            ++look.doubled;
    }
    return look;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--kills")
            options.kills = std::stoi(value);
        else if (name == "--jobs")
            options.jobs = std::stoi(value);
        else if (name == "--appended")
            options.appended = std::stoi(value);
        else if (name == "--max-run-ms")
            options.maxRunMs = std::stoi(value);
        else if (name == "--job-ms")
            options.jobMs = std::stoi(value);
        else if (name == "--program")
            options.program = value;
        else if (name == "--folder")
            options.folder = value;
    }
    std::string templ = (options.folder / "ct-crash-trial-XXXXXX").string();
    if (!::mkdtemp(templ.data())) {
        std::perror("mkdtemp");
        return 2;
    }
    const fs::path work = templ;
    const fs::path app = work / "app";
    const fs::path root = work / "ftproot";
    const fs::path config = work / "config";
    const fs::path runtime = work / "runtime";
    for (const auto& d : {app, root, config / "cloudtransfer", runtime})
        fs::create_directories(d);
    fs::permissions(runtime, fs::perms::owner_all);
    fs::copy_file(options.program, app / "cloudtransfer");
    std::ofstream(config / "cloudtransfer" / "config.ini") << "[Zentravo]\nsecdelay=0\nBitsPerSec=0\n";
    const fs::path payload = work / "payload.bin";
    constexpr std::size_t payloadBytes = 300;
    std::ofstream(payload, std::ios::binary) << std::string(payloadBytes, 'p');
    const fs::path hook = work / "slow_stor.py";
    std::ofstream(hook) << "import time\n"
                           "_stor = Handler.ftp_STOR\n"
                           "def ftp_STOR(self, file, mode='w'):\n"
                           "    time.sleep(" << options.jobMs / 1000.0 << ")\n"
                           "    return _stor(self, file, mode)\n"
                           "Handler.ftp_STOR = ftp_STOR\n";
    const fs::path queue = app / "cloud_batch.txt";
    const fs::path deadLetter = app / "cloud_batch.failed.txt";

    auto startServer = [&](const std::string& port, bool slow) {
        std::vector<std::string> args = {"/usr/bin/python3", CT_SOURCE_DIR "/tests/support/ftpserver.py", "--root",
                                         root.string(), "--user", "user:secret", "--port", port};
        if (slow) {
            args.push_back("--hook");
            args.push_back(hook.string());
        }
        Child child = Spawn(args, {}, true);
        const std::string portLine = child.ReadLine();
        if (portLine.rfind("PORT ", 0) != 0) {
            std::fprintf(stderr, "the FTP server did not start\n");
            std::exit(2);
        }
        return std::make_pair(child, portLine.substr(5));
    };
    auto [server, port] = startServer("0", true);
    const std::string templateLine = "{\"ftp\":{\"h\":\"127.0.0.1\",\"u\":\"user\",\"p\":\"secret\",\"t\":" + port +
                                     "},\"v\":\"put\",\"f\":\"" + payload.string() + "\",\"d\":\"\\\\trial\\\\{n}.bin\"}";
    auto lineFor = [&](const std::string& id) {
        std::string line = templateLine;
        line.replace(line.find("{n}"), 3, id);
        return line;
    };
    std::set<std::string> queued;
    {
        std::string bytes;
        for (int n = 0; n < options.jobs; ++n) {
            char id[32];
            std::snprintf(id, sizeof id, "init-%06d", n);
            queued.insert(id);
            bytes += lineFor(id) + "\r\n";
        }
        std::ofstream(queue, std::ios::binary) << bytes;
    }

    std::printf("crash_trial: folder %s, FTP port %s\n", work.c_str(), port.c_str());
    std::printf("  %d queued uploads, 2 producers appending %d lines each, %d kills\n", options.jobs, options.appended,
                options.kills);
    std::fflush(stdout);

    // Producers pace themselves to span the kills (a run lasts half the longest run on average,
    // plus the program's start).
    const double pauseMs =
        std::max(1.0, options.kills * (options.maxRunMs / 2.0 + 150.0) / std::max(1, options.appended));
    std::vector<Child> producers;
    for (const char* tag : {"a", "b"}) {
        producers.push_back(Spawn({"/usr/bin/python3", CT_SOURCE_DIR "/tests/platform/fs/producer.py", "jobs",
                                   queue.string(), std::to_string(options.appended), tag, std::to_string(pauseMs),
                                   templateLine},
                                  {}, false));
        for (int n = 0; n < options.appended; ++n) {
            char id[32];
            std::snprintf(id, sizeof id, "%s-%06d", tag, n);
            queued.insert(id);
        }
    }

    const std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config.string(),
                                          "XDG_RUNTIME_DIR=" + runtime.string(), "DISPLAY=", "WAYLAND_DISPLAY="};
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    int kills = 0, killsWithJobs = 0, endedByThemselves = 0, doubledSeen = 0, brokenSeen = 0;
    const auto trialStart = Clock::now();
    while (kills < options.kills) {
        Child run = Spawn({(app / "cloudtransfer").string(), "go"}, env, false, app);
        const auto runFor = std::chrono::milliseconds(random() % static_cast<unsigned>(options.maxRunMs));
        const auto until = Clock::now() + runFor;
        while (Clock::now() < until && run.Running())
            std::this_thread::sleep_for(2ms);
        if (run.Running()) {
            const bool jobsWaiting = fs::exists(queue) && ReadAll(queue).find("trial") != std::string::npos;
            run.Kill();
            ++kills;
            killsWithJobs += jobsWaiting ? 1 : 0;
            const QueueLook look = LookAtQueue(queue, true);
            doubledSeen += look.doubled;
            brokenSeen += look.broken;
        } else {
            ++endedByThemselves;
            std::this_thread::sleep_for(20ms); // the queue ran dry: let the producers add some
        }
    }
    for (auto& p : producers)
        p.Wait();
    // The program now runs undisturbed until the queue is done, against a server without delay.
    server.Kill();
    server = startServer(port, false).first;
    int finalRuns = 0;
    while (fs::exists(queue) && finalRuns < 50) {
        Child run = Spawn({(app / "cloudtransfer").string(), "go"}, env, false, app);
        run.Wait();
        ++finalRuns;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - trialStart).count();

    std::set<std::string> inQueue, inDeadLetter;
    for (const auto& line : LinesOf(ReadAll(queue)))
        if (!IdOf(line).empty())
            inQueue.insert(IdOf(line));
    for (const auto& line : LinesOf(ReadAll(deadLetter)))
        if (!IdOf(line).empty())
            inDeadLetter.insert(IdOf(line));
    int uploaded = 0, stillQueued = 0, dead = 0, jobsLost = 0, linesLost = 0;
    for (const auto& id : queued) {
        const fs::path remote = root / "trial" / (id + ".bin");
        std::error_code ec;
        if (fs::exists(remote, ec) && fs::file_size(remote, ec) == payloadBytes) {
            ++uploaded;
        } else if (inQueue.count(id)) {
            ++stillQueued;
        } else if (inDeadLetter.count(id)) {
            ++dead;
        } else if (id.rfind("init-", 0) == 0) {
            ++jobsLost;
        } else {
            ++linesLost;
        }
    }
    server.Kill();
    std::size_t leftovers = 0;
    for (const auto& e : fs::directory_iterator(app)) {
        const std::string name = e.path().filename().string();
        if (name.find(".late-") != std::string::npos || name.find(".rewrite-") != std::string::npos)
            ++leftovers;
    }

    std::printf("  %d kills, %d of them with jobs waiting (%d runs ended by themselves), %d final runs, %.0f s, seed %u\n",
                kills, killsWithJobs, endedByThemselves, finalRuns, seconds, seed);
    std::printf("  lines queued: %zu (%d at the start, %d appended)\n", queued.size(), options.jobs, 2 * options.appended);
    std::printf("  uploaded %d, still queued %d, dead-letter %d\n", uploaded, stillQueued, dead);
    std::printf("  jobs lost: %d   appended lines lost: %d   (target 0 and 0)\n", jobsLost, linesLost);
    std::printf("  lines twice in the queue after a kill: %d   broken lines after a kill: %d   (target 0 and 0)\n",
                doubledSeen, brokenSeen);
    std::printf("  store files left beside the queue at the end: %zu\n", leftovers);
    const bool ok = jobsLost == 0 && linesLost == 0 && doubledSeen == 0 && brokenSeen == 0;
    std::printf("%s\n", ok ? "crash trial passed" : "CRASH TRIAL FAILED");
    if (ok)
        fs::remove_all(work);
    return ok ? 0 : 1;
}
