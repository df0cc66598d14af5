// Small uploads over a link with real round trips, next to lftp over the same link.
//
//   bench_latency [--layout folder|own|both] [--jobs N] [--rounds R] [--delay-ms D]
//
// vsftpd listens on 127.0.0.1; a DelayProxy on 127.0.0.2 forwards its control port and every
// port of its passive range, holding each chunk back D ms (10) in each direction, and vsftpd's
// PASV replies name the proxy. The worker's queue and lftp both talk to 127.0.0.2.
// Layouts: "folder" uploads every 1 KiB file into one three-level folder (lftp: `mkdir -p`
// once, then `mput` in it);
// "own" gives each file a three-level folder of its own (lftp: `mkdir -p` then `put -O` per
// file). Round trips per job are the seconds per job over one round trip (2 x D).
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "DelayProxy.h"
#include "bench/common/BenchJobs.h"
#include "support/FtpServers.h"

namespace {

using namespace ct::bench;

const char* const kProxyAddress = "127.0.0.2";

std::vector<std::string> Files(const std::string& layout, int jobs) {
    std::vector<std::string> files;
    for (int i = 0; i < jobs; ++i) {
        const std::string name = "file" + std::to_string(i) + ".bin";
        files.push_back(layout == "own" ? "j" + std::to_string(i) + "/m/l/" + name : "a/b/c/" + name);
    }
    return files;
}

// What lftp is told in its folder: the same uploads, each of its folders made on the way.
std::string LftpUploads(const std::string& layout, const std::vector<std::string>& files) {
    if (layout == "folder")
        return "mkdir -p -f a/b/c\ncd a/b/c\nlcd a/b/c\nmput *.bin\n";
    std::string commands;
    for (const auto& file : files) {
        const std::string folder = file.substr(0, file.rfind('/'));  // jN/m/l
        commands += "mkdir -p -f " + folder + "\nput -O " + folder + " " + file + "\n";
    }
    return commands;
}

struct Result {
    std::string layout;
    Rounds seconds;
};

} // namespace

int main(int argc, char** argv) {
    std::string layoutArg = "both";
    int jobs = 100, rounds = 1, delayMs = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--layout")
            layoutArg = argv[i + 1];
        else if (a == "--jobs")
            jobs = std::atoi(argv[i + 1]);
        else if (a == "--rounds")
            rounds = std::atoi(argv[i + 1]);
        else if (a == "--delay-ms")
            delayMs = std::atoi(argv[i + 1]);
    }
    const std::vector<std::string> layouts =
        layoutArg == "both" ? std::vector<std::string>{"folder", "own"} : std::vector<std::string>{layoutArg};
    try {
        if (!ct::test::VsftpdServer::Available())
            throw std::runtime_error("needs vsftpd, which needs root");
        ct::test::VsftpdOptions options;
        options.rootOnTmpfs = true;
        options.pasvAddress = kProxyAddress;
        options.passivePorts = 50;
        std::unique_ptr<ct::test::VsftpdServer> server;
        std::unique_ptr<DelayProxy> delaying;
        // The passive range follows vsftpd's free port; a port of it may be taken on the proxy's
        // address, and then another server gets another range.
        for (int attempt = 0; !delaying; ++attempt) {
            server = std::make_unique<ct::test::VsftpdServer>(options);
            if (!server->Started())
                throw std::runtime_error("vsftpd did not start: " + server->StartupError());
            std::vector<std::uint16_t> ports{server->Port()};
            for (std::uint32_t p = server->PassiveLow(); p <= server->PassiveHigh(); ++p)
                ports.push_back(static_cast<std::uint16_t>(p));
            try {
                delaying = std::make_unique<DelayProxy>(kProxyAddress, "127.0.0.1", ports,
                                                        std::chrono::milliseconds(delayMs));
            } catch (const std::exception&) {
                if (attempt == 4)
                    throw;
            }
        }
        ct::test::VsftpdServer& vsftpd = *server;
        DelayProxy& proxy = *delaying;
        const Target target{kProxyAddress, vsftpd.Port(), "anonymous", "bench", vsftpd.Root() / "up", "up"};

        ct::test::TempDir local("ct-bench-local", true);
        ct::test::TempDir queue("ct-bench-queue", true);
        std::vector<Result> results;
        for (const auto& layout : layouts) {
            const auto files = Files(layout, jobs);
            results.push_back({layout, RunRounds(target, queue.Path(), local.Path() / layout, files, layout, rounds,
                                                 LftpUploads(layout, files))});
        }

        const double roundTrip = 2.0 * delayMs / 1000.0;
        std::printf("vsftpd behind a proxy delaying %d ms each way (round trip %.0f ms), %d uploads of 1 KiB, "
                    "median of %d, %llu connections through the proxy\n",
                    delayMs, roundTrip * 1000, jobs, rounds, static_cast<unsigned long long>(proxy.Connections()));
        for (const auto& r : results) {
            const double worker = Median(r.seconds.worker) / jobs;
            const double lftp = Median(r.seconds.lftp) / jobs;
            const bool own = r.layout == "own";
            std::printf("%s: %s\n", r.layout.c_str(),
                        own ? "a three-level folder of its own per job (lftp: mkdir -p, put -O)"
                            : "all into one three-level folder (lftp: mkdir -p once, mput in it)");
            for (int i = 0; i < rounds; ++i)
                std::printf("  round %d: worker %.2f s, lftp %.2f s\n", i, r.seconds.worker[i], r.seconds.lftp[i]);
            std::printf("  worker: %.1f ms/job = %.1f round trips/job%s\n", worker * 1000, worker / roundTrip,
                        own ? "" : " (target <= 5)");
            std::printf("  lftp:   %.1f ms/job = %.1f round trips/job\n", lftp * 1000, lftp / roundTrip);
            std::printf("  ratio worker/lftp: %.2f (target >= %s)\n", lftp / worker, own ? "0.80" : "1.00");
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_latency: %s\n", e.what());
        return 1;
    }
    return 0;
}
