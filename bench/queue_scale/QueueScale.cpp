// The batch store's own cost per job as the queue grows, for the two rewrites the worker makes:
//   done:    ReadFirstBatchLine, then the head line's removal (UpdateBatchFile with an empty
//            search and the job's own line);
//   failed:  ReadFirstBatchLine, then the line moved to the tail with its error mark
//            (UpdateBatchFile with the line as search).
// Also the window's side: ReadBatchText of the whole queue (the view's open), CountBatchLines
// (what an unattended start reads instead, the window being hidden) and the
// incremental reload after a job (BatchFileEditsSince, then ReadBatchLinesAfter).
// Each figure is the median over the jobs; only the time inside the store counts. Run on the
// folder given as the first argument (default: the temp folder), since the file system is part
// of the figure.
#include <algorithm>
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
using Clock = std::chrono::steady_clock;

namespace {

// About 170 bytes, like a real upload job.
std::string JobLine(int i) {
    return R"({"ftp":{"h":"ftp.example.lan","u":"uploader","p":"secret","t":21},"v":"put",)"
           R"("f":"/srv/export/2024/reports/file)" +
           std::to_string(i) + R"(.csv","d":"\\reports\\2024\\file)" + std::to_string(i) + R"(.csv","b":"clienti"})";
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

struct Target {
    int lines;
    double jobUs;    // per-job store cost
};

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
    std::printf("queue_scale: folder %s (medians; targets in brackets)\n", dir.c_str());
    std::printf("%8s %12s %10s %16s %16s %14s %14s %14s\n", "lines", "file bytes", "jobs", "done us/job",
                "failed us/job", "open ms", "count ms", "reload us");

    const Target targets[] = {{1000, 300}, {10000, 0}, {100000, 5000}};
    bool allMet = true;
    for (const Target& target : targets) {
        const int jobs = target.lines >= 100000 ? 30 : 100;
        std::vector<std::string> lines;
        lines.reserve(static_cast<std::size_t>(target.lines));
        for (int i = 0; i < target.lines; ++i)
            lines.push_back(JobLine(i));
        ct::SaveBatchLines(file, lines);
        const auto bytes = fs::file_size(file);

        // The window opens the queue.
        const auto openStart = Clock::now();
        ct::BatchText view = ct::ReadBatchText(file);
        const double openMs = Micros(Clock::now() - openStart) / 1000.0;
        ct::BatchFileMark mark = view.mark;
        std::vector<double> counts;
        for (int round = 0; round < 5; ++round) {
            const auto countStart = Clock::now();
            if (ct::CountBatchLines(file) != static_cast<std::size_t>(target.lines)) {
                std::fprintf(stderr, "the count is wrong\n");
                return 1;
            }
            counts.push_back(Micros(Clock::now() - countStart) / 1000.0);
        }

        std::vector<double> done, failed, reload;
        for (int j = 0; j < 2 * jobs; ++j) {
            // The worker's calls are a whole FTP job apart; a short gap stands in for the job.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const bool fail = j % 2 == 1;
            const auto start = Clock::now();
            const std::string head = ct::ReadFirstBatchLine(file);
            if (head.empty()) {
                std::fprintf(stderr, "queue ran dry\n");
                return 1;
            }
            if (fail)
                ct::UpdateBatchFile(file, head, head + " ");
            else
                ct::UpdateBatchFile(file, "", "", head);
            (fail ? failed : done).push_back(Micros(Clock::now() - start));

            // The window follows: what changed, then what producers appended.
            const auto reloadStart = Clock::now();
            auto edits = ct::BatchFileEditsSince(file, mark);
            bool followed = edits.has_value();
            if (followed) {
                for (const auto& edit : *edits)
                    mark = edit.after;
                followed = ct::ReadBatchLinesAfter(file, mark).has_value();
            }
            reload.push_back(Micros(Clock::now() - reloadStart));
            if (!followed) {
                std::fprintf(stderr, "the window could not follow job %d incrementally\n", j);
                view = ct::ReadBatchText(file);
                mark = view.mark;
            }
        }
        ct::SettleBatchFile(file);
        const double doneUs = Median(done);
        const double failedUs = Median(failed);
        auto verdict = [&](double us) {
            if (target.jobUs <= 0)
                return std::string("     ");
            const bool met = us <= target.jobUs;
            allMet = allMet && met;
            return std::string(met ? " [ok]" : " [!!]");
        };
        std::printf("%8d %12ju %10d %10.0f%s %10.0f%s %14.1f %14.1f %14.0f\n", target.lines,
                    static_cast<std::uintmax_t>(bytes), jobs, doneUs, verdict(doneUs).c_str(), failedUs,
                    verdict(failedUs).c_str(), openMs, Median(counts), Median(reload));
    }
    std::printf("targets: per job <= 300 us at 1,000 lines, <= 5,000 us at 100,000 lines; "
                "open well under 300 ms and reload <= 5,000 us at 100,000 lines\n");
    std::printf("%s\n", allMet ? "all per-job targets met" : "SOME PER-JOB TARGETS MISSED");
    fs::remove_all(dir);
    return 0;
}
