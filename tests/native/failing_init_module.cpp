// _vindral_failing_init: a module whose body fails with an internal failure
// the first time it runs and succeeds afterwards, for testing what an import
// sees when initialisation panics and that a later import builds afresh.
#include <array>

#include "boundary/host.hpp"
#include "boundary/internal_failure.hpp"
#include "boundary/module_def.hpp"
#include "boundary/pyerr.hpp"
#include "boundary/trampoline.hpp"

namespace vindral::testing {
namespace {

long body_runs = 0;

// attempts(): how many times the module body has run.
PyObject* attempts(PyObject* self, PyObject* args, PyObject* kwargs) {
    return cfunction_with_keywords(self, args, kwargs, [](PyObject*, PyObject*) -> PyResult<Owned> {
        Owned count = Owned::steal(PyLong_FromLong(body_runs));
        if (!count) {
            PyErr::panic_after_error();
        }
        return count;
    });
}

constexpr std::array<MethodDefRecord, 1> FUNCTIONS = {{
    {nul_terminated("attempts"), attempts, METH_VARARGS | METH_KEYWORDS, nul_terminated("")},
}};

PyResult<void> body(PyObject* module) {
    ++body_runs;
    // Registered before failing, so that the failure also has to release a
    // partly built module.
    if (PyResult<void> added = add_functions(module, FUNCTIONS); !added.is_ok()) {
        return added;
    }
    if (body_runs == 1) {
        internal_failure("module body failed on purpose");
    }
    return {};
}

ModuleDef MODULE_DEF{
    .ffi_def = single_phase_module("_vindral_failing_init", nullptr),
    .initializer = body,
};

PyResult<Owned> make() { return MODULE_DEF.make_module(); }

}  // namespace
}  // namespace vindral::testing

PyMODINIT_FUNC PyInit__vindral_failing_init() {
    return vindral::module_init(vindral::testing::make);
}
