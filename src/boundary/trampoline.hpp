// The call guard around every entry from the interpreter.
//
// Whatever happens inside an entry's body leaves it as one of two things: a
// new reference to the result, or null with the interpreter's error
// indicator set. Errors that the body returns are raised; internal failures
// that it throws become PanicException. A failure in the guard's own
// bookkeeping cannot be reported safely and aborts the process.
//
// One thing passes through untouched: the forced unwind that ends a thread
// asking for the interpreter while it finalises (pthread_exit). It is no
// failure of ours, and the thread never returns to the interpreter. Entries
// are therefore not noexcept, which would turn it into a terminate, and no
// Python code runs while a handler holds an exception: the C++ runtime
// cannot take a forced unwind into a second handler.
#pragma once

#include <utility>
#if defined(__GLIBCXX__)
#include <cxxabi.h>  // abi::__forced_unwind
#endif

#include "boundary/compiler.hpp"
#include "boundary/gil_state.hpp"
#include "boundary/host.hpp"
#include "boundary/pyerr.hpp"

namespace vindral {
namespace guard_detail {

// Refusals to enter, and the abort that follows any failure of the guard's
// own steps; all cold and out of line.
[[noreturn]] VINDRAL_COLD void prohibited_entry(std::int64_t gil_count) noexcept;
[[noreturn]] VINDRAL_COLD void negative_count_on_exit() noexcept;
// Inside a handler: reports the exception being handled and aborts.
[[noreturn]] VINDRAL_COLD void abort_at_ffi_boundary() noexcept;

// Raises an error the body returned; gives null.
VINDRAL_COLD PyObject* raise_returned_error(PyErr&& error);

// What the body threw: the interpreter's MemoryError from a call that could
// not fail, or the message of an internal failure.
struct Failure;
// Inside a handler: the failure being handled, on the heap.
VINDRAL_COLD Failure* take_failure() noexcept;
// Outside any handler: raises it (an internal failure as PanicException);
// gives null.
VINDRAL_COLD PyObject* raise_failure(Failure* failure);

// Both take this thread's count by reference: the address of a thread-local
// cannot change during a call, so the guard looks it up only once.
inline void enter(std::int64_t& gil_count) {
    const std::int64_t count = gil_count;
    if (count < 0) [[unlikely]] {
        prohibited_entry(count);
    }
    gil_count = count + 1;
    apply_pool();
}

inline void leave(std::int64_t& gil_count) noexcept {
    const std::int64_t count = gil_count;
    if (count <= 0) [[unlikely]] {
        negative_count_on_exit();
    }
    gil_count = count - 1;
}

}  // namespace guard_detail

// Runs `body`, which returns PyResult<Owned>, as an entry from the
// interpreter.
template <class Body>
VINDRAL_ALWAYS_INLINE VINDRAL_CATCHES_FORCED_UNWIND PyObject* trampoline(Body&& body) {
    std::int64_t& gil_count = GIL_COUNT;
    guard_detail::enter(gil_count);
    PyObject* result = nullptr;
    guard_detail::Failure* failure = nullptr;
    try {
        PyResult<Owned> outcome = body();
        if (outcome.is_ok()) [[likely]] {
            result = std::move(outcome).value().into_raw();
        } else {
            // A failure while raising aborts inside; it never lands in the
            // handler below, which is only for failures of the body.
            result = guard_detail::raise_returned_error(std::move(outcome).error());
        }
    }
#if defined(__GLIBCXX__)
    catch (abi::__forced_unwind&) {
        gil_count = 0;  // this thread has lost the interpreter
        throw;
    }
#endif
    catch (...) {
        failure = guard_detail::take_failure();
    }
    if (failure != nullptr) [[unlikely]] {
        result = guard_detail::raise_failure(failure);
    }
    guard_detail::leave(gil_count);
    return result;
}

// The guard for an entry that reports by a status, 0 or -1 with the error
// set (a hook that numpy calls): `body` returns PyResult<void>.
template <class Body>
int status_trampoline(Body&& body) {
    // None stands for success; no reference to it is taken, so none is
    // handed back.
    PyObject* done = trampoline([&]() -> PyResult<Owned> {
        PyResult<void> outcome = body();
        if (!outcome.is_ok()) {
            return std::move(outcome).error();
        }
        return Owned::steal(Py_None);
    });
    return done != nullptr ? 0 : -1;
}

namespace guard_detail {
// Whether this stable-ABI build was loaded by a free-threaded interpreter,
// whose objects it cannot read; the ImportError is set when it was.
bool refuse_free_threaded_interpreter();
}  // namespace guard_detail

// The guard for a module's initialisation function.
VINDRAL_CATCHES_FORCED_UNWIND inline PyObject* module_init(PyResult<Owned> (*body)()) {
#if defined(Py_LIMITED_API)
    if (guard_detail::refuse_free_threaded_interpreter()) [[unlikely]] {
        return nullptr;
    }
#endif
    return trampoline(body);
}

namespace guard_detail {
// Calls with and without keywords each have an instance of their own, which
// the entry reaches by a jump: the positional one sees a null dictionary as
// a constant and carries nothing for one, and each has one frame, where the
// entry's own would be set up before it looks at the dictionary. The guard's
// handlers are inlined into them, so they carry its attribute for the forced
// unwind.
template <bool WithKeywords, class Body>
VINDRAL_NOINLINE VINDRAL_CATCHES_FORCED_UNWIND PyObject* call(PyObject* args, PyObject* kwargs,
                                                              Body& body) {
    return trampoline(
        [&]() VINDRAL_ALWAYS_INLINE_LAMBDA { return body(args, WithKeywords ? kwargs : nullptr); });
}
}  // namespace guard_detail

// The guard for a function with flags METH_VARARGS | METH_KEYWORDS; `body`
// takes the argument tuple and the keyword dictionary (or null).
template <class Body>
VINDRAL_ALWAYS_INLINE PyObject* cfunction_with_keywords(PyObject* /*self*/, PyObject* args,
                                                        PyObject* kwargs, Body&& body) {
    if (kwargs == nullptr) [[likely]] {
        return guard_detail::call<false>(args, nullptr, body);
    }
    return guard_detail::call<true>(args, kwargs, body);
}

// The same for a binding routine named at compile time, which the guard's
// code then takes in whole.
template <PyResult<Owned> (*Body)(PyObject*, PyObject*)>
VINDRAL_ALWAYS_INLINE PyObject* cfunction_with_keywords(PyObject* self, PyObject* args,
                                                        PyObject* kwargs) {
    return cfunction_with_keywords(self, args, kwargs,
                                   [](PyObject* a, PyObject* kw)
                                       VINDRAL_ALWAYS_INLINE_LAMBDA { return Body(a, kw); });
}

// The guard for a function with flags METH_FASTCALL | METH_KEYWORDS, for a
// binding routine named at compile time: `Body` takes the arguments (those
// given by position, then the keyword values), how many are positional, and
// the tuple of keyword names (or null). One function for calls with and
// without keywords: this form serves PyPy, where the C interface's own cost
// outweighs a frame.
template <PyResult<Owned> (*Body)(PyObject* const*, Py_ssize_t, PyObject*)>
VINDRAL_CATCHES_FORCED_UNWIND PyObject* cfunction_fastcall_with_keywords(PyObject* /*self*/,
                                                                         PyObject* const* args,
                                                                         Py_ssize_t nargs,
                                                                         PyObject* kwnames) {
    return trampoline([&]() VINDRAL_ALWAYS_INLINE_LAMBDA { return Body(args, nargs, kwnames); });
}

}  // namespace vindral
