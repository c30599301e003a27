// The array loops in lanes of four doubles: AVX2 with FMA. Compiled with
// -mavx2 -mfma, this file alone.
#include "weibull/simd_loops.hpp"

#if defined(VINDRAL_SIMD_LOOPS)
#include <immintrin.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "weibull/simd_kernels.hpp"

namespace vindral::weibull::simd {
namespace {

// Four lanes; a lane mask has every bit of a lane set.
struct Avx2 {
    using Doubles = __m256d;
    using Ints = __m256i;
    using Lanes = __m256d;
    static constexpr int width = 4;

    static Doubles splat(double x) { return _mm256_set1_pd(x); }
    static Ints splat_int(std::int64_t x) { return _mm256_set1_epi64x(x); }
    static Doubles load(const char* at) {
        return _mm256_loadu_pd(reinterpret_cast<const double*>(at));
    }
    static void store(char* at, Doubles x) { _mm256_storeu_pd(reinterpret_cast<double*>(at), x); }

    // The first `valid` lanes from memory, the others copies of the first.
    static Doubles load_first(const char* at, std::ptrdiff_t valid) {
        const __m256i lanes = first_lanes(valid);
        const __m256d loaded = _mm256_maskload_pd(reinterpret_cast<const double*>(at), lanes);
        return _mm256_blendv_pd(splat(read(at)), loaded, _mm256_castsi256_pd(lanes));
    }
    // The first `valid` lanes to memory, one by one: a masked store
    // (vmaskmovpd) is microcoded, and slow, on AMD's processors.
    static void store_first(char* at, Doubles x, std::ptrdiff_t valid) {
        std::array<double, width> lanes{};
        _mm256_storeu_pd(lanes.data(), x);
        std::memcpy(at, lanes.data(), static_cast<std::size_t>(valid) * sizeof(double));
    }
    static __m256i first_lanes(std::ptrdiff_t valid) {
        return _mm256_cmpgt_epi64(_mm256_set1_epi64x(valid), _mm256_setr_epi64x(0, 1, 2, 3));
    }

    static Doubles add(Doubles a, Doubles b) { return _mm256_add_pd(a, b); }
    static Doubles sub(Doubles a, Doubles b) { return _mm256_sub_pd(a, b); }
    static Doubles mul(Doubles a, Doubles b) { return _mm256_mul_pd(a, b); }
    static Doubles div(Doubles a, Doubles b) { return _mm256_div_pd(a, b); }
    // a b + c and a b - c, rounded once.
    static Doubles fma(Doubles a, Doubles b, Doubles c) { return _mm256_fmadd_pd(a, b, c); }
    static Doubles fms(Doubles a, Doubles b, Doubles c) { return _mm256_fmsub_pd(a, b, c); }
    static Doubles negate(Doubles x) { return _mm256_xor_pd(x, splat(-0.0)); }
    static Doubles abs(Doubles x) { return _mm256_andnot_pd(splat(-0.0), x); }

    static Ints bits(Doubles x) { return _mm256_castpd_si256(x); }
    static Doubles from_bits(Ints x) { return _mm256_castsi256_pd(x); }
    static Ints add_int(Ints a, Ints b) { return _mm256_add_epi64(a, b); }
    static Ints sub_int(Ints a, Ints b) { return _mm256_sub_epi64(a, b); }
    static Ints and_int(Ints a, Ints b) { return _mm256_and_si256(a, b); }
    template <int n>
    static Ints shift_left(Ints x) {
        return _mm256_slli_epi64(x, n);
    }
    template <int n>
    static Ints shift_right(Ints x) {
        return _mm256_srli_epi64(x, n);
    }
    // The top 12 bits of each lane as a signed integer, converted exactly:
    // the high half of a lane shifted arithmetically by 20.
    static Doubles top12_as_double(Ints x) {
        const __m256i high = _mm256_srai_epi32(x, 20);
        const __m256i odd =
            _mm256_permutevar8x32_epi32(high, _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7));
        return _mm256_cvtepi32_pd(_mm256_castsi256_si128(odd));
    }
    // The integers of the lanes.
    static std::array<std::int64_t, width> lanes_of(Ints x) {
        alignas(32) std::array<std::int64_t, width> lanes;
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes.data()), x);
        return lanes;
    }

    // table[index] and table[index + 1] of each lane, as two vectors: one
    // 16-byte load per lane, where two gathers would cost more.
    static void gather_pairs(const void* table, Ints index, Doubles& first, Doubles& second) {
        const std::array<std::int64_t, width> at = lanes_of(index);
        const auto pair = [&](int l) {
            return _mm_loadu_pd(static_cast<const double*>(table) + at[l]);
        };
        const __m256d even = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(0)), pair(2), 1);
        const __m256d odd = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(1)), pair(3), 1);
        first = _mm256_unpacklo_pd(even, odd);
        second = _mm256_unpackhi_pd(even, odd);
    }

    // Columns 0, 2 and 3 of the rows of four doubles at `table` that `row`
    // names in each lane: one 32-byte load per lane, then a transposition,
    // where three gathers would cost more.
    static void gather_rows(const double* table, Ints row, Doubles& first, Doubles& third,
                            Doubles& fourth) {
        // Each row's first double, by an index the loads scale by 8.
        const std::array<std::int64_t, width> at = lanes_of(shift_left<2>(row));
        const __m256d row0 = _mm256_loadu_pd(table + at[0]);
        const __m256d row1 = _mm256_loadu_pd(table + at[1]);
        const __m256d row2 = _mm256_loadu_pd(table + at[2]);
        const __m256d row3 = _mm256_loadu_pd(table + at[3]);
        const __m256d even01 = _mm256_unpacklo_pd(row0, row1);  // columns 0 and 2
        const __m256d odd01 = _mm256_unpackhi_pd(row0, row1);   // columns 1 and 3
        const __m256d even23 = _mm256_unpacklo_pd(row2, row3);
        const __m256d odd23 = _mm256_unpackhi_pd(row2, row3);
        first = _mm256_permute2f128_pd(even01, even23, 0x20);
        third = _mm256_permute2f128_pd(even01, even23, 0x31);
        fourth = _mm256_permute2f128_pd(odd01, odd23, 0x31);
    }

    // Four doubles `step` bytes apart from `at`, by pairs.
    static Doubles load_strided(const char* at, std::ptrdiff_t step) {
        // Read as bytes: a strided operand need not be aligned.
        const auto pair = [&](int l) {
            return _mm_set_pd(read(at + (l + 1) * step), read(at + l * step));
        };
        return _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(0)), pair(2), 1);
    }

    // Lanes 1 to 3 of `current`, then lane 0 of `next`.
    static Doubles shift_in(Doubles current, Doubles next) {
        return _mm256_blend_pd(_mm256_permute4x64_pd(current, 0x39),
                               _mm256_permute4x64_pd(next, 0x00), 0x8);
    }
    // The first `valid` lanes of x, the others copies of its first.
    static Doubles keep_first(Doubles x, std::ptrdiff_t valid) {
        return _mm256_blendv_pd(_mm256_broadcastsd_pd(_mm256_castpd256_pd128(x)), x,
                                _mm256_castsi256_pd(first_lanes(valid)));
    }

    static Lanes none() { return _mm256_setzero_pd(); }
    // Lanes where not low <= x < high, NaN included.
    static Lanes outside(Doubles x, double low, double high) {
        return _mm256_or_pd(_mm256_cmp_pd(x, splat(low), _CMP_NGE_UQ),
                            _mm256_cmp_pd(x, splat(high), _CMP_NLT_UQ));
    }
    static Lanes either(Lanes a, Lanes b) { return _mm256_or_pd(a, b); }
    template <int predicate>
    static Lanes compare(Doubles a, Doubles b) {
        return _mm256_cmp_pd(a, b, predicate);
    }
    // Lanes holding +0.0.
    static Lanes zero_bits(Doubles x) {
        return _mm256_castsi256_pd(_mm256_cmpeq_epi64(bits(x), _mm256_setzero_si256()));
    }
    static Lanes both(Lanes a, Lanes b) { return _mm256_and_pd(a, b); }
    // Lanes of a that are not lanes of b.
    static Lanes but_not(Lanes a, Lanes b) { return _mm256_andnot_pd(b, a); }
    // `otherwise` in the lanes of `lanes`, else `x`.
    static Doubles select(Lanes lanes, Doubles x, Doubles otherwise) {
        return _mm256_blendv_pd(x, otherwise, lanes);
    }
    static bool any(Lanes lanes) { return _mm256_testz_pd(lanes, lanes) == 0; }
    static unsigned mask_bits(Lanes lanes) {
        return static_cast<unsigned>(_mm256_movemask_pd(lanes));
    }
};

constexpr Loops avx2 = loops_for<Avx2>("avx2");

}  // namespace

const Loops* avx2_loops() noexcept { return &avx2; }

}  // namespace vindral::weibull::simd

#else

const vindral::weibull::simd::Loops* vindral::weibull::simd::avx2_loops() noexcept {
    return nullptr;
}

#endif
