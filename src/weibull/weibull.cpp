// The Weibull functions, each expression written in the exact order in which
// it must be rounded.
//
// The last bit of every result is part of the contract. The build forbids
// contraction into fused multiply-adds (-ffp-contract=off) and any fast-math
// reassociation; do not "simplify" these lines.
#include "weibull/weibull.hpp"

#include <cmath>

#include "weibull/lanczos.hpp"
#include "weibull/libm_versions.hpp"

namespace vindral::weibull {
namespace {

using lanczos::d;
using lanczos::e;
using lanczos::pi;
using lanczos::scale_factor;

// Gamma(1 + 1/k), shared by both conversions between mean speed and scale.
double gamma_of_shape(double k) noexcept {
    const double x = 1.0 + (1.0 / k);
    return gamma(x);
}

}  // namespace

double gamma(double x) noexcept {
    if (0.5 > x) {
        // Reflection branch. NaN fails the test above and goes direct.
        double s = d[0];
        for (int i = 1; i <= 10; ++i) {
            s = s + d[i] / (static_cast<double>(i) - x);
        }
        double a = std::sin(pi * x);
        a = a * s;
        a = a * scale_factor;
        const double base = ((0.5 - x) + lanczos::r) / e;
        const double exponent = 0.5 - x;
        const double q = std::pow(base, exponent);
        return pi / (a * q);
    }
    double s = d[0];
    for (int i = 1; i <= 10; ++i) {
        s = s + d[i] / ((x + static_cast<double>(i)) - 1.0);
    }
    const double t = s * scale_factor;
    const double base = ((x - 0.5) + lanczos::r) / e;
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
