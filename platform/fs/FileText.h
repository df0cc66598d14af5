#pragma once

#include <string>
#include <string_view>

// The 8-bit text of files on this platform: UTF-8 as it stands on POSIX systems, the ANSI code
// page on Windows (where a file that starts with a UTF-8 byte-order mark is UTF-8 instead).

namespace ct {

// True where a file's bytes without a mark are UTF-8 already.
bool FileTextIsUtf8();
// The platform's 8-bit text as UTF-8, and back.
std::string FileTextToUtf8(std::string_view bytes);
std::string Utf8ToFileText(std::string_view text);

} // namespace ct
