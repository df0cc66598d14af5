#include "transfer/AppGlobals.h"

namespace ct {

std::atomic<std::uint16_t> SecDelay{0};
std::atomic<std::uint16_t> BitsPerSecSetting{0};
std::atomic<bool> InteractiveMode{true};
IQueueListView* CloudTransferFrm = nullptr;
std::atomic<char> DecimalSeparator{'.'};
std::atomic<bool> LogToStandardError{false};

} // namespace ct
