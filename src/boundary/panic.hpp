// The PanicException class and the way internal failures become one.
#pragma once

#include <exception>
#include <string>

#include "boundary/host.hpp"
#include "boundary/pyerr.hpp"

namespace vindral {

// The class if it has been created, else null. Never creates it.
PyObject* panic_exception_type_if_created() noexcept;

// The message that a thrown value carries, or a fixed text for values
// that carry none.
std::string panic_payload_message(std::exception_ptr payload);

// A lazy PanicException for a caught internal failure.
PyErr from_panic_payload(std::exception_ptr payload);

}  // namespace vindral
