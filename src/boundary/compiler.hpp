// Compiler-specific function attributes, in one place. GCC and Clang take
// them as gnu:: attributes; MSVC has its own spelling or none.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
// Rarely run: laid out away from the paths that succeed.
#define VINDRAL_COLD [[gnu::cold]]
#define VINDRAL_NOINLINE [[gnu::noinline]]
// Inlined whatever the optimiser thinks of its size.
#define VINDRAL_ALWAYS_INLINE [[gnu::always_inline]] inline
// The same for a lambda, written after its parameter list.
#define VINDRAL_ALWAYS_INLINE_LAMBDA __attribute__((always_inline))
// For functions that catch abi::__forced_unwind: the C++ runtime binds the
// handler's reference to a null object, which the sanitizer would report.
#define VINDRAL_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null")))
#elif defined(_MSC_VER)
#define VINDRAL_COLD
#define VINDRAL_NOINLINE __declspec(noinline)
#define VINDRAL_ALWAYS_INLINE __forceinline
#define VINDRAL_ALWAYS_INLINE_LAMBDA [[msvc::forceinline]]
#define VINDRAL_CATCHES_FORCED_UNWIND
#else
#define VINDRAL_COLD
#define VINDRAL_NOINLINE
#define VINDRAL_ALWAYS_INLINE inline
#define VINDRAL_ALWAYS_INLINE_LAMBDA
#define VINDRAL_CATCHES_FORCED_UNWIND
#endif
