// Bit-for-bit comparisons of the SIMD loops with the C library and the
// scalar functions, for the test-only module.
#pragma once

#include <array>
#include <cstdint>

#include "weibull/simd_loops.hpp"

namespace vindral::testing {

enum class Function { exp, pow, v_k_2_c, c_k_2_v, wbl_sf, wbl_cdf };

// Where the arguments are drawn: random bit patterns over every double, the
// ranges of wind speeds, scales and shapes, or the function's hard regions
// (special values, branch and overflow boundaries, subnormals, table
// indices) mixed half and half with wind values.
enum class Region { bits, wind, hard };

struct Comparison {
    std::uint64_t compared = 0;
    std::uint64_t mismatched = 0;
    // The first mismatch: its arguments, the loop's result and the library's.
    std::array<double, 4> first_arguments{};
    double first_got = 0.0;
    double first_expected = 0.0;
};

// Runs the loop of `function` from `loops` over at least `count` drawn
// elements and compares each result with the scalar function's.
Comparison compare_with_library(const weibull::simd::Loops& loops, Function function, Region region,
                                std::uint64_t count, std::uint64_t seed);

}  // namespace vindral::testing
