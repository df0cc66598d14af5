// A process that rewrites the batch file in a loop until it is killed: the tests kill it at
// random moments and look at what the file holds afterwards.
//   batch_rewriter FILE COUNT   saves one of two versions of COUNT lines, alternately
//   batch_rewriter FILE requeue takes line 1 and requeues it at the tail, like a worker whose
//                               every job fails (no line ever leaves the queue)
#include <cstdio>
#include <string>
#include <vector>

#include "batch/BatchFileStore.h"

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    const std::filesystem::path file = argv[1];
    if (std::string(argv[2]) == "requeue") {
        for (long round = 0;; ++round) {
            const std::string head = ct::ReadFirstBatchLine(file);
            if (!head.empty())
                ct::UpdateBatchFile(file, head, head);
            if (round == 0) {
                std::puts("ready");
                std::fflush(stdout);
            }
        }
    }
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
