"""Differential fuzzing: vindral against an executable model, and against the interpreter."""

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import binding_model
import vindral
import weibull_model
from conftest import PYPY, call_with_dict, fuzz_examples, not_on_pypy
from weibull_model import same_double

# Keys and values whose str() fails report to the unraisable hook.
pytestmark = [pytest.mark.usefixtures("quiet_unraisable"), pytest.mark.long]


COMPUTE = {
    "v_k_2_c": weibull_model.v_k_2_c,
    "c_k_2_v": weibull_model.c_k_2_v,
    "wbl_cdf": weibull_model.wbl_cdf,
}


class Name(str):
    """A str subclass: binds by its text like any str."""


class Unprintable:
    def __hash__(self):
        return 11

    def __str__(self):
        raise RuntimeError("no text")


ALL_NAMES = ["v", "k", "c", "v1", "v2"]
keys = st.one_of(
    st.sampled_from(ALL_NAMES),  # right for some functions, unexpected for others
    st.sampled_from(["K", "V", "v ", " k", "vv", "v3", "c2", "k\x00", "kk", ""]),  # near misses
    st.sampled_from(["\u00e9", "\u03ba", "v\u0301", "\U0001d4cf", "\u212a"]),  # non-ASCII
    st.sampled_from(["\ud800", "k\udc80", "\udfff\ud800"]),  # lone surrogates
    st.builds(Name, st.sampled_from([*ALL_NAMES, "x"])),  # str subclasses
    st.text(max_size=4),
)
non_str_keys = st.sampled_from([1, 2.5, None, b"k", ("k",), Unprintable()])
numbers = st.floats(allow_nan=False, allow_infinity=False, min_value=-1e6, max_value=1e6)


@st.composite
def calls(draw, allow_non_str_keys):
    function = draw(st.sampled_from(sorted(binding_model.PARAMETERS)))
    args = tuple(draw(st.lists(numbers, max_size=6)))
    key_strategy = st.one_of(keys, non_str_keys) if allow_non_str_keys else keys
    kwargs = {}
    for key in draw(st.lists(key_strategy, max_size=5)):
        kwargs[key] = draw(numbers)
    return function, args, kwargs


def expected_outcome(function, args, kwargs):
    try:
        slots = binding_model.bind(function, args, kwargs)
    except binding_model.BindingError as error:
        return ("TypeError", str(error))
    return ("ok", COMPUTE[function](*[float(slot) for slot in slots]))


def actual_outcome(call):
    try:
        return ("ok", call())
    except TypeError as error:  # a subclass would show in the name
        return (type(error).__name__, str(error))


def assert_same(actual, expected):
    assert actual[0] == expected[0], (actual, expected)
    if actual[0] == "ok":
        assert same_double(actual[1], expected[1]), (actual, expected)
    else:
        assert actual[1] == expected[1]


@settings(max_examples=fuzz_examples(1500), deadline=None)
# PyPy refuses keys that are not str before vindral sees the dictionary.
@given(calls(allow_non_str_keys=not PYPY))
def test_call_shapes_match_the_binding_model(call):
    function, args, kwargs = call
    actual = actual_outcome(lambda: call_with_dict(getattr(vindral, function), args, kwargs))
    assert_same(actual, expected_outcome(function, args, kwargs))


@settings(max_examples=fuzz_examples(1000), deadline=None)
@given(calls(allow_non_str_keys=False))
def test_python_level_calls_match_the_binding_model(call):
    function, args, kwargs = call
    actual = actual_outcome(lambda: getattr(vindral, function)(*args, **kwargs))
    assert_same(actual, expected_outcome(function, args, kwargs))


# Python functions with the same parameters, bound by the interpreter itself.
def v_k_2_c(v, k):
    return (v, k)


def c_k_2_v(c, k):
    return (c, k)


def wbl_cdf(c, k, v1, v2):
    return (c, k, v1, v2)


PYTHON_TWINS = {"v_k_2_c": v_k_2_c, "c_k_2_v": c_k_2_v, "wbl_cdf": wbl_cdf}


def interpreter_message(function, args, kwargs):
    try:
        PYTHON_TWINS[function](*args, **kwargs)
    except TypeError as error:
        # Newer interpreters append a suggestion ("Did you mean ...?").
        return str(error).split(". Did you mean")[0]
    return None


@not_on_pypy("words its binding errors unlike CPython, whose wording vindral's follow")
@settings(
    max_examples=fuzz_examples(1000),
    deadline=None,
    suppress_health_check=[HealthCheck.filter_too_much],
)
@given(calls(allow_non_str_keys=False))
def test_binding_messages_match_the_interpreters_own(call):
    function, args, kwargs = call
    # The interpreter checks keywords before surplus positionals; vindral
    # checks surplus positionals first. Elsewhere the order is the same.
    assume(not (len(args) > len(binding_model.PARAMETERS[function]) and kwargs))
    # The interpreter shows a lone surrogate as itself, vindral as U+FFFD.
    assume(all(binding_model.keyword_text(key) is not None for key in kwargs))
    expected = interpreter_message(function, args, kwargs)
    try:
        getattr(vindral, function)(*args, **kwargs)
        actual = None
    except TypeError as error:
        actual = str(error)
    assert actual == expected


# ---- Conversion of argument objects -----------------------------------------


class Convertible:
    """An object whose __float__ or __index__ does something chosen by the test."""

    def __init__(self, method, behaviour):
        self.method, self.behaviour = method, behaviour

    def __repr__(self):
        return f"Convertible({self.method}, {self.behaviour!r})"


def make_method(behaviour):
    kind, payload = behaviour
    if kind == "return":
        return lambda self: payload
    if kind == "raise":

        def raising(self):
            error = payload[0](*payload[1:])
            if payload[0] is TypeError:
                raise error from KeyError("the cause")
            raise error

        return raising
    raise AssertionError(kind)


class MyTypeError(TypeError):
    pass


class FloatSubclass(float):
    pass


class IntSubclass(int):
    pass


returns = st.one_of(
    st.floats(),
    st.integers(),
    st.builds(FloatSubclass, st.floats()),
    st.builds(IntSubclass, st.integers()),
    st.integers(min_value=2**1024, max_value=2**1100),
    st.sampled_from(["8.0", None, b"1", 1j, True]),
).map(lambda value: ("return", value))
raises = st.sampled_from(
    [
        (TypeError, "refused"),
        (ValueError, "bad value"),
        (OverflowError, "too big"),
        (MyTypeError, "subclass"),
        (ZeroDivisionError, "zero"),
        (RuntimeError, "runtime"),
    ]
).map(lambda payload: ("raise", payload))


@st.composite
def argument_objects(draw):
    simple = st.one_of(
        st.floats(),
        st.integers(),
        st.booleans(),
        st.integers(min_value=2**1023, max_value=2**1200),
        st.integers(max_value=-(2**1030)),
        st.builds(FloatSubclass, st.floats()),
        st.sampled_from(["1.5", None, [], 2j, b"x"]),
    )
    method = draw(st.sampled_from(["__float__", "__index__", None]))
    if method is None:
        return draw(simple)
    behaviour = draw(st.one_of(returns, raises))
    cls = type("Convertible", (Convertible,), {method: make_method(behaviour)})
    return cls(method, behaviour)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@settings(max_examples=fuzz_examples(1500), deadline=None)
@given(st.sampled_from(sorted(binding_model.PARAMETERS)), st.data())
def test_argument_objects_match_the_conversion_rules(function, data):
    params = binding_model.PARAMETERS[function]
    position = data.draw(st.integers(0, len(params) - 1))
    obj = data.draw(argument_objects())
    args = [1.5] * len(params)
    args[position] = obj

    value, expected_error = binding_model.convert(obj, params[position])
    if expected_error is None:
        args[position] = value
        expected = COMPUTE[function](*args)
        args[position] = obj
        assert same_double(getattr(vindral, function)(*args), expected)
        return
    error_type, message, cause, original = expected_error
    with pytest.raises(BaseException) as info:
        getattr(vindral, function)(*args)
    assert type(info.value) is error_type
    assert str(info.value) == message
    if original is None:  # rewritten: the cause moves over
        assert type(info.value.__cause__) is type(cause)
        assert str(info.value.__cause__) == str(cause)


@pytest.mark.parametrize(
    "minus_one",
    [
        -1.0,
        -1,
        IntSubclass(-1),
        FloatSubclass(-1.0),
        type("F", (), {"__float__": lambda self: -1.0})(),
        pytest.param(
            type("I", (), {"__index__": lambda self: -1})(),
            marks=not_on_pypy("takes no __index__ for a real number"),
        ),
    ],
    ids=["float", "int", "int subclass", "float subclass", "__float__", "__index__"],
)
def test_minus_one_from_any_source_is_a_value(minus_one):
    assert same_double(vindral.c_k_2_v(minus_one, 1.0), weibull_model.c_k_2_v(-1.0, 1.0))
