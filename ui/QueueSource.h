#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "batch/BatchFileStore.h"

namespace ct {

// Where the queue view reads the queue from: the whole text, or only what changed since a
// version it holds. The window reads the batch file through the store; tests hand in
// sources whose versions they control.
class IQueueSource {
public:
    virtual ~IQueueSource() = default;
    // The queue as it is now (the store's ReadBatchText). Errors pass to the caller.
    virtual BatchText ReadText() = 0;
    // Lines appended to the version mark names; nullopt when the file is another one now
    // (the store's ReadBatchLinesAfter). Advances mark.
    virtual std::optional<std::vector<std::string>> LinesAfter(BatchFileMark& mark) = 0;
    // This process's rewrites since mark, oldest first (the store's BatchFileEditsSince).
    virtual std::optional<std::vector<BatchFileEdit>> EditsSince(const BatchFileMark& mark) = 0;
};

// The batch file, through the store.
class BatchFileQueueSource : public IQueueSource {
public:
    explicit BatchFileQueueSource(std::filesystem::path file) : m_file(std::move(file)) {}
    BatchText ReadText() override;
    std::optional<std::vector<std::string>> LinesAfter(BatchFileMark& mark) override;
    std::optional<std::vector<BatchFileEdit>> EditsSince(const BatchFileMark& mark) override;

private:
    std::filesystem::path m_file;
};

} // namespace ct
