// Per-thread count of active call guards, and the process-wide list of
// reference releases that had to wait for a thread holding the interpreter.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "boundary/compiler.hpp"
#include "boundary/host.hpp"

namespace vindral {

// Number of call guards active on this thread. A negative value prohibits
// entering the module on this thread: -1 while a garbage-collector traversal
// runs, any other negative value for other prohibitions. Trivially
// destructible, so it exists for the whole life of every thread.
extern thread_local constinit std::int64_t GIL_COUNT;

// Queues a reference whose release cannot happen now because no guard is
// active on this thread; the next guard entry on any thread releases it.
void defer_release(PyObject* obj) noexcept;

namespace pool_detail {
// Set while the pool may hold references; lets a guard skip the mutex when
// nothing was deferred, which is every call in ordinary operation.
extern std::atomic<bool> dirty;
// Not noexcept: a deallocation may run Python code, from which a thread
// that is being ended unwinds (see calling_python).
void release_pending();
}  // namespace pool_detail

// Releases every deferred reference, in the order they were queued. Called
// with the interpreter held, at every guard entry.
inline void apply_pool() {
    if (pool_detail::dirty.load(std::memory_order_acquire)) [[unlikely]] {
        pool_detail::release_pending();
    }
}

// Number of references waiting in the pool (for the test module).
std::size_t pool_size() noexcept;

// Runs an interpreter call that may run Python code. A thread that asks for
// the interpreter back while the interpreter finalises is ended from inside
// such a call, by a forced unwind (pthread_exit, CPython 3.9 to 3.13). The
// thread no longer holds the interpreter then, so its count is cleared before
// any frame of ours unwinds: what those frames give up on the way out goes to
// the pool instead of being released without the interpreter. Nothing else
// can leave an interpreter call as an exception.
template <class Call>
VINDRAL_ALWAYS_INLINE auto calling_python(Call&& call) -> decltype(call()) {
    try {
        return call();
    } catch (...) {
        GIL_COUNT = 0;
        throw;
    }
}

// Gives up one owned reference: at once when a guard is active on this
// thread (the interpreter is then held), else through the pool. A release
// that drops the last reference may run Python code, so it is an interpreter
// call like any other. Out of line: no call that succeeds releases anything,
// and the callers' inlined code stays small.
void release_reference(PyObject* obj);

}  // namespace vindral
