#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/error/CloudError.h"

namespace ct {

class EConvertError : public CloudError {
public:
    using CloudError::CloudError;
};

// Text to a 32-bit signed integer, the way the settings editor reads typed text: leading
// blanks, an optional sign, then decimal digits, or "$" / "0x" and hexadecimal digits
// (hexadecimal covers the full 32 bits, "$FFFFFFFF" is -1). Anything else, an empty text,
// trailing characters and values outside the 32-bit range are refused.
std::optional<std::int32_t> TryStrToInt(std::string_view text);
// As TryStrToInt; raises EConvertError when the text is refused.
std::int32_t StrToInt(std::string_view text);

// The value of a hexadecimal digit of either case; -1 for any other character.
int HexDigitValue(char c);

} // namespace ct
