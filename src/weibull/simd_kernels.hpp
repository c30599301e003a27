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
        const D tail = S::gather(g::exp_table.data(), index);
        const I scale_bits = S::add_int(S::gather_bits(g::exp_table.data() + 1, index),
                                        S::template shift_left<45>(ki));
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
        I ki;
        const D r =
            S::add(reduce(S::select(away, a, splat(0.5)), ki), S::select(away, e, splat(0.0)));
        const D result = S::select(tiny, exp_from_reduced(ki, r), S::add(splat(1.0), a));
        const L finite_under = S::but_not(under, S::template compare<_CMP_EQ_OQ>(a, splat(-inf)));
        const D underflow =
            S::mul(S::select(finite_under, splat(1.0), splat(0x1p-767)), splat(0x1p-767));
        return S::select(under, result, S::select(finite_under, splat(0.0), underflow));
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
        // x = 2^k z, z in [OFF, 2 OFF), in subinterval i.
        const I ix = S::bits(x);
        const I tmp = S::sub_int(ix, S::splat_int(static_cast<std::int64_t>(g::pow_log_off)));
        const I i = S::and_int(S::template shift_right<45>(tmp), S::splat_int(127));
        const D kd = S::top12_as_double(tmp);
        const I top = S::and_int(tmp, S::splat_int(static_cast<std::int64_t>(0xfff0000000000000)));
        const D z = S::from_bits(S::sub_int(ix, top));
        const D invc = S::gather(g::pow_log_invc.data(), i);
        const D logc = S::gather(g::pow_log_logc.data(), i);
        const D logctail = S::gather(g::pow_log_logctail.data(), i);

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

        // y log(x) = ehi + elo, then exp(ehi + elo).
        const D ehi = S::mul(y, log_hi);
        const D elo = S::fma(y, log_lo, S::fms(log_hi, y, ehi));
        return S::select(zero_base, exp_end(ehi, elo, special), splat(0.0));
    }

    // exp(-1.0 * pow(v / c, k)); the product with -1.0 is a negation.
    static D survival(D c, D k, D v, L& special) {
        const D p = pow(S::div(v, c), k, special);
        return exp(S::negate(p), special);
    }

    // Gamma(1 + 1/k) by the direct branch of the Lanczos approximation; lanes
    // that take the reflection branch (1 + 1/k < 0.5) are special.
    static D gamma_of_shape(D k, L& special) {
        D x = S::add(splat(1.0), S::div(splat(1.0), k));
        special = S::either(special, S::template compare<_CMP_LT_OQ>(x, splat(0.5)));
        x = S::select(special, x, splat(1.0));
        D s = splat(lanczos::d[0]);
        for (std::size_t i = 1; i <= 10; ++i) {
            const D denominator = S::sub(S::add(x, splat(static_cast<double>(i))), splat(1.0));
            s = S::add(s, S::div(splat(lanczos::d[i]), denominator));
        }
        const D t = S::mul(s, splat(lanczos::scale_factor));
        const D base = S::div(S::add(S::sub(x, splat(0.5)), splat(lanczos::r)), splat(lanczos::e));
        const D exponent = S::sub(x, splat(0.5));
        return S::mul(t, pow(base, exponent, special));
    }
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
    static constexpr auto scalar = &wbl_cdf;
};

template <class S>
struct WblSf {
    static auto lanes(const typename S::Doubles* in, typename S::Lanes& special) {
        return Kernels<S>::survival(in[0], in[1], in[2], special);
    }
    static constexpr auto scalar = &wbl_sf;
};

// The library's functions alone, for the self-test and the tests.
template <class S>
struct Exp {
    static auto lanes(const typename S::Doubles* in, typename S::Lanes& special) {
        return Kernels<S>::exp(in[0], special);
    }
    static constexpr auto scalar = +[](double x) noexcept { return ::exp(x); };
};

template <class S>
struct Pow {
    static auto lanes(const typename S::Doubles* in, typename S::Lanes& special) {
        return Kernels<S>::pow(in[0], in[1], special);
    }
    static constexpr auto scalar = +[](double x, double y) noexcept { return ::pow(x, y); };
};

// ---- The strided loop -------------------------------------------------------------
// Elements go through in blocks. An operand whose elements are adjacent is
// read in place, and one element broadcast (stride 0) as that element in
// every lane; any other operand is copied into a block buffer first, and a
// result likewise. The last vector of a loop is read and written in its
// valid lanes only, the others holding copies of its first element.
//
// The output may be an input: numpy hands a loop the same array as both for
// an in-place call (same memory, same steps), which the vectors serve, since
// each is read whole before its result is stored and a special lane is
// computed from the vector's own arguments. Any other overlap of the output
// with an input (the accumulator of reduce, accumulate and reduceat, read
// back as each result is written) makes each element depend on the one
// before: such calls go one element at a time, as the plain loop does.

inline double read(const char* at) {
    double value = 0.0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

inline void write(char* at, double value) { std::memcpy(at, &value, sizeof value); }

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

    // The inputs of a block: where element e of input j is, at[j] + e * step[j]
    // with a step of 8 (adjacent) or 0 (broadcast).
    struct Inputs {
        std::array<const char*, N> at;
        std::array<std::ptrdiff_t, N> step;

        const char* element(std::size_t j, std::ptrdiff_t e) const { return at[j] + e * step[j]; }
    };

    // Computes m elements into `out` (adjacent doubles).
    static void block_of(const Inputs& in, char* out, std::ptrdiff_t m) {
        std::ptrdiff_t i = 0;
        for (; i + W <= m; i += W) {
            Vectors x;
            for (std::size_t j = 0; j < N; ++j) {
                x[j] = S::load(in.element(j, i));
            }
            S::store(out + i * adjacent, results(x, W));
        }
        if (i < m) {
            const std::ptrdiff_t valid = m - i;
            Vectors x;
            for (std::size_t j = 0; j < N; ++j) {
                x[j] = in.step[j] == 0 ? S::load(in.element(j, i))
                                       : S::load_first(in.element(j, i), valid);
            }
            S::store_first(out + i * adjacent, results(x, valid), valid);
        }
    }

    // The results of a vector's lanes, the first `valid` of them exact: the
    // special ones by the scalar function.
    static typename S::Doubles results(const Vectors& x, std::ptrdiff_t valid) {
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
        std::array<std::array<double, block>, N + 1> buffers;
        Inputs in{};
        for (std::size_t j = 0; j < N; ++j) {
            if (steps[j] == 0) {
                // W copies of the one element, read as a whole vector.
                const double value = read(args[j]);
                std::fill_n(buffers[j].begin(), W, value);
                in.at[j] = reinterpret_cast<const char*>(buffers[j].data());
            }
            in.step[j] = steps[j] == 0 ? 0 : adjacent;
        }
        for (std::ptrdiff_t start = 0; start < count; start += block) {
            const std::ptrdiff_t m = count - start < block ? count - start : block;
            for (std::size_t j = 0; j < N; ++j) {
                const char* first = args[j] + start * steps[j];
                if (steps[j] == adjacent) {
                    in.at[j] = first;
                } else if (steps[j] != 0) {
                    for (std::ptrdiff_t e = 0; e < m; ++e) {
                        buffers[j][e] = read(first + e * steps[j]);
                    }
                    in.at[j] = reinterpret_cast<const char*>(buffers[j].data());
                }
            }
            char* result = args[N] + start * steps[N];
            char* out = steps[N] == adjacent ? result : reinterpret_cast<char*>(buffers[N].data());
            block_of(in, out, m);
            if (out != result) {
                for (std::ptrdiff_t e = 0; e < m; ++e) {
                    write(result + e * steps[N], buffers[N][e]);
                }
            }
        }
    }
};

// ---- The bins of a row of edges ----------------------------------------------------
// The loop of bins_loop (strided_loops.hpp) in lanes: each row's edges go
// through the survival function's blocks, with c and k in every lane, into a
// buffer of terms, and each bin is the difference of two adjacent terms.

template <class S>
struct Bins {
    using Survival = Loop<S, WblSf<S>>;
    static constexpr std::ptrdiff_t W = S::width;
    static constexpr std::ptrdiff_t block = Survival::block;
    static constexpr std::ptrdiff_t adjacent = sizeof(double);

    struct Buffers {
        // c and k in every lane; a block of edges copied from a strided row;
        // the terms of a block, after the last term of the block before.
        std::array<std::array<double, W>, 2> shape;
        std::array<double, block> edges;
        std::array<double, block + 1> terms;
    };

    static void run(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                    void* /*data*/) noexcept {
        const std::ptrdiff_t bins = std::min(dimensions[2], dimensions[1] - 1);
        if (bins <= 0) {
            return;
        }
        Buffers buffers;
        typename Survival::Inputs in{};
        in.at = {reinterpret_cast<const char*>(buffers.shape[0].data()),
                 reinterpret_cast<const char*>(buffers.shape[1].data()), nullptr};
        in.step = {0, 0, adjacent};
        for (std::ptrdiff_t row = 0; row < dimensions[0]; ++row) {
            buffers.shape[0].fill(read(args[0] + row * steps[0]));
            buffers.shape[1].fill(read(args[1] + row * steps[1]));
            row_of(in, buffers, args[2] + row * steps[2], steps[4], bins, args[3] + row * steps[3],
                   steps[5]);
        }
    }

    // The `bins` bins of one row, a block of edges at a time.
    static void row_of(typename Survival::Inputs& in, Buffers& buffers, const char* edges,
                       std::ptrdiff_t edge_step, std::ptrdiff_t bins, char* out,
                       std::ptrdiff_t out_step) {
        for (std::ptrdiff_t start = 0; start <= bins; start += block) {
            const std::ptrdiff_t m = std::min(block, bins + 1 - start);
            const char* first = edges + start * edge_step;
            if (edge_step == adjacent) {
                in.at[2] = first;
            } else {
                for (std::ptrdiff_t e = 0; e < m; ++e) {
                    buffers.edges[e] = read(first + e * edge_step);
                }
                in.at[2] = reinterpret_cast<const char*>(buffers.edges.data());
            }
            Survival::block_of(in, reinterpret_cast<char*>(buffers.terms.data() + 1), m);
            // Bin start - 1 + i is terms[i] - terms[i + 1]; the first row's
            // block has no term before it.
            const std::ptrdiff_t skip = start == 0 ? 1 : 0;
            differences(buffers.terms.data() + skip, m - skip, out + (start - 1 + skip) * out_step,
                        out_step);
            buffers.terms[0] = buffers.terms[m];
        }
    }

    // out[i] = terms[i] - terms[i + 1] for i < count.
    static void differences(const double* terms, std::ptrdiff_t count, char* out,
                            std::ptrdiff_t out_step) {
        std::ptrdiff_t i = 0;
        if (out_step == adjacent) {
            for (; i + W <= count; i += W) {
                const char* upper = reinterpret_cast<const char*>(terms + i);
                S::store(out + i * adjacent, S::sub(S::load(upper), S::load(upper + adjacent)));
            }
        }
        for (; i < count; ++i) {
            write(out + i * out_step, terms[i] - terms[i + 1]);
        }
    }
};

template <class S>
constexpr Loops loops_for(const char* name) {
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
