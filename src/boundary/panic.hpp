// The PanicException class and the way internal failures become one.
#pragma once

#include <string>

#include "boundary/host.hpp"
#include "boundary/pyerr.hpp"

namespace vindral {

// Inside a handler: the message that the value being handled carries, or a
// fixed text for values that carry none.
std::string current_panic_message();

}  // namespace vindral
