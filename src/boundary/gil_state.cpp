// This thread's count of call guards, and the deferred releases that wait
// for a thread that holds the interpreter.
#include "boundary/gil_state.hpp"

#include <mutex>
#include <utility>
#include <vector>

#include "boundary/never_destroyed.hpp"

namespace vindral {

thread_local constinit std::int64_t GIL_COUNT = 0;

namespace pool_detail {
constinit std::atomic<bool> dirty{false};
}  // namespace pool_detail

namespace {

// References whose release was requested where no guard was active. Never
// destroyed: daemon threads may defer releases while the process exits.
struct ReferencePool {
    std::mutex mutex;
    std::vector<PyObject*> pending;
};

NeverDestroyed<ReferencePool> POOL;

}  // namespace

void defer_release(PyObject* obj) noexcept {
    std::lock_guard lock(POOL->mutex);
    POOL->pending.push_back(obj);
    pool_detail::dirty.store(true, std::memory_order_release);
}

void pool_detail::release_pending() {
    std::vector<PyObject*> taken;
    {
        std::lock_guard lock(POOL->mutex);
        taken.swap(POOL->pending);
        dirty.store(false, std::memory_order_relaxed);
    }
    // Counts change only after the mutex is released: a deallocation may run
    // arbitrary code, which may itself defer a release, or end this thread.
    std::size_t next = 0;
    try {
        for (; next < taken.size(); ++next) {
            Py_DECREF(taken[next]);
        }
    } catch (...) {
        // The thread is being ended inside a deallocation: it has lost the
        // interpreter, and what it had yet to release waits for another.
        GIL_COUNT = 0;
        for (++next; next < taken.size(); ++next) {
            defer_release(taken[next]);
        }
        throw;
    }
}

void release_reference(PyObject* obj) {
    if (GIL_COUNT > 0) [[likely]] {
        calling_python([obj] { Py_DECREF(obj); });
    } else {
        defer_release(obj);
    }
}

std::size_t pool_size() noexcept {
    std::lock_guard lock(POOL->mutex);
    return POOL->pending.size();
}

}  // namespace vindral
