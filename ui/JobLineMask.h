#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ct {

// A job line as the queue view shows it: the value of every "p" member of the top-level
// "ftp" object (the login's password) reads "****", and every other byte stays as written.
// Only the first maxBytes of the line are looked at and returned (cut on a UTF-8 character
// boundary), so a line of any length costs the same. Text that is not a job line is returned
// as it is; a password whose line breaks off before the value ends is masked to the cut.
std::string MaskedJobLine(std::string_view line, std::size_t maxBytes);

} // namespace ct
