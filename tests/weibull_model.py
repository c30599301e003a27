"""An independent model of vindral's arithmetic, in Python.

Python floats are IEEE 754 doubles whose +, - and * round exactly like C's;
only division by zero raises, so `div` supplies the IEEE result there.
pow, exp and sin come straight from the C mathematics library (Python's own
math.pow and math.exp check domains and raise instead).
"""

import ctypes
import ctypes.util
import math
import struct

# The C library's mathematics: libm, or the universal C runtime on Windows.
_libm = ctypes.CDLL(ctypes.util.find_library("m") or "ucrtbase")
for _name, _arity in (("pow", 2), ("exp", 1), ("sin", 1)):
    _fn = getattr(_libm, _name)
    _fn.restype = ctypes.c_double
    _fn.argtypes = [ctypes.c_double] * _arity
c_pow, c_exp, c_sin = _libm.pow, _libm.exp, _libm.sin

R = 10.900511
D = [
    2.4857408913875355e-05,
    1.0514237858172197,
    -3.4568709722201625,
    4.512277094668948,
    -2.9828522532357664,
    1.056397115771267,
    -0.19542877319164587,
    0.01709705434044412,
    -0.0005719261174043057,
    4.633994733599057e-06,
    -2.7199490848860772e-09,
]
E = 2.718281828459045
PI = 3.141592653589793
SCALE = 1.8603827342052657


def div(a, b):
    if b != 0.0 or math.isnan(b):
        return a / b
    if a == 0.0 or math.isnan(a):
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def gamma(x):
    if x < 0.5:
        s = D[0]
        for i in range(1, 11):
            s = s + div(D[i], float(i) - x)
        a = c_sin(PI * x)
        a = a * s
        a = a * SCALE
        q = c_pow(div((0.5 - x) + R, E), 0.5 - x)
        return div(PI, a * q)
    s = D[0]
    for i in range(1, 11):
        s = s + div(D[i], (x + float(i)) - 1.0)
    t = s * SCALE
    q = c_pow(div((x - 0.5) + R, E), x - 0.5)
    return t * q


def v_k_2_c(v, k):
    return div(v, gamma(1.0 + div(1.0, k)))


def c_k_2_v(c, k):
    return c * gamma(1.0 + div(1.0, k))


def wbl_sf(c, k, v):
    return c_exp(-1.0 * c_pow(div(v, c), k))


def wbl_cdf(c, k, v1, v2):
    p1 = c_exp(-1.0 * c_pow(div(v1, c), k))
    p2 = c_exp(-1.0 * c_pow(div(v2, c), k))
    return p1 - p2


def same_double(a, b):
    """Equal to the last bit; any two NaNs count as the same result."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return struct.pack("<d", a) == struct.pack("<d", b)
