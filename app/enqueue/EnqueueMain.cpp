// cloudtransfer-enqueue: the producers' way into the queue. Every line is read by the parse the
// worker runs, so a line the worker would stop at or fail at once never gets in, and the lines
// go in all together under the store's lock, or not at all.

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "batch/BatchFileStore.h"
#include "batch/Job.h"

namespace {

namespace fs = std::filesystem;
using namespace ct;

constexpr int kAppended = 0;
constexpr int kNotWritten = 1;
constexpr int kRefused = 2;

// Why the worker would not run the line; nullopt when it would.
std::optional<std::string> Refusal(const std::string& line) {
    const ParsedJob parsed = ParseJob(line);
    if (const auto* fault = std::get_if<JobFault>(&parsed))
        return fault->rule;
    const Job& job = std::get<Job>(parsed);
    if (job.endpoint.host.empty())
        return "the server's host (\"ftp\".\"h\") is empty";
    if (job.localPath.empty())
        return "the local file (\"f\") is empty";
    // Checked where the producer stands: a file that is not there now fails at the transfer.
    std::error_code error;
    if (job.direction == JobDirection::Upload && !fs::is_regular_file(fs::u8path(job.localPath), error))
        return "the file to upload (\"f\") is not an existing regular file: " + job.localPath;
    return std::nullopt;
}

// One message per refused line, numbered from 1 in the order given; true when none is refused.
bool AllAccepted(const std::vector<std::string>& lines, bool skipEmpty) {
    bool accepted = true;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (skipEmpty && lines[i].empty())
            continue;  // the worker steps over empty lines of the queue
        if (const auto why = Refusal(lines[i])) {
            std::cerr << "line " << i + 1 << ": " << *why << '\n';
            accepted = false;
        }
    }
    return accepted;
}

std::string WithoutCr(std::string line) {
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::vector<std::string> LinesOf(std::istream& in) {
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        lines.push_back(WithoutCr(std::move(line)));
    return lines;
}

// The queue's lines as the worker would meet them; an unreadable queue is reported as such.
int Check(const fs::path& queue) {
    std::ifstream in(queue, std::ios::binary);
    if (!in) {
        std::error_code error;
        if (!fs::exists(queue, error))
            return kAppended;  // no queue: nothing to refuse
        std::cerr << "cloudtransfer-enqueue: cannot read " << queue.string() << '\n';
        return kNotWritten;
    }
    std::vector<std::string> lines = LinesOf(in);
    const std::string bom = "\xEF\xBB\xBF";
    if (!lines.empty() && lines.front().starts_with(bom))
        lines.front().erase(0, bom.size());
    return AllAccepted(lines, true) ? kAppended : kRefused;
}

int Usage() {
    std::cerr << "usage: cloudtransfer-enqueue [--queue PATH] [LINE ...]   (no LINE: one per line of standard input)\n"
                 "       cloudtransfer-enqueue --check [--queue PATH]\n";
    return kRefused;
}

} // namespace

int main(int argc, char** argv) {
    fs::path queue;
    bool check = false;
    std::vector<std::string> lines;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options && arg == "--queue" && i + 1 < argc)
            queue = argv[++i];
        else if (options && arg == "--check")
            check = true;
        else if (options && arg == "--")
            options = false;
        else if (options && arg.starts_with("--"))
            return Usage();
        else
            lines.push_back(arg);
    }
    try {
        if (queue.empty())
            queue = BatchFilePath();
        // For trials of a busy queue: how long to wait for the store's lock.
        if (const char* wait = std::getenv("CLOUDTRANSFER_LOCK_WAIT_MS"))
            SetBatchFileLockWait(std::chrono::milliseconds(std::atoll(wait)));
        if (check)
            return lines.empty() ? Check(queue) : Usage();
        if (argc == 1 || lines.empty())
            lines = LinesOf(std::cin);
        if (!AllAccepted(lines, false))
            return kRefused;
        AppendBatchLines(queue, lines);
        return kAppended;
    } catch (const std::exception& e) {
        std::cerr << "cloudtransfer-enqueue: nothing appended to " << queue.string() << ": " << e.what() << '\n';
        return kNotWritten;
    }
}
