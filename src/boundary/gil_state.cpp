#include "boundary/gil_state.hpp"

#include <mutex>
#include <utility>
#include <vector>

namespace vindral {

thread_local constinit std::int64_t GIL_COUNT = 0;

namespace pool_detail {
constinit std::atomic<bool> dirty{false};
}  // namespace pool_detail

namespace {

// References whose release was requested where no guard was active.
struct ReferencePool {
    std::mutex mutex;
    std::vector<PyObject*> pending;
};

ReferencePool POOL;

}  // namespace

void defer_release(PyObject* obj) noexcept {
    std::lock_guard lock(POOL.mutex);
    POOL.pending.push_back(obj);
    pool_detail::dirty.store(true, std::memory_order_release);
}

void pool_detail::release_pending() {
    std::vector<PyObject*> taken;
    {
        std::lock_guard lock(POOL.mutex);
        taken.swap(POOL.pending);
        dirty.store(false, std::memory_order_relaxed);
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
