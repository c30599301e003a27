// Internal failures: broken assertions and impossible states.
//
// They are thrown, never returned, and only the call guard catches them; it
// raises them in the interpreter as PanicException with the same message.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "boundary/compiler.hpp"

namespace vindral {

class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string message) : message_(std::move(message)) {}

    // The whole message: what() stops at the first NUL, the message does not.
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Kept out of line and cold so that the checks guarding it cost a compare and
// a never-taken branch on the paths that succeed.
[[noreturn]] VINDRAL_COLD VINDRAL_NOINLINE void internal_failure(const std::string& message);

}  // namespace vindral
