"""The arithmetic, bit for bit: fixed values and an independent model."""

import math

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import vindral
import weibull_model as model
from conftest import fuzz_examples, glibc_only
from weibull_model import same_double

inf, nan = math.inf, math.nan

# (function, arguments, result) on this machine's C library.
KNOWN_RESULTS = [
    (vindral.v_k_2_c, (8.0, 2.0), 9.027033336764084),
    (vindral.v_k_2_c, (10.0, 2.0), 11.283791670955106),
    (vindral.c_k_2_v, (10.0, 2.0), 8.862269254527597),
    (vindral.v_k_2_c, (7.0, 2.0), 7.898654169668574),
    (vindral.v_k_2_c, (10.0, 1.0), 10.0),
    (vindral.c_k_2_v, (10.0, 1.0), 10.0),
    (vindral.c_k_2_v, (7.898654169668588, 2.0), 7.000000000000012),
    # k = 0: Gamma(+inf) = +inf.
    (vindral.v_k_2_c, (10.0, 0.0), 0.0),
    (vindral.c_k_2_v, (10.0, 0.0), inf),
    # k = +-inf: Gamma(1) is 0.9999999999999996, not 1.
    (vindral.c_k_2_v, (10.0, inf), 9.999999999999996),
    (vindral.v_k_2_c, (10.0, inf), 10.000000000000005),
    (vindral.c_k_2_v, (10.0, -inf), 9.999999999999996),
    # The power term overflows long before the true gamma function does.
    (vindral.c_k_2_v, (10.0, 0.001), inf),
    (vindral.v_k_2_c, (10.0, 0.001), 0.0),
    (vindral.c_k_2_v, (10.0, 0.0059), inf),
    # k = -1: x = +0.0, the reflection branch divides by a zero product.
    (vindral.v_k_2_c, (10.0, -1.0), 0.0),
    (vindral.c_k_2_v, (10.0, -1.0), inf),
    # k = -2: x = 0.5 takes the direct branch.
    (vindral.v_k_2_c, (10.0, -2.0), 5.6418958354775635),
    # k = -0.5: x = -1.0, sin(-pi) is tiny but not zero, so the result is finite.
    (vindral.c_k_2_v, (10.0, -0.5), -2.565305078800755e17),
    (vindral.wbl_cdf, (10.0, 2.0, 0.0, 5.0), 0.22119921692859512),
    (vindral.wbl_cdf, (10.0, 2.0, 5.0, 10.0), 0.41092134189996254),
    (vindral.wbl_cdf, (8.0, 2.0, 3.0, 4.0), 0.09001427319143829),
    (vindral.wbl_cdf, (10.0, 2.0, 0.0, inf), 1.0),
    (vindral.wbl_cdf, (10.0, 2.0, 5.0, 5.0), 0.0),
    (vindral.wbl_cdf, (10.0, 2.0, 10.0, 5.0), -0.41092134189996254),
    (vindral.wbl_cdf, (10.0, 2.0, -5.0, 5.0), 0.0),
    # k = 0: pow(y, 0) is 1 for every y, NaN included.
    (vindral.wbl_cdf, (10.0, 0.0, 3.0, nan), 0.0),
    (vindral.wbl_cdf, (0.0, 2.0, 0.0, 5.0), nan),
    (vindral.wbl_cdf, (10.0, 2.5, -5.0, 5.0), nan),
    (vindral.v_k_2_c, (nan, 2.0), nan),
    (vindral.v_k_2_c, (10.0, nan), nan),
    (vindral.c_k_2_v, (10.0, nan), nan),
]


@glibc_only
@pytest.mark.parametrize("function, args, expected", KNOWN_RESULTS)
def test_known_results_to_the_last_bit(function, args, expected):
    result = function(*args)
    assert type(result) is float
    assert same_double(result, expected), (function.__name__, args, result, expected)


@pytest.mark.parametrize(
    "x, expected",
    [(2.0, 1.0), (1.0, 0.9999999999999996), (0.5, 1.7724538509055159), (1.5, 0.8862269254527596)],
)
@glibc_only
def test_model_gamma_matches_the_published_values(x, expected):
    # The model is only a valid referee if it reproduces the fixed values.
    assert same_double(model.gamma(x), expected)


def test_gamma_at_signed_zero_is_signed_infinity():
    assert model.gamma(0.0) == inf and model.gamma(-0.0) == -inf
    # x = 1 + 1/k is +0.0 for k = -1; -0.0 cannot arise from 1 + 1/k.
    assert vindral.c_k_2_v(1.0, -1.0) == inf


def test_round_trip_uses_the_same_gamma_both_ways():
    assert vindral.c_k_2_v(vindral.v_k_2_c(7.0, 2.0), 2.0) == 7.0


def test_negative_integer_gamma_arguments_stay_finite():
    # x = 1 + 1/k = -2 for k = -1/3: sin(-2 pi) is tiny, not zero.
    result = vindral.c_k_2_v(1.0, -1.0 / 3.0)
    assert math.isfinite(result) and abs(result) > 1e13
    assert same_double(result, model.c_k_2_v(1.0, -1.0 / 3.0))


SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 2.0, inf, -inf, nan, 5e-324, 1.7976931348623157e308]
any_double = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from(SPECIAL)
# Shapes where the gamma function does interesting things: both branches,
# poles, the overflow threshold near x = 169.7467.
shape = any_double | st.floats(-5.0, 5.0) | st.floats(0.0058, 0.0061)


@settings(max_examples=fuzz_examples(3000), deadline=None)
@given(v=any_double, k=shape)
@example(v=10.0, k=-0.5)
@example(v=1.0, k=1.0 / 168.7467)
def test_v_k_2_c_and_c_k_2_v_match_the_model(v, k):
    assert same_double(vindral.v_k_2_c(v, k), model.v_k_2_c(v, k))
    assert same_double(vindral.c_k_2_v(v, k), model.c_k_2_v(v, k))


@settings(max_examples=fuzz_examples(3000), deadline=None)
@given(c=any_double, k=shape, v1=any_double, v2=any_double)
def test_wbl_cdf_matches_the_model(c, k, v1, v2):
    assert same_double(vindral.wbl_cdf(c, k, v1, v2), model.wbl_cdf(c, k, v1, v2))


@settings(max_examples=fuzz_examples(500), deadline=None)
@given(
    c=st.floats(0.5, 30.0), k=st.floats(0.5, 6.0), v1=st.floats(0.0, 40.0), v2=st.floats(0.0, 40.0)
)
def test_wbl_cdf_is_a_probability_that_swapping_bounds_negates(c, k, v1, v2):
    forward = vindral.wbl_cdf(c, k, v1, v2)
    assert -1.0 <= forward <= 1.0
    assert vindral.wbl_cdf(c, k, v2, v1) == -forward
