// Interpreter objects as text, for messages.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "boundary/host.hpp"
#include "boundary/owned.hpp"
#include "boundary/pyerr.hpp"

namespace vindral {

// The texts joined. Messages are built with it rather than with
// "literal" + std::string, whose insertion at the front calls into a newer
// C++ library than the oldest Linux systems that the wheels serve.
std::string concat(std::initializer_list<std::string_view> parts);

// Decodes UTF-8, replacing each maximal invalid subsequence with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// A str object's text. Lone surrogates, which "surrogatepass" encodes as
// three invalid bytes each, come out as three U+FFFD each. Empty, with the
// interpreter's error set, when the text cannot be encoded (memory).
std::optional<std::string> try_str_to_utf8_lossy(PyObject* str);

// The text form of an object: its str(), or "<unprintable module.Name
// object>" when str() raises an ordinary error (which goes to the unraisable
// hook), where module and Name are the text forms of the type's attributes.
// An error that must reach the caller (PyErr::must_reach_caller: running out
// of memory, an interrupt) is returned instead, the message unmade.
PyResult<std::string> python_format(PyObject* obj);

// The same made with repr(), the object's debug text, for the messages of
// internal failures: these cannot return an error, so every failure falls
// back to the unprintable form.
std::string python_debug(PyObject* obj);

// A new str of UTF-8 text; empty, with the interpreter's MemoryError set,
// when memory is exhausted.
Owned try_new_str(std::string_view text);

// The same where that is an internal failure (panic_after_error).
Owned new_str(std::string_view text);

// The interned str of UTF-8 text, as a new reference. Interned strings are
// compared by identity; the interpreter interns identifiers in source code.
Owned new_interned_str(std::string_view text);

// The same, empty with the interpreter's MemoryError set when memory is
// exhausted.
Owned try_new_interned_str(std::string_view text);

// obj.<name>; empty with the interpreter's error set when the lookup (or
// making the name) fails.
Owned get_attr_named(PyObject* obj, std::string_view name);

// The __qualname__ of a type, or "<failed to extract type name>".
std::string type_qualname(PyObject* type);

}  // namespace vindral
