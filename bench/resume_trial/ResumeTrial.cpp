// Resume trial: the real program, killed part-way through a large transfer again and again,
// must deliver the file byte-exact without sending it again each time, at a memory that does
// not grow with the file.
//
// A copy of the executable runs unattended ("cloudtransfer go", offscreen) in a folder of its
// own on a one-line queue, against a local pyftpdlib server that offers XSHA256 (so the
// transfer is verified, and a resumed part is checked by a range hash first). While the file
// grows on the receiving side, the program is killed with SIGKILL at a random point of what is
// left, N times, and started again each time; the last run is left to finish. Then the file
// must have the source's SHA-256, and the bytes the server's data connections moved in all
// (a hook counts them) must stay well under N times the size. Done once for a download, then
// for an upload.
//
//   resume_trial [--size MiB=1024] [--kills N=5] [--folder DIR (default /dev/shm)] [--program PATH]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/FtpServers.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    std::uint64_t mib = 1024;
    int kills = 5;
    fs::path folder = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    fs::path program = CT_APP_EXECUTABLE;
};

// Distinct bytes per position, so that a piece put in the wrong place shows in the hash.
void MakeFile(const fs::path& file, std::uint64_t size) {
    std::vector<std::uint64_t> block((1 << 20) / 8);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (std::uint64_t left = size; left > 0;) {
        for (auto& word : block) {
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            word = state;
        }
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size() * 8));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        left -= n;
    }
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

std::string Sha256Of(const fs::path& file) {
    const std::string out = ct::test::RunForOutput({"/usr/bin/sha256sum", file.string()});
    return out.substr(0, out.find(' '));
}

std::uint64_t SizeOr0(const fs::path& file) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    return ec ? 0 : size;
}

// The largest file in a folder whose name starts with `stem`: the target or the part on its way.
std::uint64_t GrowingSize(const fs::path& dir, const std::string& stem) {
    std::uint64_t best = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(stem, 0) == 0 || name.rfind("." + stem, 0) == 0)
            best = std::max(best, SizeOr0(e.path()));
    }
    return best;
}

// Peak resident memory of a live process in KiB (VmHWM); 0 once it is gone.
long PeakKib(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

// The bytes the server's data connections sent and received so far.
std::pair<std::uint64_t, std::uint64_t> CountedBytes(const fs::path& counts) {
    std::ifstream in(counts);
    std::uint64_t sent = 0, received = 0, s = 0, r = 0;
    while (in >> s >> r)
        sent += s, received += r;
    return {sent, received};
}

struct Direction {
    std::string name;        // "download" or "upload"
    std::string verb;        // "get" or "put"
    fs::path source;         // the file to deliver
    fs::path targetDir;      // where it grows
    std::string targetName;  // its name there
};

struct Outcome {
    bool exact = false;
    bool finished = false;
    std::uint64_t moved = 0;
    std::vector<long> peaksKib;
    int killedAt = 0;
};

class Trial {
public:
    Trial(const Options& options, const fs::path& work, const ct::test::PyFtpServer& server, const fs::path& counts)
        : m_options(options), m_work(work), m_server(server), m_counts(counts) {
        for (const auto& d : {App(), m_work / "config" / "cloudtransfer", m_work / "runtime"})
            fs::create_directories(d);
        fs::permissions(m_work / "runtime", fs::perms::owner_all);
        fs::copy_file(options.program, App() / "cloudtransfer", fs::copy_options::overwrite_existing);
        std::ofstream(m_work / "config" / "cloudtransfer" / "config.ini") << "[Zentravo]\nsecdelay=0\nBitsPerSec=0\n";
    }

    Outcome Run(const Direction& d, std::mt19937& random) {
        const std::uint64_t size = SizeOr0(d.source);
        const bool get = d.verb == "get";
        const std::string remote = get ? d.source.filename().string() : d.targetName;
        const fs::path local = get ? d.targetDir / d.targetName : d.source;
        std::ofstream(App() / "cloud_batch.txt", std::ios::binary)
            << "{\"ftp\":{\"h\":\"127.0.0.1\",\"u\":\"user\",\"p\":\"secret\",\"t\":" << m_server.Port()
            << "},\"v\":\"" << d.verb << "\",\"f\":\"" << local.string() << "\",\"d\":\"\\\\" << remote << "\"}\r\n";
        const std::uint64_t movedBefore = Moved(get);
        Outcome outcome;
        for (int run = 0; run <= m_options.kills; ++run) {
            const bool kill = run < m_options.kills;
            ct::test::ChildProcess program({(App() / "cloudtransfer").string(), "go"}, Environment());
            const std::uint64_t now = GrowingSize(d.targetDir, d.targetName);
            std::uniform_real_distribution<double> share(0.1, 0.9);
            const auto at = static_cast<std::uint64_t>(now + share(random) * static_cast<double>(size - now));
            long peak = 0;
            while (program.Running()) {
                peak = std::max(peak, PeakKib(program.Pid()));
                if (kill && GrowingSize(d.targetDir, d.targetName) >= at) {
                    program.Kill(9);
                    ++outcome.killedAt;
                    break;
                }
                std::this_thread::sleep_for(2ms);
            }
            program.Wait(60s);
            outcome.peaksKib.push_back(peak);
            std::printf("    run %d: %s at %6.1f%% of the file, peak resident %ld KiB\n", run + 1,
                        kill ? "killed" : "ended", 100.0 * static_cast<double>(GrowingSize(d.targetDir, d.targetName)) / static_cast<double>(size),
                        peak);
            std::fflush(stdout);
            if (!fs::exists(App() / "cloud_batch.txt"))
                break; // the job is done (a kill came too late)
        }
        outcome.finished = !fs::exists(App() / "cloud_batch.txt");
        outcome.moved = Moved(get) - movedBefore;
        const fs::path delivered = d.targetDir / d.targetName;
        outcome.exact = SizeOr0(delivered) == size && Sha256Of(delivered) == Sha256Of(d.source);
        return outcome;
    }

private:
    fs::path App() const { return m_work / "app"; }
    std::vector<std::string> Environment() const {
        return {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + (m_work / "config").string(),
                "XDG_RUNTIME_DIR=" + (m_work / "runtime").string(), "DISPLAY=", "WAYLAND_DISPLAY="};
    }
    std::uint64_t Moved(bool get) const {
        const auto [sent, received] = CountedBytes(m_counts);
        return get ? sent : received;
    }

    const Options& m_options;
    fs::path m_work;
    const ct::test::PyFtpServer& m_server;
    fs::path m_counts;
};

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--size")
            options.mib = std::stoull(value);
        else if (name == "--kills")
            options.kills = std::stoi(value);
        else if (name == "--folder")
            options.folder = value;
        else if (name == "--program")
            options.program = value;
    }
    try {
        const std::uint64_t size = options.mib << 20;
        std::string templ = (options.folder / "ct-resume-trial-XXXXXX").string();
        if (!::mkdtemp(templ.data()))
            throw std::runtime_error("cannot make a folder in " + options.folder.string());
        const fs::path work = templ;
        const fs::path counts = work / "counts.txt";
        const fs::path hook = work / "count_bytes.py";
        // Each data connection, when it closes (a kill resets it), adds what it moved.
        std::ofstream(hook) << "_close = DTPHandler.close\n"
                               "def close(self):\n"
                               "    if not self._closed:\n"
                               "        with open(" << "'" << counts.string() << "'" << ", 'a') as f:\n"
                               "            f.write('%d %d\\n' % (self.tot_bytes_sent, self.tot_bytes_received))\n"
                               "    _close(self)\n"
                               "DTPHandler.close = close\n";
        ct::test::PyFtpOptions serverOptions;
        serverOptions.rootOnTmpfs = options.folder.string().rfind("/dev/shm", 0) == 0;
        serverOptions.extraArgs = {"--hook", hook.string(), "--hash", "honest"};
        ct::test::PyFtpServer server(serverOptions);
        const fs::path local = work / "local";
        fs::create_directories(local);
        std::printf("resume_trial: %llu MiB, %d kills per direction, folder %s, pyftpdlib with XSHA256 on port %u\n",
                    static_cast<unsigned long long>(options.mib), options.kills, work.c_str(), server.Port());
        std::fflush(stdout);
        MakeFile(server.Root() / "source.bin", size);
        const unsigned seed = std::random_device{}();
        std::mt19937 random(seed);
        Trial trial(options, work, server, counts);

        bool ok = true;
        const std::vector<Direction> directions = {
            {"download", "get", server.Root() / "source.bin", local, "fetched.bin"},
            {"upload", "put", local / "fetched.bin", server.Root(), "sent.bin"},
        };
        std::vector<std::string> summaries;
        for (const Direction& d : directions) {
            std::printf("  %s:\n", d.name.c_str());
            const Outcome o = trial.Run(d, random);
            long low = o.peaksKib.empty() ? 0 : o.peaksKib.front(), high = low;
            for (long p : o.peaksKib)
                low = std::min(low, p), high = std::max(high, p);
            const double times = static_cast<double>(o.moved) / static_cast<double>(size);
            // Each kill may cost what was in flight, never the part already delivered.
            const bool resumed = times < 1.5;
            const bool pass = o.finished && o.exact && resumed;
            ok = ok && pass;
            char line[400];
            std::snprintf(line, sizeof line,
                          "  %-8s %s: %d kills, byte-exact %s, bytes moved %.2f x the size (%s), peak resident %ld-%ld KiB",
                          d.name.c_str(), pass ? "passed" : "FAILED", o.killedAt, o.exact ? "yes" : "NO", times,
                          resumed ? "resumed" : "NOT RESUMED", low, high);
            summaries.push_back(line);
            if (d.name == "download")
                fs::remove(server.Root() / "source.bin"); // room for the upload on tmpfs
        }
        std::printf("resume_trial: %llu MiB, seed %u\n", static_cast<unsigned long long>(options.mib), seed);
        for (const auto& s : summaries)
            std::printf("%s\n", s.c_str());
        std::printf("%s\n", ok ? "resume trial passed" : "RESUME TRIAL FAILED");
        if (ok)
            fs::remove_all(work);
        return ok ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "resume_trial: %s\n", e.what());
        return 2;
    }
}
