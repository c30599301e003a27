// Choosing the array loops: the CPU, the C library, and the self-test.
#include "weibull/loop_selection.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>
#include <tuple>
#include <vector>

#include "weibull/glibc_tables.hpp"
#include "weibull/libm_versions.hpp"
#include "weibull/strided_loops.hpp"
#include "weibull/weibull.hpp"

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#endif

namespace vindral::weibull {
namespace {

// glibc releases whose exp and pow the SIMD loops are shown to repeat. Since
// 2.28 rewrote them, no release has changed a result that they give in round
// to nearest; the tests compare the loops with 2.31 (the oldest release they
// run, Debian 11's), 2.36, 2.41 and 2.43 (the newest), so the range ends
// there until a newer release is compared.
constexpr int oldest_glibc_minor = 31;
constexpr int newest_glibc_minor = 43;

bool tested_library() {
#if defined(__GLIBC__)
    return serves_glibc(gnu_get_libc_version());
#else
    return false;
#endif
}

struct Cpu {
    bool avx2 = false;    // with FMA, and the operating system saving YMM state
    bool avx512 = false;  // AVX-512F besides, and the system saving ZMM state
};

Cpu cpu() {
    Cpu found;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    // CPUID leaf 1, ECX: FMA (12), OSXSAVE (27), AVX (28); leaf 7, EBX: AVX2
    // (5), AVX-512F (16). XCR0: the register states the system saves.
    constexpr unsigned fma = 1U << 12;
    constexpr unsigned osxsave = 1U << 27;
    constexpr unsigned avx = 1U << 28;
    constexpr unsigned avx2 = 1U << 5;
    constexpr unsigned avx512f = 1U << 16;
    constexpr unsigned ymm_state = 0x6;
    constexpr unsigned zmm_state = 0xe6;
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & fma) == 0 || (ecx & osxsave) == 0 ||
        (ecx & avx) == 0) {
        return found;
    }
    unsigned xcr0 = 0;
    unsigned xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    if (__get_cpuid_max(0, nullptr) < 7 || (xcr0 & ymm_state) != ymm_state) {
        return found;
    }
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    found.avx2 = (ebx & avx2) != 0;
    found.avx512 = found.avx2 && (ebx & avx512f) != 0 && (xcr0 & zmm_state) == zmm_state;
#endif
    return found;
}

// ---- The self-test -------------------------------------------------------------

template <std::size_t N>
using Inputs = std::vector<std::array<double, N>>;

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// The inputs as columns, one adjacent array per argument, then a column for
// the results.
template <std::size_t N>
std::vector<double> columns_of(const Inputs<N>& inputs) {
    const std::size_t count = inputs.size();
    std::vector<double> columns((N + 1) * count);
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t j = 0; j < N; ++j) {
            columns[j * count + i] = inputs[i][j];
        }
    }
    return columns;
}

// Runs `loop` over `count` elements with the output in column `output` (N:
// its own; j < N: in place of input j), and compares every result's bits
// with `scalar`'s.
template <std::size_t N, class Scalar>
bool same_elements(simd::StridedLoop loop, const Inputs<N>& inputs, Scalar scalar,
                   std::size_t output) {
    const std::size_t count = inputs.size();
    std::vector<double> columns = columns_of(inputs);
    std::array<char*, N + 1> args{};
    std::array<std::intptr_t, N + 1> steps{};
    for (std::size_t j = 0; j <= N; ++j) {
        args[j] = reinterpret_cast<char*>(columns.data() + (j == N ? output : j) * count);
        steps[j] = sizeof(double);
    }
    const auto dimension = static_cast<std::intptr_t>(count);
    loop(args.data(), &dimension, steps.data(), nullptr);
    for (std::size_t i = 0; i < count; ++i) {
        if (!same_bits(columns[output * count + i], std::apply(scalar, inputs[i]))) {
            return false;
        }
    }
    return true;
}

// Runs `loop` as numpy's reduce does (the accumulator, with step 0, is the
// first input and the output) and as its accumulate does (the output one
// element ahead of the first input), over the second inputs: each result
// must be the scalar function of the result before.
template <class Scalar>
bool same_chains(simd::StridedLoop loop, const Inputs<2>& inputs, Scalar scalar) {
    const std::size_t count = inputs.size();
    std::vector<double> columns = columns_of(inputs);
    double* second = columns.data() + count;
    double* accumulated = columns.data() + 2 * count;
    double reduced = inputs[0][0];
    accumulated[0] = reduced;
    const auto dimension = static_cast<std::intptr_t>(count - 1);
    constexpr auto adjacent = static_cast<std::intptr_t>(sizeof(double));
    std::array<char*, 3> reduce = {reinterpret_cast<char*>(&reduced),
                                   reinterpret_cast<char*>(second + 1),
                                   reinterpret_cast<char*>(&reduced)};
    std::array<std::intptr_t, 3> reduce_steps = {0, adjacent, 0};
    loop(reduce.data(), &dimension, reduce_steps.data(), nullptr);
    std::array<char*, 3> accumulate = {reinterpret_cast<char*>(accumulated),
                                       reinterpret_cast<char*>(second + 1),
                                       reinterpret_cast<char*>(accumulated + 1)};
    std::array<std::intptr_t, 3> accumulate_steps = {adjacent, adjacent, adjacent};
    loop(accumulate.data(), &dimension, accumulate_steps.data(), nullptr);
    double chain = inputs[0][0];
    for (std::size_t i = 1; i < count; ++i) {
        chain = scalar(chain, second[i]);
        if (!same_bits(accumulated[i], chain)) {
            return false;
        }
    }
    return same_bits(reduced, chain);
}

// `loop` against `scalar` in every layout that numpy hands a loop: the
// output apart from the inputs, in place of each input, and for two inputs
// as a reduction's accumulator.
template <std::size_t N, class Scalar>
bool same_results(simd::StridedLoop loop, const Inputs<N>& inputs, Scalar scalar) {
    for (std::size_t output = 0; output <= N; ++output) {
        if (!same_elements(loop, inputs, scalar, output)) {
            return false;
        }
    }
    if constexpr (N == 2) {
        return same_chains(loop, inputs, scalar);
    }
    return true;
}

// Runs the bins loop over rows of edges, c and k in each row from `shapes`,
// the edges alike in every row (step 0) and longer than a block, and
// compares every bin's bits with wbl_cdf's over its two edges.
bool same_bins(simd::StridedLoop loop, const Inputs<2>& shapes) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    std::vector<double> edges = {0.0, 5e-324};
    for (int i = 1; i <= 150; ++i) {
        edges.push_back(i * 0.2);
    }
    edges.insert(edges.end(), {inf, -2.0, std::numeric_limits<double>::quiet_NaN(), 7.5});
    const std::size_t rows = shapes.size();
    const std::size_t bins = edges.size() - 1;
    std::vector<double> c(rows);
    std::vector<double> k(rows);
    std::vector<double> out(rows * bins);
    for (std::size_t r = 0; r < rows; ++r) {
        c[r] = shapes[r][0];
        k[r] = shapes[r][1];
    }
    std::array<char*, 4> args = {
        reinterpret_cast<char*>(c.data()), reinterpret_cast<char*>(k.data()),
        reinterpret_cast<char*>(edges.data()), reinterpret_cast<char*>(out.data())};
    constexpr auto adjacent = static_cast<std::intptr_t>(sizeof(double));
    const std::array<std::intptr_t, 3> dimensions = {static_cast<std::intptr_t>(rows),
                                                     static_cast<std::intptr_t>(edges.size()),
                                                     static_cast<std::intptr_t>(bins)};
    const std::array<std::intptr_t, 6> steps = {
        adjacent, adjacent, 0, static_cast<std::intptr_t>(bins) * adjacent, adjacent, adjacent};
    loop(args.data(), dimensions.data(), steps.data(), nullptr);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t i = 0; i < bins; ++i) {
            if (!same_bits(out[r * bins + i], wbl_cdf(c[r], k[r], edges[i], edges[i + 1]))) {
                return false;
            }
        }
    }
    return true;
}

// The double `steps` units in the last place away from x (towards +inf for
// positive steps).
double ulps_away(double x, int steps) {
    for (; steps > 0; --steps)
        x = std::nextafter(x, std::numeric_limits<double>::infinity());
    for (; steps < 0; ++steps)
        x = std::nextafter(x, -std::numeric_limits<double>::infinity());
    return x;
}

// Around a branch boundary b: b and its neighbours, with both signs.
void around(std::vector<double>& into, double boundary) {
    for (int steps = -2; steps <= 2; ++steps) {
        into.push_back(ulps_away(boundary, steps));
        into.push_back(-ulps_away(boundary, steps));
    }
}

Inputs<1> exp_inputs() {
    std::vector<double> xs;
    // Every table index, each near both ends of the reduced argument's range
    // (k ln2/N +- 0.49 ln2/N), at exponents that move with the index.
    constexpr double ln2_n = 0.6931471805599453 / 128;
    for (int i = 0; i < 128; ++i) {
        const double k = i + 128 * (i % 9 - 4);
        xs.push_back((k + 0.49) * ln2_n);
        xs.push_back((k - 0.49) * ln2_n);
    }
    for (int j = -2000; j <= 2000; j += 16) {
        xs.push_back(j * 0.1234567890123);
    }
    for (const double boundary : {0x1p-54, 512.0, 708.0, 745.0}) {
        around(xs, boundary);
    }
    for (const double x :
         {0.0, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
        xs.push_back(x);
        xs.push_back(-x);
    }
    xs.insert(xs.end(), glibc::exp_fma_witnesses.begin(), glibc::exp_fma_witnesses.end());
    Inputs<1> inputs;
    for (const double x : xs) {
        inputs.push_back({x});
    }
    return inputs;
}

Inputs<2> pow_inputs() {
    Inputs<2> inputs;
    // Every subinterval of the log table: its ends and its middle, at
    // several scales and with several exponents in turn.
    constexpr int table_bits = 7;
    constexpr std::uint64_t width = std::uint64_t{1} << (52 - table_bits);
    constexpr std::array<double, 3> scales = {1.0, 0x1p5, 0x1p-9};
    constexpr std::array<double, 6> ys = {0.7, 1.5, 2.0, 2.9, -1.3, 37.5};
    std::size_t turn = 0;
    for (std::uint64_t i = 0; i < (1U << table_bits); ++i) {
        const std::uint64_t low = glibc::pow_log_off + i * width;
        for (const std::uint64_t at : {low, low + width / 2, low + width - 1}) {
            const double x = std::bit_cast<double>(at) * scales.at(turn % scales.size());
            inputs.push_back({x, ys.at(turn % ys.size())});
            ++turn;
        }
    }
    std::vector<double> boundaries;
    for (const double boundary : {0x1p-65, 0x1p63}) {
        around(boundaries, boundary);
    }
    for (const double y : boundaries) {
        inputs.push_back({2.5, y});
    }
    boundaries.clear();
    for (const double boundary : {0x1p-1022, 1.0, std::numeric_limits<double>::max()}) {
        around(boundaries, boundary);
    }
    for (const double x : boundaries) {
        inputs.push_back({x, 2.0});
        inputs.push_back({x, -3.0});
    }
    // y log(x) near the exp step's limits, 512 and 2^-54.
    for (int steps = -3; steps <= 3; ++steps) {
        inputs.push_back({2.718281828459045, ulps_away(512.0, steps)});
        inputs.push_back({2.718281828459045, ulps_away(-512.0, steps)});
        inputs.push_back({ulps_away(1.0, 1), ulps_away(0x1p-2, steps)});
    }
    for (std::size_t i = 0; i < glibc::pow_fma_witnesses.size(); i += 2) {
        inputs.push_back({glibc::pow_fma_witnesses.at(i), glibc::pow_fma_witnesses.at(i + 1)});
    }
    return inputs;
}

// The Weibull functions over the wind ranges and their edges.
Inputs<3> survival_inputs() {
    Inputs<3> inputs;
    for (const double c : {0.5, 7.3, 11.0, 0.0}) {
        for (const double k : {1.0, 1.8, 2.2, 3.5, 0.0, -2.0}) {
            for (int i = 0; i <= 6; ++i) {
                inputs.push_back({c, k, i * 4.75});
            }
        }
    }
    return inputs;
}

Inputs<2> shape_inputs() {
    Inputs<2> inputs;
    for (const double first : {1.0, 8.3}) {
        for (int i = -30; i <= 30; ++i) {
            inputs.push_back({first, i * 0.2});
        }
        for (const double k : {0.0059, 0.0001, -0.5, -1.0, std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN()}) {
            inputs.push_back({first, k});
        }
    }
    return inputs;
}

}  // namespace

bool serves_glibc(std::string_view version) {
    // "2.N" exactly: a development snapshot ("2.43.9000") is none of them.
    constexpr std::string_view major = "2.";
    if (!version.starts_with(major)) {
        return false;
    }
    int minor = 0;
    const char* end = version.data() + version.size();
    const auto [rest, error] = std::from_chars(version.data() + major.size(), end, minor);
    return error == std::errc{} && rest == end && oldest_glibc_minor <= minor &&
           minor <= newest_glibc_minor;
}

bool cpu_runs(LoopKind kind) {
    const Cpu found = cpu();
    return kind == LoopKind::plain || (kind == LoopKind::avx2 && found.avx2) ||
           (kind == LoopKind::avx512 && found.avx512);
}

bool agree_with_library(const simd::Loops& loops) {
    const Inputs<3> survival = survival_inputs();
    Inputs<4> intervals;
    for (const auto& [c, k, v] : survival) {
        intervals.push_back({c, k, v, v + 1.25});
    }
    const Inputs<2> shapes = shape_inputs();
    Inputs<2> scale_and_shape;
    for (const auto& [c, k, v] : survival) {
        if (v == 0.0) {
            scale_and_shape.push_back({c, k});
        }
    }
    return same_results(loops.exp, exp_inputs(), [](double x) { return ::exp(x); }) &&
           same_results(loops.pow, pow_inputs(), [](double x, double y) { return ::pow(x, y); }) &&
           same_results(loops.wbl_sf, survival, wbl_sf) &&
           same_results(loops.wbl_cdf, intervals, wbl_cdf) &&
           same_results(loops.v_k_2_c, shapes, v_k_2_c) &&
           same_results(loops.c_k_2_v, shapes, c_k_2_v) &&
           same_bins(loops.wbl_bins, scale_and_shape);
}

namespace {

LoopChoice choice_of(const simd::Loops& loops) {
    return {loops.name, loops.v_k_2_c, loops.c_k_2_v, loops.wbl_cdf, loops.wbl_sf, loops.wbl_bins};
}

constexpr LoopChoice plain_loops = {"plain",
                                    strided_loop<v_k_2_c>,
                                    strided_loop<c_k_2_v>,
                                    strided_loop<wbl_cdf>,
                                    strided_loop<wbl_sf>,
                                    bins_loop};

const simd::Loops* simd_loops_of(LoopKind kind) {
    return kind == LoopKind::avx512 ? simd::avx512_loops()
           : kind == LoopKind::avx2 ? simd::avx2_loops()
                                    : nullptr;
}

}  // namespace

std::optional<LoopChoice> unchecked_loops(LoopKind kind) {
    if (kind == LoopKind::plain) {
        return plain_loops;
    }
    const simd::Loops* loops = simd_loops_of(kind);
    if (loops == nullptr || !cpu_runs(kind)) {
        return std::nullopt;
    }
    return choice_of(*loops);
}

LoopChoice choose_loops(LoopKind widest) {
    if (tested_library()) {
        for (const LoopKind kind : {LoopKind::avx512, LoopKind::avx2}) {
            const simd::Loops* loops =
                kind <= widest && cpu_runs(kind) ? simd_loops_of(kind) : nullptr;
            if (loops != nullptr && agree_with_library(*loops)) {
                return choice_of(*loops);
            }
        }
    }
    return plain_loops;
}

}  // namespace vindral::weibull
