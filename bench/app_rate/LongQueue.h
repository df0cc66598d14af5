#pragma once

#include <string>

namespace ct::bench {

// `bench_app_rate --long-queue ...`: the executable's unattended run on a long queue against a
// short one (see LongQueue.cpp). Returns the process's exit status.
int RunLongQueue(int argc, char** argv);

} // namespace ct::bench
