#include "boundary/interpreter_lifetime.hpp"

#include <atomic>
#include <utility>
#include <vector>

#include "boundary/gil_state.hpp"
#include "boundary/module_def.hpp"
#include "boundary/never_destroyed.hpp"
#include "boundary/trampoline.hpp"

namespace vindral::interpreter_lifetime {
namespace {

// All written only by the claiming interpreter, holding it; `alive` is also
// read by the others, which never get to keep anything. The list is never
// destroyed: a daemon thread may still read a kept slot while the process
// exits.
std::atomic<bool> alive{false};
ModuleDef* claimed = nullptr;
NeverDestroyed<std::vector<PyObject**>> kept_slots;

void release_everything() {
    alive.store(false, std::memory_order_release);
    for (PyObject** slot : std::exchange(*kept_slots, {})) {
        (void)Owned::steal(std::exchange(*slot, nullptr));
    }
    if (ModuleDef* def = std::exchange(claimed, nullptr)) {
        (void)Owned::steal(std::exchange(def->module, nullptr));
        def->interpreter.store(-1, std::memory_order_seq_cst);
    }
}

// Registered with the claiming interpreter's atexit, which calls it when the
// interpreter finalises (Py_FinalizeEx, or Py_EndInterpreter for a
// sub-interpreter) while the interpreter still runs, so every release is a
// real one.
PyObject* at_interpreter_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return cfunction_with_keywords(self, args, kwargs, [](PyObject*, PyObject*) -> PyResult<Owned> {
        release_everything();
        return Owned::borrow(Py_None);
    });
}

PyMethodDef at_interpreter_exit_def = {
    "_vindral_interpreter_exit",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(at_interpreter_exit)),
    METH_VARARGS | METH_KEYWORDS,
    nullptr,
};

}  // namespace

PyResult<void> watch(ModuleDef& def) {
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
    claimed = &def;
    alive.store(true, std::memory_order_release);
    return {};
}

bool keeping() noexcept { return alive.load(std::memory_order_acquire); }

Owned keep(PyObject*& slot, Owned obj) {
    if (!keeping()) {
        return obj;
    }
    kept_slots->push_back(&slot);
    slot = obj.into_raw();
    return Owned::borrow(slot);
}

}  // namespace vindral::interpreter_lifetime
