// The host interpreter, as this module sees it: the stable C interface only.
//
// Every file of the boundary includes the interpreter's headers through this
// one, so that the limited-API level is fixed in one place.
#pragma once

// A free-threaded interpreter (before 3.15) has no limited API to build
// against; the sources keep to it there all the same.
#if !defined(Py_LIMITED_API) && !defined(VINDRAL_FREE_THREADED)
#error "vindral is built against the stable interface: define Py_LIMITED_API"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(VINDRAL_FREE_THREADED) && !defined(Py_GIL_DISABLED)
#error "a free-threaded build of vindral needs a free-threaded interpreter's headers"
#endif

// PyPy calls METH_FASTCALL functions, but its headers (7.3) withhold the flag
// under any limited API older than 0x03100000, meant as 3.10 but read as
// 3.16. The value is CPython's and PyPy's.
#if defined(PYPY_VERSION) && !defined(METH_FASTCALL)
#define METH_FASTCALL 0x0080
#endif

namespace vindral::host {

// Subclass bits of a type's flags. The stable interface has no per-type
// checks that avoid reading object structures, so types are tested by these.
inline constexpr unsigned long list_subclass_flag = 1UL << 25;
inline constexpr unsigned long unicode_subclass_flag = 1UL << 28;
inline constexpr unsigned long base_exception_subclass_flag = 1UL << 30;

inline bool type_has_flag(PyTypeObject* type, unsigned long flag) noexcept {
    return (PyType_GetFlags(type) & flag) != 0;
}

// The type of an object, as an object (borrowed).
inline PyObject* type_of(PyObject* obj) noexcept {
    return reinterpret_cast<PyObject*>(Py_TYPE(obj));
}

inline bool is_str(PyObject* obj) noexcept {
    return type_has_flag(Py_TYPE(obj), unicode_subclass_flag);
}

inline bool is_list(PyObject* obj) noexcept {
    return type_has_flag(Py_TYPE(obj), list_subclass_flag);
}

// An exception class: a type object whose flags carry the BaseException bit.
inline bool is_exception_class(PyObject* obj) noexcept {
    return PyType_Check(obj) &&
           type_has_flag(reinterpret_cast<PyTypeObject*>(obj), base_exception_subclass_flag);
}

inline bool is_exception_instance(PyObject* obj) noexcept {
    return type_has_flag(Py_TYPE(obj), base_exception_subclass_flag);
}

// The triple-based error-indicator calls are deprecated in newer headers but
// remain part of the stable interface back to 3.9, which is what we target.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#elif defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#endif
inline void err_fetch(PyObject** type, PyObject** value, PyObject** traceback) noexcept {
    PyErr_Fetch(type, value, traceback);
}
// Not noexcept: restoring drops what the indicator held before, and
// normalising instantiates the exception; both may run Python code (a
// __del__, or one that a collection started by an allocation finalises),
// from which a thread being ended at exit unwinds.
inline void err_restore(PyObject* type, PyObject* value, PyObject* traceback) {
    PyErr_Restore(type, value, traceback);
}
inline void err_normalize(PyObject** type, PyObject** value, PyObject** traceback) {
    PyErr_NormalizeException(type, value, traceback);
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#elif defined(_MSC_VER)
#pragma warning(pop)
#endif

}  // namespace vindral::host
