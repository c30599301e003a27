// _vindral_testing: guarded entries that reach the states a well-behaved
// caller of vindral never can (internal failures, odd pending errors,
// deferred releases, a corrupted guard count); unguarded twins of vindral's
// functions that are the floor for the benchmarks; and vindral's functions
// themselves, so that tests can watch the guard count they run under.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

#include "boundary/gil_state.hpp"
#include "boundary/host.hpp"
#include "boundary/internal_failure.hpp"
#include "boundary/interpreter_lifetime.hpp"
#include "boundary/module_def.hpp"
#include "boundary/pyerr.hpp"
#include "boundary/text.hpp"
#include "boundary/trampoline.hpp"
#include "lib.hpp"
#include "simd_checks.hpp"
#include "weibull/loop_selection.hpp"
#include "weibull/strided_loops.hpp"
#include "weibull/weibull.hpp"

namespace vindral::testing {
namespace {

// Argument i of a positional-only test entry (borrowed), or a TypeError.
PyResult<PyObject*> positional(PyObject* args, Py_ssize_t i, const char* entry) {
    if (PyTuple_Size(args) <= i) {
        return PyErr::new_<TypeError>(std::string(entry) + "() needs more arguments");
    }
    return PyTuple_GetItem(args, i);
}

Owned new_int(long long value) {
    Owned number = Owned::steal(PyLong_FromLongLong(value));
    if (!number) {
        PyErr::panic_after_error();
    }
    return number;
}

Owned none() { return Owned::borrow(Py_None); }

// The error that f() raised, or nothing when it returned.
std::optional<PyErr> error_raised_by(PyObject* callable) {
    if (Owned::steal(PyObject_CallObject(callable, nullptr))) {
        return std::nullopt;
    }
    return PyErr::fetch();
}

// What an entry that needs a raising callable says when given another.
PyErr needs_raising_callable(const char* entry) {
    return PyErr::new_<ValueError>(std::string(entry) + "() needs a callable that raises");
}

// fail(message): an internal failure carrying `message`.
PyResult<Owned> fail(PyObject* args, PyObject*) {
    PyResult<PyObject*> message = positional(args, 0, "fail");
    if (!message.is_ok()) {
        return std::move(message).error();
    }
    PyResult<std::string> text = python_format(message.value());
    if (!text.is_ok()) {
        return std::move(text).error();
    }
    internal_failure(text.value());
}

// fail_without_message(): throws a value that carries no text.
PyResult<Owned> fail_without_message(PyObject*, PyObject*) { throw 42; }

// raise_value(obj): the error made by from_value_bound(obj).
PyResult<Owned> raise_value(PyObject* args, PyObject*) {
    PyResult<PyObject*> obj = positional(args, 0, "raise_value");
    if (!obj.is_ok()) {
        return std::move(obj).error();
    }
    return PyErr::from_value_bound(obj.value());
}

// raise_type_error(message): a lazy TypeError.
PyResult<Owned> raise_type_error(PyObject* args, PyObject*) {
    PyResult<PyObject*> message = positional(args, 0, "raise_type_error");
    if (!message.is_ok()) {
        return std::move(message).error();
    }
    PyResult<std::string> text = python_format(message.value());
    if (!text.is_ok()) {
        return std::move(text).error();
    }
    return PyErr::new_<TypeError>(text.value());
}

// fetch_without_error(): an interpreter call reported failure, but the
// error indicator is empty.
PyResult<Owned> fetch_without_error(PyObject*, PyObject*) { return PyErr::fetch(); }

// call(f, *args): f(*args), through the interpreter and back.
PyResult<Owned> call(PyObject* args, PyObject* kwargs) {
    PyResult<PyObject*> callable = positional(args, 0, "call");
    if (!callable.is_ok()) {
        return std::move(callable).error();
    }
    Owned rest = Owned::steal(PyTuple_GetSlice(args, 1, PyTuple_Size(args)));
    if (!rest) {
        return PyErr::fetch();
    }
    Owned result = Owned::steal(PyObject_Call(callable.value(), rest.get(), kwargs));
    if (!result) {
        return PyErr::fetch();
    }
    return result;
}

// inspect_error(f): calls f, which must raise, and describes the pending
// error: (type, value, cause or None, traceback or None, debug rendering).
PyResult<Owned> inspect_error(PyObject* args, PyObject*) {
    PyResult<PyObject*> callable = positional(args, 0, "inspect_error");
    if (!callable.is_ok()) {
        return std::move(callable).error();
    }
    std::optional<PyErr> raised = error_raised_by(callable.value());
    if (!raised) {
        return needs_raising_callable("inspect_error");
    }
    PyErr& error = *raised;
    std::optional<PyErr> cause = error.cause();
    std::array<Owned, 5> parts = {
        Owned::borrow(error.get_type_bound()),
        Owned::borrow(error.value_bound()),
        cause ? std::move(*cause).into_value() : none(),
        error.traceback_bound() != nullptr ? Owned::borrow(error.traceback_bound()) : none(),
        new_str(error.debug()),
    };
    Owned tuple = Owned::steal(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    if (!tuple) {
        PyErr::panic_after_error();
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), parts[i].into_raw());
    }
    return tuple;
}

// chain_type_error(f, message): calls f, which must raise, and raises a new
// TypeError(message) whose cause is that error.
PyResult<Owned> chain_type_error(PyObject* args, PyObject*) {
    PyResult<PyObject*> callable = positional(args, 0, "chain_type_error");
    PyResult<PyObject*> message = positional(args, 1, "chain_type_error");
    if (!callable.is_ok() || !message.is_ok()) {
        return PyErr::new_<TypeError>("chain_type_error(f, message)");
    }
    std::optional<PyErr> cause = error_raised_by(callable.value());
    if (!cause) {
        return needs_raising_callable("chain_type_error");
    }
    PyResult<std::string> text = python_format(message.value());
    if (!text.is_ok()) {
        return std::move(text).error();
    }
    PyErr error = PyErr::new_<TypeError>(text.value());
    error.set_cause(std::move(cause));
    return error;
}

// drop_error(f): calls f, which must raise, fetches the error and drops it
// without raising it; returns None.
PyResult<Owned> drop_error(PyObject* args, PyObject*) {
    PyResult<PyObject*> callable = positional(args, 0, "drop_error");
    if (!callable.is_ok()) {
        return std::move(callable).error();
    }
    {
        std::optional<PyErr> fetched = error_raised_by(callable.value());
        if (!fetched) {
            return needs_raising_callable("drop_error");
        }
        PyErr lazy = PyErr::new_<TypeError>("never raised");
    }
    return none();
}

// defer_release_from_thread(obj): takes a reference to obj and gives it up
// on a thread where no guard is active; returns the pool's length then.
PyResult<Owned> defer_release_from_thread(PyObject* args, PyObject*) {
    PyResult<PyObject*> obj = positional(args, 0, "defer_release_from_thread");
    if (!obj.is_ok()) {
        return std::move(obj).error();
    }
    PyObject* reference = Owned::borrow(obj.value()).into_raw();
    std::thread releaser([reference] { release_reference(reference); });
    releaser.join();
    return new_int(static_cast<long long>(pool_size()));
}

// keep_object(obj): keeps obj in a slot of its own (never freed) until the
// interpreter finalises, as the module keeps its process-wide objects, and
// returns what the slot holds: many threads at once test the list of kept
// slots.
PyResult<Owned> keep_object(PyObject* args, PyObject*) {
    PyResult<PyObject*> obj = positional(args, 0, "keep_object");
    if (!obj.is_ok()) {
        return std::move(obj).error();
    }
    auto* slot = new PyObject*(nullptr);  // NOLINT(*-owning-memory): listed for good
    return interpreter_lifetime::keep(*slot, Owned::borrow(obj.value()));
}

// pool_size(): the pool's length after this entry's guard applied it.
PyResult<Owned> pool_length(PyObject*, PyObject*) {
    return new_int(static_cast<long long>(pool_size()));
}

// gil_count(): this thread's count of active guards, seen from inside one.
PyResult<Owned> gil_count(PyObject*, PyObject*) { return new_int(GIL_COUNT); }

// corrupt_gil_count(): zeroes the count inside a guard, so that the guard
// finds it not positive on exit.
PyResult<Owned> corrupt_gil_count(PyObject*, PyObject*) {
    GIL_COUNT = 0;
    return none();
}

// An exception type whose lookup fails when the error is raised.
struct UnresolvableError {
    static Owned type_object() { internal_failure("exception type could not be resolved"); }
    static constexpr bool args_as_tuple = false;
};

// raise_unraisable_error(): returns an error that cannot be raised.
PyResult<Owned> raise_unraisable_error(PyObject*, PyObject*) {
    return PyErr::new_<UnresolvableError>("never raised");
}

// The bare twins: vindral's three functions with the same call shape and
// arithmetic and nothing around them: no guard, no binder, no error
// rewriting. They are the floor that the benchmarks measure vindral against.
// Parameter names are interned once, by the module body, so that a call does
// no set-up work of its own.
std::array<PyObject*, 2> v_k_names{};
std::array<PyObject*, 2> c_k_names{};
std::array<PyObject*, 4> c_k_v1_v2_names{};

template <std::size_t N, class Compute>
PyObject* bare_call(PyObject* args, PyObject* kwargs, const std::array<PyObject*, N>& names,
                    Compute compute) {
    std::array<PyObject*, N> items{};
    const Py_ssize_t given = PyTuple_Size(args);
    for (Py_ssize_t i = 0; i < given && i < static_cast<Py_ssize_t>(N); ++i) {
        items[i] = PyTuple_GetItem(args, i);
    }
    if (kwargs != nullptr) {
        for (std::size_t i = 0; i < N; ++i) {
            if (items[i] == nullptr) {
                items[i] = PyDict_GetItem(kwargs, names[i]);
            }
        }
    }
    std::array<double, N> x;
    for (std::size_t i = 0; i < N; ++i) {
        if (items[i] == nullptr) {
            PyErr_SetString(PyExc_TypeError, "missing argument");
            return nullptr;
        }
        x[i] = PyFloat_AsDouble(items[i]);
        if (x[i] == -1.0 && PyErr_Occurred() != nullptr) {
            return nullptr;
        }
    }
    return PyFloat_FromDouble(std::apply(compute, x));
}

PyObject* bare_v_k_2_c(PyObject*, PyObject* args, PyObject* kwargs) {
    return bare_call(args, kwargs, v_k_names, weibull::v_k_2_c);
}

PyObject* bare_c_k_2_v(PyObject*, PyObject* args, PyObject* kwargs) {
    return bare_call(args, kwargs, c_k_names, weibull::c_k_2_v);
}

PyObject* bare_wbl_cdf(PyObject*, PyObject* args, PyObject* kwargs) {
    return bare_call(args, kwargs, c_k_v1_v2_names, weibull::wbl_cdf);
}

// bare_wbl_cdf_loop(c, k, v1, v2, out, n): the floor for the array module, a
// plain C loop over n contiguous doubles at each address (an int, such as
// numpy's array.ctypes.data) that calls the same arithmetic. Unguarded and
// unchecked: only the benchmarks call it, with arrays they own.
PyObject* bare_wbl_cdf_loop(PyObject*, PyObject* args, PyObject*) {
    std::array<double*, 5> arrays{};
    for (std::size_t i = 0; i < arrays.size(); ++i) {
        arrays[i] = static_cast<double*>(
            PyLong_AsVoidPtr(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i))));
    }
    const Py_ssize_t count = PyLong_AsSsize_t(PyTuple_GetItem(args, 5));
    if (PyErr_Occurred() != nullptr) {
        return nullptr;
    }
    const auto [c, k, v1, v2, out] = arrays;
    for (Py_ssize_t i = 0; i < count; ++i) {
        out[i] = weibull::wbl_cdf(c[i], k[i], v1[i], v2[i]);
    }
    Py_INCREF(Py_None);
    return Py_None;
}

// ---- The array loops -------------------------------------------------------------

// Argument i as text, or a TypeError naming the entry.
PyResult<std::string> text_argument(PyObject* args, Py_ssize_t i, const char* entry) {
    PyResult<PyObject*> item = positional(args, i, entry);
    if (!item.is_ok()) {
        return std::move(item).error();
    }
    std::optional<std::string> text =
        host::is_str(item.value()) ? try_str_to_utf8_lossy(item.value()) : std::nullopt;
    if (!text) {
        return PyErr::new_<TypeError>(std::string(entry) + "() takes names as str");
    }
    return std::move(*text);
}

// Argument i as an unsigned 64-bit integer (an address, a count, a seed).
PyResult<std::uint64_t> integer_argument(PyObject* args, Py_ssize_t i, const char* entry) {
    PyResult<PyObject*> item = positional(args, i, entry);
    if (!item.is_ok()) {
        return std::move(item).error();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(item.value());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        return PyErr::fetch();
    }
    return static_cast<std::uint64_t>(value);
}

// The SIMD loops of a kind ("avx2", "avx512") where this build and CPU run
// them; a ValueError otherwise.
PyResult<const weibull::simd::Loops*> simd_loops(std::string_view kind) {
    const weibull::simd::Loops* loops = nullptr;
    if (kind == "avx2" && weibull::cpu_runs(weibull::LoopKind::avx2)) {
        loops = weibull::simd::avx2_loops();
    } else if (kind == "avx512" && weibull::cpu_runs(weibull::LoopKind::avx512)) {
        loops = weibull::simd::avx512_loops();
    }
    if (loops == nullptr) {
        return PyErr::new_<ValueError>(std::string(kind) + " loops do not run here");
    }
    return loops;
}

constexpr std::array<std::pair<std::string_view, Function>, 6> function_names = {{
    {"exp", Function::exp},
    {"pow", Function::pow},
    {"v_k_2_c", Function::v_k_2_c},
    {"c_k_2_v", Function::c_k_2_v},
    {"wbl_sf", Function::wbl_sf},
    {"wbl_cdf", Function::wbl_cdf},
}};
constexpr std::array<std::pair<std::string_view, Region>, 3> region_names = {{
    {"bits", Region::bits},
    {"wind", Region::wind},
    {"hard", Region::hard},
}};

// Argument i as one of `names`, or a ValueError.
template <class T, std::size_t N>
PyResult<T> named_argument(PyObject* args, Py_ssize_t i, const char* entry,
                           const std::array<std::pair<std::string_view, T>, N>& names) {
    PyResult<std::string> name = text_argument(args, i, entry);
    if (!name.is_ok()) {
        return std::move(name).error();
    }
    for (const auto& [text, value] : names) {
        if (text == name.value()) {
            return value;
        }
    }
    return PyErr::new_<ValueError>("unknown name '" + name.value() + "'");
}

// simd_compare(kind, function, region, count, seed): the loop of `function`
// from the `kind` loops against the library, over `count` drawn elements:
// (compared, mismatched, first mismatch's arguments, its result, the
// library's result).
PyResult<Owned> simd_compare(PyObject* args, PyObject*) {
    constexpr const char* entry = "simd_compare";
    PyResult<std::string> kind = text_argument(args, 0, entry);
    if (!kind.is_ok()) {
        return std::move(kind).error();
    }
    PyResult<const weibull::simd::Loops*> loops = simd_loops(kind.value());
    if (!loops.is_ok()) {
        return std::move(loops).error();
    }
    PyResult<Function> which = named_argument(args, 1, entry, function_names);
    if (!which.is_ok()) {
        return std::move(which).error();
    }
    PyResult<Region> where = named_argument(args, 2, entry, region_names);
    if (!where.is_ok()) {
        return std::move(where).error();
    }
    PyResult<std::uint64_t> count = integer_argument(args, 3, entry);
    if (!count.is_ok()) {
        return std::move(count).error();
    }
    PyResult<std::uint64_t> seed = integer_argument(args, 4, entry);
    if (!seed.is_ok()) {
        return std::move(seed).error();
    }
    const Comparison result = compare_with_library(*loops.value(), which.value(), where.value(),
                                                   count.value(), seed.value());
    const auto& a = result.first_arguments;
    Owned report =
        Owned::steal(Py_BuildValue("KK(dddd)dd", static_cast<unsigned long long>(result.compared),
                                   static_cast<unsigned long long>(result.mismatched), a[0], a[1],
                                   a[2], a[3], result.first_got, result.first_expected));
    if (!report) {
        return PyErr::fetch();
    }
    return report;
}

// simd_self_test(kind): whether the `kind` loops pass the self-test that the
// array module runs at import.
PyResult<Owned> simd_self_test(PyObject* args, PyObject*) {
    PyResult<std::string> kind = text_argument(args, 0, "simd_self_test");
    if (!kind.is_ok()) {
        return std::move(kind).error();
    }
    PyResult<const weibull::simd::Loops*> loops = simd_loops(kind.value());
    if (!loops.is_ok()) {
        return std::move(loops).error();
    }
    return Owned::borrow(weibull::agree_with_library(*loops.value()) ? Py_True : Py_False);
}

// serves_glibc(version): whether the SIMD loops serve glibc of that version.
PyResult<Owned> serves_glibc(PyObject* args, PyObject*) {
    PyResult<std::string> version = text_argument(args, 0, "serves_glibc");
    if (!version.is_ok()) {
        return std::move(version).error();
    }
    return Owned::borrow(weibull::serves_glibc(version.value()) ? Py_True : Py_False);
}

// array_loop(kind, function, out, n, *inputs): runs the `kind` loop
// ("plain", "avx2", "avx512") of a Weibull function over n adjacent doubles
// at each address (an int, such as numpy's array.ctypes.data). Unchecked:
// only the tests call it, with arrays they own.
PyResult<Owned> array_loop(PyObject* args, PyObject*) {
    constexpr const char* entry = "array_loop";
    PyResult<std::string> kind = text_argument(args, 0, entry);
    if (!kind.is_ok()) {
        return std::move(kind).error();
    }
    PyResult<Function> which = named_argument(args, 1, entry, function_names);
    if (!which.is_ok()) {
        return std::move(which).error();
    }
    weibull::simd::StridedLoop loop = nullptr;
    if (kind.value() == "plain") {
        constexpr std::array<weibull::simd::StridedLoop, 6> plain = {
            nullptr,
            nullptr,
            weibull::strided_loop<weibull::v_k_2_c>,
            weibull::strided_loop<weibull::c_k_2_v>,
            weibull::strided_loop<weibull::wbl_sf>,
            weibull::strided_loop<weibull::wbl_cdf>,
        };
        loop = plain.at(static_cast<std::size_t>(which.value()));
    } else {
        PyResult<const weibull::simd::Loops*> loops = simd_loops(kind.value());
        if (!loops.is_ok()) {
            return std::move(loops).error();
        }
        const weibull::simd::Loops& set = *loops.value();
        const std::array<weibull::simd::StridedLoop, 6> all = {
            set.exp, set.pow, set.v_k_2_c, set.c_k_2_v, set.wbl_sf, set.wbl_cdf,
        };
        loop = all.at(static_cast<std::size_t>(which.value()));
    }
    if (loop == nullptr) {
        return PyErr::new_<ValueError>("no plain loop for exp or pow");
    }
    std::array<char*, 5> arrays{};
    std::array<std::intptr_t, 5> steps{};
    const Py_ssize_t inputs = PyTuple_Size(args) - 4;
    for (Py_ssize_t j = 0; j <= inputs && j < 5; ++j) {
        // The output first in the arguments, last in the loop's.
        PyResult<PyObject*> address = positional(args, j == inputs ? 2 : 4 + j, entry);
        if (!address.is_ok()) {
            return std::move(address).error();
        }
        arrays[static_cast<std::size_t>(j)] = static_cast<char*>(PyLong_AsVoidPtr(address.value()));
        if (PyErr_Occurred() != nullptr) {
            return PyErr::fetch();
        }
        steps[static_cast<std::size_t>(j)] = sizeof(double);
    }
    PyResult<std::uint64_t> count = integer_argument(args, 3, entry);
    if (!count.is_ok()) {
        return std::move(count).error();
    }
    const auto dimension = static_cast<std::intptr_t>(count.value());
    loop(arrays.data(), &dimension, steps.data(), nullptr);
    return none();
}

template <std::size_t N>
void intern_names(std::array<PyObject*, N>& slots, const std::array<const char*, N>& texts) {
    for (std::size_t i = 0; i < N; ++i) {
        slots[i] = new_interned_str(texts[i]).into_raw();
    }
}

template <PyResult<Owned> (*Body)(PyObject*, PyObject*)>
PyObject* guarded(PyObject* self, PyObject* args, PyObject* kwargs) {
    return cfunction_with_keywords<Body>(self, args, kwargs);
}

// set_gil_count(n): unguarded on purpose; sets this thread's count so that
// the next guarded entry on the thread finds it.
PyObject* set_gil_count(PyObject*, PyObject* args, PyObject*) {
    const long long value = PyLong_AsLongLong(PyTuple_GetItem(args, 0));
    if (value == -1 && PyErr_Occurred() != nullptr) {
        return nullptr;
    }
    GIL_COUNT = value;
    Py_INCREF(Py_None);
    return Py_None;
}

// end_thread(): unguarded on purpose; ends the calling thread the way the
// interpreter ends one that asks for the interpreter back while it finalises:
// without the interpreter, by a forced unwind through every frame on the
// thread's stack (pthread_exit). Called from Python code that a module
// function runs, it shows what that unwind meets on its way.
PyObject* end_thread(PyObject*, PyObject*, PyObject*) {
#if defined(__unix__) || defined(__APPLE__)
    (void)PyEval_SaveThread();
    pthread_exit(nullptr);
#else
    PyErr_SetString(PyExc_NotImplementedError, "end_thread() needs POSIX threads");
    return nullptr;
#endif
}

// call_with_dict(function, args, kwargs): unguarded on purpose; calls through
// the C API, which hands `kwargs` itself to the function, whatever its keys.
PyObject* call_with_dict(PyObject*, PyObject* args, PyObject*) {
    return PyObject_Call(PyTuple_GetItem(args, 0), PyTuple_GetItem(args, 1),
                         PyTuple_GetItem(args, 2));
}

// as_double(obj): unguarded on purpose; the interpreter's own conversion to
// a C double, error and all.
PyObject* as_double(PyObject*, PyObject* args, PyObject*) {
    const double value = PyFloat_AsDouble(PyTuple_GetItem(args, 0));
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        return nullptr;
    }
    return PyFloat_FromDouble(value);
}

constexpr int varargs_and_keywords = METH_VARARGS | METH_KEYWORDS;

constexpr std::array<MethodDefRecord, 27> FUNCTIONS = {{
    {nul_terminated("fail"), guarded<fail>, varargs_and_keywords, nul_terminated("")},
    {nul_terminated("fail_without_message"), guarded<fail_without_message>, varargs_and_keywords,
     nul_terminated("")},
    {nul_terminated("raise_value"), guarded<raise_value>, varargs_and_keywords, nul_terminated("")},
    {nul_terminated("raise_type_error"), guarded<raise_type_error>, varargs_and_keywords,
     nul_terminated("")},
    {nul_terminated("fetch_without_error"), guarded<fetch_without_error>, varargs_and_keywords,
     nul_terminated("")},
    {nul_terminated("call"), guarded<call>, varargs_and_keywords, nul_terminated("")},
    {nul_terminated("inspect_error"), guarded<inspect_error>, varargs_and_keywords,
     nul_terminated("")},
    {nul_terminated("chain_type_error"), guarded<chain_type_error>, varargs_and_keywords,
     nul_terminated("")},
    {nul_terminated("drop_error"), guarded<drop_error>, varargs_and_keywords, nul_terminated("")},
    {nul_terminated("defer_release_from_thread"), guarded<defer_release_from_thread>,
     varargs_and_keywords, nul_terminated("")},
    {nul_terminated("pool_size"), guarded<pool_length>, varargs_and_keywords, nul_terminated("")},
    {nul_terminated("keep_object"), guarded<keep_object>, varargs_and_keywords, nul_terminated("")},
    {nul_terminated("gil_count"), guarded<gil_count>, varargs_and_keywords, nul_terminated("")},
    {nul_terminated("corrupt_gil_count"), guarded<corrupt_gil_count>, varargs_and_keywords,
     nul_terminated("")},
    {nul_terminated("raise_unraisable_error"), guarded<raise_unraisable_error>,
     varargs_and_keywords, nul_terminated("")},
    {nul_terminated("set_gil_count"), set_gil_count, varargs_and_keywords, nul_terminated("")},
    {nul_terminated("end_thread"), end_thread, varargs_and_keywords, nul_terminated("")},
    {nul_terminated("call_with_dict"), call_with_dict, varargs_and_keywords, nul_terminated("")},
    {nul_terminated("as_double"), as_double, varargs_and_keywords, nul_terminated("")},
    {nul_terminated("bare_v_k_2_c"), bare_v_k_2_c, varargs_and_keywords,
     nul_terminated("bare_v_k_2_c(v, k)\n--\n\n")},
    {nul_terminated("bare_c_k_2_v"), bare_c_k_2_v, varargs_and_keywords,
     nul_terminated("bare_c_k_2_v(c, k)\n--\n\n")},
    {nul_terminated("bare_wbl_cdf"), bare_wbl_cdf, varargs_and_keywords,
     nul_terminated("bare_wbl_cdf(c, k, v1, v2)\n--\n\n")},
    {nul_terminated("bare_wbl_cdf_loop"), bare_wbl_cdf_loop, varargs_and_keywords,
     nul_terminated("bare_wbl_cdf_loop(c, k, v1, v2, out, n)\n--\n\n")},
    {nul_terminated("simd_compare"), guarded<simd_compare>, varargs_and_keywords,
     nul_terminated("simd_compare(kind, function, region, count, seed)\n--\n\n")},
    {nul_terminated("simd_self_test"), guarded<simd_self_test>, varargs_and_keywords,
     nul_terminated("simd_self_test(kind)\n--\n\n")},
    {nul_terminated("serves_glibc"), guarded<serves_glibc>, varargs_and_keywords,
     nul_terminated("serves_glibc(version)\n--\n\n")},
    {nul_terminated("array_loop"), guarded<array_loop>, varargs_and_keywords,
     nul_terminated("array_loop(kind, function, out, n, *inputs)\n--\n\n")},
}};

PyResult<void> body(PyObject* module) {
    intern_names(v_k_names, {"v", "k"});
    intern_names(c_k_names, {"c", "k"});
    intern_names(c_k_v1_v2_names, {"c", "k", "v1", "v2"});
    if (PyResult<void> added = add_functions(module, FUNCTIONS); !added.is_ok()) {
        return added;
    }
    // vindral's own functions, under this module's guard count.
    return add_functions(module, function_records());
}

ModuleDef MODULE_DEF{
    .ffi_def = single_phase_module("_vindral_testing",
                                   "Test-only entries into vindral's interpreter boundary."),
    .initializer = body,
};

PyResult<Owned> make() { return MODULE_DEF.make_module(); }

}  // namespace
}  // namespace vindral::testing

PyMODINIT_FUNC PyInit__vindral_testing() { return vindral::module_init(vindral::testing::make); }
