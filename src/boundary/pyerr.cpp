#include "boundary/pyerr.hpp"

#include <cstdio>

#include "boundary/internal_failure.hpp"
#include "boundary/panic.hpp"
#include "boundary/text.hpp"

namespace vindral {
namespace {

// Clears the error indicator, dropping what it held. Unlike `take`, this
// never resumes a PanicException: it is for errors that are ignored.
void discard_current_error() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    host::err_fetch(&type, &value, &traceback);
    Owned dropped[] = {Owned::steal(type), Owned::steal(value), Owned::steal(traceback)};
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
    return "nul byte found in provided data at position: " + std::to_string(at);
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
            Owned::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj))),
            Owned::borrow(obj),
            Owned::steal(PyException_GetTraceback(obj)),
        });
    }
    return PyErr(Lazy{Lazy::Kind::NonException, nullptr, false, {}, Owned::borrow(obj)});
}

std::optional<PyErr> PyErr::take() {
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_traceback = nullptr;
    host::err_fetch(&raw_type, &raw_value, &raw_traceback);
    FfiTuple parts{Owned::steal(raw_type), Owned::steal(raw_value), Owned::steal(raw_traceback)};

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
    if (PyObject* panic_type = panic_exception_type_if_created();
        panic_type != nullptr && parts.ptype.get() == panic_type) [[unlikely]] {
        std::string message = "Unwrapped panic from Python code";
        if (parts.pvalue) {
            if (Owned text = Owned::steal(PyObject_Str(parts.pvalue.get()))) {
                message = str_to_utf8_lossy(text.get());
            } else {
                discard_current_error();
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
    PyErr_Print();
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

void PyErr::raise_lazy(Lazy lazy) {
    Owned ptype;
    Owned pvalue;
    switch (lazy.kind) {
        case Lazy::Kind::Message: {
            ptype = lazy.exception_type();
            Owned message = new_str(lazy.text);
            if (lazy.args_as_tuple) {
                pvalue = Owned::steal(PyTuple_New(1));
                if (!pvalue) {
                    panic_after_error();
                }
                PyTuple_SetItem(pvalue.get(), 0, message.into_raw());
            } else {
                pvalue = std::move(message);
            }
            break;
        }
        case Lazy::Kind::TypeMismatch:
            ptype = lazy.exception_type();
            pvalue = new_str(type_mismatch_message(lazy.object.get(), lazy.text));
            break;
        case Lazy::Kind::NonException:
            ptype = std::move(lazy.object);
            pvalue = Owned::borrow(Py_None);
            break;
    }
    if (host::is_exception_class(ptype.get())) {
        PyErr_SetObject(ptype.get(), pvalue.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

PyErr::Normalized PyErr::normalize_lazy(Lazy lazy) {
    raise_lazy(std::move(lazy));
    PyObject* ptype = nullptr;
    PyObject* pvalue = nullptr;
    PyObject* ptraceback = nullptr;
    host::err_fetch(&ptype, &pvalue, &ptraceback);
    host::err_normalize(&ptype, &pvalue, &ptraceback);
    return Normalized{Owned::steal(ptype), Owned::steal(pvalue), Owned::steal(ptraceback)};
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
        host::err_restore(tuple->ptype.into_raw(), tuple->pvalue.into_raw(),
                          tuple->ptraceback.into_raw());
    } else if (auto* normalized = std::get_if<Normalized>(&state)) {
        host::err_restore(normalized->ptype.into_raw(), normalized->pvalue.into_raw(),
                          normalized->ptraceback.into_raw());
    } else {
        internal_failure("PyErr state should never be invalid outside of normalization");
    }
    state_.reset();
}

void PyErr::write_unraisable_bound(PyObject* obj) && {
    std::move(*this).restore();
    PyErr_WriteUnraisable(obj);
}

void PyErr::print_panic_and_unwind(FfiTuple parts, const std::string& message) {
    std::fputs("--- vindral is resuming a panic after fetching a PanicException from Python. ---\n",
               stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    PyErr(std::move(parts)).restore();
    PyErr_PrintEx(0);
    internal_failure(message);
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
        PyObject* ptype = tuple->ptype.into_raw();
        PyObject* pvalue = tuple->pvalue.into_raw();
        PyObject* ptraceback = tuple->ptraceback.into_raw();
        host::err_normalize(&ptype, &pvalue, &ptraceback);
        result = Normalized{Owned::steal(ptype), Owned::steal(pvalue), Owned::steal(ptraceback)};
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
    state_.reset();
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

bool PyErr::is_instance_of(PyObject* type) {
    return PyErr_GivenExceptionMatches(get_type_bound(), type) != 0;
}

std::string PyErr::debug() {
    Normalized& parts = normalized();
    std::string traceback = "None";
    if (parts.ptraceback) {
        traceback = "Some(" + python_debug(parts.ptraceback.get()) + ")";
    }
    return "PyErr { type: " + python_debug(parts.ptype.get()) +
           ", value: " + python_debug(parts.pvalue.get()) + ", traceback: " + traceback + " }";
}

}  // namespace vindral
