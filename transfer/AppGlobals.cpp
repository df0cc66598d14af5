#include "transfer/AppGlobals.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace ct {

std::atomic<std::uint16_t> SecDelay{0};
std::atomic<std::uint16_t> BitsPerSecSetting{0};
std::atomic<bool> InteractiveMode{true};
IQueueListView* CloudTransferFrm = nullptr;
std::atomic<char> DecimalSeparator{'.'};
std::atomic<bool> LogToStandardError{false};

bool StandardErrorIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

} // namespace ct
