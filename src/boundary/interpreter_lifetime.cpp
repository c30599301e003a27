// What the boundary keeps between calls, and its release when the claiming
// interpreter finalises.
#include "boundary/interpreter_lifetime.hpp"

#include <mutex>
#include <utility>
#include <vector>

#include "boundary/never_destroyed.hpp"

namespace vindral::interpreter_lifetime {
namespace {

// `claimed` is written only by the claiming interpreter's initialisation and
// exit; `alive` is also read by the others, which never get to keep
// anything. The kept slots are listed under a lock, since calls on several
// threads at once may keep objects (truly at once without the GIL), and the
// list is never destroyed: a daemon thread may still read a kept slot while
// the process exits.
struct KeptSlots {
    std::mutex lock;
    std::vector<PyObject**> slots;
};

std::atomic<bool> alive{false};
Claim* claimed = nullptr;
NeverDestroyed<KeptSlots> kept;

}  // namespace

void watch(Claim& claim) noexcept {
    claimed = &claim;
    alive.store(true, std::memory_order_release);
}

void release_everything() {
    alive.store(false, std::memory_order_release);
    std::vector<PyObject*> objects;
    {
        const std::lock_guard lock(kept->lock);
        for (PyObject** slot : std::exchange(kept->slots, {})) {
            objects.push_back(std::atomic_ref(*slot).exchange(nullptr, std::memory_order_acq_rel));
        }
    }
    PyObject* module = nullptr;
    if (Claim* claim = std::exchange(claimed, nullptr)) {
        module = std::exchange(claim->module, nullptr);
        claim->interpreter.store(-1, std::memory_order_seq_cst);
    }
#if defined(Py_GIL_DISABLED)
    // Without the GIL, daemon threads run on while the exit callbacks do and
    // may still hold a pointer read from a slot: the objects are left to the
    // interpreter's teardown. The next interpreter keeps its own.
    (void)module;
#else
    for (PyObject* object : objects) {
        (void)Owned::steal(object);
    }
    (void)Owned::steal(module);
#endif
}

bool keeping() noexcept { return alive.load(std::memory_order_acquire); }

Owned keep(PyObject*& slot, Owned obj) {
    if (!keeping()) {
        return obj;
    }
    PyObject* in_slot = nullptr;
    {
        const std::lock_guard lock(kept->lock);
        std::atomic_ref published(slot);
        in_slot = published.load(std::memory_order_relaxed);
        if (in_slot == nullptr) {
            kept->slots.push_back(&slot);
            in_slot = obj.into_raw();
            published.store(in_slot, std::memory_order_release);
        }
    }
    // Another thread kept one first: `obj` is released here, outside the lock.
    return Owned::borrow(in_slot);
}

}  // namespace vindral::interpreter_lifetime
