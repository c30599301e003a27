// numpy's ufunc table found at run time: numpy's modules imported, its
// binary interface checked, and the capsule's table read.
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

// numpy's C-API feature version (NPY_FEATURE_VERSION, entry 211 of its array
// table gives it): 0x11 is numpy 1.25's and 1.26's, the oldest supported.
constexpr unsigned int oldest_feature_version = 0x11;
constexpr std::size_t feature_version_entry = 211;

// numpy keeps its tables in numpy._core from 2.0 on (1.26 forwards that name
// to numpy.core), in numpy.core before.
constexpr std::array<const char*, 2> table_modules = {
    "numpy._core._multiarray_umath",
    "numpy.core._multiarray_umath",
};

Owned import_module(const char* name) {
    return Owned::steal(calling_python([&] { return PyImport_ImportModule(name); }));
}

// The pointer table in capsule `capsule` of numpy's table module, or nothing
// (no error set) when neither module exists or the module lacks the capsule.
// As numpy's own import does, the next module is tried only when a module is
// not found: any other failure of its import is an error.
PyResult<std::optional<void**>> find_table(const char* capsule) {
    for (const char* module_name : table_modules) {
        Owned module = import_module(module_name);
        if (!module) {
            PyErr error = PyErr::fetch();
            if (error.is_instance_of(PyExc_ModuleNotFoundError)) {
                continue;
            }
            return error;
        }
        Owned table = get_attr_named(module.get(), capsule);
        if (!table) {
            PyErr error = PyErr::fetch();
            if (error.is_instance_of(PyExc_AttributeError)) {
                return std::optional<void**>();
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
    Owned name = get_attr_named(error.value_bound(), "name");
    if (!name) {
        (void)PyErr::take();
        return false;
    }
    return host::is_str(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "numpy") == 0;
}

PyErr unsupported_numpy(std::string_view what) {
    return PyErr::new_<ImportError>(concat({"vindral_ufunc supports numpy 1.26 and 2.x; ", what}));
}

// "0x" and at least `digits` hexadecimal digits.
std::string hex(unsigned int number, int digits) {
    std::array<char, 16> text{};
    (void)std::snprintf(text.data(), text.size(), "0x%0*x", digits, number);
    return text.data();
}

// Checks the binary interface and the feature version of the numpy that has
// been imported; gives the feature version.
PyResult<unsigned int> check_array_table() {
    PyResult<std::optional<void**>> table = find_table("_ARRAY_API");
    if (!table.is_ok()) {
        return std::move(table).error();
    }
    if (!table.value()) {
        return unsupported_numpy("this numpy publishes no array table");
    }
    void** entries = *table.value();
    using VersionGetter = unsigned int (*)();
    const unsigned int abi = entry<VersionGetter>(entries, 0)();
    if (abi != numpy1_abi && abi != numpy2_abi) {
        return unsupported_numpy(concat({"this numpy's binary interface is ", hex(abi, 8)}));
    }
    const unsigned int features = entry<VersionGetter>(entries, feature_version_entry)();
    if (features < oldest_feature_version) {
        return PyErr::new_<ImportError>(
            concat({"vindral_ufunc needs numpy 1.26 or newer (C-API version ",
                    hex(oldest_feature_version, 2), "), but this numpy has C-API version ",
                    hex(features, 2)}));
    }
    return features;
}

// The head of numpy's ufunc object (PyUFuncObject, numpy/ufuncobject.h), laid
// out as numpy's public header lays it out in 1.x and 2.x, down to the hook
// that numpy 2.1 appended.
struct UfuncObjectHead {
    PyObject head;
    int nin, nout, nargs, identity;
    void* functions;
    void* data;
    int ntypes, reserved1;
    const char* name;
    const char* types;
    const char* doc;
    void* ptr;
    PyObject* obj;
    PyObject* userloops;
    int core_enabled, core_num_dim_ix;
    int* core_num_dims;
    int* core_dim_ixs;
    int* core_offsets;
    char* core_signature;
    void* type_resolver;
    PyObject* dict;
    void* vectorcall;
    void* reserved3;
    std::uint32_t* op_flags;
    std::uint32_t iter_flags;
    std::intptr_t* core_dim_sizes;
    std::uint32_t* core_dim_flags;
    PyObject* identity_value;
    void* dispatch_cache;
    PyObject* loops;
    CoreDimensions process_core_dims_func;  // numpy 2.1 (C-API feature version 0x13)
};

constexpr unsigned int core_dimensions_feature_version = 0x13;

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
    PyResult<unsigned int> features = check_array_table();
    if (!features.is_ok()) {
        return std::move(features).error();
    }
    PyResult<std::optional<void**>> table = find_table("_UFUNC_API");
    if (!table.is_ok()) {
        return std::move(table).error();
    }
    if (!table.value()) {
        return unsupported_numpy("this numpy publishes no ufunc table");
    }
    constexpr std::size_t from_func_and_data_and_signature = 31;
    return UfuncApi(
        entry<FromFuncAndDataAndSignature>(*table.value(), from_func_and_data_and_signature),
        features.value());
}

bool UfuncApi::set_core_dimensions(PyObject* gufunc, CoreDimensions hook) const noexcept {
    if (features_ < core_dimensions_feature_version) {
        return false;
    }
    // NOLINTNEXTLINE(*-reinterpret-cast): numpy's own layout
    reinterpret_cast<UfuncObjectHead*>(gufunc)->process_core_dims_func = hook;
    return true;
}

PyResult<Owned> UfuncApi::make(InnerLoop* loops, void* const* data, const char* types, int inputs,
                               const char* name, const char* doc, const char* signature) const {
    constexpr int one_loop = 1;
    constexpr int one_output = 1;
    constexpr int no_identity = -1;  // PyUFunc_None: reductions need an identity
    PyObject* ufunc = calling_python([&] {
        return from_func_and_data_and_signature_(loops, data, types, one_loop, inputs, one_output,
                                                 no_identity, name, doc, 0, signature);
    });
    if (ufunc == nullptr) {
        return PyErr::fetch();
    }
    return Owned::steal(ufunc);
}

}  // namespace vindral::numpy_api
