// SFTP against OpenSSH's sftp on the same sshd in the same run, everything on tmpfs.
//
//   sftp_throughput [--mib N=512] [--files N=500] [--proxied N=200] [--delay-ms D=10] [--runs R=3]
//
// Both log in to the test sshd as its test user with the same ed25519 key. Prints, medians over
// the runs, MB/s of an upload and a download of N MiB; the seconds of N uploads of 1 KiB into
// one folder over one session; and the same for the proxied count through the latency bench's
// DelayProxy (127.0.0.2, D ms each way). Every ratio is sftp's time over ours.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/latency/DelayProxy.h"
#include "platform/sftp/SftpClient.h"
#include "support/SshServers.h"
#include "transfer/RemoteDirs.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Setup {
    ct::test::SshdServer* server;
    fs::path key;
    std::string pin;
};

double Seconds(const std::function<void()>& step) {
    const auto start = Clock::now();
    step();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::unique_ptr<ct::SftpClient> Ours(const Setup& s, const std::string& host) {
    ct::Endpoint endpoint{host, s.server->Port(), ct::test::SftpTestUser, "", ct::EndpointSecurity::Sftp, s.pin,
                          s.key.string()};
    return std::make_unique<ct::SftpClient>(endpoint);
}

// OpenSSH's sftp with the commands in batch mode, one session; its seconds.
double Theirs(const Setup& s, const std::string& host, const std::string& commands, const fs::path& work) {
    const fs::path batch = work / "sftp.batch";
    std::ofstream(batch, std::ios::trunc) << commands;
    const std::string command = "/usr/bin/sftp -q -b '" + batch.string() + "' -i '" + s.key.string() +
                                "' -P " + std::to_string(s.server->Port()) +
                                " -o IdentitiesOnly=yes -o BatchMode=yes -o StrictHostKeyChecking=no"
                                " -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR " +
                                ct::test::SftpTestUser + "@" + host + " >/dev/null";
    int status = 0;
    const double seconds = Seconds([&] { status = std::system(command.c_str()); });
    if (status != 0)
        throw std::runtime_error("sftp failed: " + command);
    return seconds;
}

void Expect(bool ok, const std::string& what) {
    if (!ok)
        throw std::runtime_error(what);
}

// Uploads of small files into one folder ("d" = "small<round>/"), as the worker makes them:
// the folder walk, then one upload per job, over one session.
double OursSmall(const Setup& s, const std::string& host, const fs::path& dir, int files, const std::string& folder) {
    return Seconds([&] {
        auto client = Ours(s, host);
        client->Connect();
        for (int i = 0; i < files; ++i) {
            Expect(ct::EnsureRemoteDir(folder + "/", *client, ""), "the walk failed");
            client->Put((dir / ("f" + std::to_string(i) + ".bin")).string(), "f" + std::to_string(i) + ".bin", false, -1);
        }
        client->Disconnect();
    });
}

void Report(const char* what, const std::vector<double>& ours, const std::vector<double>& theirs, double units,
            const char* unit, double target) {
    const double o = Median(ours), t = Median(theirs);
    if (units > 0)
        std::printf("%-34s ours %8.1f %s  sftp %8.1f %s  ratio %.2f (target >= %.2f)\n", what, units / o, unit,
                    units / t, unit, t / o, target);
    else
        std::printf("%-34s ours %8.3f s     sftp %8.3f s     ratio %.2f (target >= %.2f)\n", what, o, t, t / o, target);
}

} // namespace

int main(int argc, char** argv) {
    std::uint64_t mib = 512;
    int files = 500, proxied = 200, delayMs = 10, runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const int v = std::atoi(argv[i + 1]);
        if (a == "--mib")
            mib = static_cast<std::uint64_t>(v);
        else if (a == "--files")
            files = v;
        else if (a == "--proxied")
            proxied = v;
        else if (a == "--delay-ms")
            delayMs = v;
        else if (a == "--runs")
            runs = std::max(1, v);
    }
    try {
        if (!ct::test::SshdServer::Available())
            throw std::runtime_error("needs root, sshd and the SFTP test user (scripts/setup)");
        ct::test::SshdOptions options;
        options.rootOnTmpfs = true;
        ct::test::SshdServer server(options);
        if (!server.Started())
            throw std::runtime_error(server.StartupError());
        Setup s{&server, server.AddUserKey("ed25519"), server.Fingerprint("ed25519")};
        ct::test::TempDir local("ct-bench-sftp", true);
        const fs::path remote = server.Files();

        // Large files.
        const fs::path big = local / "big.bin";
        {
            std::ofstream out(big, std::ios::binary);
            const std::string block = ct::test::MakePattern(1 << 20, 7);
            for (std::uint64_t i = 0; i < mib; ++i)
                out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
        const std::uint64_t bytes = mib << 20;
        std::vector<double> upOurs, upTheirs, downOurs, downTheirs;
        for (int r = 0; r < runs; ++r) {
            auto client = Ours(s, "127.0.0.1");
            client->Connect();
            upOurs.push_back(Seconds([&] { client->Put(big.string(), "ours.bin", false, -1); }));
            Expect(fs::file_size(remote / "ours.bin") == bytes, "our upload is short");
            fs::remove(local / "back.bin");
            downOurs.push_back(Seconds([&] { client->Get("/ours.bin", (local / "back.bin").string(), true, false); }));
            Expect(fs::file_size(local / "back.bin") == bytes, "our download is short");
            client->Disconnect();
            fs::remove(remote / "ours.bin");
            upTheirs.push_back(Theirs(s, "127.0.0.1", "put " + big.string() + " theirs.bin\n", local.Path()));
            Expect(fs::file_size(remote / "theirs.bin") == bytes, "sftp's upload is short");
            fs::remove(local / "back.bin");
            downTheirs.push_back(
                Theirs(s, "127.0.0.1", "get theirs.bin " + (local / "back.bin").string() + "\n", local.Path()));
            Expect(fs::file_size(local / "back.bin") == bytes, "sftp's download is short");
            fs::remove(remote / "theirs.bin");
        }
        fs::remove(big);
        fs::remove(local / "back.bin");

        // Small files, directly and through the delaying proxy.
        const fs::path smallDir = local / "small";
        fs::create_directories(smallDir);
        const std::string kib = ct::test::MakePattern(1024, 3);
        for (int i = 0; i < std::max(files, proxied); ++i)
            ct::test::WriteFileBytes(smallDir / ("f" + std::to_string(i) + ".bin"), kib);
        auto smallRuns = [&](const std::string& host, int count, std::vector<double>& ours, std::vector<double>& theirs) {
            const fs::path dir = local / ("n" + std::to_string(count));
            fs::create_directories(dir);
            for (int i = 0; i < count; ++i)
                fs::copy_file(smallDir / ("f" + std::to_string(i) + ".bin"), dir / ("f" + std::to_string(i) + ".bin"),
                              fs::copy_options::overwrite_existing);
            for (int r = 0; r < runs; ++r) {
                const std::string tag = host + "-" + std::to_string(count) + "-" + std::to_string(r);
                ours.push_back(OursSmall(s, host, dir, count, "ours-" + tag));
                Expect(static_cast<int>(std::distance(fs::directory_iterator(remote / ("ours-" + tag)), {})) == count,
                       "our uploads are missing files");
                theirs.push_back(Theirs(s, host,
                                        "mkdir theirs-" + tag + "\ncd theirs-" + tag + "\nlcd " + dir.string() +
                                            "\nput *.bin\n",
                                        local.Path()));
                Expect(static_cast<int>(std::distance(fs::directory_iterator(remote / ("theirs-" + tag)), {})) == count,
                       "sftp's uploads are missing files");
            }
        };
        std::vector<double> smallOurs, smallTheirs, slowOurs, slowTheirs;
        smallRuns("127.0.0.1", files, smallOurs, smallTheirs);
        {
            ct::bench::DelayProxy proxy("127.0.0.2", "127.0.0.1", {server.Port()}, std::chrono::milliseconds(delayMs));
            smallRuns("127.0.0.2", proxied, slowOurs, slowTheirs);
        }

        std::printf("sshd (OpenSSH) on 127.0.0.1, tmpfs, ed25519 key, median of %d runs\n", runs);
        const std::string sizeText = std::to_string(mib) + " MiB upload";
        Report(sizeText.c_str(), upOurs, upTheirs, static_cast<double>(bytes) / 1e6, "MB/s", 1.0);
        Report((std::to_string(mib) + " MiB download").c_str(), downOurs, downTheirs, static_cast<double>(bytes) / 1e6,
               "MB/s", 1.0);
        Report((std::to_string(files) + " uploads of 1 KiB").c_str(), smallOurs, smallTheirs, 0, "", 1.0);
        Report((std::to_string(proxied) + " uploads, " + std::to_string(2 * delayMs) + " ms round trip").c_str(),
               slowOurs, slowTheirs, 0, "", 0.8);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sftp_throughput: %s\n", e.what());
        return 1;
    }
    return 0;
}
