// Which loops the array module runs: SIMD loops where they are shown to give
// the scalar functions' results to the last bit, else the plain loop.
#pragma once

#include <optional>
#include <string_view>

#include "weibull/simd_loops.hpp"

namespace vindral::weibull {

enum class LoopKind { plain, avx2, avx512 };

struct LoopChoice {
    const char* name;  // "avx512", "avx2" or "plain"
    simd::StridedLoop v_k_2_c;
    simd::StridedLoop c_k_2_v;
    simd::StridedLoop wbl_cdf;
    simd::StridedLoop wbl_sf;
    simd::StridedLoop wbl_bins;
};

// The widest loops, no wider than `widest`, that this process may run: SIMD
// loops only on x86_64 with a CPU that has their instructions, with a glibc
// whose exp and pow the tests have compared with them in full, and when the
// self-test shows that the library in use computes as its FMA build does.
// Anything else gets the plain loop. The self-test takes about a millisecond.
LoopChoice choose_loops(LoopKind widest);

// Whether the SIMD loops serve glibc of this version (gnu_get_libc_version's
// text): the releases whose exp and pow they are shown to repeat.
bool serves_glibc(std::string_view version);

// Whether this CPU (and its operating system) runs the `kind` loops.
bool cpu_runs(LoopKind kind);

// The `kind` loops where the build has them and this CPU runs them, without
// the library's check or the self-test: for the tests, which run every kind.
std::optional<LoopChoice> unchecked_loops(LoopKind kind);

// The self-test: `loops` against the C library and the scalar functions,
// bit for bit, over every table entry and branch boundary of exp and pow,
// the inputs on which the library's builds differ, and the wind ranges.
bool agree_with_library(const simd::Loops& loops);

}  // namespace vindral::weibull
