#pragma once

#include <stdexcept>
#include <string>

namespace ct {

// The one project error type. Every failure that the design lets pass to a guard
// (the worker's job guard, the settings editor, the application's default handler)
// is a CloudError or derived from it. Messages are readable and never hold a password.
class CloudError : public std::runtime_error {
public:
    explicit CloudError(const std::string& message) : std::runtime_error(message) {}
};

} // namespace ct
