#pragma once

#include <cstddef>
#include <string>

namespace ct {

// The longest reason a job line or the outcome log carries.
inline constexpr std::size_t kMaxReasonBytes = 300;

// A failure's text as the job line's "reason" and the log show it: one line (line breaks and
// tabs become blanks), cut to kMaxReasonBytes on a character boundary. Nothing is redacted
// here: the worker's own texts never hold the password, and the transfer client has redacted
// the server's words where it took them in, before it cut them.
std::string ShortReason(const std::string& text);

} // namespace ct
