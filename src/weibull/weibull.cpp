// The last bit of every result is part of the contract, so each expression
// below is written in the exact order in which it must be rounded. The build
// forbids contraction into fused multiply-adds (-ffp-contract=off) and any
// fast-math reassociation; do not "simplify" these lines.
#include "weibull/weibull.hpp"

#include <array>
#include <cmath>

// On Linux, bind pow and exp to their oldest versions, which every glibc from
// 2.17 on has, so that the module loads on the oldest systems the wheels
// serve. Since glibc 2.28 both versions compute with the same code; the old
// ones only also report errors through errno, which nothing here reads.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pow,pow@GLIBC_2.2.5");
__asm__(".symver exp,exp@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pow,pow@GLIBC_2.17");
__asm__(".symver exp,exp@GLIBC_2.17");
#endif

namespace vindral::weibull {
namespace {

constexpr double lanczos_r = 10.900511;
constexpr std::array<double, 11> lanczos_d = {
    2.4857408913875355e-05, 1.0514237858172197,    -3.4568709722201625,     4.512277094668948,
    -2.9828522532357664,    1.056397115771267,     -0.19542877319164587,    0.01709705434044412,
    -0.0005719261174043057, 4.633994733599057e-06, -2.7199490848860772e-09,
};
constexpr double e = 2.718281828459045;
constexpr double pi = 3.141592653589793;
// 2 * sqrt(e / pi), stored rather than computed so that it cannot drift.
constexpr double scale_factor = 1.8603827342052657;

// Gamma(1 + 1/k), shared by both conversions between mean speed and scale.
double gamma_of_shape(double k) noexcept {
    const double x = 1.0 + (1.0 / k);
    return gamma(x);
}

}  // namespace

double gamma(double x) noexcept {
    if (0.5 > x) {
        // Reflection branch. NaN fails the test above and goes direct.
        double s = lanczos_d[0];
        for (int i = 1; i <= 10; ++i) {
            s = s + lanczos_d[i] / (static_cast<double>(i) - x);
        }
        double a = std::sin(pi * x);
        a = a * s;
        a = a * scale_factor;
        const double base = ((0.5 - x) + lanczos_r) / e;
        const double exponent = 0.5 - x;
        const double q = std::pow(base, exponent);
        return pi / (a * q);
    }
    double s = lanczos_d[0];
    for (int i = 1; i <= 10; ++i) {
        s = s + lanczos_d[i] / ((x + static_cast<double>(i)) - 1.0);
    }
    const double t = s * scale_factor;
    const double base = ((x - 0.5) + lanczos_r) / e;
    const double exponent = x - 0.5;
    const double q = std::pow(base, exponent);
    return t * q;
}

double v_k_2_c(double v, double k) noexcept { return v / gamma_of_shape(k); }

double c_k_2_v(double c, double k) noexcept { return c * gamma_of_shape(k); }

double wbl_sf(double c, double k, double v) noexcept {
    // The quotient, then pow, then the product with -1.0, then exp.
    return std::exp(-1.0 * std::pow(v / c, k));
}

double wbl_cdf(double c, double k, double v1, double v2) noexcept {
    const double p1 = wbl_sf(c, k, v1);
    const double p2 = wbl_sf(c, k, v2);
    return p1 - p2;
}

}  // namespace vindral::weibull
