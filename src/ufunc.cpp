// The vindral_ufunc module as the interpreter sees it: its entry point, its
// body, and vindral's Weibull functions as numpy ufuncs, element by element
// the scalar functions' results to the last bit.
#include <cstdlib>
#include <string_view>

#include "boundary/host.hpp"
#include "boundary/module_def.hpp"
#include "boundary/numpy_api.hpp"
#include "boundary/text.hpp"
#include "boundary/trampoline.hpp"
#include "weibull/loop_selection.hpp"
#include "weibull/strided_loops.hpp"
#include "weibull/weibull.hpp"

namespace vindral {
namespace {

// The definition of the ufunc of `Function`: as many float64 inputs as it
// has arguments.
template <auto Function>
using UfuncOf = numpy_api::Float64Ufunc<weibull::arity<Function>>;

// ---- The ufuncs ----------------------------------------------------------------
// numpy keeps pointers into these definitions for as long as the ufuncs live.

UfuncOf<weibull::v_k_2_c> V_K_2_C_UFUNC{
    .name = "v_k_2_c",
    .doc =
        "Weibull scale c for mean wind speed v and shape k, element by element:\n"
        "v / gamma(1 + 1/k). Arguments (v, k). Each element equals vindral.v_k_2_c\n"
        "on the same doubles, to the last bit.",
    .loops = {weibull::strided_loop<weibull::v_k_2_c>},
};

UfuncOf<weibull::c_k_2_v> C_K_2_V_UFUNC{
    .name = "c_k_2_v",
    .doc =
        "Mean wind speed for Weibull scale c and shape k, element by element:\n"
        "c * gamma(1 + 1/k). Arguments (c, k). Each element equals vindral.c_k_2_v\n"
        "on the same doubles, to the last bit.",
    .loops = {weibull::strided_loop<weibull::c_k_2_v>},
};

UfuncOf<weibull::wbl_cdf> WBL_CDF_UFUNC{
    .name = "wbl_cdf",
    .doc =
        "Probability that a Weibull wind speed with scale c and shape k lies between\n"
        "v1 and v2, element by element: exp(-(v1/c)**k) - exp(-(v2/c)**k).\n"
        "Arguments (c, k, v1, v2). Each element equals vindral.wbl_cdf on the same\n"
        "doubles, to the last bit.",
    .loops = {weibull::strided_loop<weibull::wbl_cdf>},
};

UfuncOf<weibull::wbl_sf> WBL_SF_UFUNC{
    .name = "wbl_sf",
    .doc =
        "Survival function of a Weibull wind speed with scale c and shape k,\n"
        "element by element: exp(-(v/c)**k), the share of the time above v.\n"
        "Arguments (c, k, v). Rounded as each term of wbl_cdf, so that over bin\n"
        "edges e, wbl_sf(c, k, e[:-1]) - wbl_sf(c, k, e[1:]) equals wbl_cdf bit\n"
        "for bit.",
    .loops = {weibull::strided_loop<weibull::wbl_sf>},
};

// Makes the ufunc and lists it in the module's __all__ under its name.
template <std::size_t Inputs>
PyResult<void> add_ufunc(PyObject* module, const numpy_api::UfuncApi& api,
                         numpy_api::Float64Ufunc<Inputs>& definition) {
    PyResult<Owned> ufunc = api.make_ufunc(definition);
    if (!ufunc.is_ok()) {
        return std::move(ufunc).error();
    }
    Owned name = try_new_str(definition.name);
    if (!name) {
        return PyErr::fetch();
    }
    return add(module, std::move(name), std::move(ufunc).value());
}

// ---- The loops ------------------------------------------------------------------

// The widest loops that VINDRAL_UFUNC_LOOP allows (all, when it is unset):
// "plain" keeps the element-by-element loop, "avx2" the four-lane loops.
PyResult<weibull::LoopKind> widest_loops_allowed() {
    const char* asked = std::getenv("VINDRAL_UFUNC_LOOP");
    const std::string_view kind = asked != nullptr ? asked : "";
    if (kind.empty() || kind == "avx512") {
        return weibull::LoopKind::avx512;
    }
    if (kind == "avx2") {
        return weibull::LoopKind::avx2;
    }
    if (kind == "plain") {
        return weibull::LoopKind::plain;
    }
    return PyErr::new_<ImportError>(
        concat({"VINDRAL_UFUNC_LOOP must be plain, avx2 or avx512, not '", kind, "'"}));
}

// Puts the chosen loops into the definitions, before any ufunc is made of
// them, and names them in the module's attribute `loop`.
PyResult<void> use_loops(PyObject* module) {
    PyResult<weibull::LoopKind> widest = widest_loops_allowed();
    if (!widest.is_ok()) {
        return std::move(widest).error();
    }
    const weibull::LoopChoice choice = weibull::choose_loops(widest.value());
    V_K_2_C_UFUNC.loops[0] = choice.v_k_2_c;
    C_K_2_V_UFUNC.loops[0] = choice.c_k_2_v;
    WBL_CDF_UFUNC.loops[0] = choice.wbl_cdf;
    WBL_SF_UFUNC.loops[0] = choice.wbl_sf;
    return PyErr::error_on_minusone(PyModule_AddStringConstant(module, "loop", choice.name));
}

// ---- Module ----------------------------------------------------------------------

constexpr const char* module_doc =
    "vindral_ufunc: vindral's Weibull wind-speed functions as numpy ufuncs.\n"
    "Every element is the result of the scalar function in vindral on the same doubles,\n"
    "to the last bit. Needs numpy: pip install 'vindral[numpy]'. `loop` names the inner\n"
    "loops in use: \"avx512\" or \"avx2\" (SIMD lanes) or \"plain\" (one element at a time).";

// The module body: the ufuncs, in order, with their names in __all__.
PyResult<void> vindral_ufunc(PyObject* module) {
    PyResult<numpy_api::UfuncApi> api = numpy_api::UfuncApi::import();
    if (!api.is_ok()) {
        return std::move(api).error();
    }
    const numpy_api::UfuncApi& numpy = api.value();
    // In order; the first failure ends it.
    PyResult<void> added;
    (void)((added = use_loops(module)).is_ok() &&
           (added = add_ufunc(module, numpy, V_K_2_C_UFUNC)).is_ok() &&
           (added = add_ufunc(module, numpy, C_K_2_V_UFUNC)).is_ok() &&
           (added = add_ufunc(module, numpy, WBL_CDF_UFUNC)).is_ok() &&
           (added = add_ufunc(module, numpy, WBL_SF_UFUNC)).is_ok());
    return added;
}

ModuleDef MODULE_DEF{
    .ffi_def = single_phase_module("vindral_ufunc", module_doc),
    .initializer = vindral_ufunc,
};

PyResult<Owned> make_vindral_ufunc_module() { return MODULE_DEF.make_module(); }

}  // namespace
}  // namespace vindral

PyMODINIT_FUNC PyInit_vindral_ufunc() {
    return vindral::module_init(vindral::make_vindral_ufunc_module);
}
