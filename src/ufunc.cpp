// The vindral_ufunc module as the interpreter sees it: its entry point, its
// body, and vindral's Weibull functions as numpy ufuncs, element by element
// the scalar functions' results to the last bit.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <initializer_list>
#include <string_view>

#include "boundary/binding.hpp"
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

numpy_api::Float64Ufunc<3> WBL_BINS_UFUNC{
    .name = "wbl_bins",
    .doc =
        "Probabilities of the wind-speed bins between adjacent edges, for Weibull\n"
        "scale c and shape k: edges of shape (..., n) give bins of shape (..., n - 1),\n"
        "bin i being exp(-(e[i]/c)**k) - exp(-(e[i+1]/c)**k). Each bin equals\n"
        "vindral.wbl_cdf(c, k, e[i], e[i+1]) to the last bit; each edge's term is\n"
        "computed once. Fewer than two edges give no bins; edges out of order give\n"
        "negated probabilities.",
    .loops = {weibull::bins_loop},
    .signature = "(),(),(n)->(m)",
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

// ---- The bins' core dimensions ---------------------------------------------------
// The signature names the bins m, which numpy cannot tie to the n edges: n
// edges make n - 1 bins (none for fewer than two), whether numpy sizes the
// output for us or the caller gives it.

PyErr wrong_bins(std::intptr_t edges, std::intptr_t bins, std::intptr_t given) {
    return PyErr::new_<ValueError>(
        concat({"wbl_bins: out= has ", std::to_string(given), " bins where ", std::to_string(edges),
                " edges make ", std::to_string(bins)}));
}

std::intptr_t bins_between(std::intptr_t edges) { return std::max<std::intptr_t>(edges - 1, 0); }

// numpy's hook for the core dimensions (n, m), from numpy 2.1 on.
int bins_core_dimensions(PyObject* /*ufunc*/, std::intptr_t* sizes) {
    return status_trampoline([sizes]() -> PyResult<void> {
        const std::intptr_t bins = bins_between(sizes[0]);
        if (sizes[1] == -1) {
            sizes[1] = bins;
        } else if (sizes[1] != bins) {
            return wrong_bins(sizes[0], bins, sizes[1]);
        }
        return {};
    });
}

// Before numpy 2.1, wbl_bins is a function that makes the output itself, of
// the broadcast shape of c, k and the rows of edges with n - 1 bins, and runs
// the generalized ufunc into it.

constexpr std::array<std::string_view, 3> c_k_edges_names = {"c", "k", "edges"};
constexpr std::array<KeywordOnlyParameterDescription, 1> out_parameter = {{{"out", false}}};
constexpr FunctionDescription WBL_BINS_DESCRIPTION{
    .cls_name = std::nullopt,
    .func_name = "wbl_bins",
    .positional_parameter_names = c_k_edges_names,
    .positional_only_parameters = 0,
    .required_positional_parameters = 3,
    .keyword_only_parameters = out_parameter,
};

// callable(*arguments, **keywords), the arguments borrowed.
PyResult<Owned> call(PyObject* callable, std::initializer_list<PyObject*> arguments,
                     PyObject* keywords = nullptr) {
    Owned tuple = Owned::steal(PyTuple_New(static_cast<Py_ssize_t>(arguments.size())));
    if (!tuple) {
        return PyErr::fetch();
    }
    Py_ssize_t i = 0;
    for (PyObject* argument : arguments) {
        (void)PyTuple_SetItem(tuple.get(), i++, Owned::borrow(argument).into_raw());
    }
    Owned result = Owned::steal(
        calling_python([&] { return PyObject_Call(callable, tuple.get(), keywords); }));
    if (!result) {
        return PyErr::fetch();
    }
    return result;
}

// numpy.<function>(*arguments).
PyResult<Owned> numpy_call(std::string_view function, std::initializer_list<PyObject*> arguments) {
    Owned numpy = Owned::steal(calling_python([] { return PyImport_ImportModule("numpy"); }));
    Owned callable = numpy ? get_attr_named(numpy.get(), function) : Owned();
    if (!callable) {
        return PyErr::fetch();
    }
    return call(callable.get(), arguments);
}

// A tuple of one int.
PyResult<Owned> one_int_tuple(std::intptr_t value) {
    Owned number = Owned::steal(PyLong_FromSsize_t(value));
    Owned tuple = number ? Owned::steal(PyTuple_New(1)) : Owned();
    if (!tuple) {
        return PyErr::fetch();
    }
    (void)PyTuple_SetItem(tuple.get(), 0, number.into_raw());
    return tuple;
}

// The size of the last dimension of a shape (a tuple of ints, not empty).
PyResult<std::intptr_t> last_of(PyObject* shape) {
    const Py_ssize_t last = PyLong_AsSsize_t(PyTuple_GetItem(shape, PyTuple_Size(shape) - 1));
    if (last == -1 && PyErr_Occurred() != nullptr) {
        return PyErr::fetch();
    }
    return last;
}

// `out`, checked to have the bins of `edges` edges.
PyResult<Owned> checked_output(PyObject* out, std::intptr_t edges) {
    PyResult<Owned> shape = numpy_call("shape", {out});
    if (!shape.is_ok()) {
        return std::move(shape).error();
    }
    PyResult<std::intptr_t> given = PyTuple_Size(shape.value().get()) > 0
                                        ? last_of(shape.value().get())
                                        : PyResult<std::intptr_t>(-1);
    if (!given.is_ok()) {
        return std::move(given).error();
    }
    if (given.value() != bins_between(edges)) {
        return wrong_bins(edges, bins_between(edges), given.value());
    }
    return Owned::borrow(out);
}

// A new array for the bins of c and k against the rows of `edges_shape`: of
// their broadcast shape, and n - 1 bins.
PyResult<Owned> new_output(PyObject* c, PyObject* k, PyObject* edges_shape, std::intptr_t edges) {
    Owned rows = Owned::steal(PyTuple_GetSlice(edges_shape, 0, PyTuple_Size(edges_shape) - 1));
    if (!rows) {
        return PyErr::fetch();
    }
    PyResult<Owned> c_shape = numpy_call("shape", {c});
    if (!c_shape.is_ok()) {
        return std::move(c_shape).error();
    }
    PyResult<Owned> k_shape = numpy_call("shape", {k});
    if (!k_shape.is_ok()) {
        return std::move(k_shape).error();
    }
    PyResult<Owned> loop =
        numpy_call("broadcast_shapes", {c_shape.value().get(), k_shape.value().get(), rows.get()});
    if (!loop.is_ok()) {
        return std::move(loop).error();
    }
    PyResult<Owned> bins = one_int_tuple(bins_between(edges));
    if (!bins.is_ok()) {
        return std::move(bins).error();
    }
    Owned shape = Owned::steal(PySequence_Concat(loop.value().get(), bins.value().get()));
    if (!shape) {
        return PyErr::fetch();
    }
    return numpy_call("empty", {shape.get()});
}

// The module attribute that holds the generalized ufunc behind the function.
constexpr std::string_view bins_gufunc_name = "_wbl_bins_gufunc";

// wbl_bins(c, k, edges, *, out=None) for numpy before 2.1.
PyResult<Owned> bins_into_output(PyObject* module, PyObject* args, PyObject* kwargs) {
    Owned held = get_attr_named(module, bins_gufunc_name);
    if (!held) {
        return PyErr::fetch();
    }
    PyObject* gufunc = held.get();
    std::array<PyObject*, 4> slots{};
    if (PyResult<void> bound = WBL_BINS_DESCRIPTION.extract_arguments(args, kwargs, slots);
        !bound.is_ok()) {
        return std::move(bound).error();
    }
    // Owned: finding shapes runs Python code, which may change a caller's
    // dictionary.
    const Owned c = Owned::borrow(slots[0]);
    const Owned k = Owned::borrow(slots[1]);
    const Owned edges = Owned::borrow(slots[2]);
    const Owned out = slots[3] != nullptr ? Owned::borrow(slots[3]) : Owned();
    PyResult<Owned> edges_shape = numpy_call("shape", {edges.get()});
    if (!edges_shape.is_ok()) {
        return std::move(edges_shape).error();
    }
    if (PyTuple_Size(edges_shape.value().get()) == 0) {
        // No axis of edges: numpy's own error says so.
        return call(gufunc, {c.get(), k.get(), edges.get()});
    }
    PyResult<std::intptr_t> count = last_of(edges_shape.value().get());
    if (!count.is_ok()) {
        return std::move(count).error();
    }
    PyResult<Owned> output =
        out && out.get() != Py_None
            ? checked_output(out.get(), count.value())
            : new_output(c.get(), k.get(), edges_shape.value().get(), count.value());
    if (!output.is_ok()) {
        return std::move(output).error();
    }
    Owned keywords = Owned::steal(PyDict_New());
    if (!keywords || PyDict_SetItemString(keywords.get(), "out", output.value().get()) == -1) {
        return PyErr::fetch();
    }
    return call(gufunc, {c.get(), k.get(), edges.get()}, keywords.get());
}

PyObject* bins_into_output_entry(PyObject* module, PyObject* args, PyObject* kwargs) {
    return cfunction_with_keywords(module, args, kwargs, [module](PyObject* a, PyObject* kw) {
        return bins_into_output(module, a, kw);
    });
}

constexpr MethodDefRecord WBL_BINS_FUNCTION = {
    nul_terminated("wbl_bins"), bins_into_output_entry, METH_VARARGS | METH_KEYWORDS,
    nul_terminated("wbl_bins(c, k, edges, *, out=None)\n--\n\n"
                   "Probabilities of the wind-speed bins between adjacent edges, for Weibull\n"
                   "scale c and shape k: edges of shape (..., n) give bins of shape (..., n - 1),\n"
                   "bin i equal to vindral.wbl_cdf(c, k, e[i], e[i+1]) to the last bit. With\n"
                   "numpy 2.1 and newer a generalized ufunc; here a function that runs one.")};

// Adds wbl_bins: the generalized ufunc, or before numpy 2.1 the function that
// runs it into an output of the right size.
PyResult<void> add_bins(PyObject* module, const numpy_api::UfuncApi& api) {
    PyResult<Owned> gufunc = api.make_ufunc(WBL_BINS_UFUNC);
    if (!gufunc.is_ok()) {
        return std::move(gufunc).error();
    }
    Owned bins = std::move(gufunc).value();
    if (api.set_core_dimensions(bins.get(), bins_core_dimensions)) {
        return add_function(module, std::move(bins));
    }
    Owned name = try_new_str(bins_gufunc_name);
    if (!name || PyObject_SetAttr(module, name.get(), bins.get()) == -1) {
        return PyErr::fetch();
    }
    PyResult<Owned> function = wrap_pyfunction(WBL_BINS_FUNCTION, module);
    if (!function.is_ok()) {
        return std::move(function).error();
    }
    return add_function(module, std::move(function).value());
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
    WBL_BINS_UFUNC.loops[0] = choice.wbl_bins;
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
           (added = add_ufunc(module, numpy, WBL_SF_UFUNC)).is_ok() &&
           (added = add_bins(module, numpy)).is_ok());
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
