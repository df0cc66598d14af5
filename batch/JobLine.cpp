#include "batch/JobLine.h"

namespace ct {

std::optional<std::string> NextErrorMark(const Job& job) {
    if (!job.errorMark)
        return std::string("1");
    if (*job.errorMark == "1")
        return std::string("2");
    return std::nullopt;
}

} // namespace ct
