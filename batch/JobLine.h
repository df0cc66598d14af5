#pragma once

#include <optional>
#include <string>

#include "batch/Job.h"

namespace ct {

// The failure rule. Returns the new error mark ("1" or "2") for a job that failed once
// more, or nullopt when the job is to be dropped. Decided by the member "error" itself:
// no member -> "1"; "1" -> "2"; any other present value -> drop.
std::optional<std::string> NextErrorMark(const Job& job);

} // namespace ct
