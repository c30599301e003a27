// Building a module object from a static definition, and registering
// built-in functions on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "boundary/host.hpp"
#include "boundary/interpreter_lifetime.hpp"
#include "boundary/pyerr.hpp"

namespace vindral {

// A static text whose stored length counts its terminating NUL, so that the
// interpreter can be handed a pointer into it without a copy.
template <std::size_t N>
consteval std::string_view nul_terminated(const char (&text)[N]) {  // NOLINT(*-avoid-c-arrays)
    return std::string_view(text, N);
}

// A function with flags METH_FASTCALL | METH_KEYWORDS: the arguments given by
// position then the keyword values, how many are positional, and the tuple of
// keyword names (or null).
using FastCFunctionWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The kind of an entry point together with the entry point itself.
struct PyMethodType {
    enum class Kind : unsigned char {
        PyCFunction,
        PyCFunctionWithKeywords,
        FastCFunctionWithKeywords
    };

    constexpr PyMethodType(PyCFunction function) : kind(Kind::PyCFunction), function(function) {}
    constexpr PyMethodType(PyCFunctionWithKeywords function)
        : kind(Kind::PyCFunctionWithKeywords), function_with_keywords(function) {}
    constexpr PyMethodType(FastCFunctionWithKeywords function)
        : kind(Kind::FastCFunctionWithKeywords), fast_function_with_keywords(function) {}

    // The pointer the interpreter stores; it calls it with the flags' shape.
    PyCFunction entry_point() const noexcept {
        const auto generic = [](auto entry) {
            return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
        };
        switch (kind) {
            case Kind::PyCFunctionWithKeywords:
                return generic(function_with_keywords);
            case Kind::FastCFunctionWithKeywords:
                return generic(fast_function_with_keywords);
            case Kind::PyCFunction:
                break;
        }
        return function;
    }

    Kind kind;
    union {
        PyCFunction function;
        PyCFunctionWithKeywords function_with_keywords;
        FastCFunctionWithKeywords fast_function_with_keywords;
    };
};

// The static description of one module function.
struct MethodDefRecord {
    std::string_view ml_name;  // with its NUL
    PyMethodType ml_meth;
    int ml_flags;
    std::string_view ml_doc;  // text signature and docstring, with its NUL
};

// The interpreter's definition of a single-phase module without per-module
// state, whose functions its body adds rather than a method table.
constexpr PyModuleDef single_phase_module(const char* name, const char* doc) {
    return PyModuleDef{
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = name,
        .m_doc = doc,
        .m_size = 0,
        .m_methods = nullptr,
        .m_slots = nullptr,
        .m_traverse = nullptr,
        .m_clear = nullptr,
        .m_free = nullptr,
    };
}

// A module's definition state: lives for the whole process at a fixed
// address, because the interpreter keeps a pointer to `ffi_def`.
struct ModuleDef {
    PyModuleDef ffi_def;
    PyResult<void> (*initializer)(PyObject* module);
    interpreter_lifetime::Claim claim{};

    // A new reference to the module, built on first success and cached.
    PyResult<Owned> make_module();
};

// A NUL-terminated text: either the stored bytes themselves, or a copy.
struct CString {
    const char* ptr;
    std::unique_ptr<char[]> copy;  // NOLINT(*-avoid-c-arrays): the interpreter takes a C string
};

// Checks that `text` has no interior NUL and makes it NUL-terminated;
// a ValueError carrying `error_message` otherwise.
PyResult<CString> extract_c_string(std::string_view text, const char* error_message);

// A built-in function object for `record`, bound to `module`.
PyResult<Owned> wrap_pyfunction(const MethodDefRecord& record, PyObject* module);

// Lists the function's name in the module's __all__ and sets it as an
// attribute of the module.
PyResult<void> add_function(PyObject* module, Owned function);

// Registers one function per record, in order; the first failure ends it,
// leaving the functions added before it on the module.
PyResult<void> add_functions(PyObject* module, std::span<const MethodDefRecord> records);

// Lists `name` in __all__, then sets module.<name> = value.
PyResult<void> add(PyObject* module, Owned name, Owned value);

// The module's __all__ list, created empty if the module has none.
PyResult<Owned> index(PyObject* module);

}  // namespace vindral
