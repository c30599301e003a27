// Binding a call's positional and keyword arguments to parameters, and
// converting them to doubles.
//
// One generic binder serves every function; everything function-specific
// lives in the function's static FunctionDescription.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "boundary/compiler.hpp"
#include "boundary/host.hpp"
#include "boundary/internal_failure.hpp"
#include "boundary/interpreter_lifetime.hpp"
#include "boundary/pyerr.hpp"

namespace vindral {

// A call's keyword arguments, in the caller's order: a dictionary (flags
// METH_VARARGS | METH_KEYWORDS), or a tuple of names whose values follow the
// positional arguments (METH_FASTCALL | METH_KEYWORDS); or none.
class KeywordArguments {
public:
    static KeywordArguments of_dict(PyObject* kwargs) noexcept {
        return {kwargs, nullptr, nullptr, 0};
    }
    static KeywordArguments of_names(PyObject* kwnames, PyObject* const* values) {
        if (kwnames == nullptr) {
            return {nullptr, nullptr, nullptr, 0};
        }
        const Py_ssize_t size = PyTuple_Size(kwnames);
        if (size < 0) [[unlikely]] {
            PyErr::panic_after_error();
        }
        return {nullptr, kwnames, values, size};
    }

    bool given() const noexcept { return dict_ != nullptr || names_ != nullptr; }
    bool is_dict() const noexcept { return dict_ != nullptr; }
    Py_ssize_t size() const { return dict_ != nullptr ? PyDict_Size(dict_) : num_names_; }

    // The next key and its value (borrowed), as PyDict_Next gives them, from
    // `position`, which starts at 0; false after the last.
    bool next(Py_ssize_t& position, PyObject*& key, PyObject*& value) const {
        if (dict_ != nullptr) {
            return PyDict_Next(dict_, &position, &key, &value) != 0;
        }
        if (position >= num_names_) {
            return false;
        }
        key = PyTuple_GetItem(names_, position);
        if (key == nullptr) [[unlikely]] {
            PyErr::panic_after_error();
        }
        value = values_[position];
        ++position;
        return true;
    }

private:
    KeywordArguments(PyObject* dict, PyObject* names, PyObject* const* values,
                     Py_ssize_t num_names) noexcept
        : dict_(dict), names_(names), values_(values), num_names_(num_names) {}

    PyObject* dict_;
    PyObject* names_;
    PyObject* const* values_;
    Py_ssize_t num_names_;
};

struct KeywordOnlyParameterDescription {
    std::string_view name;
    bool required;
};

struct FunctionDescription {
    std::optional<std::string_view> cls_name;
    std::string_view func_name;
    std::span<const std::string_view> positional_parameter_names;
    std::size_t positional_only_parameters;
    std::size_t required_positional_parameters;
    std::span<const KeywordOnlyParameterDescription> keyword_only_parameters;
    // One slot per parameter (positional, then keyword-only), filled on first
    // use with the interned name and emptied when the claiming interpreter
    // finalises. Keys that the interpreter interned are then matched by
    // identity, without encoding them; other keys fall back to comparing
    // UTF-8 text. Empty to always compare text.
    std::span<PyObject*> interned_parameter_names = {};

    // Fills one slot per parameter (positional, then keyword-only) with a
    // borrowed reference, and checks for surplus, unexpected, repeated and
    // missing arguments, in that order. Always inline, so that for a
    // constant record the invariant checks fold away and the slot loops
    // unroll. For a call by flags METH_VARARGS | METH_KEYWORDS: the argument
    // tuple and the keyword dictionary (or null).
    VINDRAL_ALWAYS_INLINE PyResult<void> extract_arguments(PyObject* args, PyObject* kwargs,
                                                           std::span<PyObject*> output) const {
        const Py_ssize_t tuple_size = PyTuple_Size(args);
        if (tuple_size < 0) [[unlikely]] {
            PyErr::panic_after_error();
        }
        const auto item = [args](std::size_t i) VINDRAL_ALWAYS_INLINE_LAMBDA {
            PyObject* item = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
            if (item == nullptr) [[unlikely]] {
                tuple_get_failed();
            }
            return item;
        };
        return extract_arguments_from(static_cast<std::size_t>(tuple_size), item,
                                      KeywordArguments::of_dict(kwargs), output);
    }

    // The same for a call by flags METH_FASTCALL | METH_KEYWORDS: `args`
    // holds the `nargs` arguments given by position, then one value per name
    // in `kwnames` (a tuple, or null).
    VINDRAL_ALWAYS_INLINE PyResult<void> extract_arguments(PyObject* const* args, Py_ssize_t nargs,
                                                           PyObject* kwnames,
                                                           std::span<PyObject*> output) const {
        return extract_arguments_from(
            static_cast<std::size_t>(nargs),
            [args](std::size_t i) VINDRAL_ALWAYS_INLINE_LAMBDA { return args[i]; },
            KeywordArguments::of_names(kwnames, args + nargs), output);
    }

    // "name()" or "Class.name()", as every binding message begins.
    std::string full_name() const;

    // Name of the parameter behind slot i.
    std::string_view parameter_name(std::size_t i) const {
        return i < positional_parameter_names.size()
                   ? positional_parameter_names[i]
                   : keyword_only_parameters[i - positional_parameter_names.size()].name;
    }

private:
    // Both forms of call: `item(i)` is positional argument i of `num_given`.
    template <class Item>
    VINDRAL_ALWAYS_INLINE PyResult<void> extract_arguments_from(std::size_t num_given, Item item,
                                                                const KeywordArguments& keywords,
                                                                std::span<PyObject*> output) const {
        const std::size_t num_positional_parameters = positional_parameter_names.size();
        check_invariants(output.size());

        const std::size_t num_copied = std::min(num_given, num_positional_parameters);
        for (std::size_t i = 0; i < num_copied; ++i) {
            output[i] = item(i);
        }
        if (num_given > num_positional_parameters) [[unlikely]] {
            return too_many_positional_arguments(num_given);
        }

        if (keywords.given() && !bind_interned_keywords(keywords, output)) [[unlikely]] {
            // A copy for the walk, made only here: the quick path's own stays
            // in registers.
            const KeywordArguments walked = keywords;
            if (PyResult<void> handled = handle_kwargs(walked, num_copied, output);
                !handled.is_ok()) {
                return handled;
            }
        }
        if (PyResult<void> complete =
                ensure_no_missing_required_positional_arguments(output, num_given);
            !complete.is_ok()) [[unlikely]] {
            return complete;
        }
        return ensure_no_missing_required_keyword_arguments(output);
    }

    void check_invariants(std::size_t num_slots) const {
        const std::size_t num_positional_parameters = positional_parameter_names.size();
        if (positional_only_parameters > num_positional_parameters) [[unlikely]] {
            assertion_failed(
                "assertion failed: self.positional_only_parameters <= num_positional_parameters");
        }
        if (required_positional_parameters > num_positional_parameters) [[unlikely]] {
            assertion_failed(
                "assertion failed: self.required_positional_parameters <= "
                "num_positional_parameters");
        }
        if (num_slots != num_positional_parameters + keyword_only_parameters.size()) [[unlikely]] {
            assertion_failed(
                "assertion failed: output.len() == num_positional_parameters + "
                "self.keyword_only_parameters.len()");
        }
    }

    PyResult<void> ensure_no_missing_required_positional_arguments(
        std::span<PyObject* const> output, std::size_t num_given) const {
        for (std::size_t i = num_given; i < required_positional_parameters; ++i) {
            if (output[i] == nullptr) [[unlikely]] {
                return missing_required_positional_arguments(output);
            }
        }
        return {};
    }

    PyResult<void> ensure_no_missing_required_keyword_arguments(
        std::span<PyObject* const> output) const {
        const auto keyword_outputs = output.subspan(positional_parameter_names.size());
        for (std::size_t i = 0; i < keyword_only_parameters.size(); ++i) {
            if (keyword_only_parameters[i].required && keyword_outputs[i] == nullptr) [[unlikely]] {
                return missing_required_keyword_arguments(keyword_outputs);
            }
        }
        return {};
    }

    // The common keyword path, inline: every key is the interned name (the
    // interpreter interns the identifiers written at call sites) of a
    // parameter that may be given by keyword and is not given yet. False for
    // anything else, and before the names are interned, leaving the keywords
    // to `handle_kwargs`.
    VINDRAL_ALWAYS_INLINE bool bind_interned_keywords(const KeywordArguments& keywords,
                                                      std::span<PyObject*> output) const {
#if defined(PYPY_VERSION)
        // PyPy hands a dictionary's keys over in new objects, never the
        // interned names themselves (a tuple of names holds those).
        if (keywords.is_dict()) {
            return false;
        }
#endif
        if (!names_are_interned()) [[unlikely]] {
            return false;
        }
        // As many steps as there are keys: the step that would find a
        // dictionary's end costs as much as one that finds a key, and nothing
        // can change the keywords meanwhile.
        const Py_ssize_t num_keys = keywords.size();
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        for (Py_ssize_t k = 0; k < num_keys; ++k) {
            if (!keywords.next(position, key, value)) [[unlikely]] {
                return false;
            }
            if (!bind_interned_keyword(key, value, output)) [[unlikely]] {
                return false;
            }
        }
        return true;
    }

    VINDRAL_ALWAYS_INLINE bool names_are_interned() const {
        // The first slot is kept last: once it is seen, so are the others.
        return !interned_parameter_names.empty() &&
               interpreter_lifetime::load(interned_parameter_names[0]) != nullptr;
    }

    // Fills the slot of the parameter whose interned name `key` is, if it may
    // be given by keyword and is not given yet.
    VINDRAL_ALWAYS_INLINE bool bind_interned_keyword(PyObject* key, PyObject* value,
                                                     std::span<PyObject*> output) const {
        const std::span<PyObject*> names = interned_parameter_names;
        std::size_t i = positional_only_parameters;
        while (i < names.size() &&
               std::atomic_ref(names[i]).load(std::memory_order_relaxed) != key) {
            ++i;
        }
        if (i == names.size() || output[i] != nullptr) [[unlikely]] {
            return false;
        }
        output[i] = value;
        return true;
    }

    // The full walk: fills slots from the keywords in their order, starting
    // over from slots as the positional arguments left them (nothing has run
    // since the quick path gave up, so it finds what that one found), and
    // reports the first unexpected or repeated keyword, then positional-only
    // parameters given by keyword.
    PyResult<void> handle_kwargs(const KeywordArguments& keywords, std::size_t num_copied,
                                 std::span<PyObject*> output) const;
    // The slot that a key names, by identity with an interned name, or by
    // UTF-8 text among the keyword-only and then the positional names.
    PyResult<std::optional<std::size_t>> find_keyword_parameter(PyObject* key) const;
    std::optional<std::size_t> find_keyword_parameter_by_identity(PyObject* key) const;
    // A key that cannot be encoded names no parameter, unless memory ran out.
    PyResult<std::optional<std::size_t>> find_keyword_parameter_by_text(PyObject* key) const;
    void intern_parameter_names() const;
    // The slot of the parameter named `name`: keyword-only names first.
    std::optional<std::size_t> find_keyword_parameter_by_name(std::string_view name) const;
    std::optional<std::size_t> find_keyword_parameter_in_keyword_only(std::string_view name) const;
    std::optional<std::size_t> find_keyword_parameter_in_positional(std::string_view name) const;

    [[noreturn]] VINDRAL_COLD static void assertion_failed(const char* message);
    [[noreturn]] VINDRAL_COLD static void tuple_get_failed();

    // Message builders; all on failure paths only.
    VINDRAL_COLD PyErr too_many_positional_arguments(std::size_t num_given) const;
    VINDRAL_COLD PyErr multiple_values_for_argument(std::string_view name) const;
    VINDRAL_COLD PyErr unexpected_keyword_argument(PyObject* key) const;
    VINDRAL_COLD PyErr
    positional_only_keyword_arguments(const std::vector<std::string_view>& names) const;
    VINDRAL_COLD PyErr
    missing_required_positional_arguments(std::span<PyObject* const> output) const;
    VINDRAL_COLD PyErr
    missing_required_keyword_arguments(std::span<PyObject* const> keyword_outputs) const;
    VINDRAL_COLD PyErr missing_required_arguments(std::string_view kind,
                                                  const std::vector<std::string_view>& names) const;
};

// The object in a required parameter's slot; an empty slot is impossible
// once binding has succeeded.
inline PyObject* unwrap_required_argument(PyObject* slot) {
    if (slot == nullptr) [[unlikely]] {
        internal_failure(
            "internal error: entered unreachable code: required method argument was not "
            "extracted");
    }
    return slot;
}

// Rewrites a conversion error for parameter `arg_name`: an exact TypeError
// gets the parameter's name in front and keeps its cause; any other error
// passes unchanged.
VINDRAL_COLD PyErr argument_extraction_error(std::string_view arg_name, PyErr error);

// The failure half of `extract_argument`: -1.0 came back, which is a valid
// value unless an error is pending.
VINDRAL_COLD PyResult<double> extract_argument_minus_one(std::string_view arg_name);

// Converts an argument to a double with PyFloat_AsDouble. Unlike float(), it
// reads the stored value of a float or float subclass without calling an
// overriding __float__ (math.sqrt does the same); any other object goes
// through __float__, then __index__.
inline PyResult<double> extract_argument(PyObject* obj, std::string_view arg_name) {
    const double value = calling_python([obj] { return PyFloat_AsDouble(obj); });
    if (value == -1.0) [[unlikely]] {
        return extract_argument_minus_one(arg_name);
    }
    return value;
}

// A new float object; cannot fail short of memory exhaustion.
inline Owned new_float(double value) {
    PyObject* result = PyFloat_FromDouble(value);
    if (result == nullptr) [[unlikely]] {
        PyErr::panic_after_error();
    }
    return Owned::steal(result);
}

namespace binding_detail {

// Whether an argument's conversion may take away another bound argument: the
// tuple, and the array of a fast call, are the interpreter's and keep their
// items, but a keyword dictionary can be the caller's own (a C caller may
// pass any dict), which an argument's __float__ may change.
inline bool conversion_may_release_arguments(PyObject* /*args*/, PyObject* kwargs) {
    return kwargs != nullptr;
}
inline bool conversion_may_release_arguments(PyObject* const* /*args*/, Py_ssize_t /*nargs*/,
                                             PyObject* /*kwnames*/) {
    return false;
}

// True when converting these objects cannot run interpreter code: for an
// exact float, PyFloat_AsDouble only reads the value.
template <std::size_t N>
inline bool all_exact_floats(const std::array<PyObject*, N>& objects) noexcept {
    for (PyObject* obj : objects) {
        if (Py_TYPE(obj) != &PyFloat_Type) {
            return false;
        }
    }
    return true;
}

// Converts every bound argument in parameter order, the first failure ending
// it, and calls `compute` with the doubles.
template <const FunctionDescription& Description, class Compute, std::size_t... I>
VINDRAL_ALWAYS_INLINE PyResult<Owned> convert_and_compute(
    const std::array<PyObject*, sizeof...(I)>& slots, Compute compute, std::index_sequence<I...>) {
    std::array<double, sizeof...(I)> values;
    std::optional<PyErr> failure;
    // Unrolled, so that each parameter's name is a constant.
    const bool converted = ([&] {
        PyResult<double> value =
            extract_argument(unwrap_required_argument(slots[I]), Description.parameter_name(I));
        if (!value.is_ok()) [[unlikely]] {
            failure.emplace(std::move(value).error());
            return false;
        }
        values[I] = value.value();
        return true;
    }() && ...);
    if (!converted) [[unlikely]] {
        return std::move(*failure);
    }
    return new_float(compute(values[I]...));
}

}  // namespace binding_detail

// The binding routine of a function whose parameters are all real numbers:
// binds the call (either form, as `extract_arguments` takes it) by the record
// `Description`, converts every argument in parameter order to a double (the
// first failure ends it), and returns a new float of `compute` applied to
// them. The record is a template argument so that everything read from it is
// a constant in the generated code; inlined into the guard, which makes a
// positional call's code apart, knowing that there is no dictionary (see
// cfunction_with_keywords).
template <const FunctionDescription& Description, class Compute, class... Call>
VINDRAL_ALWAYS_INLINE PyResult<Owned> bind_and_compute(Compute compute, Call... call) {
    constexpr std::size_t N =
        Description.positional_parameter_names.size() + Description.keyword_only_parameters.size();
    constexpr auto indices = std::make_index_sequence<N>();

    std::array<PyObject*, N> slots{};
    if (PyResult<void> bound = Description.extract_arguments(call..., slots); !bound.is_ok())
        [[unlikely]] {
        return std::move(bound).error();
    }
    // Otherwise hold references to everything that was bound.
    if (!binding_detail::conversion_may_release_arguments(call...) ||
        binding_detail::all_exact_floats(slots)) [[likely]] {
        return binding_detail::convert_and_compute<Description>(slots, compute, indices);
    }
    std::array<Owned, N> keep_alive;
    for (std::size_t i = 0; i < N; ++i) {
        keep_alive[i] = Owned::borrow(slots[i]);
    }
    return binding_detail::convert_and_compute<Description>(slots, compute, indices);
}

}  // namespace vindral
