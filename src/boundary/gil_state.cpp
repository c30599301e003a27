#include "boundary/gil_state.hpp"

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

namespace vindral {

thread_local constinit std::int64_t GIL_COUNT = 0;

namespace {

struct ReferencePool {
    std::mutex mutex;
    std::vector<PyObject*> pending;
    // Set while `pending` may be non-empty; lets a guard skip the mutex when
    // nothing was deferred, which is every call in ordinary operation.
    std::atomic<bool> dirty{false};
};

ReferencePool POOL;

}  // namespace

void defer_release(PyObject* obj) noexcept {
    std::lock_guard lock(POOL.mutex);
    POOL.pending.push_back(obj);
    POOL.dirty.store(true, std::memory_order_release);
}

void apply_pool() noexcept {
    if (!POOL.dirty.load(std::memory_order_acquire)) [[likely]] {
        return;
    }
    std::vector<PyObject*> taken;
    {
        std::lock_guard lock(POOL.mutex);
        taken.swap(POOL.pending);
        POOL.dirty.store(false, std::memory_order_relaxed);
    }
    // Counts change only after the mutex is released: a deallocation may run
    // arbitrary code, which may itself defer a release.
    for (PyObject* obj : taken) {
        Py_DECREF(obj);
    }
}

std::size_t pool_size() noexcept {
    std::lock_guard lock(POOL.mutex);
    return POOL.pending.size();
}

}  // namespace vindral
