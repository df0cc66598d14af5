#pragma once

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace ct::test {

inline std::string ProducerScript() {
    return CT_PRODUCER_SCRIPT;
}

// A producer process running tests/platform/fs/producer.py with the given arguments.
inline std::vector<std::string> ProducerArgs(const std::vector<std::string>& args) {
    std::vector<std::string> argv{CT_PYTHON, ProducerScript()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// Polls until the condition holds; false when the generous deadline passes first.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline ino_t InodeOf(const std::filesystem::path& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A line of /proc/locks about the inode that contains every one of the words.
inline bool ProcLocksShow(ino_t inode, const std::vector<std::string>& words) {
    std::ifstream locks("/proc/locks");
    const std::string tag = ":" + std::to_string(inode) + " ";
    for (std::string line; std::getline(locks, line);) {
        if (line.find(tag) == std::string::npos)
            continue;
        bool all = true;
        for (const auto& w : words)
            all = all && line.find(w) != std::string::npos;
        if (all)
            return true;
    }
    return false;
}

} // namespace ct::test
