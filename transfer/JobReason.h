#pragma once

#include <cstddef>
#include <string>

namespace ct {

// The longest reason a job line or the outcome log carries.
inline constexpr std::size_t kMaxReasonBytes = 300;

// text with every occurrence of secret replaced by "***" (nothing when secret is empty).
std::string RedactSecret(std::string text, const std::string& secret);

// A failure's text as the job line's "reason" and the log show it: one line (line breaks and
// tabs become blanks), the secret redacted first and only then cut to kMaxReasonBytes on a
// character boundary, so that a cut can never leave part of the secret behind.
std::string ShortReason(const std::string& text, const std::string& secret);

} // namespace ct
