// A process that rewrites the batch file in a loop until it is killed: the tests kill it at
// random moments and check that the file is always one whole version or the other.
#include <cstdio>
#include <string>
#include <vector>

#include "batch/BatchFileStore.h"

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    const std::filesystem::path file = argv[1];
    const int count = std::stoi(argv[2]);
    std::vector<std::string> versions[2];
    for (int v = 0; v < 2; ++v)
        for (int i = 0; i < count; ++i)
            versions[v].push_back(std::string(v == 0 ? "old-" : "new-") + std::to_string(i) +
                                  std::string(80, v == 0 ? 'o' : 'n'));
    for (long round = 0;; ++round) {
        ct::SaveBatchLines(file, versions[round % 2]);
        if (round == 0) {
            std::puts("ready");
            std::fflush(stdout);
        }
    }
}
