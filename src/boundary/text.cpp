// Interpreter objects as text and text as interpreter objects: UTF-8
// decoding, str() and repr() for messages, new and interned strings.
#include "boundary/text.hpp"

#include <optional>

#include "boundary/gil_state.hpp"
#include "boundary/pyerr.hpp"

namespace vindral {
namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

// Number of continuation bytes after a lead byte, and the range that the
// first continuation byte must fall in (it excludes overlong forms,
// surrogates and code points above U+10FFFF).
struct LeadByte {
    int continuation_bytes;
    unsigned char first_low;
    unsigned char first_high;
};

constexpr LeadByte classify(unsigned char lead) noexcept {
    if (lead >= 0xC2 && lead <= 0xDF) return {1, 0x80, 0xBF};
    if (lead == 0xE0) return {2, 0xA0, 0xBF};
    if (lead == 0xED) return {2, 0x80, 0x9F};
    if (lead >= 0xE1 && lead <= 0xEF) return {2, 0x80, 0xBF};
    if (lead == 0xF0) return {3, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3) return {3, 0x80, 0xBF};
    if (lead == 0xF4) return {3, 0x80, 0x8F};
    return {0, 0, 0};  // never valid as a lead byte
}

// Text forms nest: an unprintable object is named by the text forms of its
// type's __module__ and __name__, which may be unprintable in turn. Past this
// depth the name is not looked up; a type that names itself cannot recurse.
constexpr int deepest_type_name = 2;

// An error met while making a text form: given back when it must reach the
// caller and the caller can take it, else reported as unraisable (`obj`
// gives the context) or dropped.
std::optional<PyErr> triage(PyObject* obj, bool returns_errors) {
    PyErr failure = PyErr::fetch();
    if (returns_errors && failure.must_reach_caller()) {
        return failure;
    }
    if (obj != nullptr) {
        std::move(failure).write_unraisable_bound(obj);
    }
    return std::nullopt;
}

PyResult<std::string> format_with(PyObject* obj, PyObject* (*to_text)(PyObject*), int depth,
                                  bool returns_errors) {
    Owned text = Owned::steal(calling_python([&] { return to_text(obj); }));
    if (text) {
        if (std::optional<std::string> utf8 = try_str_to_utf8_lossy(text.get())) {
            return std::move(*utf8);
        }
    }
    if (std::optional<PyErr> error = triage(obj, returns_errors)) {
        return std::move(*error);
    }
    if (depth < deepest_type_name) {
        PyObject* type = host::type_of(obj);
        Owned module = get_attr_named(type, "__module__");
        Owned name = module ? get_attr_named(type, "__name__") : Owned();
        if (name) {
            PyResult<std::string> module_text =
                format_with(module.get(), PyObject_Str, depth + 1, returns_errors);
            if (!module_text.is_ok()) {
                return module_text;
            }
            PyResult<std::string> name_text =
                format_with(name.get(), PyObject_Str, depth + 1, returns_errors);
            if (!name_text.is_ok()) {
                return name_text;
            }
            return concat(
                {"<unprintable ", module_text.value(), ".", name_text.value(), " object>"});
        }
        // The lookup's own error is not reported.
        if (std::optional<PyErr> error = triage(nullptr, returns_errors)) {
            return std::move(*error);
        }
    }
    return std::string("<unprintable object>");
}

}  // namespace

std::string concat(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (std::string_view part : parts) {
        size += part.size();
    }
    std::string joined;
    joined.reserve(size);
    for (std::string_view part : parts) {
        joined.append(part);
    }
    return joined;
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        const LeadByte shape = classify(lead);
        std::size_t end = i + 1;
        bool complete = shape.continuation_bytes > 0;
        for (int k = 0; k < shape.continuation_bytes; ++k) {
            const unsigned char low = k == 0 ? shape.first_low : 0x80;
            const unsigned char high = k == 0 ? shape.first_high : 0xBF;
            if (end >= n) {
                complete = false;
                break;
            }
            const auto next = static_cast<unsigned char>(bytes[end]);
            if (next < low || next > high) {
                complete = false;
                break;
            }
            ++end;
        }
        if (complete) {
            out.append(bytes.data() + i, end - i);
        } else {
            out.append(replacement_character);
        }
        i = end;
    }
    return out;
}

std::optional<std::string> try_str_to_utf8_lossy(PyObject* str) {
    Owned bytes = Owned::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) {
        return std::nullopt;
    }
    const char* data = PyBytes_AsString(bytes.get());
    const Py_ssize_t size = PyBytes_Size(bytes.get());
    if (data == nullptr || size < 0) {
        return std::nullopt;
    }
    return utf8_lossy(std::string_view(data, static_cast<std::size_t>(size)));
}

PyResult<std::string> python_format(PyObject* obj) {
    return format_with(obj, PyObject_Str, 0, true);
}

std::string python_debug(PyObject* obj) {
    return std::move(format_with(obj, PyObject_Repr, 0, false)).value();
}

Owned try_new_str(std::string_view text) {
    return Owned::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Owned new_str(std::string_view text) {
    Owned str = try_new_str(text);
    if (!str) {
        PyErr::panic_after_error();
    }
    return str;
}

Owned try_new_interned_str(std::string_view text) {
    PyObject* str = try_new_str(text).into_raw();
    if (str != nullptr) {
        PyUnicode_InternInPlace(&str);
    }
    return Owned::steal(str);
}

Owned new_interned_str(std::string_view text) {
    Owned str = try_new_interned_str(text);
    if (!str) {
        PyErr::panic_after_error();
    }
    return str;
}

Owned get_attr_named(PyObject* obj, std::string_view name) {
    Owned key = try_new_str(name);
    if (!key) {
        return key;
    }
    return Owned::steal(calling_python([&] { return PyObject_GetAttr(obj, key.get()); }));
}

std::string type_qualname(PyObject* type) {
    Owned qualname = get_attr_named(type, "__qualname__");
    if (qualname && host::is_str(qualname.get())) {
        Owned utf8 = Owned::steal(PyUnicode_AsUTF8String(qualname.get()));
        if (utf8) {
            return {PyBytes_AsString(utf8.get()),
                    static_cast<std::size_t>(PyBytes_Size(utf8.get()))};
        }
    }
    (void)PyErr::take();
    return "<failed to extract type name>";
}

}  // namespace vindral
