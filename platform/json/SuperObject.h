#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/error/CloudError.h"

namespace ct {

// The bounds of a job line: longer or deeper text is not a job (SO refuses it), so that no
// line can exhaust memory or the stack of whoever parses, copies or prints it.
inline constexpr std::size_t kMaxJobLineBytes = 1024 * 1024;
inline constexpr int kMaxJobDepth = 64;

class JsonError : public CloudError {
public:
    using CloudError::CloudError;
};

// A JSON object held through a shared handle (ISuperObject). Member order is kept as the
// producer wrote it, so a rewritten job line differs from the original only where it was set.
class TSuperObject {
public:
    TSuperObject();
    ~TSuperObject();
    TSuperObject(const TSuperObject&) = delete;
    TSuperObject& operator=(const TSuperObject&) = delete;

    // The member's object, or nullptr when the member is missing or not an object.
    std::shared_ptr<TSuperObject> O(std::string_view name) const;
    // The member's text; "" when missing. Non-string members read as their JSON text
    // (a number 21 reads "21"), null reads "".
    std::string S(std::string_view name) const;
    // The member as a signed 64-bit integer; 0 when missing or not convertible.
    // A string holding a decimal integer ("21") reads as that integer.
    std::int64_t I(std::string_view name) const;
    // Adds the member or replaces its value, as a JSON string.
    void SetS(std::string_view name, const std::string& value);
    bool Has(std::string_view name) const;
    // One compact line, no line break; valid JSON (RFC 8259) that SO reads back unchanged.
    std::string AsJSon() const;

    struct Impl;
    std::unique_ptr<Impl> impl;
};

using ISuperObject = std::shared_ptr<TSuperObject>;

// Parses one line of text. Anything that is not a JSON object raises JsonError (never an
// empty object), and so does text longer than kMaxJobLineBytes or nested deeper than
// kMaxJobDepth (the top-level object is level 1). The error's text gives a position and a
// reason, never a piece of the input.
ISuperObject SO(std::string_view text);

} // namespace ct
