#include "ui/QueueSource.h"

namespace ct {

BatchText BatchFileQueueSource::ReadText() {
    return ReadBatchText(m_file);
}

std::optional<std::vector<std::string>> BatchFileQueueSource::LinesAfter(BatchFileMark& mark) {
    return ReadBatchLinesAfter(m_file, mark);
}

std::optional<std::vector<BatchFileEdit>> BatchFileQueueSource::EditsSince(const BatchFileMark& mark) {
    return BatchFileEditsSince(m_file, mark);
}

} // namespace ct
