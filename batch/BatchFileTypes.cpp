#include "batch/BatchFileTypes.h"

namespace ct {

std::string_view BatchText::Line(std::size_t i) const {
    const std::size_t start = lineStarts[i];
    std::size_t end = i + 1 < lineStarts.size() ? lineStarts[i + 1] : text.size();
    if (end > start && text[end - 1] == '\n')
        --end;
    if (end > start && text[end - 1] == '\r')
        --end;
    return std::string_view(text).substr(start, end - start);
}

} // namespace ct
