// Element-by-element loops of the Weibull functions over strided arrays.
//
// Each loop has the shape of an array library's inner loop: `args` holds one
// pointer per operand (the inputs in parameter order, then the output),
// `dimensions[0]` the number of elements and `steps` each operand's stride in
// bytes. They compute every element with the scalar functions themselves, so
// each element is the scalar result to the last bit. Plain arithmetic: they
// touch no interpreter object, throw nothing and may run on any thread.
#pragma once

#include <cstdint>

namespace vindral::weibull {

using StridedLoop = void (*)(char** args, const std::intptr_t* dimensions,
                             const std::intptr_t* steps, void* data);

// (v, k) -> c
void v_k_2_c_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                  void* data) noexcept;
// (c, k) -> v
void c_k_2_v_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                  void* data) noexcept;
// (c, k, v1, v2) -> probability of the interval
void wbl_cdf_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                  void* data) noexcept;
// (c, k, v) -> survival term
void wbl_sf_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                 void* data) noexcept;

}  // namespace vindral::weibull
