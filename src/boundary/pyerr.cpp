// PyErr's states and their moves between the boundary and the
// interpreter's error indicator.
#include "boundary/pyerr.hpp"

#include <cstdio>

#include "boundary/internal_failure.hpp"
#include "boundary/text.hpp"

namespace vindral {
namespace {

// The states FfiTuple and Normalized both hold a type, a value and a
// traceback; these move such parts out of, through and into the interpreter.

// Moves the error indicator's contents out, leaving it clear.
template <class Parts>
Parts fetch_indicator() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    host::err_fetch(&type, &value, &traceback);
    return {Owned::steal(type), Owned::steal(value), Owned::steal(traceback)};
}

// The same parts with the value made an instance of the type.
template <class Normalized, class Parts>
Normalized normalize_parts(Parts parts) {
    PyObject* type = parts.ptype.into_raw();
    PyObject* value = parts.pvalue.into_raw();
    PyObject* traceback = parts.ptraceback.into_raw();
    // Instantiating the exception may run its class's Python code.
    calling_python([&] { host::err_normalize(&type, &value, &traceback); });
    return {Owned::steal(type), Owned::steal(value), Owned::steal(traceback)};
}

// Hands the parts to the error indicator.
template <class Parts>
void restore_parts(Parts& parts) {
    PyObject* type = parts.ptype.into_raw();
    PyObject* value = parts.pvalue.into_raw();
    PyObject* traceback = parts.ptraceback.into_raw();
    calling_python([&] { host::err_restore(type, value, traceback); });
}

// "'<qualname>' object cannot be converted to '<target>'".
std::string type_mismatch_message(PyObject* from_type, std::string_view target) {
    std::string message = "'";
    message += type_qualname(from_type);
    message += "' object cannot be converted to '";
    message += target;
    message += '\'';
    return message;
}

// Describes the first interior NUL of a text that must be NUL-terminated.
std::optional<std::string> interior_nul(std::string_view text) {
    const std::size_t at = text.find('\0');
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    return concat({"nul byte found in provided data at position: ", std::to_string(at)});
}

}  // namespace

// ---- Creation ------------------------------------------------------------

PyErr PyErr::type_mismatch(Owned from_type, std::string target) {
    return PyErr(Lazy{Lazy::Kind::TypeMismatch, &TypeError::type_object, false, std::move(target),
                      std::move(from_type)});
}

PyErr PyErr::from_value_bound(PyObject* obj) {
    if (host::is_exception_instance(obj)) {
        return PyErr(Normalized{
            Owned::borrow(host::type_of(obj)),
            Owned::borrow(obj),
            Owned::steal(PyException_GetTraceback(obj)),
        });
    }
    return PyErr(Lazy{Lazy::Kind::NonException, nullptr, false, {}, Owned::borrow(obj)});
}

std::optional<PyErr> PyErr::take() {
    auto parts = fetch_indicator<FfiTuple>();

    if (!parts.ptype) {
        if (parts.pvalue) {
            internal_failure("Exception type was null but value was not null");
        }
        if (parts.ptraceback) {
            internal_failure("Exception type was null but traceback was not null");
        }
        return std::nullopt;
    }
    // Identity, not subclass: a subclass of PanicException is an ordinary
    // error. While the class does not exist yet, nothing can be one.
    if (PyObject* panic_type = PanicException::if_created();
        panic_type != nullptr && parts.ptype.get() == panic_type) [[unlikely]] {
        std::string message = "Unwrapped panic from Python code";
        if (parts.pvalue) {
            Owned text =
                Owned::steal(calling_python([&] { return PyObject_Str(parts.pvalue.get()); }));
            std::optional<std::string> utf8 =
                text ? try_str_to_utf8_lossy(text.get()) : std::nullopt;
            if (utf8) {
                message = std::move(*utf8);
            } else {
                // The str() failure is dropped, never resumed.
                (void)fetch_indicator<FfiTuple>();
            }
        }
        print_panic_and_unwind(std::move(parts), message);
    }
    return PyErr(std::move(parts));
}

PyErr PyErr::fetch() {
    std::optional<PyErr> error = take();
    if (!error) [[unlikely]] {
        internal_failure("attempted to fetch exception but none was set");
    }
    return std::move(*error);
}

PyResult<void> PyErr::error_on_minusone(int status) {
    if (status == -1) {
        return fetch();
    }
    return {};
}

void PyErr::panic_after_error() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError) != 0) {
        throw InterpreterMemoryError(fetch());
    }
    calling_python([] { PyErr_Print(); });
    internal_failure("Python API call failed");
}

PyResult<Owned> PyErr::new_type_bound(std::string_view name, std::optional<std::string_view> doc,
                                      PyObject* base, PyObject* dict) {
    if (auto problem = interior_nul(name)) {
        internal_failure("Failed to initialize nul terminated exception name: " + *problem);
    }
    if (doc) {
        if (auto problem = interior_nul(*doc)) {
            internal_failure("Failed to initialize nul terminated docstring: " + *problem);
        }
    }
    const std::string name_c(name);
    const std::string doc_c = doc ? std::string(*doc) : std::string();
    PyObject* type =
        PyErr_NewExceptionWithDoc(name_c.c_str(), doc ? doc_c.c_str() : nullptr, base, dict);
    if (type == nullptr) {
        return fetch();
    }
    return Owned::steal(type);
}

// ---- Raising ---------------------------------------------------------------

// Sets the error indicator to the exception described. When the class or the
// argument cannot be made (memory ran out), the interpreter's own error for
// that stays set in its place: raising never fails.
void PyErr::raise_lazy(Lazy lazy) {
    Owned ptype;
    Owned pvalue;
    switch (lazy.kind) {
        case Lazy::Kind::Message: {
            ptype = lazy.exception_type();
            Owned message = ptype ? try_new_str(lazy.text) : Owned();
            if (!message) {
                return;
            }
            if (lazy.args_as_tuple) {
                // A tracked object: its allocation may start a collection.
                pvalue = Owned::steal(calling_python([] { return PyTuple_New(1); }));
                if (!pvalue) {
                    return;
                }
                PyTuple_SetItem(pvalue.get(), 0, message.into_raw());
            } else {
                pvalue = std::move(message);
            }
            break;
        }
        case Lazy::Kind::TypeMismatch:
            ptype = lazy.exception_type();
            pvalue = try_new_str(type_mismatch_message(lazy.object.get(), lazy.text));
            if (!pvalue) {
                return;
            }
            break;
        case Lazy::Kind::NonException:
            ptype = std::move(lazy.object);
            pvalue = Owned::borrow(Py_None);
            break;
    }
    // Setting may instantiate the exception.
    calling_python([&] {
        if (host::is_exception_class(ptype.get())) {
            PyErr_SetObject(ptype.get(), pvalue.get());
        } else {
            PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        }
    });
}

PyErr::Normalized PyErr::normalize_lazy(Lazy lazy) {
    raise_lazy(std::move(lazy));
    return normalize_parts<Normalized>(fetch_indicator<FfiTuple>());
}

void PyErr::restore() && {
    if (!state_) {
        internal_failure("PyErr state should never be invalid outside of normalization");
    }
    State& state = *state_;
    if (auto* lazy = std::get_if<Lazy>(&state)) {
        // Raised normalised, so that the class's constructor has already run
        // when the entry returns.
        state = normalize_lazy(std::move(*lazy));
    }
    if (auto* tuple = std::get_if<FfiTuple>(&state)) {
        restore_parts(*tuple);
    } else if (auto* normalized = std::get_if<Normalized>(&state)) {
        restore_parts(*normalized);
    } else {
        internal_failure("PyErr state should never be invalid outside of normalization");
    }
    state_.reset();
}

void PyErr::write_unraisable_bound(PyObject* obj) && {
    std::move(*this).restore();
    calling_python([obj] { PyErr_WriteUnraisable(obj); });
}

void PyErr::print_panic_and_unwind(FfiTuple parts, const std::string& message) {
    std::fputs("--- vindral is resuming a panic after fetching a PanicException from Python. ---\n",
               stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    PyErr(std::move(parts)).restore();
    calling_python([] { PyErr_PrintEx(0); });
    internal_failure(message);
}

// The Owned destructors that reset() runs hold nothing once their parts are
// deferred, so nothing can leave this function.
void PyErr::discard() noexcept {  // NOLINT(bugprone-exception-escape)
    const auto defer = [](Owned& part) {
        if (part) {
            defer_release(part.into_raw());
        }
    };
    std::visit(
        [&](auto& parts) {
            using Parts = std::decay_t<decltype(parts)>;
            if constexpr (std::is_same_v<Parts, Lazy>) {
                defer(parts.object);
            } else if constexpr (!std::is_same_v<Parts, Empty>) {
                defer(parts.ptype);
                defer(parts.pvalue);
                defer(parts.ptraceback);
            }
        },
        *state_);
    state_.reset();  // holds no reference any more
}

// ---- Inspection --------------------------------------------------------------

PyErr::Normalized& PyErr::normalized() {
    if (!state_) {
        internal_failure("PyErr state should never be invalid outside of normalization");
    }
    if (auto* done = std::get_if<Normalized>(state_.get())) [[likely]] {
        return *done;
    }
    State taken = std::exchange(*state_, Empty{});
    Normalized result;
    if (auto* lazy = std::get_if<Lazy>(&taken)) {
        result = normalize_lazy(std::move(*lazy));
    } else if (auto* tuple = std::get_if<FfiTuple>(&taken)) {
        result = normalize_parts<Normalized>(std::move(*tuple));
    } else {
        internal_failure("Cannot normalize a PyErr while already normalizing it.");
    }
    if (!result.ptype) {
        internal_failure("Exception type missing");
    }
    if (!result.pvalue) {
        internal_failure("Exception value missing");
    }
    *state_ = std::move(result);
    return std::get<Normalized>(*state_);
}

PyObject* PyErr::get_type_bound() { return normalized().ptype.get(); }

PyObject* PyErr::value_bound() { return normalized().pvalue.get(); }

PyObject* PyErr::traceback_bound() { return normalized().ptraceback.get(); }

Owned PyErr::into_value() && {
    Normalized& parts = normalized();
    Owned value = parts.pvalue.clone_ref();
    if (parts.ptraceback) {
        PyException_SetTraceback(value.get(), parts.ptraceback.get());
    }
    discard();  // the parts: the value has its own reference now
    return value;
}

std::optional<PyErr> PyErr::cause() {
    Owned cause = Owned::steal(PyException_GetCause(value_bound()));
    if (!cause) {
        return std::nullopt;
    }
    return from_value_bound(cause.get());
}

void PyErr::set_cause(std::optional<PyErr> cause) {
    PyObject* value = value_bound();
    PyObject* cause_value = cause ? std::move(*cause).into_value().into_raw() : nullptr;
    PyException_SetCause(value, cause_value);
}

PyObject* PyErr::raw_type() const {
    const State* state = state_.get();
    if (const auto* tuple = std::get_if<FfiTuple>(state)) {
        return tuple->ptype.get();
    }
    if (const auto* normalized = std::get_if<Normalized>(state)) {
        return normalized->ptype.get();
    }
    return nullptr;
}

void PyErr::take_origin_from(PyErr& original) {
    Normalized& theirs = original.normalized();
    Normalized& mine = normalized();
    if (theirs.ptraceback) {
        // Both: the value's attribute, and the part that restore() hands to
        // the indicator, to which the interpreter adds the caller's frames.
        if (PyException_SetTraceback(mine.pvalue.get(), theirs.ptraceback.get()) == 0) {
            mine.ptraceback = theirs.ptraceback.clone_ref();
        } else {
            (void)take();
        }
    }
    Owned suppressed = get_attr_named(theirs.pvalue.get(), "__suppress_context__");
    if (!suppressed) {
        (void)take();
    } else if (suppressed.get() == Py_True) {
        Owned name = try_new_str("__suppress_context__");
        if (!name || PyObject_SetAttr(mine.pvalue.get(), name.get(), Py_True) == -1) {
            (void)take();
        }
    }
}

bool PyErr::is_memory_error() const {
    PyObject* type = raw_type();
    return type != nullptr && PyErr_GivenExceptionMatches(type, PyExc_MemoryError) != 0;
}

bool PyErr::must_reach_caller() const {
    PyObject* type = raw_type();
    return type != nullptr && (PyErr_GivenExceptionMatches(type, PyExc_MemoryError) != 0 ||
                               PyErr_GivenExceptionMatches(type, PyExc_Exception) == 0);
}

bool PyErr::is_instance_of(PyObject* type) {
    return PyErr_GivenExceptionMatches(get_type_bound(), type) != 0;
}

std::string PyErr::debug() {
    Normalized& parts = normalized();
    std::string traceback = "None";
    if (parts.ptraceback) {
        traceback = concat({"Some(", python_debug(parts.ptraceback.get()), ")"});
    }
    return concat({"PyErr { type: ", python_debug(parts.ptype.get()), ", value: ",
                   python_debug(parts.pvalue.get()), ", traceback: ", traceback, " }"});
}

}  // namespace vindral
