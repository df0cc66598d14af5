#include "transfer/JobReason.h"

namespace ct {

std::string ShortReason(const std::string& text) {
    std::string reason = text;
    for (char& c : reason)
        if (c == '\r' || c == '\n' || c == '\t')
            c = ' ';
    if (reason.size() > kMaxReasonBytes) {
        std::size_t cut = kMaxReasonBytes - 3;
        // Back to the start of a UTF-8 character, so the cut text stays valid UTF-8.
        while (cut > 0 && (static_cast<unsigned char>(reason[cut]) & 0xC0) == 0x80)
            --cut;
        reason.resize(cut);
        reason += "...";
    }
    return reason;
}

} // namespace ct
