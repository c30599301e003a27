// The lifetime of what the boundary keeps between calls.
//
// The module cache, the interned names and the PanicException class are
// objects of the interpreter that claimed the module, and die with it (on a
// free-threaded interpreter they are only forgotten then: daemon threads
// still run while it finalises). The
// claim is watched from the moment it is made: when the claiming interpreter
// finalises, everything kept is released, the cache is emptied and the claim
// is given up, so that the next interpreter to initialise the module (the
// main one after a sub-interpreter, or the same one initialised anew) builds
// afresh and never meets an object of a dead interpreter.
#pragma once

#include <atomic>
#include <cstdint>

#include "boundary/host.hpp"
#include "boundary/owned.hpp"

namespace vindral::interpreter_lifetime {

// One module's claim by one interpreter, and the module built under it.
struct Claim {
    // -1 until an initialisation records its interpreter; -1 again once that
    // interpreter has finalised.
    std::atomic<std::int64_t> interpreter{-1};
    // The finished module; one reference owned while the claiming
    // interpreter lives.
    PyObject* module = nullptr;
};

// Called by the initialisation that has just claimed `claim` for the current
// interpreter, once it has arranged for `release_everything` to run when
// this interpreter finalises: from now on objects are kept.
void watch(Claim& claim) noexcept;

// Releases everything kept and the claim's module, and gives the claim up,
// so that the next interpreter to initialise the module builds afresh. Run
// while the claiming interpreter still runs (its atexit), so every release
// is a real one; releases may run Python code.
void release_everything();

// Whether objects may be kept between calls now: only while the claiming
// interpreter lives, since nothing else would ever release them.
bool keeping() noexcept;

// Keeps `obj` in `slot` until the claiming interpreter finalises and gives a
// new reference to it; when nothing may be kept, gives `obj` back unkept.
// When another thread kept an object in the slot first, `obj` is released
// and the reference is to that one. The slot is published atomically: read
// it with `load`.
Owned keep(PyObject*& slot, Owned obj);

// What a slot of `keep` holds now (null before anything is kept): an acquire
// load, so that a thread that sees an object also sees everything written
// before it was kept.
inline PyObject* load(PyObject*& slot) noexcept {
    return std::atomic_ref(slot).load(std::memory_order_acquire);
}

}  // namespace vindral::interpreter_lifetime
