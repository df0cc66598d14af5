// Takes the single-instance guard the way the program does at start-up and says on stdout
// what happened: "acquired" or "refused".
//   instance_probe hold         keeps the guard until killed
//   instance_probe exit         ends at once
//   instance_probe spawn PROG   starts PROG (which outlives us), prints its pid, then ends
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/instance/InstanceGuard.h"

extern char** environ;

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "exit";
    auto guard = ct::InstanceGuard::TryAcquire();
    std::puts(guard ? "acquired" : "refused");
    std::fflush(stdout);
    if (!guard)
        return 0;
    if (std::strcmp(mode, "hold") == 0) {
        for (;;)
            pause();
    }
    if (std::strcmp(mode, "spawn") == 0 && argc > 2) {
        pid_t child = 0;
        char* childArgv[] = {argv[2], argv[3], nullptr};
        if (posix_spawn(&child, argv[2], nullptr, nullptr, childArgv, environ) != 0)
            return 3;
        std::printf("%d\n", static_cast<int>(child));
        std::fflush(stdout);
    }
    return 0;
}
