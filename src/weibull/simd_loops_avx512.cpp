// The array loops in lanes of eight doubles: AVX-512F (with FMA). Compiled
// with -mavx512f -mfma, this file alone.
#include "weibull/simd_loops.hpp"

#if defined(VINDRAL_SIMD_LOOPS)
// GCC 12's AVX-512 intrinsics start from a self-initialised "undefined"
// vector, which its own uninitialised-use warnings then report (GCC bug
// 105593, fixed in GCC 13): "maybe" in an optimised build, certain once the
// sanitizers instrument it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <immintrin.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "weibull/simd_kernels.hpp"

namespace vindral::weibull::simd {
namespace {

// Eight lanes; a lane mask is one bit per lane. Only AVX-512F instructions:
// the and/xor of doubles (AVX-512DQ) go through the integer forms.
struct Avx512 {
    using Doubles = __m512d;
    using Ints = __m512i;
    using Lanes = __mmask8;
    static constexpr int width = 8;

    static Doubles splat(double x) { return _mm512_set1_pd(x); }
    static Ints splat_int(std::int64_t x) { return _mm512_set1_epi64(x); }
    static Doubles load(const char* at) { return _mm512_loadu_pd(at); }
    static void store(char* at, Doubles x) { _mm512_storeu_pd(at, x); }

    // The first `valid` lanes from memory, the others copies of the first.
    static Doubles load_first(const char* at, std::ptrdiff_t valid) {
        return _mm512_mask_loadu_pd(splat(read(at)), first_lanes(valid), at);
    }
    static void store_first(char* at, Doubles x, std::ptrdiff_t valid) {
        std::array<double, width> lanes{};
        _mm512_storeu_pd(lanes.data(), x);
        std::memcpy(at, lanes.data(), static_cast<std::size_t>(valid) * sizeof(double));
    }
    static __mmask8 first_lanes(std::ptrdiff_t valid) {
        return static_cast<__mmask8>((1U << valid) - 1U);
    }

    static Doubles add(Doubles a, Doubles b) { return _mm512_add_pd(a, b); }
    static Doubles sub(Doubles a, Doubles b) { return _mm512_sub_pd(a, b); }
    static Doubles mul(Doubles a, Doubles b) { return _mm512_mul_pd(a, b); }
    static Doubles div(Doubles a, Doubles b) { return _mm512_div_pd(a, b); }
    // a b + c and a b - c, rounded once.
    static Doubles fma(Doubles a, Doubles b, Doubles c) { return _mm512_fmadd_pd(a, b, c); }
    static Doubles fms(Doubles a, Doubles b, Doubles c) { return _mm512_fmsub_pd(a, b, c); }
    static Doubles negate(Doubles x) {
        return from_bits(_mm512_xor_si512(bits(x), splat_int(INT64_MIN)));
    }
    static Doubles abs(Doubles x) { return _mm512_abs_pd(x); }

    static Ints bits(Doubles x) { return _mm512_castpd_si512(x); }
    static Doubles from_bits(Ints x) { return _mm512_castsi512_pd(x); }
    static Ints add_int(Ints a, Ints b) { return _mm512_add_epi64(a, b); }
    static Ints sub_int(Ints a, Ints b) { return _mm512_sub_epi64(a, b); }
    static Ints and_int(Ints a, Ints b) { return _mm512_and_si512(a, b); }
    template <int n>
    static Ints shift_left(Ints x) {
        return _mm512_slli_epi64(x, n);
    }
    template <int n>
    static Ints shift_right(Ints x) {
        return _mm512_srli_epi64(x, n);
    }
    // The top 12 bits of each lane as a signed integer, converted exactly.
    static Doubles top12_as_double(Ints x) {
        return _mm512_cvtepi32_pd(_mm512_cvtepi64_epi32(_mm512_srai_epi64(x, 52)));
    }
    // The integers of the lanes.
    static std::array<std::int64_t, width> lanes_of(Ints x) {
        alignas(64) std::array<std::int64_t, width> lanes;
        _mm512_store_si512(lanes.data(), x);
        return lanes;
    }

    // table[index] and table[index + 1] of each lane, as two vectors: one
    // 16-byte load per lane, where two gathers would cost more.
    static void gather_pairs(const void* table, Ints index, Doubles& first, Doubles& second) {
        const std::array<std::int64_t, width> at = lanes_of(index);
        const auto pair = [&](int l) {
            return _mm_castpd_ps(_mm_loadu_pd(static_cast<const double*>(table) + at[l]));
        };
        // Lanes 0, 2, 4, 6 in one vector, 1, 3, 5, 7 in the other: each
        // 128-bit part then holds the pairs of two adjacent lanes.
        __m512 even = _mm512_castps128_ps512(pair(0));
        __m512 odd = _mm512_castps128_ps512(pair(1));
        even = _mm512_insertf32x4(even, pair(2), 1);
        odd = _mm512_insertf32x4(odd, pair(3), 1);
        even = _mm512_insertf32x4(even, pair(4), 2);
        odd = _mm512_insertf32x4(odd, pair(5), 2);
        even = _mm512_insertf32x4(even, pair(6), 3);
        odd = _mm512_insertf32x4(odd, pair(7), 3);
        first = _mm512_unpacklo_pd(_mm512_castps_pd(even), _mm512_castps_pd(odd));
        second = _mm512_unpackhi_pd(_mm512_castps_pd(even), _mm512_castps_pd(odd));
    }

    // Columns 0, 2 and 3 of the rows of four doubles at `table` that `row`
    // names in each lane: one 32-byte load per lane, then a transposition,
    // where three gathers would cost more.
    static void gather_rows(const double* table, Ints row, Doubles& first, Doubles& third,
                            Doubles& fourth) {
        // Each row's first double, by an index the loads scale by 8.
        const std::array<std::int64_t, width> at = lanes_of(shift_left<2>(row));
        const auto two_rows = [&](int l) {
            return _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(table + at[l])),
                                      _mm256_loadu_pd(table + at[l + 4]), 1);
        };
        // Rows l and l + 4 in one vector; then pairs of lanes' columns.
        const __m512d rows04 = two_rows(0);
        const __m512d rows15 = two_rows(1);
        const __m512d rows26 = two_rows(2);
        const __m512d rows37 = two_rows(3);
        const __m512d even01 = _mm512_unpacklo_pd(rows04, rows15);  // columns 0 and 2
        const __m512d odd01 = _mm512_unpackhi_pd(rows04, rows15);   // columns 1 and 3
        const __m512d even23 = _mm512_unpacklo_pd(rows26, rows37);
        const __m512d odd23 = _mm512_unpackhi_pd(rows26, rows37);
        const __m512i low = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
        const __m512i high = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
        first = _mm512_permutex2var_pd(even01, low, even23);
        third = _mm512_permutex2var_pd(even01, high, even23);
        fourth = _mm512_permutex2var_pd(odd01, high, odd23);
    }

    // Eight doubles `step` bytes apart from `at`, by pairs.
    static Doubles load_strided(const char* at, std::ptrdiff_t step) {
        // Read as bytes: a strided operand need not be aligned.
        const auto pair = [&](int l) {
            return _mm_set_pd(read(at + (l + 1) * step), read(at + l * step));
        };
        const __m256d low = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(0)), pair(2), 1);
        const __m256d high = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(4)), pair(6), 1);
        return _mm512_insertf64x4(_mm512_castpd256_pd512(low), high, 1);
    }

    // Lanes 1 to 7 of `current`, then lane 0 of `next`.
    static Doubles shift_in(Doubles current, Doubles next) {
        return _mm512_castsi512_pd(_mm512_alignr_epi64(bits(next), bits(current), 1));
    }
    // The first `valid` lanes of x, the others copies of its first.
    static Doubles keep_first(Doubles x, std::ptrdiff_t valid) {
        return _mm512_mask_blend_pd(first_lanes(valid),
                                    _mm512_broadcastsd_pd(_mm512_castpd512_pd128(x)), x);
    }

    static Lanes none() { return 0; }
    // Lanes where not low <= x < high, NaN included.
    static Lanes outside(Doubles x, double low, double high) {
        return static_cast<Lanes>(_mm512_cmp_pd_mask(x, splat(low), _CMP_NGE_UQ) |
                                  _mm512_cmp_pd_mask(x, splat(high), _CMP_NLT_UQ));
    }
    static Lanes either(Lanes a, Lanes b) { return static_cast<Lanes>(a | b); }
    template <int predicate>
    static Lanes compare(Doubles a, Doubles b) {
        return _mm512_cmp_pd_mask(a, b, predicate);
    }
    // Lanes holding +0.0.
    static Lanes zero_bits(Doubles x) {
        return _mm512_cmpeq_epi64_mask(bits(x), _mm512_setzero_si512());
    }
    static Lanes both(Lanes a, Lanes b) { return static_cast<Lanes>(a & b); }
    // Lanes of a that are not lanes of b.
    static Lanes but_not(Lanes a, Lanes b) { return static_cast<Lanes>(a & ~b); }
    // `otherwise` in the lanes of `lanes`, else `x`.
    static Doubles select(Lanes lanes, Doubles x, Doubles otherwise) {
        return _mm512_mask_blend_pd(lanes, x, otherwise);
    }
    static unsigned mask_bits(Lanes lanes) { return lanes; }
    static bool any(Lanes lanes) { return lanes != 0; }
};

constexpr Loops avx512 = loops_for<Avx512>("avx512");

}  // namespace

const Loops* avx512_loops() noexcept { return &avx512; }

}  // namespace vindral::weibull::simd

#else

const vindral::weibull::simd::Loops* vindral::weibull::simd::avx512_loops() noexcept {
    return nullptr;
}

#endif
