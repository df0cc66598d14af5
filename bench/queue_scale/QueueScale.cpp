// The batch store's own cost per job as the queue grows: one ReadFirstBatchLine and one
// head-line removal (UpdateBatchFile with an empty search), the pair the worker runs for
// every finished job. Each removal loads and rewrites the whole file, so the cost grows with
// the queue's length. Run on the folder given as the first argument (default: the temp
// folder), since the file system's flush cost is part of the figure.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "batch/BatchFileStore.h"

namespace fs = std::filesystem;

namespace {

std::string JobLine(int i) {
    return R"({"ftp":{"h":"ftp.example.lan","u":"uploader","p":"secret","t":21},"v":"put",)"
           R"("f":"/srv/export/2024/reports/file)" +
           std::to_string(i) + R"(.csv","d":"\\reports\\2024\\file)" + std::to_string(i) + R"(.csv","b":"clienti"})";
}

} // namespace

int main(int argc, char** argv) {
    fs::path base = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
    std::string templ = (base / "ct-queue-scale-XXXXXX").string();
    if (!mkdtemp(templ.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = templ;
    const fs::path file = dir / "cloud_batch.txt";
    std::printf("queue_scale: folder %s\n", dir.c_str());
    std::printf("%10s %10s %14s %14s\n", "lines", "jobs", "us per job", "file bytes");

    struct Size {
        int lines;
        int jobs;
    };
    for (Size size : {Size{1000, 200}, Size{10000, 60}, Size{100000, 12}}) {
        std::vector<std::string> lines;
        lines.reserve(static_cast<std::size_t>(size.lines));
        for (int i = 0; i < size.lines; ++i)
            lines.push_back(JobLine(i));
        ct::SaveBatchLines(file, lines);
        const auto bytes = fs::file_size(file);
        // The worker's store calls are a whole FTP job apart, which is what lets the store's
        // deferred look at the replaced file find its short grace period over; a 2 ms gap stands
        // in for the job here, and only the time inside the store counts.
        std::chrono::steady_clock::duration inStore{};
        for (int j = 0; j < size.jobs; ++j) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const auto start = std::chrono::steady_clock::now();
            const std::string head = ct::ReadFirstBatchLine(file);
            if (head.empty()) {
                std::fprintf(stderr, "queue ran dry\n");
                return 1;
            }
            ct::UpdateBatchFile(file, "", "", head);
            inStore += std::chrono::steady_clock::now() - start;
        }
        const auto elapsed = std::chrono::duration<double, std::micro>(inStore);
        std::printf("%10d %10d %14.0f %14ju\n", size.lines, size.jobs, elapsed.count() / size.jobs,
                    static_cast<std::uintmax_t>(bytes));
    }
    fs::remove_all(dir);
    return 0;
}
