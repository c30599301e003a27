// Module objects from static definitions: the claim of an interpreter, the
// module's build and cache, and the registration of its functions.
#include "boundary/module_def.hpp"

#include <cstring>

#include "boundary/internal_failure.hpp"
#include "boundary/text.hpp"
#include "boundary/trampoline.hpp"

namespace vindral {
namespace {

// Follows the module's name.
constexpr std::string_view subinterpreter_refusal =
    " does not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

// Attribute names used at every registration, created once as interned
// strings and kept while the claiming interpreter lives.
PyObject* INTERNED_ALL = nullptr;
PyObject* INTERNED_NAME = nullptr;

Owned interned(PyObject*& cache, std::string_view text) {
    if (PyObject* kept = interpreter_lifetime::load(cache)) {
        return Owned::borrow(kept);
    }
    return interpreter_lifetime::keep(cache, new_interned_str(text));
}

struct MethodDefWithTexts {
    PyMethodDef def;
    CString name;
    CString doc;
};

PyResult<MethodDefWithTexts> as_method_def(const MethodDefRecord& record) {
    PyResult<CString> name =
        extract_c_string(record.ml_name, "function name cannot contain NUL byte.");
    if (!name.is_ok()) {
        return std::move(name).error();
    }
    PyResult<CString> doc =
        extract_c_string(record.ml_doc, "function doc cannot contain NUL byte.");
    if (!doc.is_ok()) {
        return std::move(doc).error();
    }
    PyMethodDef def{name.value().ptr, record.ml_meth.entry_point(), record.ml_flags,
                    doc.value().ptr};
    return MethodDefWithTexts{def, std::move(name).value(), std::move(doc).value()};
}

// Registered with the claiming interpreter's atexit, which calls it when the
// interpreter finalises (Py_FinalizeEx, or Py_EndInterpreter for a
// sub-interpreter) while the interpreter still runs.
PyObject* at_interpreter_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return cfunction_with_keywords(self, args, kwargs, [](PyObject*, PyObject*) -> PyResult<Owned> {
        interpreter_lifetime::release_everything();
        return Owned::borrow(Py_None);
    });
}

PyMethodDef at_interpreter_exit_def = {
    "_vindral_interpreter_exit",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(at_interpreter_exit)),
    METH_VARARGS | METH_KEYWORDS,
    nullptr,
};

// Arranges that everything kept under `claim` is released when the current
// interpreter finalises, and starts keeping.
PyResult<void> release_at_exit(interpreter_lifetime::Claim& claim) {
    Owned atexit = Owned::steal(calling_python([] { return PyImport_ImportModule("atexit"); }));
    if (!atexit) {
        return PyErr::fetch();
    }
    Owned callback = Owned::steal(PyCFunction_NewEx(&at_interpreter_exit_def, nullptr, nullptr));
    if (!callback) {
        return PyErr::fetch();
    }
    Owned registered = Owned::steal(calling_python(
        [&] { return PyObject_CallMethod(atexit.get(), "register", "O", callback.get()); }));
    if (!registered) {
        return PyErr::fetch();
    }
    interpreter_lifetime::watch(claim);
    return {};
}

}  // namespace

PyResult<Owned> ModuleDef::make_module() {
    // The calling thread's interpreter, identified by its module dictionary
    // (the sys.modules that the interpreter itself holds): every interpreter
    // has its own from its start until it finalises, after the claim is given
    // up, so no two live interpreters share one. PyInterpreterState_Get would
    // give the interpreter itself, but CPython 3.9's python3.dll, through
    // which Windows modules reach the stable ABI, lacks it.
    const auto id = static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(
        PyImport_GetModuleDict()));  // NOLINT(*-reinterpret-cast): an address as identity
    // Claimed before anything is built, so that the claim survives a
    // failed build; it lasts until the claiming interpreter finalises.
    std::int64_t recorded = -1;
    if (claim.interpreter.compare_exchange_strong(recorded, id, std::memory_order_seq_cst,
                                                  std::memory_order_seq_cst)) {
        if (PyResult<void> watched = release_at_exit(claim); !watched.is_ok()) {
            claim.interpreter.store(-1, std::memory_order_seq_cst);
            return std::move(watched).error();
        }
    } else if (recorded != id) {
        return PyErr::new_<ImportError>(concat({ffi_def.m_name, subinterpreter_refusal}));
    }
    if (claim.module != nullptr) {
        return Owned::borrow(claim.module);
    }

    Owned built = Owned::steal(PyModule_Create2(&ffi_def, 3));
    if (!built) {
        return PyErr::fetch();
    }
#if defined(Py_GIL_DISABLED)
    // Every piece of state a call shares is guarded, atomic or made once:
    // a free-threaded interpreter need not turn the GIL on for us.
    if (PyUnstable_Module_SetGIL(built.get(), Py_MOD_GIL_NOT_USED) == -1) {
        return PyErr::fetch();
    }
#endif
    if (PyResult<void> filled = initializer(built.get()); !filled.is_ok()) {
        return std::move(filled).error();
    }
    // The body ran interpreter code; if another initialisation finished in
    // the meantime, its module stays and ours is released.
    if (claim.module == nullptr) {
        claim.module = built.into_raw();
    }
    return Owned::borrow(claim.module);
}

PyResult<CString> extract_c_string(std::string_view text, const char* error_message) {
    if (text.empty()) {
        return CString{"", nullptr};
    }
    const std::size_t first_nul = text.find('\0');
    if (text.back() == '\0') {
        if (first_nul != text.size() - 1) {
            return PyErr::new_<ValueError>(error_message);
        }
        return CString{text.data(), nullptr};
    }
    if (first_nul != std::string_view::npos) {
        return PyErr::new_<ValueError>(error_message);
    }
    auto copy = std::make_unique<char[]>(text.size() + 1);  // NOLINT(*-avoid-c-arrays): a C string
    std::memcpy(copy.get(), text.data(), text.size());
    copy[text.size()] = '\0';
    const char* ptr = copy.get();
    return CString{ptr, std::move(copy)};
}

PyResult<Owned> wrap_pyfunction(const MethodDefRecord& record, PyObject* module) {
    // The module's `__name__`, read as an attribute: every implementation of
    // the C API offers that, not all offer PyModule_GetNameObject.
    Owned module_name =
        Owned::steal(PyObject_GetAttr(module, interned(INTERNED_NAME, "__name__").get()));
    if (!module_name) {
        return PyErr::fetch();
    }
    PyResult<MethodDefWithTexts> made = as_method_def(record);
    if (!made.is_ok()) {
        return std::move(made).error();
    }
    // The interpreter keeps pointers to the definition and its texts for as
    // long as the function object lives, and function objects are never
    // collected before the module is, so these are never released.
    MethodDefWithTexts& parts = made.value();
    auto* heap_def = new PyMethodDef(parts.def);
    (void)parts.name.copy.release();
    (void)parts.doc.copy.release();

    PyObject* function = PyCMethod_New(heap_def, module, module_name.get(), nullptr);
    module_name = Owned();
    if (function == nullptr) {
        return PyErr::fetch();
    }
    return Owned::steal(function);
}

PyResult<void> add_function(PyObject* module, Owned function) {
    Owned name =
        Owned::steal(PyObject_GetAttr(function.get(), interned(INTERNED_NAME, "__name__").get()));
    if (!name) {
        return PyErr::fetch();
    }
    if (!host::is_str(name.get())) {
        return PyErr::type_mismatch(Owned::borrow(host::type_of(name.get())), "PyString");
    }
    return add(module, std::move(name), std::move(function));
}

PyResult<void> add_functions(PyObject* module, std::span<const MethodDefRecord> records) {
    for (const MethodDefRecord& record : records) {
        PyResult<Owned> function = wrap_pyfunction(record, module);
        if (!function.is_ok()) {
            return std::move(function).error();
        }
        if (PyResult<void> added = add_function(module, std::move(function).value());
            !added.is_ok()) {
            return added;
        }
    }
    return {};
}

PyResult<void> add(PyObject* module, Owned name, Owned value) {
    {
        PyResult<Owned> all = index(module);
        if (!all.is_ok()) {
            return std::move(all).error();
        }
        if (PyList_Append(all.value().get(), name.get()) == -1) {
            PyErr error = PyErr::fetch();
            if (error.is_memory_error()) {
                return error;
            }
            internal_failure(concat({"could not append __name__ to __all__: ", error.debug()}));
        }
    }
    return PyErr::error_on_minusone(PyObject_SetAttr(module, name.get(), value.get()));
}

PyResult<Owned> index(PyObject* module) {
    Owned all_name = interned(INTERNED_ALL, "__all__");
    Owned all = Owned::steal(PyObject_GetAttr(module, all_name.get()));
    if (all) {
        if (host::is_list(all.get())) {
            return all;
        }
        return PyErr::type_mismatch(Owned::borrow(host::type_of(all.get())), "PyList");
    }
    PyErr lookup_error = PyErr::fetch();
    if (!lookup_error.is_instance_of(PyExc_AttributeError)) {
        return lookup_error;
    }
    Owned list = Owned::steal(PyList_New(0));
    if (!list) {
        PyErr::panic_after_error();
    }
    if (PyObject_SetAttr(module, all_name.get(), list.get()) == -1) {
        return PyErr::fetch();
    }
    return list;
}

}  // namespace vindral
