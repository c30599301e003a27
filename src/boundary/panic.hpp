// The PanicException class and the way internal failures become one.
#pragma once

#include <string>

#include "boundary/host.hpp"
#include "boundary/pyerr.hpp"

namespace vindral {

// The class if it has been created, else null. Never creates it.
PyObject* panic_exception_type_if_created() noexcept;

// Inside a handler: the message that the value being handled carries, or a
// fixed text for values that carry none.
std::string current_panic_message();

}  // namespace vindral
