// Binding a call's arguments to parameters, its error messages, and the
// conversion of arguments to doubles.
#include "boundary/binding.hpp"

#include <atomic>

#include "boundary/interpreter_lifetime.hpp"
#include "boundary/text.hpp"

namespace vindral {
namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
void push_parameter_list(std::string& message, std::span<const std::string_view> names) {
    const std::size_t count = names.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            if (count > 2) {
                message += ',';
            }
            message += i == count - 1 ? " and " : " ";
        }
        message += '\'';
        message += names[i];
        message += '\'';
    }
}

}  // namespace

void FunctionDescription::assertion_failed(const char* message) { internal_failure(message); }

void FunctionDescription::tuple_get_failed() {
    internal_failure(concat({"tuple.get failed: ", PyErr::fetch().debug()}));
}

PyResult<void> FunctionDescription::handle_kwargs(const KeywordArguments& keywords,
                                                  std::size_t num_copied,
                                                  std::span<PyObject*> output) const {
    for (std::size_t i = num_copied; i < output.size(); ++i) {
        output[i] = nullptr;
    }
    std::vector<std::string_view> positional_only_passed;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (keywords.next(position, key, value)) {
        PyResult<std::optional<std::size_t>> found = find_keyword_parameter(key);
        if (!found.is_ok()) [[unlikely]] {
            return std::move(found).error();
        }
        const std::optional<std::size_t> i = found.value();
        if (!i) [[unlikely]] {
            return unexpected_keyword_argument(key);
        }
        // The key's text is the parameter's name: the match is exact.
        if (*i < positional_only_parameters) [[unlikely]] {
            positional_only_passed.push_back(parameter_name(*i));
            continue;
        }
        PyObject*& slot = output[*i];
        if (slot != nullptr) [[unlikely]] {
            return multiple_values_for_argument(parameter_name(*i));
        }
        slot = value;
    }
    if (!positional_only_passed.empty()) [[unlikely]] {
        return positional_only_keyword_arguments(positional_only_passed);
    }
    return {};
}

PyResult<std::optional<std::size_t>> FunctionDescription::find_keyword_parameter(
    PyObject* key) const {
    // Keys the interpreter interned are matched by identity; others by text.
    // Parameter names are unique, so both find the same parameter.
    if (std::optional<std::size_t> i = find_keyword_parameter_by_identity(key)) [[likely]] {
        return i;
    }
    return find_keyword_parameter_by_text(key);
}

PyResult<std::optional<std::size_t>> FunctionDescription::find_keyword_parameter_by_text(
    PyObject* key) const {
    // Only a str (or str subclass) that encodes to UTF-8 can name a
    // parameter; anything else names none.
    if (!host::is_str(key)) {
        return std::optional<std::size_t>();
    }
#if defined(PYPY_VERSION)
    // PyPy hands a dictionary's keys over in new objects, never the interned
    // names, so those keys all come this way, and each call into its
    // emulation of the C API is dear: one call for the key's UTF-8 text,
    // which PyPy keeps with the key, then the names are compared here.
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) {
        PyErr failure = PyErr::fetch();
        if (failure.is_memory_error()) {
            return failure;
        }
        return std::optional<std::size_t>();
    }
    return find_keyword_parameter_by_name(std::string_view(text, static_cast<std::size_t>(size)));
#else
    // With the names at hand, texts are compared in place: no encoding, no
    // allocation, and no user __eq__. Each slot is loaded once: without the GIL, the claiming
    // interpreter's exit may empty the slots while a daemon thread is here, and an emptied slot
    // sends the key to the comparison of UTF-8 text below.
    std::size_t compared = 0;
    for (PyObject*& slot : interned_parameter_names) {
        PyObject* name = interpreter_lifetime::load(slot);
        if (name == nullptr) {
            break;
        }
        if (PyUnicode_Compare(key, name) == 0) {
            return std::optional(compared);
        }
        ++compared;
    }
    if (compared != 0 && compared == interned_parameter_names.size()) {
        return std::optional<std::size_t>();
    }
    const Owned utf8 = Owned::steal(PyUnicode_AsUTF8String(key));
    if (!utf8) {
        // A lone surrogate makes an unexpected keyword; running out of
        // memory is no verdict on the key.
        PyErr failure = PyErr::fetch();
        if (failure.is_memory_error()) {
            return failure;
        }
        return std::optional<std::size_t>();
    }
    return find_keyword_parameter_by_name(std::string_view(
        PyBytes_AsString(utf8.get()), static_cast<std::size_t>(PyBytes_Size(utf8.get()))));
#endif
}

std::optional<std::size_t> FunctionDescription::find_keyword_parameter_by_name(
    std::string_view name) const {
    if (auto i = find_keyword_parameter_in_keyword_only(name)) {
        return positional_parameter_names.size() + *i;
    }
    return find_keyword_parameter_in_positional(name);
}

std::optional<std::size_t> FunctionDescription::find_keyword_parameter_by_identity(
    PyObject* key) const {
    if (interned_parameter_names.empty()) {
        return std::nullopt;
    }
    // The first slot is kept last: once it is seen, so are the others.
    if (interpreter_lifetime::load(interned_parameter_names[0]) == nullptr) [[unlikely]] {
        intern_parameter_names();
    }
    for (std::size_t i = 0; i < interned_parameter_names.size(); ++i) {
        if (std::atomic_ref(interned_parameter_names[i]).load(std::memory_order_relaxed) == key) {
            return i;
        }
    }
    return std::nullopt;
}

void FunctionDescription::intern_parameter_names() const {
    if (interned_parameter_names.size() !=
        positional_parameter_names.size() + keyword_only_parameters.size()) {
        internal_failure(
            "assertion failed: interned_parameter_names.len() == num_positional_parameters + "
            "self.keyword_only_parameters.len()");
    }
    // Only an optimisation: without the names (nothing may be kept, or no
    // memory for them), keys are matched by their text instead.
    if (!interpreter_lifetime::keeping()) {
        return;
    }
    // Filled back to front: the first slot doubles as the "done" flag.
    // Threads that get here at once each make the names (interning gives
    // them the same objects) and the first to keep each one wins.
    for (std::size_t i = interned_parameter_names.size(); i-- > 0;) {
        if (interpreter_lifetime::load(interned_parameter_names[i]) != nullptr) {
            continue;  // kept by another thread, or an earlier attempt
        }
        Owned name = try_new_interned_str(parameter_name(i));
        if (!name) {
            (void)PyErr::take();
            return;
        }
        (void)interpreter_lifetime::keep(interned_parameter_names[i], std::move(name));
    }
}

std::optional<std::size_t> FunctionDescription::find_keyword_parameter_in_keyword_only(
    std::string_view name) const {
    for (std::size_t i = 0; i < keyword_only_parameters.size(); ++i) {
        if (keyword_only_parameters[i].name == name) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> FunctionDescription::find_keyword_parameter_in_positional(
    std::string_view name) const {
    for (std::size_t i = 0; i < positional_parameter_names.size(); ++i) {
        if (positional_parameter_names[i] == name) {
            return i;
        }
    }
    return std::nullopt;
}

std::string FunctionDescription::full_name() const {
    std::string name;
    if (cls_name) {
        name += *cls_name;
        name += '.';
    }
    name += func_name;
    name += "()";
    return name;
}

// ---- Messages ----------------------------------------------------------------

PyErr FunctionDescription::too_many_positional_arguments(std::size_t num_given) const {
    const std::size_t num_positional = positional_parameter_names.size();
    std::string message = full_name() + " takes ";
    if (required_positional_parameters == num_positional) {
        message += std::to_string(num_positional);
    } else {
        message += concat({"from ", std::to_string(required_positional_parameters), " to ",
                           std::to_string(num_positional)});
    }
    message += concat({" positional arguments but ", std::to_string(num_given),
                       num_given == 1 ? " was" : " were", " given"});
    return PyErr::new_<TypeError>(std::move(message));
}

PyErr FunctionDescription::multiple_values_for_argument(std::string_view name) const {
    return PyErr::new_<TypeError>(full_name() + " got multiple values for argument '" +
                                  std::string(name) + "'");
}

PyErr FunctionDescription::unexpected_keyword_argument(PyObject* key) const {
    // The key's __str__ may change the dictionary that holds it.
    const Owned keep_alive = Owned::borrow(key);
    PyResult<std::string> key_text = python_format(key);
    if (!key_text.is_ok()) {
        return std::move(key_text).error();
    }
    return PyErr::new_<TypeError>(full_name() + " got an unexpected keyword argument '" +
                                  key_text.value() + "'");
}

PyErr FunctionDescription::positional_only_keyword_arguments(
    const std::vector<std::string_view>& names) const {
    std::string message =
        full_name() + " got some positional-only arguments passed as keyword arguments: ";
    push_parameter_list(message, names);
    return PyErr::new_<TypeError>(std::move(message));
}

PyErr FunctionDescription::missing_required_positional_arguments(
    std::span<PyObject* const> output) const {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < required_positional_parameters; ++i) {
        if (output[i] == nullptr) {
            missing.push_back(positional_parameter_names[i]);
        }
    }
    return missing_required_arguments("positional", missing);
}

PyErr FunctionDescription::missing_required_keyword_arguments(
    std::span<PyObject* const> keyword_outputs) const {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < keyword_only_parameters.size(); ++i) {
        if (keyword_only_parameters[i].required && keyword_outputs[i] == nullptr) {
            missing.push_back(keyword_only_parameters[i].name);
        }
    }
    return missing_required_arguments("keyword", missing);
}

PyErr FunctionDescription::missing_required_arguments(
    std::string_view kind, const std::vector<std::string_view>& names) const {
    std::string message = full_name() + " missing " + std::to_string(names.size()) + " required " +
                          std::string(kind) + (names.size() == 1 ? " argument" : " arguments") +
                          ": ";
    push_parameter_list(message, names);
    return PyErr::new_<TypeError>(std::move(message));
}

// ---- Conversion --------------------------------------------------------------

PyResult<double> extract_argument_minus_one(std::string_view arg_name) {
    std::optional<PyErr> error = PyErr::take();
    if (!error) {
        return -1.0;
    }
    return argument_extraction_error(arg_name, std::move(*error));
}

PyErr argument_extraction_error(std::string_view arg_name, PyErr error) {
    if (error.get_type_bound() != PyExc_TypeError) {
        return error;
    }
    PyResult<std::string> text = python_format(error.value_bound());
    if (!text.is_ok()) {
        return std::move(text).error();  // an interrupt, or no memory: that is the news
    }
    PyErr rewritten = PyErr::new_<TypeError>(concat({"argument '", arg_name, "': ", text.value()}));
    // Setting a cause, even none, hides the exception that was being handled
    // (__suppress_context__): only a real cause is carried over, and the
    // original's own suppression with it.
    if (std::optional<PyErr> cause = error.cause()) {
        rewritten.set_cause(std::move(cause));
    }
    rewritten.take_origin_from(error);
    return rewritten;
}

}  // namespace vindral
