#include "boundary/numpy_api.hpp"

#include <cstdio>
#include <optional>
#include <string>

#include "boundary/gil_state.hpp"
#include "boundary/text.hpp"

namespace vindral::numpy_api {
namespace {

constexpr std::string_view numpy_missing =
    "vindral_ufunc needs numpy 1.26 or newer, which is not installed: "
    "pip install 'vindral[numpy]'";

// numpy's binary interface (NPY_ABI_VERSION, entry 0 of its array table
// gives it): the ufunc table is laid out as used here in both.
constexpr unsigned int numpy1_abi = 0x01000009;
constexpr unsigned int numpy2_abi = 0x02000000;

// numpy keeps its tables in numpy._core from 2.0 on, in numpy.core before.
constexpr std::array<const char*, 2> table_modules = {
    "numpy._core._multiarray_umath",
    "numpy.core._multiarray_umath",
};

Owned import_module(const char* name) {
    return Owned::steal(calling_python([&] { return PyImport_ImportModule(name); }));
}

// The pointer table in capsule `capsule` of numpy's table module, or nothing
// (no error set) when no candidate module has it.
PyResult<std::optional<void**>> find_table(const char* capsule) {
    for (const char* module_name : table_modules) {
        Owned module = import_module(module_name);
        Owned table =
            module ? Owned::steal(PyObject_GetAttrString(module.get(), capsule)) : Owned();
        if (!table) {
            PyErr error = PyErr::fetch();
            if (error.is_instance_of(PyExc_ImportError) ||
                error.is_instance_of(PyExc_AttributeError)) {
                continue;  // not this numpy's layout; try the next
            }
            return error;
        }
        void* pointer = PyCapsule_GetPointer(table.get(), nullptr);
        if (pointer == nullptr) {
            return PyErr::fetch();
        }
        return std::optional<void**>(static_cast<void**>(pointer));
    }
    return std::optional<void**>();
}

// Entry `index` of a table of function pointers, as a function of type F.
template <class F>
F entry(void** table, std::size_t index) {
    return reinterpret_cast<F>(table[index]);  // NOLINT(*-reinterpret-cast): numpy's own layout
}

// Whether an import failed because numpy itself is not installed, rather than
// failing inside numpy (a broken install, or a numpy that refuses to load
// in this interpreter), whose own error says more.
bool numpy_not_installed(PyErr& error) {
    if (!error.is_instance_of(PyExc_ModuleNotFoundError)) {
        return false;
    }
    Owned name = Owned::steal(PyObject_GetAttrString(error.value_bound(), "name"));
    if (!name) {
        (void)PyErr::take();
        return false;
    }
    return host::is_str(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "numpy") == 0;
}

PyErr unsupported_numpy(std::string_view what) {
    return PyErr::new_<ImportError>(concat({"vindral_ufunc supports numpy 1.26 and 2.x; ", what}));
}

// The binary interface of the numpy that has been imported.
PyResult<unsigned int> numpy_abi() {
    PyResult<std::optional<void**>> table = find_table("_ARRAY_API");
    if (!table.is_ok()) {
        return std::move(table).error();
    }
    if (!table.value()) {
        return unsupported_numpy("this numpy publishes no array table");
    }
    using GetNDArrayCVersion = unsigned int (*)();
    return entry<GetNDArrayCVersion>(*table.value(), 0)();
}

}  // namespace

PyResult<UfuncApi> UfuncApi::import() {
    if (!import_module("numpy")) {
        PyErr error = PyErr::fetch();
        if (!numpy_not_installed(error)) {
            return error;
        }
        PyErr missing = PyErr::new_<ImportError>(std::string(numpy_missing));
        missing.set_cause(std::move(error));
        return missing;
    }
    PyResult<unsigned int> abi = numpy_abi();
    if (!abi.is_ok()) {
        return std::move(abi).error();
    }
    if (abi.value() != numpy1_abi && abi.value() != numpy2_abi) {
        std::array<char, 16> hex{};
        (void)std::snprintf(hex.data(), hex.size(), "0x%08x", abi.value());
        return unsupported_numpy(concat({"this numpy's binary interface is ", hex.data()}));
    }
    PyResult<std::optional<void**>> table = find_table("_UFUNC_API");
    if (!table.is_ok()) {
        return std::move(table).error();
    }
    if (!table.value()) {
        return unsupported_numpy("this numpy publishes no ufunc table");
    }
    return UfuncApi(entry<FromFuncAndData>(*table.value(), 1));
}

PyResult<Owned> UfuncApi::make(InnerLoop* loops, void* const* data, const char* types, int inputs,
                               const char* name, const char* doc) const {
    constexpr int one_loop = 1;
    constexpr int one_output = 1;
    constexpr int no_identity = -1;  // PyUFunc_None: reductions need an identity
    PyObject* ufunc = calling_python([&] {
        return from_func_and_data_(loops, data, types, one_loop, inputs, one_output, no_identity,
                                   name, doc, 0);
    });
    if (ufunc == nullptr) {
        return PyErr::fetch();
    }
    return Owned::steal(ufunc);
}

}  // namespace vindral::numpy_api
