// The strided loops: one template, instantiated once per function.
#include "weibull/strided_loops.hpp"

#include <array>
#include <cstddef>
#include <cstring>
#include <utility>

#include "weibull/weibull.hpp"

namespace vindral::weibull {
namespace {

// Calls `function` on the doubles at the N input pointers.
template <std::size_t N, class Function, std::size_t... I>
double call_at(Function function, const std::array<char*, N + 1>& at,
               std::index_sequence<I...> /*inputs*/) noexcept {
    std::array<double, N> in{};
    // memcpy, not a cast: no aliasing or alignment assumption, and the
    // compiler turns it into a plain load.
    (std::memcpy(&in[I], at[I], sizeof(double)), ...);
    return function(in[I]...);
}

// Operands 0 .. N-1 are the inputs, operand N the output.
template <std::size_t N, auto Function>
void elementwise(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps) {
    std::array<char*, N + 1> at{};
    std::array<std::intptr_t, N + 1> step{};
    for (std::size_t j = 0; j <= N; ++j) {
        at[j] = args[j];
        step[j] = steps[j];
    }
    const std::intptr_t count = dimensions[0];
    for (std::intptr_t i = 0; i < count; ++i) {
        const double result = call_at<N>(Function, at, std::make_index_sequence<N>{});
        std::memcpy(at[N], &result, sizeof(double));
        for (std::size_t j = 0; j <= N; ++j) {
            at[j] += step[j];
        }
    }
}

}  // namespace

void v_k_2_c_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                  void* /*data*/) noexcept {
    elementwise<2, v_k_2_c>(args, dimensions, steps);
}

void c_k_2_v_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                  void* /*data*/) noexcept {
    elementwise<2, c_k_2_v>(args, dimensions, steps);
}

void wbl_cdf_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                  void* /*data*/) noexcept {
    elementwise<4, wbl_cdf>(args, dimensions, steps);
}

void wbl_sf_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                 void* /*data*/) noexcept {
    elementwise<3, wbl_sf>(args, dimensions, steps);
}

}  // namespace vindral::weibull
