// The Weibull functions in SIMD lanes, bit for bit the scalar functions on
// x86_64 with glibc's FMA build of exp and pow.
//
// Included only by the sources compiled for one instruction set each
// (simd_loops_avx2.cpp, simd_loops_avx512.cpp), which instantiate it with
// their lane type; everything here has internal linkage, so that no code
// compiled for a wider instruction set can stand in for code that runs on
// any CPU.
//
// exp and pow repeat glibc's algorithms operation for operation: the same
// tables and coefficients (glibc_tables.hpp), the same order of roundings,
// and a fused multiply-add exactly where the library's FMA build has one
// (read from its machine code; identical in glibc 2.36 and 2.43). A lane
// whose arguments leave the algorithm's common path (zero, negative,
// subnormal or non-finite arguments, huge or tiny exponents, results that
// overflow or underflow) is marked special, and the loop computes it with the
// scalar function itself. Every other operation of the Weibull functions is
// the scalar code's, in the scalar code's order, one rounding each.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "weibull/glibc_tables.hpp"
#include "weibull/lanczos.hpp"
#include "weibull/libm_versions.hpp"
#include "weibull/simd_loops.hpp"
#include "weibull/strided_loops.hpp"
#include "weibull/weibull.hpp"

namespace vindral::weibull::simd {
namespace {

namespace g = glibc;

// ---- The kernels, over a lane type S ------------------------------------------
// S gives `Doubles` (W doubles), `Ints` (W 64-bit integers), `Lanes` (a
// mask of W lanes) and the operations used below; each operation rounds once.
//
// A special lane goes on with harmless values (select), so that the lanes
// raise no floating-point exception that the scalar functions would not:
// numpy reports them as warnings. A common lane performs only operations
// that the scalar function performs on it too.

template <class S>
struct Kernels {
    using D = typename S::Doubles;
    using I = typename S::Ints;
    using L = typename S::Lanes;

    static D splat(double x) { return S::splat(x); }

    // The end of glibc's exp, shared with pow: with ki the integer of
    // x N/ln2 (in the low bits) and r the reduced argument,
    // 2^(ki/N) (1 + tail) (1 + poly(r)), evaluated as scale + scale tmp.
    static D exp_from_reduced(I ki, D r) {
        const I index = S::template shift_left<1>(S::and_int(ki, S::splat_int(127)));
        D tail;
        D table_scale;
        S::gather_pairs(g::exp_table.data(), index, tail, table_scale);
        const I scale_bits = S::add_int(S::bits(table_scale), S::template shift_left<45>(ki));
        const D scale = S::from_bits(scale_bits);
        const D r2 = S::mul(r, r);
        const D low = S::fma(r, splat(g::exp_c3), splat(g::exp_c2));
        const D high = S::fma(r, splat(g::exp_c5), splat(g::exp_c4));
        const D sum = S::fma(low, r2, S::add(tail, r));
        const D tmp = S::fma(S::mul(r2, r2), high, sum);
        return S::fma(scale, tmp, scale);
    }

    // x = k ln2/N + r: kd = round(x N/ln2) by the shift, k in its low bits.
    static D reduce(D x, I& ki) {
        D kd = S::fma(x, splat(g::exp_inv_ln2_n), splat(g::exp_shift));
        ki = S::bits(kd);
        kd = S::sub(kd, splat(g::exp_shift));
        const D r = S::fma(kd, splat(g::exp_neg_ln2_hi_n), x);
        return S::fma(kd, splat(g::exp_neg_ln2_lo_n), r);
    }

    // exp(a + e) on the table, 2^-54 <= |a| < 512, with |e| < 2^-8/N.
    static D exp_core(D a, D e) {
        I ki;
        const D r = S::add(reduce(a, ki), e);
        return exp_from_reduced(ki, r);
    }

    // exp(a + e), |e| < 2^-8/N, as glibc's exp and pow end (e is pow's low
    // part, 0 for exp): 2^-54 <= |a| < 512 by the table; |a| < 2^-54 gives
    // 1 + a; a <= -1024 underflows to +0 (as 2^-767 2^-767, which raises the
    // library's underflow; -inf gives +0 silently). Other lanes are special.
    static D exp_end(D a, D e, L& special) {
        constexpr double inf = std::numeric_limits<double>::infinity();
        const L tiny = S::template compare<_CMP_LT_OQ>(S::abs(a), splat(0x1p-54));
        const L under = S::template compare<_CMP_LE_OQ>(a, splat(-1024.0));
        const L off_table = S::outside(S::abs(a), 0x1p-54, 512.0);
        special = S::either(special, S::but_not(off_table, S::either(tiny, under)));
        const L away = S::either(special, off_table);
        const D result = S::select(
            tiny, exp_core(S::select(away, a, splat(0.5)), S::select(away, e, splat(0.0))),
            S::add(splat(1.0), a));
        const L finite_under = S::but_not(under, S::template compare<_CMP_EQ_OQ>(a, splat(-inf)));
        return S::select(under, result,
                         S::select(finite_under, splat(0.0), underflow(finite_under)));
    }

    // +0 in the lanes of `under`, raising the library's underflow there (as
    // 2^-767 2^-767); 2^-767 in the others.
    static D underflow(L under) {
        return S::mul(S::select(under, splat(1.0), splat(0x1p-767)), splat(0x1p-767));
    }

    // exp(x).
    static D exp(D x, L& special) { return exp_end(x, splat(0.0), special); }

    // pow(x, y) = exp(y log(x)) with log(x) as hi + lo; the common path is a
    // positive normal finite x and 2^-65 <= |y| < 2^63, then exp's. pow(+0, y)
    // is +0 for every positive finite y.
    static D pow(D x, D y, L& special) {
        constexpr double inf = std::numeric_limits<double>::infinity();
        const L zero_base =
            S::both(S::zero_bits(x), S::both(S::template compare<_CMP_GT_OQ>(y, splat(0.0)),
                                             S::template compare<_CMP_LT_OQ>(y, splat(inf))));
        const L off_log =
            S::either(S::outside(x, 0x1p-1022, inf), S::outside(S::abs(y), 0x1p-65, 0x1p63));
        special = S::either(special, S::but_not(off_log, zero_base));
        const L away = S::either(special, zero_base);
        x = S::select(away, x, splat(2.0));
        y = S::select(away, y, splat(1.0));
        D ehi;
        D elo;
        y_log_x(x, y, ehi, elo);
        return S::select(zero_base, exp_end(ehi, elo, special), splat(0.0));
    }

    // y log(x) = ehi + elo, glibc's pow before its exp, for a positive normal
    // finite x.
    static void y_log_x(D x, D y, D& ehi, D& elo) {
        // x = 2^k z, z in [OFF, 2 OFF), in subinterval i.
        const I ix = S::bits(x);
        const I tmp = S::sub_int(ix, S::splat_int(static_cast<std::int64_t>(g::pow_log_off)));
        const I i = S::and_int(S::template shift_right<45>(tmp), S::splat_int(127));
        const D kd = S::top12_as_double(tmp);
        const I top = S::and_int(tmp, S::splat_int(static_cast<std::int64_t>(0xfff0000000000000)));
        const D z = S::from_bits(S::sub_int(ix, top));
        D invc;
        D logc;
        D logctail;
        S::gather_rows(g::pow_log_table.data(), i, invc, logc, logctail);

        // log(x) = k ln2 + log(c) + log1p(r), r = z/c - 1 exactly.
        const D r = S::fma(z, invc, splat(-1.0));
        const D t1 = S::fma(kd, splat(g::pow_ln2_hi), logc);
        const D t2 = S::add(t1, r);
        const D lo1 = S::fma(kd, splat(g::pow_ln2_lo), logctail);
        const D lo2 = S::add(S::sub(t1, t2), r);
        const D ar = S::mul(splat(g::pow_a0), r);
        const D ar2 = S::mul(r, ar);
        const D ar3 = S::mul(r, ar2);
        const D hi = S::add(t2, ar2);
        const D lo3 = S::fms(ar, r, ar2);
        const D lo4 = S::add(S::sub(t2, hi), ar2);
        D poly = S::fma(r, splat(g::pow_a6), splat(g::pow_a5));
        poly = S::fma(poly, ar2, S::fma(r, splat(g::pow_a4), splat(g::pow_a3)));
        poly = S::fma(ar2, poly, S::fma(r, splat(g::pow_a2), splat(g::pow_a1)));
        D lo = S::add(S::add(S::add(lo1, lo2), lo3), lo4);
        lo = S::fma(ar3, poly, lo);
        const D log_hi = S::add(hi, lo);
        const D log_lo = S::add(S::sub(hi, log_hi), lo);

        ehi = S::mul(y, log_hi);
        elo = S::fma(y, log_lo, S::fms(log_hi, y, ehi));
    }

    // exp(-1.0 * pow(v / c, k)); the product with -1.0 is a negation.
    static D survival(D c, D k, D v, L& special) {
        const D p = pow(S::div(v, c), k, special);
        return exp(S::negate(p), special);
    }

    // ---- The common path ----
    // The same results where every lane of a vector takes the library's
    // common path, or one of the few others that cost a select (a +0 base, a
    // tiny or underflowing exp), without the selects and checks for the rest.
    // Each step first checks its lanes and gives false when one leaves its
    // path, before computing anything on it: what was computed by then the
    // full kernel computes too, so a vector that goes on there raises no
    // floating-point exception that the scalar functions would not.

    static constexpr double inf = std::numeric_limits<double>::infinity();

    static bool any(L lanes) { return S::any(lanes); }

    // exp(a): on the table, tiny (1 + a), or at most -1024 and finite (+0,
    // with the library's underflow).
    static bool exp_common(D a, D& result) {
        const L off_table = S::outside(S::abs(a), 0x1p-54, 512.0);
        if (!any(off_table)) [[likely]] {
            result = exp_core(a, splat(0.0));
            return true;
        }
        const L tiny = S::template compare<_CMP_LT_OQ>(S::abs(a), splat(0x1p-54));
        const L under = S::but_not(S::template compare<_CMP_LE_OQ>(a, splat(-1024.0)),
                                   S::template compare<_CMP_EQ_OQ>(a, splat(-inf)));
        const L away = S::either(tiny, under);
        if (any(S::but_not(off_table, away))) {
            return false;
        }
        const D table = exp_core(S::select(away, a, splat(0.5)), splat(0.0));
        result = S::select(under, S::select(tiny, table, S::add(splat(1.0), a)), underflow(under));
        return true;
    }

    // pow(x, y): x positive, normal and finite, or +0 with 0 < y < inf (+0);
    // 2^-65 <= |y| < 2^63; and y log(x) on exp's table.
    static bool pow_common(D x, D y, D& result) {
        const L zero_base = S::zero_bits(x);
        const L off_log = S::either(S::but_not(S::outside(x, 0x1p-1022, inf), zero_base),
                                    S::outside(S::abs(y), 0x1p-65, 0x1p63));
        const L negative_power_of_zero =
            S::both(zero_base, S::template compare<_CMP_LT_OQ>(y, splat(0.0)));
        if (any(S::either(off_log, negative_power_of_zero))) {
            return false;
        }
        const bool zeros = any(zero_base);
        D ehi;
        D elo;
        y_log_x(zeros ? S::select(zero_base, x, splat(2.0)) : x, y, ehi, elo);
        if (any(S::outside(S::abs(ehi), 0x1p-54, 512.0))) {
            return false;
        }
        result = exp_core(ehi, elo);
        if (zeros) {
            result = S::select(zero_base, result, splat(0.0));
        }
        return true;
    }

    static bool survival_common(D c, D k, D v, D& result) {
        D p;
        return pow_common(S::div(v, c), k, p) && exp_common(S::negate(p), result);
    }

    // Gamma(1 + 1/k) by the direct branch of the Lanczos approximation; lanes
    // that take the reflection branch (1 + 1/k < 0.5) are special.
    static D gamma_of_shape(D k, L& special) {
        D x = S::add(splat(1.0), S::div(splat(1.0), k));
        special = S::either(special, S::template compare<_CMP_LT_OQ>(x, splat(0.5)));
        x = S::select(special, x, splat(1.0));
        D t;
        D base;
        D exponent;
        lanczos_terms(x, t, base, exponent);
        return S::mul(t, pow(base, exponent, special));
    }

    // The same where every lane takes the direct branch and the power the
    // common path.
    static bool gamma_of_shape_common(D k, D& gamma) {
        const D x = S::add(splat(1.0), S::div(splat(1.0), k));
        if (any(S::template compare<_CMP_LT_OQ>(x, splat(0.5)))) {
            return false;
        }
        D t;
        D base;
        D exponent;
        lanczos_terms(x, t, base, exponent);
        D power;
        if (!pow_common(base, exponent, power)) {
            return false;
        }
        gamma = S::mul(t, power);
        return true;
    }

    // Gamma(x) = t pow(base, exponent) on the direct branch.
    static void lanczos_terms(D x, D& t, D& base, D& exponent) {
        D s = splat(lanczos::d[0]);
        for (std::size_t i = 1; i <= 10; ++i) {
            const D denominator = S::sub(S::add(x, splat(static_cast<double>(i))), splat(1.0));
            s = S::add(s, S::div(splat(lanczos::d[i]), denominator));
        }
        t = S::mul(s, splat(lanczos::scale_factor));
        base = S::div(S::add(S::sub(x, splat(0.5)), splat(lanczos::r)), splat(lanczos::e));
        exponent = S::sub(x, splat(0.5));
    }
};

inline double read(const char* at) {
    double value = 0.0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

inline void write(char* at, double value) { std::memcpy(at, &value, sizeof value); }

// ---- Two vectors at a time ----------------------------------------------------------
// A lane type of twice the width whose every operation is its two halves'
// operations, side by side: the kernels' long chains of dependent steps then
// run for two vectors at once, which the processor overlaps.

template <class S>
struct Twice {
    struct Doubles {
        typename S::Doubles lo, hi;
    };
    struct Ints {
        typename S::Ints lo, hi;
    };
    struct Lanes {
        typename S::Lanes lo, hi;
    };
    static constexpr int width = 2 * S::width;
    static constexpr std::ptrdiff_t half = S::width * static_cast<std::ptrdiff_t>(sizeof(double));

    static Doubles splat(double x) { return {S::splat(x), S::splat(x)}; }
    static Ints splat_int(std::int64_t x) { return {S::splat_int(x), S::splat_int(x)}; }
    static Doubles load(const char* at) { return {S::load(at), S::load(at + half)}; }
    static void store(char* at, Doubles x) {
        S::store(at, x.lo);
        S::store(at + half, x.hi);
    }
    static Doubles load_first(const char* at, std::ptrdiff_t valid) {
        if (valid <= S::width) {
            return {S::load_first(at, valid), S::splat(read(at))};
        }
        return {S::load(at), S::load_first(at + half, valid - S::width)};
    }
    static void store_first(char* at, Doubles x, std::ptrdiff_t valid) {
        if (valid <= S::width) {
            S::store_first(at, x.lo, valid);
        } else {
            S::store(at, x.lo);
            S::store_first(at + half, x.hi, valid - S::width);
        }
    }

    static Doubles add(Doubles a, Doubles b) { return {S::add(a.lo, b.lo), S::add(a.hi, b.hi)}; }
    static Doubles sub(Doubles a, Doubles b) { return {S::sub(a.lo, b.lo), S::sub(a.hi, b.hi)}; }
    static Doubles mul(Doubles a, Doubles b) { return {S::mul(a.lo, b.lo), S::mul(a.hi, b.hi)}; }
    static Doubles div(Doubles a, Doubles b) { return {S::div(a.lo, b.lo), S::div(a.hi, b.hi)}; }
    static Doubles fma(Doubles a, Doubles b, Doubles c) {
        return {S::fma(a.lo, b.lo, c.lo), S::fma(a.hi, b.hi, c.hi)};
    }
    static Doubles fms(Doubles a, Doubles b, Doubles c) {
        return {S::fms(a.lo, b.lo, c.lo), S::fms(a.hi, b.hi, c.hi)};
    }
    static Doubles negate(Doubles x) { return {S::negate(x.lo), S::negate(x.hi)}; }
    static Doubles abs(Doubles x) { return {S::abs(x.lo), S::abs(x.hi)}; }

    static Ints bits(Doubles x) { return {S::bits(x.lo), S::bits(x.hi)}; }
    static Doubles from_bits(Ints x) { return {S::from_bits(x.lo), S::from_bits(x.hi)}; }
    static Ints add_int(Ints a, Ints b) { return {S::add_int(a.lo, b.lo), S::add_int(a.hi, b.hi)}; }
    static Ints sub_int(Ints a, Ints b) { return {S::sub_int(a.lo, b.lo), S::sub_int(a.hi, b.hi)}; }
    static Ints and_int(Ints a, Ints b) { return {S::and_int(a.lo, b.lo), S::and_int(a.hi, b.hi)}; }
    template <int n>
    static Ints shift_left(Ints x) {
        return {S::template shift_left<n>(x.lo), S::template shift_left<n>(x.hi)};
    }
    template <int n>
    static Ints shift_right(Ints x) {
        return {S::template shift_right<n>(x.lo), S::template shift_right<n>(x.hi)};
    }
    static Doubles top12_as_double(Ints x) {
        return {S::top12_as_double(x.lo), S::top12_as_double(x.hi)};
    }
    static Doubles load_strided(const char* at, std::ptrdiff_t step) {
        return {S::load_strided(at, step), S::load_strided(at + S::width * step, step)};
    }
    static void gather_pairs(const void* table, Ints index, Doubles& first, Doubles& second) {
        S::gather_pairs(table, index.lo, first.lo, second.lo);
        S::gather_pairs(table, index.hi, first.hi, second.hi);
    }
    static void gather_rows(const double* table, Ints row, Doubles& first, Doubles& third,
                            Doubles& fourth) {
        S::gather_rows(table, row.lo, first.lo, third.lo, fourth.lo);
        S::gather_rows(table, row.hi, first.hi, third.hi, fourth.hi);
    }

    static Doubles shift_in(Doubles current, Doubles next) {
        return {S::shift_in(current.lo, current.hi), S::shift_in(current.hi, next.lo)};
    }
    static Doubles keep_first(Doubles x, std::ptrdiff_t valid) {
        if (valid <= S::width) {
            return {S::keep_first(x.lo, valid), S::keep_first(x.lo, 1)};
        }
        return {x.lo, S::keep_first(x.hi, valid - S::width)};
    }

    static Lanes none() { return {S::none(), S::none()}; }
    static Lanes outside(Doubles x, double low, double high) {
        return {S::outside(x.lo, low, high), S::outside(x.hi, low, high)};
    }
    static Lanes either(Lanes a, Lanes b) { return {S::either(a.lo, b.lo), S::either(a.hi, b.hi)}; }
    static Lanes both(Lanes a, Lanes b) { return {S::both(a.lo, b.lo), S::both(a.hi, b.hi)}; }
    static Lanes but_not(Lanes a, Lanes b) {
        return {S::but_not(a.lo, b.lo), S::but_not(a.hi, b.hi)};
    }
    template <int predicate>
    static Lanes compare(Doubles a, Doubles b) {
        return {S::template compare<predicate>(a.lo, b.lo),
                S::template compare<predicate>(a.hi, b.hi)};
    }
    static Lanes zero_bits(Doubles x) { return {S::zero_bits(x.lo), S::zero_bits(x.hi)}; }
    static Doubles select(Lanes lanes, Doubles x, Doubles otherwise) {
        return {S::select(lanes.lo, x.lo, otherwise.lo), S::select(lanes.hi, x.hi, otherwise.hi)};
    }
    static unsigned mask_bits(Lanes lanes) {
        return S::mask_bits(lanes.lo) | (S::mask_bits(lanes.hi) << S::width);
    }
    static bool any(Lanes lanes) { return S::any(S::either(lanes.lo, lanes.hi)); }
};

// ---- One function each: its lanes, and the scalar function for the special
// lanes ----------------------------------------------------------------------

// v / Gamma(1 + 1/k) (Divides) and c * Gamma(1 + 1/k); a special lane's
// first argument is kept out of the last operation.
template <class S, bool Divides>
struct WithGammaOfShape {
    static auto lanes(const typename S::Doubles* in, typename S::Lanes& special) {
        const auto g = Kernels<S>::gamma_of_shape(in[1], special);
        const auto first = S::select(special, in[0], S::splat(1.0));
        if constexpr (Divides) {
            return S::div(first, g);
        } else {
            return S::mul(first, g);
        }
    }
    static constexpr auto scalar = Divides ? &v_k_2_c : &c_k_2_v;
    static bool common(const typename S::Doubles* in, typename S::Doubles& result) {
        typename S::Doubles g;
        if (!Kernels<S>::gamma_of_shape_common(in[1], g)) {
            return false;
        }
        if constexpr (Divides) {
            result = S::div(in[0], g);
        } else {
            result = S::mul(in[0], g);
        }
        return true;
    }
};

template <class S>
using VK2C = WithGammaOfShape<S, true>;
template <class S>
using CK2V = WithGammaOfShape<S, false>;

template <class S>
struct WblCdf {
    static auto lanes(const typename S::Doubles* in, typename S::Lanes& special) {
        const auto p1 = Kernels<S>::survival(in[0], in[1], in[2], special);
        const auto p2 = Kernels<S>::survival(in[0], in[1], in[3], special);
        return S::sub(p1, p2);
    }
    static bool common(const typename S::Doubles* in, typename S::Doubles& result) {
        typename S::Doubles p1;
        typename S::Doubles p2;
        if (!Kernels<S>::survival_common(in[0], in[1], in[2], p1) ||
            !Kernels<S>::survival_common(in[0], in[1], in[3], p2)) {
            return false;
        }
        result = S::sub(p1, p2);
        return true;
    }
    static constexpr auto scalar = &wbl_cdf;
};

template <class S>
struct WblSf {
    static auto lanes(const typename S::Doubles* in, typename S::Lanes& special) {
        return Kernels<S>::survival(in[0], in[1], in[2], special);
    }
    static bool common(const typename S::Doubles* in, typename S::Doubles& result) {
        return Kernels<S>::survival_common(in[0], in[1], in[2], result);
    }
    static constexpr auto scalar = &wbl_sf;
};

// The library's functions alone, for the self-test and the tests.
template <class S>
struct Exp {
    static auto lanes(const typename S::Doubles* in, typename S::Lanes& special) {
        return Kernels<S>::exp(in[0], special);
    }
    static bool common(const typename S::Doubles* in, typename S::Doubles& result) {
        return Kernels<S>::exp_common(in[0], result);
    }
    static constexpr auto scalar = +[](double x) noexcept { return ::exp(x); };
};

template <class S>
struct Pow {
    static auto lanes(const typename S::Doubles* in, typename S::Lanes& special) {
        return Kernels<S>::pow(in[0], in[1], special);
    }
    static bool common(const typename S::Doubles* in, typename S::Doubles& result) {
        return Kernels<S>::pow_common(in[0], in[1], result);
    }
    static constexpr auto scalar = +[](double x, double y) noexcept { return ::pow(x, y); };
};

// ---- The strided loop -------------------------------------------------------------
// Elements go through in blocks. An operand whose elements are adjacent is
// read a vector at a time, one broadcast (stride 0) as that element in every
// lane, any other a lane at a time; a result that is not adjacent goes
// through a block buffer. The last vector of a loop is read and written in
// its valid lanes only, the others holding copies of its first element.
//
// The output may be an input: numpy hands a loop the same array as both for
// an in-place call (same memory, same steps), which the vectors serve, since
// each is read whole before its result is stored and a special lane is
// computed from the vector's own arguments. Any other overlap of the output
// with an input (the accumulator of reduce, accumulate and reduceat, read
// back as each result is written) makes each element depend on the one
// before: such calls go one element at a time, as the plain loop does.

// The bytes that `count` doubles `step` apart from `at` cover, as [low, high).
struct Extent {
    std::uintptr_t low;
    std::uintptr_t high;

    Extent(const char* at, std::ptrdiff_t count, std::ptrdiff_t step) {
        const auto first = reinterpret_cast<std::uintptr_t>(at);
        const std::uintptr_t last = first + static_cast<std::uintptr_t>((count - 1) * step);
        low = std::min(first, last);
        high = std::max(first, last) + sizeof(double);
    }

    bool overlaps(const Extent& other) const { return low < other.high && other.low < high; }
};

template <class S, class F>
struct Loop {
    static constexpr std::size_t N = arity<F::scalar>;
    static constexpr std::ptrdiff_t W = S::width;
    static constexpr std::ptrdiff_t block = 16 * W;
    static constexpr std::ptrdiff_t adjacent = sizeof(double);
    // One vector per argument (a built-in array: std::array drops the
    // vector type's alignment attribute).
    using Vectors = typename S::Doubles[N];  // NOLINT(*-avoid-c-arrays)

    // The inputs of a block: where element e of input j is, at[j] + e * step[j];
    // a step of 0 (broadcast) points to a whole vector of copies.
    struct Inputs {
        std::array<const char*, N> at;
        std::array<std::ptrdiff_t, N> step;

        const char* element(std::size_t j, std::ptrdiff_t e) const { return at[j] + e * step[j]; }

        // The vector of input j from element i.
        typename S::Doubles vector(std::size_t j, std::ptrdiff_t i) const {
            if (step[j] != adjacent && step[j] != 0) {
                return S::load_strided(element(j, i), step[j]);
            }
            return S::load(element(j, i));
        }

        // The same with its first `valid` lanes only, the others holding
        // copies of its first element.
        typename S::Doubles first_of_vector(std::size_t j, std::ptrdiff_t i,
                                            std::ptrdiff_t valid) const {
            if (step[j] == 0) {
                return S::load(element(j, i));
            }
            if (step[j] == adjacent) {
                return S::load_first(element(j, i), valid);
            }
            std::array<double, W> lanes;
            lanes.fill(read(element(j, i)));
            for (std::ptrdiff_t l = 1; l < valid; ++l) {
                lanes[l] = read(element(j, i + l));
            }
            return S::load(reinterpret_cast<const char*>(lanes.data()));
        }
    };

    // Computes m elements into `out` (adjacent doubles). The last vector, when
    // it is not full, is read and written in its valid lanes only, through
    // the same code as the others.
    static void block_of(const Inputs& in, char* out, std::ptrdiff_t m) {
        for (std::ptrdiff_t i = 0; i < m; i += W) {
            const std::ptrdiff_t valid = std::min(W, m - i);
            Vectors x;
            for (std::size_t j = 0; j < N; ++j) {
                x[j] = valid == W ? in.vector(j, i) : in.first_of_vector(j, i, valid);
            }
            const typename S::Doubles y = results(x, valid);
            if (valid == W) [[likely]] {
                S::store(out + i * adjacent, y);
            } else {
                S::store_first(out + i * adjacent, y, valid);
            }
        }
    }

    // The results of a vector's lanes, the first `valid` of them exact: the
    // special ones by the scalar function.
    static typename S::Doubles results(const Vectors& x, std::ptrdiff_t valid) {
        if (typename S::Doubles common; F::common(x, common)) [[likely]] {
            return common;
        }
        typename S::Lanes special = S::none();
        const typename S::Doubles lanes = F::lanes(x, special);
        const unsigned redo = S::mask_bits(special) & ((1U << valid) - 1U);
        if (redo != 0) [[unlikely]] {
            return patched(x, lanes, redo);
        }
        return lanes;
    }

    // `lanes` with the lanes of `redo` computed by the scalar function, from
    // the vector's own arguments.
    [[gnu::noinline]] static typename S::Doubles patched(const Vectors& x,
                                                         typename S::Doubles lanes, unsigned redo) {
        std::array<std::array<double, W>, N> arguments;
        std::array<double, W> values;
        for (std::size_t j = 0; j < N; ++j) {
            S::store(reinterpret_cast<char*>(arguments[j].data()), x[j]);
        }
        S::store(reinterpret_cast<char*>(values.data()), lanes);
        for (std::ptrdiff_t l = 0; l < W; ++l) {
            if (((redo >> l) & 1U) != 0) {
                values[l] = [&]<std::size_t... J>(std::index_sequence<J...>) {
                    return F::scalar(arguments[J][l]...);
                }
                (std::make_index_sequence<N>{});
            }
        }
        return S::load(reinterpret_cast<const char*>(values.data()));
    }

    // Whether the output overlaps an input other than element for element.
    static bool chained(char** args, std::ptrdiff_t count, const std::intptr_t* steps) {
        const Extent out(args[N], count, steps[N]);
        for (std::size_t j = 0; j < N; ++j) {
            const bool same = args[j] == args[N] && steps[j] == steps[N] && steps[N] != 0;
            if (!same && out.overlaps(Extent(args[j], count, steps[j]))) {
                return true;
            }
        }
        return false;
    }

    static void run(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                    void* data) noexcept {
        const std::ptrdiff_t count = dimensions[0];
        if (count > 0 && chained(args, count, steps)) [[unlikely]] {
            strided_loop<F::scalar>(args, dimensions, steps, data);
        } else {
            in_blocks(args, count, steps);
        }
    }

    static void in_blocks(char** args, std::ptrdiff_t count, const std::intptr_t* steps) {
        // A broadcast input as a vector of copies of its one element; a
        // result whose elements are not adjacent through a block buffer.
        std::array<std::array<double, W>, N> broadcast;
        std::array<double, block> gathered;
        Inputs in{};
        for (std::size_t j = 0; j < N; ++j) {
            in.step[j] = steps[j];
            if (steps[j] == 0) {
                broadcast[j].fill(read(args[j]));
                in.at[j] = reinterpret_cast<const char*>(broadcast[j].data());
            }
        }
        for (std::ptrdiff_t start = 0; start < count; start += block) {
            const std::ptrdiff_t m = count - start < block ? count - start : block;
            for (std::size_t j = 0; j < N; ++j) {
                if (steps[j] != 0) {
                    in.at[j] = args[j] + start * steps[j];
                }
            }
            char* result = args[N] + start * steps[N];
            char* out = steps[N] == adjacent ? result : reinterpret_cast<char*>(gathered.data());
            block_of(in, out, m);
            if (out != result) {
                for (std::ptrdiff_t e = 0; e < m; ++e) {
                    write(result + e * steps[N], gathered[e]);
                }
            }
        }
    }
};

// ---- The bins of a row of edges ----------------------------------------------------
// The loop of bins_loop (strided_loops.hpp) in lanes: a row's edges go through
// the survival function a vector at a time, with c and k in every lane, and
// each bin is the difference of two adjacent terms, the lower one shifted in
// from the next vector.

template <class S>
struct Bins {
    using Survival = Loop<S, WblSf<S>>;
    using D = typename S::Doubles;
    static constexpr std::ptrdiff_t W = S::width;
    static constexpr std::ptrdiff_t adjacent = sizeof(double);

    static void run(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                    void* /*data*/) noexcept {
        const std::ptrdiff_t bins = std::min(dimensions[2], dimensions[1] - 1);
        if (bins <= 0) {
            return;
        }
        for (std::ptrdiff_t row = 0; row < dimensions[0]; ++row) {
            const Row edges{S::splat(read(args[0] + row * steps[0])),
                            S::splat(read(args[1] + row * steps[1])), args[2] + row * steps[2],
                            steps[4]};
            row_of(edges, bins, args[3] + row * steps[3], steps[5]);
        }
    }

    // A row: c and k in every lane, and where its edges are.
    struct Row {
        D c;
        D k;
        const char* at;
        std::ptrdiff_t step;

        // The survival terms of the edges from i on, at most a vector's, of
        // `edges` in all.
        D terms(std::ptrdiff_t i, std::ptrdiff_t edges) const {
            const std::ptrdiff_t valid = std::min(W, edges - i);
            typename Survival::Vectors x;
            x[0] = c;
            x[1] = k;
            x[2] = edges_from(i, valid);
            return Survival::results(x, valid);
        }

        // Edges i to i + valid - 1, the other lanes copies of edge i.
        D edges_from(std::ptrdiff_t i, std::ptrdiff_t valid) const {
            const char* first = at + i * step;
            if (step == adjacent) {
                return valid == W ? S::load(first) : S::load_first(first, valid);
            }
            if (valid == W) {
                return S::load_strided(first, step);
            }
            std::array<double, W> lanes;
            lanes.fill(read(first));
            for (std::ptrdiff_t l = 1; l < valid; ++l) {
                lanes[l] = read(first + l * step);
            }
            return S::load(reinterpret_cast<const char*>(lanes.data()));
        }
    };

    // The `bins` bins of one row. A last vector that is not full computes, in
    // the lanes it does not keep, copies of its first lane's subtraction,
    // which raise nothing that that lane does not.
    static void row_of(const Row& row, std::ptrdiff_t bins, char* out, std::ptrdiff_t out_step) {
        const std::ptrdiff_t edges = bins + 1;
        D upper = row.terms(0, edges);
        for (std::ptrdiff_t i = 0; i < bins; i += W) {
            const D following = i + W < edges ? row.terms(i + W, edges) : upper;
            const D lower = S::shift_in(upper, following);
            const std::ptrdiff_t valid = std::min(W, bins - i);
            const D probability =
                valid == W ? S::sub(upper, lower)
                           : S::sub(S::keep_first(upper, valid), S::keep_first(lower, valid));
            put(out + i * out_step, out_step, probability, valid);
            upper = following;
        }
    }

    // The first `valid` lanes of x into `valid` doubles `step` bytes apart.
    static void put(char* at, std::ptrdiff_t step, D x, std::ptrdiff_t valid) {
        if (step == adjacent) {
            if (valid == W) {
                S::store(at, x);
            } else {
                S::store_first(at, x, valid);
            }
            return;
        }
        std::array<double, W> lanes;
        S::store(reinterpret_cast<char*>(lanes.data()), x);
        for (std::ptrdiff_t l = 0; l < valid; ++l) {
            write(at + l * step, lanes[l]);
        }
    }
};

// The loops of an instruction set whose vectors are of lane type `One`, two
// vectors at a time.
template <class One>
constexpr Loops loops_for(const char* name) {
    using S = Twice<One>;
    return Loops{
        .name = name,
        .v_k_2_c = Loop<S, VK2C<S>>::run,
        .c_k_2_v = Loop<S, CK2V<S>>::run,
        .wbl_cdf = Loop<S, WblCdf<S>>::run,
        .wbl_sf = Loop<S, WblSf<S>>::run,
        .wbl_bins = Bins<S>::run,
        .exp = Loop<S, Exp<S>>::run,
        .pow = Loop<S, Pow<S>>::run,
    };
}

}  // namespace
}  // namespace vindral::weibull::simd
