"""vindral's Weibull wind-speed functions as numpy ufuncs.

Each is a ``numpy.ufunc`` with one float64 loop: numpy's casting rules bring
ints, bools and float32 to float64, and broadcasting, ``out=``, ``where=``,
strides, 0-d and empty arrays work as for any ufunc. Every element is the
result of the scalar function of the same name in ``vindral`` on the same
doubles, to the last bit. numpy's floating-point error handling applies
(``numpy.errstate``).
"""

from typing import Literal

import numpy as np

__all__ = ["v_k_2_c", "c_k_2_v", "wbl_cdf", "wbl_sf", "wbl_bins"]

loop: Literal["avx512", "avx2", "plain"]
"""The inner loops in use, chosen at import.

``"avx512"`` or ``"avx2"``: SIMD lanes, where they are shown to give the
scalar functions' results (x86_64 with glibc 2.31 to 2.43, whose FMA build of
exp and pow is in use); ``"plain"``: one element at a time.
``VINDRAL_UFUNC_LOOP=plain`` (or ``avx2``) caps the choice.
"""

v_k_2_c: np.ufunc
"""``v_k_2_c(v, k)``, the Weibull scale ``v / Γ(1 + 1/k)`` per element."""

c_k_2_v: np.ufunc
"""``c_k_2_v(c, k)``, the mean wind speed ``c · Γ(1 + 1/k)`` per element."""

wbl_cdf: np.ufunc
"""``wbl_cdf(c, k, v1, v2)``, the probability ``exp(-(v1/c)^k) - exp(-(v2/c)^k)`` per element."""

wbl_sf: np.ufunc
"""``wbl_sf(c, k, v)``, the survival term ``exp(-(v/c)^k)`` per element.

Rounded as each term of ``wbl_cdf``: over bin edges ``e``,
``wbl_sf(c, k, e[:-1]) - wbl_sf(c, k, e[1:])`` equals ``wbl_cdf`` bit for bit.
"""

wbl_bins: np.ufunc
"""``wbl_bins(c, k, edges)``, the probabilities of the bins between adjacent edges.

A generalized ufunc with signature ``(),(),(n)->(m)``: edges of shape
``(..., n)`` give bins of shape ``(..., n - 1)`` (none for fewer than two
edges), ``c`` and ``k`` broadcast against the rows of edges, and bin ``i`` is
``wbl_cdf(c, k, edges[..., i], edges[..., i + 1])`` to the last bit, each
edge's term computed once. Edges out of order give negated probabilities.
``out=`` must have ``n - 1`` bins. With numpy before 2.1, which cannot size a
generalized ufunc's output by its inputs, ``wbl_bins`` is a function
``wbl_bins(c, k, edges, *, out=None)`` that makes the output and runs the
generalized ufunc into it.
"""
