// Upload and download throughput of TIdFTP against curl, over loopback, with the server
// root and every file on tmpfs so that the disk does not set the pace.
//
//   ftp_throughput [MiB=1024] [--runs N=3] [--server vsftpd|pyftpdlib|proftpd] [--tls [--tls12]] [--verify]
//
// Prints MB/s (10^6 bytes per second) for each tool and direction, medians over the runs,
// and the ratio ours/curl (curl's time over ours). vsftpd is the default: pyftpdlib is slower
// than both clients. --tls runs explicit FTPS against vsftpd with a certificate made for the
// run: ours verifies it against that CA, curl runs with --ssl-reqd --insecure; vsftpd then
// negotiates TLS 1.3, or TLS 1.2 with --tls12. --verify runs against proftpd with mod_digest
// and adds our transfers with SHA-256 verification: hashed while
// the bytes stream, then compared with the server's hash; with --tls as well, proftpd over
// explicit FTPS (TLS 1.2).

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "platform/ftp/TIdFTP.h"
#include "support/FtpServers.h"
#include "support/FtpsServers.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Server {
    std::unique_ptr<ct::test::TestCertificates> certificates;
    std::unique_ptr<ct::test::VsftpdTlsServer> vsftpdTls;
    std::unique_ptr<ct::test::VsftpdServer> vsftpd;
    std::unique_ptr<ct::test::PyFtpServer> py;
    std::unique_ptr<ct::test::ProftpdServer> proftpd;
    std::uint16_t port = 0;
    std::string user, password;
    fs::path writableRoot; // local folder behind remoteDir
    std::string remoteDir;
    std::string name;
};

Server StartServer(const std::string& kind, bool tls, bool tls12) {
    Server s;
    if (tls && kind == "proftpd") {
        // With mod_digest and mod_tls: verification over TLS. TLS 1.2, since proftpd under
        // TLS 1.3 resumes only the first data connection of a session.
        if (!ct::test::ProftpdServer::Available())
            throw std::runtime_error("proftpd needs root and its unpacked package");
        s.certificates = std::make_unique<ct::test::TestCertificates>();
        ct::test::ProftpdOptions options;
        options.digest = true;
        options.certificate = &s.certificates->Trusted();
        options.tlsProtocols = "TLSv1.2";
        options.rootOnTmpfs = true;
        s.proftpd = std::make_unique<ct::test::ProftpdServer>(options);
        if (!s.proftpd->Started())
            throw std::runtime_error("proftpd did not start: " + s.proftpd->StartupError());
        s.port = s.proftpd->Port();
        s.user = "user";
        s.password = "secret";
        s.writableRoot = s.proftpd->Root();
        s.remoteDir = "/";
        s.name = "proftpd with mod_digest, explicit FTPS, TLS 1.2";
        return s;
    }
    if (tls) {
        if (kind != "vsftpd" || !ct::test::VsftpdTlsServer::Available())
            throw std::runtime_error("--tls runs against vsftpd, which needs root");
        s.certificates = std::make_unique<ct::test::TestCertificates>();
        ct::test::VsftpdTlsOptions options;
        options.certificate = &s.certificates->Trusted();
        options.tls12Only = tls12;
        options.rootOnTmpfs = true;
        s.vsftpdTls = std::make_unique<ct::test::VsftpdTlsServer>(options);
        if (!s.vsftpdTls->Started())
            throw std::runtime_error("vsftpd did not start: " + s.vsftpdTls->StartupError());
        s.port = s.vsftpdTls->Port();
        s.user = "anonymous";
        s.password = "bench@";
        s.writableRoot = s.vsftpdTls->Root() / "up";
        s.remoteDir = "/up/";
        s.name = tls12 ? "vsftpd, explicit FTPS, TLS 1.2" : "vsftpd, explicit FTPS, TLS 1.3";
        return s;
    }
    if (kind == "proftpd") {
        // With mod_digest: a server that hashes, for the runs with verification.
        if (!ct::test::ProftpdServer::Available())
            throw std::runtime_error("proftpd needs root and its unpacked package");
        ct::test::ProftpdOptions options;
        options.digest = true;
        options.rootOnTmpfs = true;
        s.proftpd = std::make_unique<ct::test::ProftpdServer>(options);
        if (!s.proftpd->Started())
            throw std::runtime_error("proftpd did not start: " + s.proftpd->StartupError());
        s.port = s.proftpd->Port();
        s.user = "user";
        s.password = "secret";
        s.writableRoot = s.proftpd->Root();
        s.remoteDir = "/";
        s.name = "proftpd with mod_digest";
        return s;
    }
    if (kind == "vsftpd") {
        if (!ct::test::VsftpdServer::Available())
            throw std::runtime_error("vsftpd needs root; use --server pyftpdlib");
        s.vsftpd = std::make_unique<ct::test::VsftpdServer>(true);
        if (!s.vsftpd->Started())
            throw std::runtime_error("vsftpd did not start: " + s.vsftpd->StartupError());
        s.port = s.vsftpd->Port();
        s.user = "anonymous";
        s.password = "bench@";
        s.writableRoot = s.vsftpd->Root() / "up";
        s.remoteDir = "/up/";
        s.name = "vsftpd";
    } else {
        ct::test::PyFtpOptions options;
        options.rootOnTmpfs = true;
        s.py = std::make_unique<ct::test::PyFtpServer>(options);
        s.port = s.py->Port();
        s.user = "user";
        s.password = "secret";
        s.writableRoot = s.py->Root();
        s.remoteDir = "/";
        s.name = "pyftpdlib";
    }
    return s;
}

void MakeFile(const fs::path& file, std::uint64_t size) {
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>((i * 2654435761u) >> 13);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    for (std::uint64_t left = size; left > 0;) {
        auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
        out.write(block.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

double Seconds(const std::function<void()>& step) {
    auto start = Clock::now();
    step();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void RunCurl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"/usr/bin/curl", "--silent", "--show-error", "--fail"};
    argv.insert(argv.end(), args.begin(), args.end());
    ct::test::ChildProcess curl(argv);
    int status = curl.Wait(std::chrono::minutes(10));
    if (status != 0)
        throw std::runtime_error("curl failed with status " + std::to_string(status));
}

void ExpectSize(const fs::path& file, std::uint64_t size) {
    if (fs::file_size(file) != size)
        throw std::runtime_error(file.string() + " has " + std::to_string(fs::file_size(file)) + " bytes, expected " +
                                 std::to_string(size));
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    std::uint64_t mib = 1024;
    int runs = 3;
    std::string kind = "vsftpd";
    bool tls = false;
    bool tls12 = false;
    bool verify = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--tls")
            tls = true;
        else if (a == "--tls12")
            tls = tls12 = true;
        else if (a == "--verify")
            verify = true;
        else if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--server" && i + 1 < argc)
            kind = argv[++i];
        else if (!a.empty() && std::isdigit(static_cast<unsigned char>(a[0])))
            mib = std::stoull(a);
        else {
            std::cerr << "usage: ftp_throughput [MiB=1024] [--runs N=3] [--server vsftpd|pyftpdlib|proftpd] [--tls [--tls12]] [--verify]\n";
            return 2;
        }
    }
    const std::uint64_t size = mib << 20;
    if (verify && kind == "vsftpd")
        kind = "proftpd";

    try {
        Server server = StartServer(kind, tls, tls12);
        ct::test::TempDir local("ct-bench", true);
        const fs::path source = local / "source.bin";
        MakeFile(source, size);
        const std::string url = "ftp://127.0.0.1:" + std::to_string(server.port) + server.remoteDir;
        const std::string login = server.user + ":" + server.password;
        const std::vector<std::string> curlTls =
            tls ? std::vector<std::string>{"--ssl-reqd", "--insecure"} : std::vector<std::string>{};
        auto curlArgs = [&](std::vector<std::string> args) {
            args.insert(args.begin(), curlTls.begin(), curlTls.end());
            return args;
        };

        std::vector<double> oursUp, oursDown, curlUp, curlDown, checkedUp, checkedDown, serverHash;
        for (int run = 0; run < runs; ++run) {
            {
                ct::TIdFTP ftp;
                ftp.SetHost("127.0.0.1");
                ftp.SetPort(server.port);
                ftp.SetUsername(server.user);
                ftp.SetPassword(server.password);
                if (tls) {
                    ftp.SetSecurity(ct::FtpSecurity::ExplicitTls);
                    ftp.SetCaFile(server.certificates->CaFile().string());
                }
                ftp.Connect();
                ftp.ChangeDir(server.remoteDir);
                oursUp.push_back(Seconds([&] { ftp.Put(source.string(), "ours.bin", false, -1); }));
                ExpectSize(server.writableRoot / "ours.bin", size);
                oursDown.push_back(
                    Seconds([&] { ftp.Get(server.remoteDir + "ours.bin", (local / "ours-down.bin").string(), true, false); }));
                ExpectSize(local / "ours-down.bin", size);
                if (verify) {
                    // The same transfers with the hash computed while the bytes stream and
                    // compared with the server's.
                    const ct::TransferRequest hashed{0, ct::HashAlgorithm::Sha256};
                    ct::TransferResult result;
                    auto check = [&](const std::string& path) {
                        if (result.localHash != ftp.RemoteHash(ct::HashAlgorithm::Sha256, path, 0, -1))
                            throw std::runtime_error("checksum mismatch on " + path);
                    };
                    checkedUp.push_back(Seconds([&] { result = ftp.PutFile(source.string(), "checked.bin", hashed); }));
                    serverHash.push_back(Seconds([&] { check("checked.bin"); }));
                    checkedDown.push_back(Seconds([&] {
                        result = ftp.GetFile(server.remoteDir + "checked.bin", (local / "checked-down.bin").string(), hashed);
                    }));
                    serverHash.push_back(Seconds([&] { check(server.remoteDir + "checked.bin"); }));
                    fs::remove(server.writableRoot / "checked.bin");
                    fs::remove(local / "checked-down.bin");
                }
                ftp.Disconnect();
                fs::remove(server.writableRoot / "ours.bin");
                fs::remove(local / "ours-down.bin");
            }
            curlUp.push_back(Seconds([&] { RunCurl(curlArgs({"--user", login, "-T", source.string(), url + "curl.bin"})); }));
            ExpectSize(server.writableRoot / "curl.bin", size);
            curlDown.push_back(
                Seconds([&] { RunCurl(curlArgs({"--user", login, "-o", (local / "curl-down.bin").string(), url + "curl.bin"})); }));
            ExpectSize(local / "curl-down.bin", size);
            fs::remove(server.writableRoot / "curl.bin");
            fs::remove(local / "curl-down.bin");
        }

        auto rate = [&](double seconds) { return static_cast<double>(size) / 1e6 / seconds; };
        // Each run on its own too: a goal "in every run" is not met by a median.
        for (int run = 0; run < runs; ++run) {
            std::printf("  run %d: upload %.2fx (ours %.1f, curl %.1f MB/s)  download %.2fx (ours %.1f, curl %.1f MB/s)", run + 1,
                        curlUp[run] / oursUp[run], rate(oursUp[run]), rate(curlUp[run]), curlDown[run] / oursDown[run],
                        rate(oursDown[run]), rate(curlDown[run]));
            if (verify)
                std::printf("  verified: upload %.2fx (%.1f MB/s) download %.2fx (%.1f MB/s)", curlUp[run] / checkedUp[run],
                            rate(checkedUp[run]), curlDown[run] / checkedDown[run], rate(checkedDown[run]));
            std::printf("\n");
        }
        double ou = rate(Median(oursUp)), od = rate(Median(oursDown));
        double cu = rate(Median(curlUp)), cd = rate(Median(curlDown));
        std::printf("ftp_throughput: %llu MiB over loopback, server %s, tmpfs, median of %d runs\n",
                    static_cast<unsigned long long>(mib), server.name.c_str(), runs);
        std::printf("  upload    ours %8.1f MB/s   curl %8.1f MB/s   ratio ours/curl %.2f\n", ou, cu, ou / cu);
        std::printf("  download  ours %8.1f MB/s   curl %8.1f MB/s   ratio ours/curl %.2f\n", od, cd, od / cd);
        if (verify) {
            const double vu = rate(Median(checkedUp)), vd = rate(Median(checkedDown));
            const double hash = Median(serverHash);
            std::printf("  with SHA-256 verification (ours hashed while streaming; the server's hash after):\n");
            std::printf("  upload    ours %8.1f MB/s   ratio ours/curl %.2f   %.2f s + server hash %.2f s (unverified %.2f s)\n",
                        vu, vu / cu, Median(checkedUp), hash, Median(oursUp));
            std::printf("  download  ours %8.1f MB/s   ratio ours/curl %.2f   %.2f s + server hash %.2f s (unverified %.2f s)\n",
                        vd, vd / cd, Median(checkedDown), hash, Median(oursDown));
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftp_throughput: %s\n", e.what());
        return 1;
    }
}
