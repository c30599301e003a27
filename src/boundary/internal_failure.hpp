// Internal failures: broken assertions and impossible states.
//
// They are thrown, never returned, and only the call guard catches them; it
// raises them in the interpreter as PanicException with the same message.
#pragma once

#include <stdexcept>
#include <string>

namespace vindral {

class InternalFailure : public std::runtime_error {
public:
    explicit InternalFailure(const std::string& message) : std::runtime_error(message) {}
};

// Kept out of line and cold so that the checks guarding it cost a compare and
// a never-taken branch on the paths that succeed.
[[noreturn, gnu::cold, gnu::noinline]] void internal_failure(const std::string& message);

}  // namespace vindral
