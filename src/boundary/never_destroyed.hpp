// Process-wide objects that are built once and never destroyed.
//
// exit() runs the destructors of a shared object's static objects while
// daemon threads that the interpreter has not stopped yet may still be inside
// a call, releasing references into the pool or reading a kept slot. An
// object wrapped here is built when the shared object loads and lives until
// the process ends: its wrapper is trivially destructible, so nothing is
// registered with exit().
#pragma once

#include <array>
#include <cstddef>
#include <new>
#include <type_traits>
#include <vector>

namespace vindral {

template <class T>
class NeverDestroyed {
public:
    NeverDestroyed() { ::new (static_cast<void*>(storage_.data())) T(); }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;
    NeverDestroyed(NeverDestroyed&&) = delete;
    NeverDestroyed& operator=(NeverDestroyed&&) = delete;
    ~NeverDestroyed() = default;

    T* get() noexcept {
        return std::launder(reinterpret_cast<T*>(storage_.data()));  // NOLINT(*-reinterpret-cast)
    }
    T* operator->() noexcept { return get(); }
    T& operator*() noexcept { return *get(); }

private:
    alignas(T) std::array<std::byte, sizeof(T)> storage_{};
};

static_assert(std::is_trivially_destructible_v<NeverDestroyed<std::vector<int>>>);

}  // namespace vindral
