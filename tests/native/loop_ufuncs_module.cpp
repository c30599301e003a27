// _vindral_loop_ufuncs: the array loops of every kind this CPU runs, each
// kind as its own numpy ufuncs, so that the tests call every kind's loops as
// numpy calls them (in place, reductions, where=, casts, buffers), whichever
// kind vindral_ufunc chose. `<kind>_<function>` is the ufunc of that
// function with the loops of that kind ("plain", "avx2", "avx512"); a kind
// the CPU does not run has none. No self-test, no library check: the tests
// decide what each kind must give.
#include <array>
#include <optional>

#include "boundary/host.hpp"
#include "boundary/module_def.hpp"
#include "boundary/numpy_api.hpp"
#include "boundary/text.hpp"
#include "boundary/trampoline.hpp"
#include "weibull/loop_selection.hpp"
#include "weibull/strided_loops.hpp"
#include "weibull/weibull.hpp"

namespace vindral::testing {
namespace {

template <auto Function>
using UfuncOf = numpy_api::Float64Ufunc<weibull::arity<Function>>;

constexpr const char* doc = "Test-only: one kind of vindral_ufunc's loops.";

// One kind's ufunc definitions; numpy keeps pointers into them.
struct KindUfuncs {
    const char* name;
    weibull::LoopKind kind;
    UfuncOf<weibull::v_k_2_c> v_k_2_c{.name = "v_k_2_c", .doc = doc, .loops = {}};
    UfuncOf<weibull::c_k_2_v> c_k_2_v{.name = "c_k_2_v", .doc = doc, .loops = {}};
    UfuncOf<weibull::wbl_cdf> wbl_cdf{.name = "wbl_cdf", .doc = doc, .loops = {}};
    UfuncOf<weibull::wbl_sf> wbl_sf{.name = "wbl_sf", .doc = doc, .loops = {}};
    // Without the hook that sizes the bins: calls give out= themselves.
    numpy_api::Float64Ufunc<3> wbl_bins{
        .name = "wbl_bins", .doc = doc, .loops = {}, .signature = "(),(),(n)->(m)"};
};

std::array<KindUfuncs, 3> KINDS = {{
    {.name = "plain", .kind = weibull::LoopKind::plain},
    {.name = "avx2", .kind = weibull::LoopKind::avx2},
    {.name = "avx512", .kind = weibull::LoopKind::avx512},
}};

// Adds the ufunc of `definition` as module.<kind>_<function>.
template <std::size_t Inputs>
PyResult<void> add_ufunc(PyObject* module, const numpy_api::UfuncApi& api, const char* kind,
                         numpy_api::Float64Ufunc<Inputs>& definition) {
    PyResult<Owned> ufunc = api.make_ufunc(definition);
    if (!ufunc.is_ok()) {
        return std::move(ufunc).error();
    }
    Owned name = try_new_str(concat({kind, "_", definition.name}));
    if (!name) {
        return PyErr::fetch();
    }
    return add(module, std::move(name), std::move(ufunc).value());
}

PyResult<void> add_kind(PyObject* module, const numpy_api::UfuncApi& api, KindUfuncs& ufuncs) {
    const std::optional<weibull::LoopChoice> loops = weibull::unchecked_loops(ufuncs.kind);
    if (!loops) {
        return {};
    }
    ufuncs.v_k_2_c.loops[0] = loops->v_k_2_c;
    ufuncs.c_k_2_v.loops[0] = loops->c_k_2_v;
    ufuncs.wbl_cdf.loops[0] = loops->wbl_cdf;
    ufuncs.wbl_sf.loops[0] = loops->wbl_sf;
    ufuncs.wbl_bins.loops[0] = loops->wbl_bins;
    PyResult<void> added;
    (void)((added = add_ufunc(module, api, ufuncs.name, ufuncs.v_k_2_c)).is_ok() &&
           (added = add_ufunc(module, api, ufuncs.name, ufuncs.c_k_2_v)).is_ok() &&
           (added = add_ufunc(module, api, ufuncs.name, ufuncs.wbl_cdf)).is_ok() &&
           (added = add_ufunc(module, api, ufuncs.name, ufuncs.wbl_sf)).is_ok() &&
           (added = add_ufunc(module, api, ufuncs.name, ufuncs.wbl_bins)).is_ok());
    return added;
}

PyResult<void> body(PyObject* module) {
    PyResult<numpy_api::UfuncApi> api = numpy_api::UfuncApi::import();
    if (!api.is_ok()) {
        return std::move(api).error();
    }
    for (KindUfuncs& ufuncs : KINDS) {
        if (PyResult<void> added = add_kind(module, api.value(), ufuncs); !added.is_ok()) {
            return added;
        }
    }
    return {};
}

ModuleDef MODULE_DEF{
    .ffi_def = single_phase_module("_vindral_loop_ufuncs", nullptr),
    .initializer = body,
};

PyResult<Owned> make() { return MODULE_DEF.make_module(); }

}  // namespace
}  // namespace vindral::testing

PyMODINIT_FUNC PyInit__vindral_loop_ufuncs() {
    return vindral::module_init(vindral::testing::make);
}
