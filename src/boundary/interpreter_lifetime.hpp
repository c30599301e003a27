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

#include "boundary/host.hpp"
#include "boundary/owned.hpp"
#include "boundary/pyerr.hpp"

namespace vindral {

struct ModuleDef;

namespace interpreter_lifetime {

// Called by the initialisation that has just claimed `def` for the current
// interpreter: arranges that the claim, the cache and everything kept are
// released when this interpreter finalises.
PyResult<void> watch(ModuleDef& def);

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
PyObject* load(PyObject*& slot) noexcept;

}  // namespace interpreter_lifetime
}  // namespace vindral
