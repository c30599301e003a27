// The call guard's steps that are not templates: aborting when a count is
// broken, raising a returned error or a failure, refusing an interpreter.
#include "boundary/trampoline.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
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

void abort_at_ffi_boundary() noexcept {
    std::string message;
    try {
        message = current_panic_message();
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

// Raising is a step of the guard: a failure there is fatal, while the forced
// unwind of a thread being ended passes on.
VINDRAL_CATCHES_FORCED_UNWIND void raise(PyErr error) {
    try {
        std::move(error).restore();
    }
#if defined(__GLIBCXX__)
    catch (abi::__forced_unwind&) {
        GIL_COUNT = 0;
        throw;
    }
#endif
    catch (...) {
        abort_at_ffi_boundary();
    }
}

}  // namespace

PyObject* raise_returned_error(PyErr&& error) {
    // What the body discarded on the way to its error (the error it
    // rewrote, say) is released before the call returns, like its locals.
    apply_pool();
    raise(std::move(error));
    return nullptr;
}

struct Failure {
    std::optional<PyErr> memory_error;
    std::string message;  // of an internal failure, when there is no error
};

// Out of memory here, the process ends: the guard cannot report anything.
// NOLINTBEGIN(bugprone-unhandled-exception-at-new)
Failure* take_failure() noexcept {
    try {
        throw;
    } catch (const InterpreterMemoryError& exhausted) {
        return new Failure{exhausted.take(), {}};
    } catch (...) {
        return new Failure{std::nullopt, current_panic_message()};
    }
}
// NOLINTEND(bugprone-unhandled-exception-at-new)

PyObject* raise_failure(Failure* failure) {
    const std::unique_ptr<Failure> taken(failure);
    apply_pool();
    if (taken->memory_error) {
        raise(std::move(*taken->memory_error));
    } else {
        raise(PyErr::new_<PanicException>(std::move(taken->message)));
    }
    return nullptr;
}

// A stable-ABI module reads objects by the layout of interpreters with a GIL
// (its reference counts, its types), which a free-threaded interpreter's
// objects do not have: before any object is touched, the interpreter's own
// version text tells, and the interpreter itself makes the error.
bool refuse_free_threaded_interpreter() {
    if (std::string_view(Py_GetVersion()).find("free-threading build") == std::string_view::npos) {
        return false;
    }
    PyErr_SetString(PyExc_ImportError,
                    "this build of vindral uses CPython's stable ABI (abi3), which a "
                    "free-threaded interpreter cannot load: install vindral for this "
                    "interpreter (pip builds it from the source distribution)");
    return true;
}

}  // namespace vindral::guard_detail
