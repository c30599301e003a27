// The vindral module as the interpreter sees it: its entry point, its body,
// and the three Weibull functions.
#include "lib.hpp"

#include <array>
#include <string_view>

#include "boundary/binding.hpp"
#include "boundary/host.hpp"
#include "boundary/module_def.hpp"
#include "boundary/trampoline.hpp"
#include "weibull/weibull.hpp"

namespace vindral {
namespace {

// ---- Argument descriptions ---------------------------------------------------

constexpr std::array<std::string_view, 2> v_k_names = {"v", "k"};
constexpr std::array<std::string_view, 2> c_k_names = {"c", "k"};
constexpr std::array<std::string_view, 4> c_k_v1_v2_names = {"c", "k", "v1", "v2"};

std::array<PyObject*, 2> v_k_2_c_interned{};
std::array<PyObject*, 2> c_k_2_v_interned{};
std::array<PyObject*, 4> wbl_cdf_interned{};

// Every parameter of the three functions is positional-or-keyword and
// required; nothing is positional-only or keyword-only.
template <std::size_t N>
constexpr FunctionDescription all_required(std::string_view func_name,
                                           const std::array<std::string_view, N>& names,
                                           std::array<PyObject*, N>& interned) {
    return FunctionDescription{
        .cls_name = std::nullopt,
        .func_name = func_name,
        .positional_parameter_names = names,
        .positional_only_parameters = 0,
        .required_positional_parameters = N,
        .keyword_only_parameters = {},
        .interned_parameter_names = interned,
    };
}

constexpr FunctionDescription V_K_2_C_DESCRIPTION =
    all_required("v_k_2_c", v_k_names, v_k_2_c_interned);
constexpr FunctionDescription C_K_2_V_DESCRIPTION =
    all_required("c_k_2_v", c_k_names, c_k_2_v_interned);
constexpr FunctionDescription WBL_CDF_DESCRIPTION =
    all_required("wbl_cdf", c_k_v1_v2_names, wbl_cdf_interned);

// ---- Binding routines ----------------------------------------------------------
// For either form of call (see the entry points).

template <class... Call>
VINDRAL_ALWAYS_INLINE PyResult<Owned> __pyfunction_v_k_2_c(Call... call) {
    return bind_and_compute<V_K_2_C_DESCRIPTION>(weibull::v_k_2_c, call...);
}

template <class... Call>
VINDRAL_ALWAYS_INLINE PyResult<Owned> __pyfunction_c_k_2_v(Call... call) {
    return bind_and_compute<C_K_2_V_DESCRIPTION>(weibull::c_k_2_v, call...);
}

template <class... Call>
VINDRAL_ALWAYS_INLINE PyResult<Owned> __pyfunction_wbl_cdf(Call... call) {
    return bind_and_compute<WBL_CDF_DESCRIPTION>(weibull::wbl_cdf, call...);
}

// ---- Entry points ----------------------------------------------------------------
// Nothing but a result or null leaves them; they are not noexcept only so that
// a forced unwind that ends the calling thread can pass (see trampoline.hpp).

#if defined(PYPY_VERSION)
// PyPy makes a dictionary for a keyword call to a METH_VARARGS function and
// hands each of its keys over in a new object, dearly; a METH_FASTCALL
// function gets the arguments in an array and the interned names themselves
// in a tuple, and costs less than the other even without keywords.
constexpr int call_flags = METH_FASTCALL | METH_KEYWORDS;

PyObject* v_k_2_c_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return cfunction_fastcall_with_keywords<__pyfunction_v_k_2_c>(self, args, nargs, kwnames);
}

PyObject* c_k_2_v_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return cfunction_fastcall_with_keywords<__pyfunction_c_k_2_v>(self, args, nargs, kwnames);
}

PyObject* wbl_cdf_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return cfunction_fastcall_with_keywords<__pyfunction_wbl_cdf>(self, args, nargs, kwnames);
}
#else
// The stable interface of CPython 3.9 has no METH_FASTCALL.
constexpr int call_flags = METH_VARARGS | METH_KEYWORDS;

PyObject* v_k_2_c_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return cfunction_with_keywords<__pyfunction_v_k_2_c>(self, args, kwargs);
}

PyObject* c_k_2_v_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return cfunction_with_keywords<__pyfunction_c_k_2_v>(self, args, kwargs);
}

PyObject* wbl_cdf_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return cfunction_with_keywords<__pyfunction_wbl_cdf>(self, args, kwargs);
}
#endif

// ---- Module ------------------------------------------------------------------------

constexpr std::array<MethodDefRecord, 3> FUNCTIONS = {{
    {nul_terminated("v_k_2_c"), v_k_2_c_entry, call_flags, nul_terminated("v_k_2_c(v, k)\n--\n\n")},
    {nul_terminated("c_k_2_v"), c_k_2_v_entry, call_flags, nul_terminated("c_k_2_v(c, k)\n--\n\n")},
    {nul_terminated("wbl_cdf"), wbl_cdf_entry, call_flags,
     nul_terminated("wbl_cdf(c, k, v1, v2)\n--\n\n")},
}};

constexpr const char* module_doc =
    "vindral: Weibull wind-speed statistics, implemented natively in C++.\n"
    "The initialisation function, PyInit_vindral, must match the library name configured for\n"
    "the build (vindral), or else the interpreter cannot import this module.";

// The module body: registers the functions, in order, with their names in
// __all__.
PyResult<void> vindral(PyObject* module) { return add_functions(module, FUNCTIONS); }

ModuleDef MODULE_DEF{
    .ffi_def = single_phase_module("vindral", module_doc),
    .initializer = vindral,
};

PyResult<Owned> make_vindral_module() { return MODULE_DEF.make_module(); }

}  // namespace

std::span<const MethodDefRecord> function_records() noexcept { return FUNCTIONS; }

}  // namespace vindral

PyMODINIT_FUNC PyInit_vindral() { return vindral::module_init(vindral::make_vindral_module); }
