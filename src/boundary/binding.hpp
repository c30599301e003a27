// Binding a call's positional and keyword arguments to parameters, and
// converting them to doubles.
//
// One generic binder serves every function; everything function-specific
// lives in the function's static FunctionDescription.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "boundary/host.hpp"
#include "boundary/internal_failure.hpp"
#include "boundary/pyerr.hpp"

namespace vindral {

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

    // Fills one slot per parameter (positional, then keyword-only) with a
    // borrowed reference, and checks for surplus, unexpected, repeated and
    // missing arguments, in that order.
    PyResult<void> extract_arguments_tuple_dict(PyObject* args, PyObject* kwargs,
                                                std::span<PyObject*> output) const;

    // "name()" or "Class.name()", as every binding message begins.
    std::string full_name() const;

    // Name of the parameter behind slot i.
    std::string_view parameter_name(std::size_t i) const {
        return i < positional_parameter_names.size()
                   ? positional_parameter_names[i]
                   : keyword_only_parameters[i - positional_parameter_names.size()].name;
    }

private:
    PyResult<void> handle_kwargs(PyObject* kwargs, std::size_t num_positional_parameters,
                                 std::span<PyObject*> output) const;
    std::optional<std::size_t> find_keyword_parameter_in_keyword_only(std::string_view name) const;
    std::optional<std::size_t> find_keyword_parameter_in_positional(std::string_view name) const;
    PyResult<void> ensure_no_missing_required_positional_arguments(std::span<PyObject* const> output,
                                                                   std::size_t num_given) const;
    PyResult<void> ensure_no_missing_required_keyword_arguments(
        std::span<PyObject* const> output) const;

    // Message builders; all on failure paths only.
    PyErr too_many_positional_arguments(std::size_t num_given) const;
    PyErr multiple_values_for_argument(std::string_view name) const;
    PyErr unexpected_keyword_argument(PyObject* key) const;
    PyErr positional_only_keyword_arguments(const std::vector<std::string>& names) const;
    PyErr missing_required_positional_arguments(std::span<PyObject* const> output) const;
    PyErr missing_required_keyword_arguments(std::span<PyObject* const> keyword_outputs) const;
    PyErr missing_required_arguments(std::string_view kind,
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
[[gnu::cold]] PyErr argument_extraction_error(std::string_view arg_name, PyErr error);

// Converts an argument to a double as the interpreter's float() would.
inline PyResult<double> extract_argument(PyObject* obj, std::string_view arg_name) {
    const double value = PyFloat_AsDouble(obj);
    if (value != -1.0) [[likely]] {
        return value;
    }
    // -1.0 is also a valid value: only a pending error makes it a failure.
    std::optional<PyErr> error = PyErr::take();
    if (!error) {
        return value;
    }
    return argument_extraction_error(arg_name, std::move(*error));
}

// A new float object; cannot fail short of memory exhaustion.
inline Owned new_float(double value) {
    PyObject* result = PyFloat_FromDouble(value);
    if (result == nullptr) [[unlikely]] {
        PyErr::panic_after_error();
    }
    return Owned::steal(result);
}

// Binds a call of a function with N parameters and converts every argument,
// in parameter order, to a double; the first failure ends the conversion.
template <std::size_t N>
PyResult<std::array<double, N>> bind_doubles(const FunctionDescription& description,
                                             PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, N> slots{};
    if (PyResult<void> bound = description.extract_arguments_tuple_dict(args, kwargs, slots);
        !bound.is_ok()) [[unlikely]] {
        return std::move(bound).error();
    }
    // The keyword dictionary can be the caller's own (a C caller may pass any
    // dict), and an argument's __float__ may change it while the others are
    // still to be converted: hold references to everything that was bound.
    std::array<Owned, N> keep_alive;
    if (kwargs != nullptr) {
        for (std::size_t i = 0; i < N; ++i) {
            keep_alive[i] = Owned::borrow(slots[i]);
        }
    }
    std::array<double, N> values{};
    for (std::size_t i = 0; i < N; ++i) {
        PyResult<double> value = extract_argument(unwrap_required_argument(slots[i]),
                                                  description.parameter_name(i));
        if (!value.is_ok()) [[unlikely]] {
            return std::move(value).error();
        }
        values[i] = value.value();
    }
    return values;
}

}  // namespace vindral
