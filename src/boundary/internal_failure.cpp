// Throwing an internal failure.
#include "boundary/internal_failure.hpp"

namespace vindral {

void internal_failure(const std::string& message) { throw InternalFailure(message); }

}  // namespace vindral
