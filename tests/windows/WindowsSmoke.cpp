// A smoke run of the core's Windows branches, cross-built with MinGW-w64 and run under Wine by
// scripts/windows-check (not part of the Linux suite). It checks what Windows does differently:
// the executable's folder (GetModuleFileNameW, a folder name outside the ANSI code page), the
// ANSI code page at the queue file's boundary, the share modes of the store's rewrite against
// a producer that holds the file open, and the named mutex between two processes; then the
// store's rules, the worker's start, and the FTP client against a pyftpdlib server on
// 127.0.0.1.
//
//   windows_smoke PORT      the whole run; scripts/windows-check puts the program in a folder
//                           named kFolderName and starts it from another folder
//   windows_smoke --probe   takes the single-instance guard as a start-up does and ends:
//                           status 0 when it got it, 3 when another instance holds it
#include "batch/BatchFileStore.h"
#include "batch/JobLine.h"
#include "platform/fs/FileSystem.h"
#include "platform/ftp/TIdFTP.h"
#include "platform/instance/InstanceGuard.h"
#include "platform/json/SuperObject.h"
#include "platform/watch/QueueWatcher.h"
#include "transfer/RemoteDirs.h"
#include "transfer/TThreadCopia.h"

#include <windows.h>
// <windows.h> renames SetPort to SetPortA for the rest of this file; the client's method is
// SetPort.
#undef SetPort

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Made by scripts/windows-check: Latin letters the ANSI code page has, and one it lacks.
const wchar_t* const kFolderName = L"cartella \u00e8 \u03a9";

int failures = 0;

#define CHECK(c)                                                   \
    do {                                                           \
        if (!(c)) {                                                \
            std::printf("FAIL line %d: %s\n", __LINE__, #c);       \
            ++failures;                                            \
        }                                                          \
    } while (0)

std::string Bytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream o;
    o << in.rdbuf();
    return o.str();
}

void WriteBytes(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

// The program's own folder, found without the current directory's help.
void ExecutableFolder() {
    const fs::path dir = ct::ExecutableDir();
    CHECK(dir.filename().wstring() == kFolderName);
    CHECK(fs::exists(dir / "windows_smoke.exe"));
    CHECK(fs::current_path() != dir);
    CHECK(ct::BatchFilePath() == dir / "cloud_batch.txt");
}

// Text in the ANSI code page, or "" when the code page cannot spell all of it.
std::string Ansi(const std::wstring& text) {
    BOOL lossy = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, &lossy);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, &lossy);
    return lossy ? std::string() : out;
}

// The queue file holds the ANSI code page's 8-bit text (or UTF-8 behind a byte-order mark);
// lines in memory are UTF-8, and a rewrite writes ANSI again, without a mark.
void AnsiCodePage() {
    const fs::path file = ct::BatchFilePath();
    const std::string line1Ansi = "{\"f\":\"" + Ansi(L"citt\u00e0 perch\u00e9 \u00fc") + "\"}";
    const std::string line1Utf8 = "{\"f\":\"citt\xC3\xA0 perch\xC3\xA9 \xC3\xBC\"}";
    if (line1Ansi == "{\"f\":\"\"}") {
        std::printf("FAIL: the ANSI code page %u cannot spell the test text\n", GetACP());
        ++failures;
        return;
    }
    WriteBytes(file, line1Ansi + "\r\nseconda\r\n");
    CHECK(ct::ReadFirstBatchLine(file) == line1Utf8);
    CHECK(ct::SO(ct::ReadFirstBatchLine(file))->S("f") == "citt\xC3\xA0 perch\xC3\xA9 \xC3\xBC");
    const ct::BatchLines all = ct::ReadAllBatchLines(file);
    CHECK(all.lines == (std::vector<std::string>{line1Utf8, "seconda"}));
    CHECK(ct::UpdateBatchFile(file, "SECONDA", "seconda \xC3\xA8"));
    CHECK(Bytes(file) == line1Ansi + "\r\nseconda " + Ansi(L"\u00e8") + "\r\n");

    WriteBytes(file, "\xEF\xBB\xBF" + line1Utf8 + "\r\nultima\r\n");
    CHECK(ct::ReadFirstBatchLine(file) == line1Utf8);
    ct::UpdateBatchFile(file, "", "", "ultima");
    CHECK(Bytes(file) == line1Ansi + "\r\n");
    fs::remove(file);
}

// Another program holding the queue file open, as its append does (MSVCRT's fopen shares
// reading and writing; some writers share deletion too).
class Holder {
public:
    Holder(const fs::path& file, DWORD access, DWORD share)
        : m_handle(CreateFileW(file.c_str(), access, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~Holder() { Close(); }
    bool Open() const { return m_handle != INVALID_HANDLE_VALUE; }
    void Append(const std::string& bytes) {
        DWORD wrote = 0;
        WriteFile(m_handle, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr);
    }
    void Close() {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE m_handle;
};

bool RewriteLeftovers(const fs::path& file) {
    for (const auto& entry : fs::directory_iterator(file.parent_path()))
        if (ct::IsRewriteTempFor(file, entry.path()))
            return true;
    return false;
}

// The worker removes its finished job while a producer holds the file and appends a line a
// moment later. Whether the rewrite waits for the producer or gives up with an error, no line
// is lost, none is doubled, the file is never half-written and no temporary file is left.
void ShareModes() {
    const fs::path file = ct::BatchFilePath();
    struct Case {
        const char* what;
        DWORD access;
        DWORD share;
        int holdMs;
        bool appends;
    };
    const Case cases[] = {
        {"appender, brief", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, 300, true},
        {"appender sharing deletion, brief", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
         300, true},
        {"appender, long", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, 2500, true},
        {"appender sharing nothing, long", FILE_APPEND_DATA, 0, 2500, true},
        {"reader, long", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 2500, false},
    };
    for (const Case& c : cases) {
        ct::SaveBatchLines(file, {"job1", "job2"});
        Holder holder(file, c.access, c.share);
        CHECK(holder.Open());
        std::thread producer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(c.holdMs));
            if (c.appends)
                holder.Append("late\r\n");
            holder.Close();
        });
        const auto started = std::chrono::steady_clock::now();
        bool raised = false;
        try {
            ct::UpdateBatchFile(file, "", "", "job1");
        } catch (const ct::CloudError&) {
            raised = true;
        }
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        producer.join();
        const std::string late = c.appends ? "late\r\n" : "";
        if (raised) {
            CHECK(Bytes(file) == "job1\r\njob2\r\n" + late);
            ct::UpdateBatchFile(file, "", "", "job1"); // nobody holds it now
        }
        CHECK(Bytes(file) == "job2\r\n" + late);
        CHECK(!RewriteLeftovers(file));
        CHECK(waited < std::chrono::seconds(30));
        std::printf("   %s: the rewrite %s after %lld ms\n", c.what, raised ? "gave up" : "went through",
                    static_cast<long long>(waited.count()));
    }
    fs::remove(file);
}

int RunProbe(const fs::path& self) {
    std::wstring command = L"\"" + self.wstring() + L"\" --probe";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

// One instance at a time, across processes; a foreign holder of the name counts too.
void NamedMutex() {
    const fs::path self = ct::ExecutableDir() / "windows_smoke.exe";
    {
        auto guard = ct::InstanceGuard::TryAcquire();
        CHECK(guard != nullptr);
        CHECK(RunProbe(self) == 3);
    }
    CHECK(RunProbe(self) == 0);
    HANDLE foreign = CreateMutexW(nullptr, FALSE, L"TCloudTransferFrm");
    CHECK(foreign != nullptr);
    CHECK(RunProbe(self) == 3);
    CloseHandle(foreign);
    CHECK(RunProbe(self) == 0);
    // Last: a refused start keeps its handle until the process ends, so the name stays taken.
    auto guard = ct::InstanceGuard::TryAcquire();
    CHECK(guard != nullptr);
    CHECK(ct::InstanceGuard::TryAcquire() == nullptr);
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
    const auto parsed = ct::ParseJob(ct::ReadFirstBatchLine(file));
    const ct::Job* job = std::get_if<ct::Job>(&parsed);
    CHECK(job && job->direction == ct::JobDirection::Download && job->endpoint.port == 21);
    CHECK(job && ct::NextErrorMark(*job).value_or("") == "1");
    std::filesystem::remove(file);
    ct::TThreadCopia worker;
    worker.Execute();  // no batch file: the run ends at once
    CHECK(!worker.HasClient());
}

// ReadDirectoryChangesW on the queue's folder: a creation, a replace by rename and a stop.
void QueueWatch() {
    using Result = ct::QueueWatcher::WaitResult;
    const fs::path folder = fs::temp_directory_path() / "ct-watch-smoke";
    fs::remove_all(folder);
    fs::create_directories(folder);
    const fs::path queue = folder / "cloud_batch.txt";
    ct::QueueWatcher watcher(queue);
    CHECK(watcher.IsNative());
    const auto drain = [&] {
        while (watcher.Wait(std::chrono::milliseconds(300)) == Result::Changed) {
        }
    };
    std::ofstream(queue, std::ios::binary) << "a\r\n";
    CHECK(watcher.Wait(std::chrono::seconds(5)) == Result::Changed);
    drain();
    std::ofstream(folder / "cloud_batch.txt.lock", std::ios::binary) << "";
    CHECK(watcher.Wait(std::chrono::milliseconds(500)) == Result::TimedOut);
    std::ofstream(folder / "next.tmp", std::ios::binary) << "b\r\n";
    CHECK(MoveFileExW((folder / "next.tmp").c_str(), queue.c_str(), MOVEFILE_REPLACE_EXISTING));
    CHECK(watcher.Wait(std::chrono::seconds(5)) == Result::Changed);
    drain();
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        watcher.Stop();
    });
    CHECK(watcher.Wait(std::chrono::seconds(60)) == Result::Stopped);
    stopper.join();
    fs::remove_all(folder);
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

// This build has no SSH library: the worker's client for an SFTP job fails it with a reason
// that says so, before anything is sent.
void Sftp() {
    const ct::Endpoint endpoint{"127.0.0.1", 22, "u", "p", ct::EndpointSecurity::Sftp, "", ""};
    auto client = ct::DefaultTransferClient(endpoint);
    bool refused = false;
    try {
        client->Connect();
    } catch (const ct::TransferError& e) {
        refused = e.Kind() == ct::TransferErrorKind::Job && e.Reason() == "SFTP not available in this build";
    }
    CHECK(refused);
    CHECK(!client->Connected());
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--probe") == 0)
        return ct::InstanceGuard::TryAcquire() ? 0 : 3;
    try {
        std::printf("== the executable's folder\n");
        ExecutableFolder();
        std::printf("== the ANSI code page (%u) at the file boundary\n", GetACP());
        AnsiCodePage();
        std::printf("== the store's rewrite against a producer holding the file\n");
        ShareModes();
        std::printf("== the named mutex\n");
        NamedMutex();
        std::printf("== the store and the worker\n");
        Store();
        std::printf("== the queue watch\n");
        QueueWatch();
        std::printf("== an SFTP job without an SSH library\n");
        Sftp();
        if (argc > 1) {
            std::printf("== the FTP client\n");
            Ftp(std::atoi(argv[1]));
        }
    } catch (const std::exception& e) {
        std::printf("FAIL: %s\n", e.what());
        ++failures;
    }
    std::printf("%s\n", failures ? "windows smoke: FAILED" : "windows smoke: all checks passed");
    return failures ? 1 : 0;
}
