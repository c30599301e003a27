// PyErr: an exception that is to be raised in the interpreter, and PyResult,
// the value-or-PyErr that every fallible operation of the boundary returns.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "boundary/compiler.hpp"
#include "boundary/host.hpp"
#include "boundary/owned.hpp"

namespace vindral {

// Exception types that a lazy error can name. Each resolves its class only
// when the error is raised or inspected, never when the error is created.
struct TypeError {
    static Owned type_object() { return Owned::borrow(PyExc_TypeError); }
    static constexpr bool args_as_tuple = false;
};
struct ValueError {
    static Owned type_object() { return Owned::borrow(PyExc_ValueError); }
    static constexpr bool args_as_tuple = false;
};
struct ImportError {
    static Owned type_object() { return Owned::borrow(PyExc_ImportError); }
    static constexpr bool args_as_tuple = false;
};
// type_object() gives the class, or nothing with the interpreter's error set
// when the class cannot be made for want of memory; if_created() the class
// if it has been made, else null, and never makes it. Both in panic.cpp.
struct PanicException {
    static Owned type_object();
    static PyObject* if_created() noexcept;
    static constexpr bool args_as_tuple = true;
};

template <class T>
class PyResult;

class PyErr {
public:
    // ---- Creation --------------------------------------------------------

    // A lazy error of type E with a message; builds no interpreter object.
    template <class E>
    static PyErr new_(std::string message) {
        return PyErr(Lazy{Lazy::Kind::Message, &E::type_object, E::args_as_tuple,
                          std::move(message), Owned()});
    }

    // A lazy TypeError saying that an object of `from_type` cannot be
    // converted to `target`.
    static PyErr type_mismatch(Owned from_type, std::string target);

    // An exception instance becomes a normalised error; any other object
    // becomes a lazy error with that object as its type and no argument.
    static PyErr from_value_bound(PyObject* obj);

    // Moves the interpreter's current error out of its indicator, or gives
    // nothing when none is set. A PanicException coming back from the
    // interpreter is resumed as an internal failure instead.
    static std::optional<PyErr> take();

    // `take` after an interpreter call that signalled failure, where finding
    // no error set is itself an internal failure.
    static PyErr fetch();

    // A status of -1 gives `fetch`; any other status is success.
    static PyResult<void> error_on_minusone(int status);

    // For an interpreter call that cannot fail by contract but did: prints
    // the pending error and throws an internal failure. Running out of
    // memory is no failure of ours: a pending MemoryError is thrown as
    // InterpreterMemoryError instead, which the call guard raises as it is.
    [[noreturn]] VINDRAL_COLD static void panic_after_error();

    // Creates a new exception class. The docstring, base and dictionary may
    // be null. Texts with an interior NUL are an internal failure.
    static PyResult<Owned> new_type_bound(std::string_view name,
                                          std::optional<std::string_view> doc, PyObject* base,
                                          PyObject* dict);

    // ---- Raising ---------------------------------------------------------

    // Hands the error to the interpreter's error indicator.
    void restore() &&;

    // Raises the error, then reports it through the interpreter's
    // unraisable hook with `obj` (which may be null) as context.
    void write_unraisable_bound(PyObject* obj) &&;

    // ---- Inspection (normalises the error once) ---------------------------

    PyObject* get_type_bound();   // borrowed
    PyObject* value_bound();      // borrowed
    PyObject* traceback_bound();  // borrowed, may be null
    Owned into_value() &&;        // the instance, with its traceback attached
    std::optional<PyErr> cause();
    void set_cause(std::optional<PyErr> cause);
    // Gives this error the traceback and the __suppress_context__ of
    // `original`, whose place it takes, so that it shows where the original
    // was raised and hides what the original hid. Best effort: without
    // memory for it, they stay unset.
    void take_origin_from(PyErr& original);
    bool is_instance_of(PyObject* type);
    // Whether the interpreter reported running out of memory; unlike the
    // inspections above, this does not normalise (which would allocate).
    bool is_memory_error() const;
    // Whether the error must reach the caller whatever the code that met it
    // meant to do instead: running out of memory, or a BaseException that is
    // not an Exception (KeyboardInterrupt, SystemExit), by which the user's
    // program means to stop. Does not normalise either.
    bool must_reach_caller() const;

    // "PyErr { type: ..., value: ..., traceback: ... }", for failure messages.
    std::string debug();

    PyErr(PyErr&&) noexcept = default;
    // Neither this nor the destructor releases a reference in place (see
    // discard): the Owned destructors that they run hold nothing.
    PyErr& operator=(PyErr&& other) noexcept {  // NOLINT(bugprone-exception-escape)
        if (this != &other) {
            if (state_) {
                discard();
            }
            state_ = std::move(other.state_);
        }
        return *this;
    }
    PyErr(const PyErr&) = delete;
    PyErr& operator=(const PyErr&) = delete;
    // Inline, so that the empty error of every successful result costs a
    // test and nothing more.
    ~PyErr() {  // NOLINT(bugprone-exception-escape): see operator=
        if (state_) [[unlikely]] {
            discard();
        }
    }

private:
    template <class T>
    friend class PyResult;

    // The exception is described but not built: the constructor runs when
    // the error is raised or inspected.
    struct Lazy {
        enum class Kind : unsigned char {
            Message,       // exception_type(message) or exception_type((message,))
            TypeMismatch,  // TypeError about `object`, a type, and target `text`
            NonException,  // `object` stands as the type, with no argument
        };
        Kind kind;
        Owned (*exception_type)();
        bool args_as_tuple;
        std::string text;
        Owned object;
    };
    // Exactly as the interpreter handed it out, not normalised.
    struct FfiTuple {
        Owned ptype;
        Owned pvalue;      // may be empty
        Owned ptraceback;  // may be empty
    };
    struct Normalized {
        Owned ptype;
        Owned pvalue;
        Owned ptraceback;  // may be empty
    };
    // Held only while the error is being normalised.
    struct Empty {};

    using State = std::variant<Empty, Lazy, FfiTuple, Normalized>;

    // No error: the state of a moved-from PyErr and of a successful result.
    PyErr() noexcept = default;
    template <class S>
    requires(std::is_same_v<S, Lazy> || std::is_same_v<S, FfiTuple> ||
             std::is_same_v<S, Normalized>) explicit PyErr(S state)
        : state_(std::make_unique<State>(std::move(state))) {}

    bool holds_error() const noexcept { return state_ != nullptr; }

    // Empties the error, handing its references to the pool. Errors are
    // dropped inside the standard library's noexcept destructors (an
    // optional's, a unique_ptr's), where a release that runs Python code
    // could not let the forced unwind of an ending thread pass; the guard
    // applies the pool before it raises an error, so what a call discarded
    // is released before the call returns, and else at the next entry.
    // Needs a state.
    VINDRAL_COLD void discard() noexcept;  // NOLINT(bugprone-exception-escape): see the .cpp

    Normalized& normalized();
    // The class of an error taken from the interpreter, as it was handed out;
    // null for a lazy error.
    PyObject* raw_type() const;
    static Normalized normalize_lazy(Lazy lazy);
    static void raise_lazy(Lazy lazy);
    [[noreturn]] static void print_panic_and_unwind(FfiTuple parts, const std::string& message);

    // On the heap, so that an error-or-value result stays two words wide and
    // the paths that succeed never touch the error's storage.
    std::unique_ptr<State> state_;
};

// Thrown by panic_after_error in place of an internal failure when the call
// that could not fail ran out of memory: the guard raises the error it holds.
// A thrown object must be copyable; no copy is ever made of this one (it is
// thrown once and caught by reference), and one would take the error over.
class InterpreterMemoryError {
public:
    explicit InterpreterMemoryError(PyErr error) : error_(std::move(error)) {}
    InterpreterMemoryError(const InterpreterMemoryError& other) : error_(std::move(other.error_)) {}
    InterpreterMemoryError& operator=(const InterpreterMemoryError&) = delete;
    InterpreterMemoryError(InterpreterMemoryError&&) noexcept = default;
    InterpreterMemoryError& operator=(InterpreterMemoryError&&) = delete;
    ~InterpreterMemoryError() = default;

    PyErr take() const { return std::move(error_); }

private:
    mutable PyErr error_;
};

// The result of an operation that can fail: a value, or the pending error.
template <class T>
class [[nodiscard]] PyResult {
public:
    PyResult(T value) noexcept(std::is_nothrow_move_constructible_v<T>)
        : value_(std::move(value)) {}
    PyResult(PyErr error) noexcept : error_(std::move(error)) {}

    bool is_ok() const noexcept { return !error_.holds_error(); }
    explicit operator bool() const noexcept { return is_ok(); }

    T& value() & noexcept { return value_; }
    T&& value() && noexcept { return std::move(value_); }
    PyErr&& error() && noexcept { return std::move(error_); }

private:
    T value_{};
    PyErr error_;
};

template <>
class [[nodiscard]] PyResult<void> {
public:
    PyResult() noexcept = default;
    PyResult(PyErr error) noexcept : error_(std::move(error)) {}

    bool is_ok() const noexcept { return !error_.holds_error(); }
    explicit operator bool() const noexcept { return is_ok(); }

    PyErr&& error() && noexcept { return std::move(error_); }

private:
    PyErr error_;
};

}  // namespace vindral
