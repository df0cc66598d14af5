#include "batch/JobLine.h"

namespace ct {

bool IsUploadJob(const TSuperObject& job) {
    const std::string v = job.S("v");
    return v == "put" || v.empty();
}

std::optional<std::string> NextErrorMark(const TSuperObject& job) {
    if (!job.Has("error"))
        return std::string("1");
    if (job.S("error") == "1")
        return std::string("2");
    return std::nullopt;
}

} // namespace ct
