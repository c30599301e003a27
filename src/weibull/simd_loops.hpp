// The array loops in SIMD lanes, one set per instruction set, and the C
// library functions they repeat.
//
// Each loop has the shape of `strided_loop` (strided_loops.hpp) and gives,
// element by element, exactly the scalar function's result on a machine
// whose C library is glibc's FMA build of exp and pow; only choose_loops
// (loop_selection.hpp) decides, after checking that, whether they are used.
#pragma once

#include <cstdint>

namespace vindral::weibull::simd {

using StridedLoop = void (*)(char** args, const std::intptr_t* dimensions,
                             const std::intptr_t* steps, void* data);

struct Loops {
    const char* name;
    StridedLoop v_k_2_c;
    StridedLoop c_k_2_v;
    StridedLoop wbl_cdf;
    StridedLoop wbl_sf;
    StridedLoop wbl_bins;  // the inner loop of a generalized ufunc: bins_loop's shape
    // The library's exp(x) and pow(x, y) alone: what the self-test and the
    // tests compare with the library.
    StridedLoop exp;
    StridedLoop pow;
};

// The loops for CPUs with AVX2 and FMA, and for those with AVX-512F as well;
// null where the build has none (another architecture or C library). Call
// them only on a CPU that has these instructions.
const Loops* avx2_loops() noexcept;
const Loops* avx512_loops() noexcept;

}  // namespace vindral::weibull::simd
