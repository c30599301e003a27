#include "boundary/trampoline.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "boundary/panic.hpp"

namespace vindral::guard_detail {
namespace {

// Reports a failure that must not return to the interpreter and ends the
// process. While the trap is armed (from entry bookkeeping until the outcome
// has been handed to the interpreter), the trap's own message follows.
[[noreturn]] void die(const char* message, bool trap_armed) noexcept {
    std::fprintf(stderr, "vindral: internal failure: %s\n", message);
    if (trap_armed) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
    }
    std::fflush(stderr);
    std::abort();
}

}  // namespace

void abort_at_ffi_boundary(std::exception_ptr failure) noexcept {
    std::string message;
    try {
        message = panic_payload_message(failure);
    } catch (...) {
        message = "(the failure's message could not be read)";
    }
    die(message.c_str(), true);
}

void prohibited_entry(std::int64_t gil_count) noexcept {
    die(gil_count == -1
            ? "Access to the GIL is prohibited while a __traverse__ implmentation is running."
            : "Access to the GIL is currently prohibited.",
        true);
}

void negative_count_on_exit() noexcept {
    die("Negative GIL count detected. Please report this error to the vindral maintainers as a "
        "bug.",
        false);
}

PyObject* raise_returned_error(PyErr&& error) noexcept {
    try {
        std::move(error).restore();
    } catch (...) {
        abort_at_ffi_boundary(std::current_exception());
    }
    return nullptr;
}

PyObject* raise_caught_failure(std::exception_ptr failure) noexcept {
    try {
        from_panic_payload(failure).restore();
    } catch (...) {
        abort_at_ffi_boundary(std::current_exception());
    }
    return nullptr;
}

}  // namespace vindral::guard_detail
