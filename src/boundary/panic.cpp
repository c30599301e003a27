// The PanicException class, made on first need, and the messages that
// internal failures carry.
#include "boundary/panic.hpp"

#include <string_view>

#include "boundary/internal_failure.hpp"
#include "boundary/interpreter_lifetime.hpp"
#include "boundary/text.hpp"

namespace vindral {
namespace {

// Set on first need, and kept while the claiming interpreter lives.
PyObject* TYPE_OBJECT = nullptr;

constexpr std::string_view panic_exception_name = "vindral_runtime.PanicException";

constexpr std::string_view panic_exception_doc =
    "\nThe exception raised when vindral's native code, called from Python, panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

constexpr std::string_view message_of_unknown_payload =
    "vindral's native code failed with an internal error that carries no message";

}  // namespace

PyObject* PanicException::if_created() noexcept { return interpreter_lifetime::load(TYPE_OBJECT); }

Owned PanicException::type_object() {
    if (PyObject* kept = interpreter_lifetime::load(TYPE_OBJECT)) [[likely]] {
        return Owned::borrow(kept);
    }
    PyResult<Owned> created = PyErr::new_type_bound(panic_exception_name, panic_exception_doc,
                                                    PyExc_BaseException, nullptr);
    if (!created) {
        PyErr error = std::move(created).error();
        if (error.is_memory_error()) {
            // Raised in place of the PanicException that cannot be made.
            std::move(error).restore();
            return {};
        }
        internal_failure(concat({"Failed to initialize new exception type.: ", error.debug()}));
    }
    // Creating a class runs interpreter code, which may let another thread
    // create it too; the first one kept wins.
    return interpreter_lifetime::keep(TYPE_OBJECT, std::move(created).value());
}

std::string current_panic_message() {
    try {
        throw;
    } catch (const InternalFailure& failure) {
        return failure.message();
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (const std::string& text) {
        return text;
    } catch (std::string_view text) {
        return std::string(text);
    } catch (const char* text) {
        return text != nullptr ? std::string(text) : std::string(message_of_unknown_payload);
    } catch (...) {
        return std::string(message_of_unknown_payload);
    }
}

}  // namespace vindral
