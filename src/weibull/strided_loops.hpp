// Element-by-element loops of the Weibull functions over strided arrays.
//
// `strided_loop<f>` has the shape of an array library's inner loop: `args`
// holds one pointer per operand (f's arguments in order, then the result),
// `dimensions[0]` the number of elements and `steps` each operand's stride in
// bytes. Every element is computed by f itself, so each is the scalar result
// to the last bit. Plain arithmetic: it touches no interpreter object, throws
// nothing and may run on any thread.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "weibull/weibull.hpp"

namespace vindral::weibull {
namespace strided_detail {

template <class Function>
struct Arity;
template <class... Args>
struct Arity<double (*)(Args...) noexcept> {
    static constexpr std::size_t value = sizeof...(Args);
};

// Calls `function` on the doubles at the first N pointers.
template <auto Function, std::size_t N, std::size_t... I>
double call_at(const std::array<char*, N + 1>& at, std::index_sequence<I...> /*inputs*/) noexcept {
    std::array<double, N> in{};
    // memcpy, not a cast: no aliasing or alignment assumption, and the
    // compiler turns it into a plain load.
    (std::memcpy(&in[I], at[I], sizeof(double)), ...);
    return Function(in[I]...);
}

}  // namespace strided_detail

// The number of arguments of a Weibull function: its loop's input operands.
template <auto Function>
inline constexpr std::size_t arity = strided_detail::Arity<decltype(Function)>::value;

template <auto Function>
void strided_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                  void* /*data*/) noexcept {
    constexpr std::size_t N = arity<Function>;
    std::array<char*, N + 1> at{};
    std::array<std::intptr_t, N + 1> step{};
    for (std::size_t j = 0; j <= N; ++j) {
        at[j] = args[j];
        step[j] = steps[j];
    }
    const std::intptr_t count = dimensions[0];
    for (std::intptr_t i = 0; i < count; ++i) {
        const double result =
            strided_detail::call_at<Function, N>(at, std::make_index_sequence<N>{});
        std::memcpy(at[N], &result, sizeof(double));
        for (std::size_t j = 0; j <= N; ++j) {
            at[j] += step[j];
        }
    }
}

// The probabilities of the bins between adjacent speeds, row by row: the
// inner loop of a generalized ufunc with signature (),(),(n)->(m), m = n - 1.
// `args` holds c, k, the n edges and the m bins of the first row;
// `dimensions` the rows, n and m; `steps` the strides of c, k, the edges and
// the bins from row to row, then of an edge and a bin within a row. Bin i is
// wbl_sf(c, k, e[i]) - wbl_sf(c, k, e[i + 1]), which is wbl_cdf(c, k, e[i],
// e[i + 1]) to the last bit, with each edge's term computed once.
inline void bins_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                      void* /*data*/) noexcept {
    const auto at = [](const char* p) {
        double value = 0.0;
        std::memcpy(&value, p, sizeof value);
        return value;
    };
    const std::intptr_t bins = std::min(dimensions[2], dimensions[1] - 1);
    for (std::intptr_t row = 0; row < dimensions[0]; ++row) {
        const double c = at(args[0] + row * steps[0]);
        const double k = at(args[1] + row * steps[1]);
        const char* edge = args[2] + row * steps[2];
        char* bin = args[3] + row * steps[3];
        double upper = bins > 0 ? wbl_sf(c, k, at(edge)) : 0.0;
        for (std::intptr_t i = 0; i < bins; ++i) {
            const double lower = wbl_sf(c, k, at(edge + (i + 1) * steps[4]));
            const double probability = upper - lower;
            std::memcpy(bin + i * steps[5], &probability, sizeof probability);
            upper = lower;
        }
    }
}

}  // namespace vindral::weibull
