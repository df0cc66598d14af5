#include "WorkerTestSupport.h"

#include <atomic>
#include <fstream>

#include <nlohmann/json.hpp>

#include "transfer/AppGlobals.h"

namespace ct::test {

namespace fs = std::filesystem;

std::string JobLineText(const JobSpec& job) {
    nlohmann::ordered_json o;
    o["ftp"] = {{"h", job.host}, {"u", job.user}, {"p", job.password}, {"t", job.port}};
    if (job.s)
        o["ftp"]["s"] = *job.s;
    if (job.fp)
        o["ftp"]["fp"] = *job.fp;
    if (job.v)
        o["v"] = *job.v;
    o["f"] = job.f;
    o["d"] = job.d;
    if (job.b)
        o["b"] = *job.b;
    if (job.error)
        o["error"] = *job.error;
    if (job.reason)
        o["reason"] = *job.reason;
    for (const auto& [name, value] : job.members)
        o[name] = value;
    return o.dump();
}

std::vector<std::string> ReadLines(const fs::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

void WriteLines(const fs::path& file, const std::vector<std::string>& lines) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    for (const auto& line : lines)
        out << line << "\r\n";
}

void AppendLine(const fs::path& file, const std::string& line) {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    out << line << "\r\n";
}

std::string ErrorMark(const std::string& line) {
    auto o = nlohmann::ordered_json::parse(line);
    return o.contains("error") ? o["error"].get<std::string>() : "(none)";
}

std::string Member(const std::string& line, const std::string& name) {
    auto o = nlohmann::ordered_json::parse(line);
    return o.contains(name) ? o[name].get<std::string>() : "(none)";
}

std::vector<std::vector<std::string>> WorkerTest::LogRecords() const {
    std::vector<std::vector<std::string>> records;
    for (const auto& line : ReadLines(outcomeLog)) {
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            fields.push_back(line.substr(start, tab - start));
        fields.push_back(line.substr(start));
        records.push_back(fields);
    }
    return records;
}

std::vector<std::string> FilesContaining(const fs::path& folder, const std::string& part) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto& entry : fs::directory_iterator(folder, ec))
        if (entry.path().filename().string().find(part) != std::string::npos)
            found.push_back(entry.path().filename().string());
    return found;
}

void RecordingQueueView::LoadBatchList() {
    auto lines = ReadLines(m_batchFile);
    std::size_t reload;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_snapshots.push_back(lines);
        m_times.push_back(Clock ? Clock->Now() : std::chrono::steady_clock::now());
        reload = m_snapshots.size();
    }
    if (OnReload)
        OnReload(reload);
}

void WorkerTest::SetUp() {
    installed = std::make_unique<ScopedDispatcher>(dispatcher);
    SecDelay = 0;
    InteractiveMode = true;
    DecimalSeparator = '.';
    CloudTransferFrm = &view;
}

void WorkerTest::TearDown() {
    CloudTransferFrm = nullptr;
    SecDelay = 0;
    InteractiveMode = true;
    DecimalSeparator = '.';
    installed.reset();
}

std::unique_ptr<TThreadCopia> WorkerTest::MakeWorker() {
    auto worker = std::make_unique<TThreadCopia>();
    worker->BatchFile = batch;
    worker->PingProbe = [](const std::string&) {
        ADD_FAILURE() << "the reachability probe was used";
        return true;
    };
    return worker;
}

bool WorkerTest::RunThreaded(TThreadCopia& worker, std::chrono::milliseconds timeout) {
    auto ended = std::make_shared<std::atomic<bool>>(false);
    worker.isAthread = true;
    worker.OnTerminate = [ended](TThread*) { *ended = true; };
    worker.Start();
    bool done = dispatcher.PumpUntil([&] { return ended->load(); }, timeout);
    if (!done) {
        worker.Terminate();
        worker.RequestStop();
    }
    worker.WaitFor();
    return done;
}

} // namespace ct::test
