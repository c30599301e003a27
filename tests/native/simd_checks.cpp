// Comparisons of the SIMD loops with the C library and the scalar functions,
// bit for bit, at the scale of billions of values: inputs drawn here, in
// chunks of every length and layout (adjacent, misaligned, strided, reversed,
// broadcast), by region: random bit patterns, the wind ranges, and the hard
// regions of each function mixed with ordinary values in the same vectors.
#include "simd_checks.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "weibull/libm_versions.hpp"
#include "weibull/weibull.hpp"

namespace vindral::testing {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// splitmix64: fast, and the same sequence on every platform.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    }
    double uniform(double low, double high) {
        return low + (high - low) * static_cast<double>(next() >> 11) * 0x1p-53;
    }
    int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
    double bits() { return std::bit_cast<double>(next()); }
    // x moved by up to `ulps` units in the last place either way.
    double near(double x, int ulps) {
        const int steps = below(2 * ulps + 1) - ulps;
        auto b = std::bit_cast<std::uint64_t>(x);
        b += static_cast<std::uint64_t>(static_cast<std::int64_t>(steps));
        return std::bit_cast<double>(b);
    }
    template <class T, std::size_t N>
    T pick(const std::array<T, N>& from) {
        return from[static_cast<std::size_t>(below(static_cast<int>(N)))];
    }

private:
    std::uint64_t state_;
};

// ---- What each function is fed --------------------------------------------------

constexpr std::array<double, 8> specials = {0.0, -0.0, inf, -inf, nan, -nan, 0x1p-1074, -1.0};

double hard_exp_argument(Random& random) {
    switch (random.below(8)) {
        case 0:
            return random.near(random.pick(std::array{512.0, -512.0, 0x1p-54, -0x1p-54}), 4000);
        case 1:
            return random.near(
                random.pick(std::array{709.782712893384, -708.3964185322641, -745.1332191019411}),
                4000);
        case 2:
            return random.uniform(-745.2, -708.3);  // subnormal results
        case 3:
            return random.uniform(-0x1p-50, 0x1p-50);
        case 4:
            return random.near(random.below(1 << 15) * (0.6931471805599453 / 256) - 64.0, 3);
        case 5:
            return random.pick(specials);
        case 6:
            return random.uniform(-1100.0, 1100.0);
        default:
            return random.uniform(-40.0, 0.0);
    }
}

std::array<double, 2> hard_pow_arguments(Random& random) {
    const double y_integral = random.below(101) - 50.0;
    switch (random.below(9)) {
        case 0:
            return {random.near(1.0, 2000), random.uniform(-5e3, 5e3)};
        case 1:
            return {random.uniform(0.01, 8.0), y_integral + 0.5 * random.below(2)};
        case 2:
            return {-random.uniform(0.0, 8.0),
                    random.below(2) == 0 ? y_integral : random.uniform(-4, 4)};
        case 3:
            return {random.pick(specials), random.uniform(-4.0, 4.0)};
        case 4:
            return {random.uniform(0.01, 8.0), random.pick(specials)};
        case 5:
            return {random.uniform(0.01, 8.0),
                    random.near(random.pick(std::array{0x1p-65, -0x1p-65, 0x1p63, -0x1p63}), 4)};
        case 6: {  // y log(x) near 512 or 2^-54
            const double x = random.uniform(1.5, 8.0);
            const double target = random.pick(std::array{512.0, -512.0, 0x1p-54, 745.0});
            return {x, random.near(target / std::log(x), 3)};
        }
        case 7:
            return {std::bit_cast<double>(random.next() & 0x000fffffffffffff),
                    random.uniform(0.5, 4.0)};  // subnormal x
        default:
            return {std::bit_cast<double>(0x3fe6955500000000 + (random.next() >> 12)) *
                        std::ldexp(1.0, random.below(61) - 30),
                    random.uniform(-4.0, 4.0)};  // every log subinterval
    }
}

double hard_shape(Random& random) {
    switch (random.below(6)) {
        case 0:
            return random.near(random.pick(std::array{-1.0, -2.0, -0.5, 0.005926, -0.005926}),
                               2000);
        case 1:
            return random.uniform(-3.0, 0.0);  // reflection branch and poles
        case 2:
            return random.pick(specials);
        case 3:
            return random.uniform(0.0, 0.01);  // gamma overflows
        case 4:
            return static_cast<double>(random.below(11) - 5);
        default:
            return random.uniform(0.5, 6.0);
    }
}

double hard_speed(Random& random) {
    switch (random.below(4)) {
        case 0:
            return random.pick(specials);
        case 1:
            return -random.uniform(0.0, 30.0);
        case 2:
            return random.uniform(0.0, 1e3);
        default:
            return random.uniform(0.0, 35.0);
    }
}

// One element's arguments (the first `arity` entries).
std::array<double, 4> draw(Function function, Region region, Random& random) {
    if (region == Region::bits) {
        return {random.bits(), random.bits(), random.bits(), random.bits()};
    }
    const bool wind = region == Region::wind || random.below(2) == 0;  // hard: mixed
    switch (function) {
        case Function::exp:
            // -(v/c)^k: the survival term's argument.
            return {wind ? random.uniform(-80.0, 0.0) : hard_exp_argument(random)};
        case Function::pow:
            if (wind) {
                return {random.uniform(0.0, 8.0), random.uniform(1.0, 4.0)};
            } else {
                const std::array<double, 2> hard = hard_pow_arguments(random);
                return {hard[0], hard[1]};
            }
        case Function::v_k_2_c:
        case Function::c_k_2_v:
            if (wind) {
                return {random.uniform(3.0, 12.0), random.uniform(0.8, 5.0)};
            }
            return {hard_speed(random), hard_shape(random)};
        case Function::wbl_sf:
        case Function::wbl_cdf:
            if (wind) {
                const double v = random.uniform(0.0, 35.0);
                return {random.uniform(2.0, 15.0), random.uniform(1.0, 4.0), v,
                        v + random.uniform(0.0, 2.0)};
            }
            return {hard_speed(random), hard_shape(random), hard_speed(random), hard_speed(random)};
    }
    return {};
}

double scalar(Function function, const std::array<double, 4>& a) {
    switch (function) {
        case Function::exp:
            return ::exp(a[0]);
        case Function::pow:
            return ::pow(a[0], a[1]);
        case Function::v_k_2_c:
            return weibull::v_k_2_c(a[0], a[1]);
        case Function::c_k_2_v:
            return weibull::c_k_2_v(a[0], a[1]);
        case Function::wbl_sf:
            return weibull::wbl_sf(a[0], a[1], a[2]);
        case Function::wbl_cdf:
            return weibull::wbl_cdf(a[0], a[1], a[2], a[3]);
    }
    return nan;
}

std::size_t arity(Function function) {
    switch (function) {
        case Function::exp:
            return 1;
        case Function::pow:
        case Function::v_k_2_c:
        case Function::c_k_2_v:
            return 2;
        case Function::wbl_sf:
            return 3;
        case Function::wbl_cdf:
            return 4;
    }
    return 0;
}

weibull::simd::StridedLoop loop_of(const weibull::simd::Loops& loops, Function function) {
    switch (function) {
        case Function::exp:
            return loops.exp;
        case Function::pow:
            return loops.pow;
        case Function::v_k_2_c:
            return loops.v_k_2_c;
        case Function::c_k_2_v:
            return loops.c_k_2_v;
        case Function::wbl_sf:
            return loops.wbl_sf;
        case Function::wbl_cdf:
            return loops.wbl_cdf;
    }
    return nullptr;
}

// ---- Layouts ------------------------------------------------------------------------

// An operand's elements in a byte buffer: `step` bytes apart (negative:
// backwards from the end, 0: one element for all), starting `offset` bytes
// into the buffer (misaligned when not a multiple of 8).
struct Operand {
    std::vector<unsigned char> bytes;
    std::intptr_t step = sizeof(double);
    std::size_t first = 0;

    void lay_out(std::size_t count, std::intptr_t step_, std::size_t offset) {
        step = step_;
        const std::size_t span = step == 0 ? 8 : count * static_cast<std::size_t>(std::abs(step));
        bytes.assign(span + offset + 8, 0);
        first = offset + (step < 0 ? span - static_cast<std::size_t>(-step) : 0);
    }
    char* at(std::size_t i) {
        return reinterpret_cast<char*>(bytes.data() + first) + static_cast<std::intptr_t>(i) * step;
    }
    void set(std::size_t i, double value) { std::memcpy(at(i), &value, sizeof value); }
    double get(std::size_t i) {
        double value = 0.0;
        std::memcpy(&value, at(i), sizeof value);
        return value;
    }
};

// One chunk of drawn arguments laid out in the operands; the layout is
// random per operand when `odd_layout` (a result is never broadcast).
void lay_out(std::array<Operand, 5>& operands, std::vector<std::array<double, 4>>& arguments,
             std::size_t n_inputs, bool odd_layout, Random& random) {
    const std::size_t length = arguments.size();
    for (std::size_t j = 0; j <= n_inputs; ++j) {
        std::intptr_t step = sizeof(double);
        std::size_t offset = 0;
        if (odd_layout) {
            step = random.pick(std::array<std::intptr_t, 5>{8, 16, 24, -8, j < n_inputs ? 0 : 8});
            offset = random.below(2) == 0 ? 0 : static_cast<std::size_t>(random.below(8));
        }
        operands[j].lay_out(length, step, offset);
        if (step == 0) {
            for (auto& args : arguments) {
                args[j] = arguments[0][j];  // one value for every element
            }
        }
    }
    for (std::size_t i = 0; i < length; ++i) {
        for (std::size_t j = 0; j < n_inputs; ++j) {
            operands[j].set(operands[j].step == 0 ? 0 : i, arguments[i][j]);
        }
    }
}

void count_mismatches(Function function, const std::vector<std::array<double, 4>>& arguments,
                      Operand& results, Comparison& result) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const double got = results.get(i);
        const double expected = scalar(function, arguments[i]);
        if (std::bit_cast<std::uint64_t>(got) != std::bit_cast<std::uint64_t>(expected) &&
            result.mismatched++ == 0) {
            result.first_arguments = arguments[i];
            result.first_got = got;
            result.first_expected = expected;
        }
    }
    result.compared += arguments.size();
}

}  // namespace

Comparison compare_with_library(const weibull::simd::Loops& loops, Function function, Region region,
                                std::uint64_t count, std::uint64_t seed) {
    Random random(seed);
    const std::size_t n_inputs = arity(function);
    const weibull::simd::StridedLoop loop = loop_of(loops, function);
    std::array<Operand, 5> operands;
    std::vector<std::array<double, 4>> arguments;
    Comparison result;
    while (result.compared < count) {
        // Mostly long adjacent chunks; one in eight of every length up to
        // four vectors and three more, in a random layout per operand.
        const bool odd_layout = random.below(8) == 0;
        arguments.resize(odd_layout ? 1 + static_cast<std::size_t>(random.below(35)) : 4096);
        for (auto& args : arguments) {
            args = draw(function, region, random);
        }
        lay_out(operands, arguments, n_inputs, odd_layout, random);
        std::array<char*, 5> args{};
        std::array<std::intptr_t, 5> steps{};
        for (std::size_t j = 0; j <= n_inputs; ++j) {
            args[j] = operands[j].at(0);
            steps[j] = operands[j].step;
        }
        const auto dimension = static_cast<std::intptr_t>(arguments.size());
        loop(args.data(), &dimension, steps.data(), nullptr);
        count_mismatches(function, arguments, operands[n_inputs], result);
    }
    return result;
}

}  // namespace vindral::testing
