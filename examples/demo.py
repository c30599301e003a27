"""A short tour of vindral's three functions for one wind climate."""

import vindral

mean_speed, shape = 7.5, 2.1  # m/s, dimensionless

scale = vindral.v_k_2_c(mean_speed, shape)
print(f"mean speed {mean_speed} m/s with shape k = {shape} -> scale c = {scale:.6f} m/s")
print(f"and back: c_k_2_v(c, k) = {vindral.c_k_2_v(scale, shape):.6f} m/s")

print("\nprobability of each 1 m/s speed bin:")
total = 0.0
for lower in range(0, 26):
    probability = vindral.wbl_cdf(scale, shape, float(lower), float(lower + 1))
    total += probability
    print(f"  {lower:2d}-{lower + 1:2d} m/s  {probability:8.5f}  {'#' * round(200 * probability)}")
print(f"sum over 0-26 m/s: {total:.6f}")
