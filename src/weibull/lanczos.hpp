// The constants of the gamma function's Lanczos approximation.
#pragma once

#include <array>

namespace vindral::weibull::lanczos {

inline constexpr double r = 10.900511;
// The coefficients d0 ... d10, used in index order.
inline constexpr std::array<double, 11> d = {
    2.4857408913875355e-05, 1.0514237858172197,    -3.4568709722201625,     4.512277094668948,
    -2.9828522532357664,    1.056397115771267,     -0.19542877319164587,    0.01709705434044412,
    -0.0005719261174043057, 4.633994733599057e-06, -2.7199490848860772e-09,
};
inline constexpr double e = 2.718281828459045;
inline constexpr double pi = 3.141592653589793;
// 2 * sqrt(e / pi), stored rather than computed so that it cannot drift.
inline constexpr double scale_factor = 1.8603827342052657;

}  // namespace vindral::weibull::lanczos
