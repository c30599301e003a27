// An owned reference to an interpreter object, released exactly once.
#pragma once

#include <utility>

#include "boundary/gil_state.hpp"
#include "boundary/host.hpp"

namespace vindral {

class Owned {
public:
    Owned() noexcept = default;

    // Takes over a reference the caller already owns (a "new reference").
    static Owned steal(PyObject* obj) noexcept { return Owned(obj); }

    // Makes a new reference to an object the caller only borrows.
    static Owned borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Owned(obj);
    }

    Owned(Owned&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    // Releases the reference held before: see the destructor.
    Owned& operator=(Owned&& other) noexcept(false) {
        Owned(std::move(other)).swap(*this);
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    // Not noexcept: dropping a last reference runs the object's deallocation,
    // which may run Python code (a __del__, a file's close), from which the
    // interpreter may end this thread by a forced unwind that must pass.
    // So an Owned that holds a reference never dies inside a noexcept
    // function, the standard library's destructors included.
    ~Owned() noexcept(false) {
        if (ptr_ != nullptr) {
            release_reference(ptr_);
        }
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    // Hands the reference on (to the interpreter, or to a call that steals).
    [[nodiscard]] PyObject* into_raw() noexcept { return std::exchange(ptr_, nullptr); }

    // A second, independent reference to the same object.
    Owned clone_ref() const noexcept { return borrow(ptr_); }

    void swap(Owned& other) noexcept { std::swap(ptr_, other.ptr_); }

private:
    explicit Owned(PyObject* obj) noexcept : ptr_(obj) {}

    PyObject* ptr_ = nullptr;
};

}  // namespace vindral
