#include "boundary/trampoline.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "boundary/panic.hpp"

namespace vindral::guard_detail {
namespace {

// Reports a failure that must not return to the interpreter and ends the
// process. While the trap is armed (from entry bookkeeping until the outcome
// has been handed to the interpreter), the trap's own message follows.
[[noreturn]] void die(std::string_view message, bool trap_armed) noexcept {
    std::fputs("vindral: internal failure: ", stderr);
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
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
    die(message, true);
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

namespace {

// A failure while raising is fatal; a foreign unwind passes on.
[[noreturn]] void raising_failed() {
    std::exception_ptr failure = std::current_exception();
    if (!failure) {
        GIL_COUNT = 0;
        throw;
    }
    abort_at_ffi_boundary(std::move(failure));
}

}  // namespace

PyObject* raise_returned_error(PyErr&& error) {
    try {
        std::move(error).restore();
    } catch (...) {
        raising_failed();
    }
    return nullptr;
}

PyObject* raise_caught_failure(std::exception_ptr failure) {
    try {
        from_panic_payload(std::move(failure)).restore();
    } catch (...) {
        raising_failed();
    }
    return nullptr;
}

}  // namespace vindral::guard_detail
