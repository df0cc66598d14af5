// A smoke run of the core's Windows branches, cross-built with MinGW-w64 and run under Wine by
// scripts/windows-check (not part of the Linux suite): the queue store over the Win32 file
// calls, the named mutex, the worker's start, and the FTP client against a pyftpdlib server
// on 127.0.0.1 whose port is the first argument.
#include "batch/BatchFileStore.h"
#include "batch/JobLine.h"
#include "platform/ftp/TIdFTP.h"
#include "platform/instance/InstanceGuard.h"
#include "platform/json/SuperObject.h"
#include "transfer/RemoteDirs.h"
#include "transfer/TThreadCopia.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

int failures = 0;

#define CHECK(c)                                                   \
    do {                                                           \
        if (!(c)) {                                                \
            std::printf("FAIL line %d: %s\n", __LINE__, #c);       \
            ++failures;                                            \
        }                                                          \
    } while (0)

std::string Bytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream o;
    o << in.rdbuf();
    return o.str();
}

void Store() {
    const auto file = ct::BatchFilePath();
    std::filesystem::remove(file);
    ct::SaveBatchLines(file, {"A", "Beta", "gamma beta"});
    CHECK(Bytes(file) == "A\r\nBeta\r\ngamma beta\r\n");
    CHECK(ct::ReadFirstBatchLine(file) == "A");
    ct::UpdateBatchFile(file, "", "", "A");
    CHECK(Bytes(file) == "Beta\r\ngamma beta\r\n");
    CHECK(ct::UpdateBatchFile(file, "BETA", "delta"));
    CHECK(Bytes(file) == "gamma beta\r\ndelta\r\n");
    ct::UpdateBatchFile(file, "", "", "gamma beta");
    CHECK(Bytes(file) == "delta\r\n");
    ct::ApplyBatchDeletions(file, {"delta"});
    CHECK(!std::filesystem::exists(file));
    bool threw = false;
    try {
        ct::UpdateBatchFile(file, "", "");
    } catch (const ct::CloudError&) {
        threw = true;
    }
    CHECK(threw && !std::filesystem::exists(file));
    std::ofstream(file, std::ios::binary) << "\xEF\xBB\xBF{\"ftp\":{\"h\":\"x\"},\"v\":\"get\"}\r\n";
    const auto job = ct::SO(ct::ReadFirstBatchLine(file));
    CHECK(!ct::IsUploadJob(*job));
    CHECK(ct::NextErrorMark(*job).value_or("") == "1");
    std::filesystem::remove(file);
    ct::TThreadCopia worker;
    worker.Execute();  // no batch file: the run ends at once
    CHECK(!worker.HasClient());
}

void Ftp(int port) {
    {
        std::ofstream o("up.bin", std::ios::binary);
        for (int i = 0; i < 3000000; ++i)
            o.put(static_cast<char>(i * 7));
    }
    ct::TIdFTP f;
    f.SetHost("127.0.0.1");
    f.SetPort(static_cast<std::uint16_t>(port));
    f.SetUsername("user");
    f.SetPassword("secret");
    f.Connect();
    CHECK(ct::EnsureRemoteDir("a\\b\\", f, "base"));
    f.Put("up.bin", "up.bin", false, -1);
    CHECK(f.Size("/base/a/b/up.bin") == 3000000);
    CHECK(f.Size("/base/missing.bin") == -1);
    f.Get("/base/a/b/up.bin", "down.bin", true, false);
    CHECK(Bytes("up.bin") == Bytes("down.bin"));
    f.Disconnect();
    CHECK(!f.Connected());
}

} // namespace

int main(int argc, char** argv) {
    try {
        auto guard = ct::InstanceGuard::TryAcquire();
        CHECK(guard != nullptr);
        CHECK(ct::InstanceGuard::TryAcquire() == nullptr);
        Store();
        if (argc > 1)
            Ftp(std::atoi(argv[1]));
    } catch (const std::exception& e) {
        std::printf("FAIL: %s\n", e.what());
        ++failures;
    }
    std::printf("%s\n", failures ? "windows smoke: FAILED" : "windows smoke: all checks passed");
    return failures ? 1 : 0;
}
