// The method records of vindral's three functions, for a module that embeds
// them beside its own (the test-only module does, to observe the guard that
// they run under).
#pragma once

#include <span>

#include "boundary/module_def.hpp"

namespace vindral {

std::span<const MethodDefRecord> function_records() noexcept;

}  // namespace vindral
