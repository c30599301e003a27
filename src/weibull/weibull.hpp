// Weibull wind-speed statistics: pure arithmetic on doubles.
//
// Nothing in this folder knows about the interpreter. Every function is total:
// NaN, infinities and out-of-domain values go through the IEEE 754 rules and
// the C mathematics library, and the result is whatever those give.
#pragma once

namespace vindral::weibull {

// Gamma function by a fixed Lanczos approximation (r = 10.900511, 11 terms).
double gamma(double x) noexcept;

// Scale parameter c of the Weibull distribution with mean speed v and shape k.
double v_k_2_c(double v, double k) noexcept;

// Mean wind speed of the Weibull distribution with scale c and shape k.
double c_k_2_v(double c, double k) noexcept;

// Probability that a speed lies between v1 and v2: F(v2) - F(v1), where
// F(x) = 1 - exp(-(x/c)^k). With v1 > v2 the result is negative.
double wbl_cdf(double c, double k, double v1, double v2) noexcept;

// Survival term exp(-(v/c)^k) = 1 - F(v), rounded exactly as each of the two
// terms of wbl_cdf: wbl_sf(c, k, v1) - wbl_sf(c, k, v2) == wbl_cdf(c, k, v1, v2)
// bit for bit.
double wbl_sf(double c, double k, double v) noexcept;

}  // namespace vindral::weibull
