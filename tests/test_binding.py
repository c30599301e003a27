"""Binding positional and keyword arguments, and converting them to doubles."""

import math
import sys
import traceback

import pytest

from conftest import PYPY, call_with_dict, non_str_keywords, not_on_pypy, reference_counts
from vindral import c_k_2_v, v_k_2_c, wbl_cdf


def raises_type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    return str(info.value)


class TestBindingShapes:
    def test_positional_and_keyword_forms_bind_alike(self):
        expected = v_k_2_c(8.0, 2.0)
        assert v_k_2_c(v=8.0, k=2.0) == expected
        assert v_k_2_c(k=2.0, v=8.0) == expected
        assert v_k_2_c(8.0, k=2.0) == expected
        assert wbl_cdf(1.0, 2.0, v2=3.0, v1=0.5) == wbl_cdf(1.0, 2.0, 0.5, 3.0)

    def test_empty_keyword_dictionary_is_no_dictionary(self):
        assert call_with_dict(c_k_2_v, (10.0, 2.0), {}) == c_k_2_v(10.0, 2.0)
        assert "missing 1 required positional argument: 'k'" in raises_type_error(
            lambda: call_with_dict(v_k_2_c, (1.0,), {})
        )

    def test_str_subclass_key_binds_its_parameter(self):
        class Name(str):
            pass

        assert call_with_dict(v_k_2_c, (8.0,), {Name("k"): 2.0}) == v_k_2_c(8.0, 2.0)
        assert v_k_2_c(8.0, **{Name("k"): 2.0}) == v_k_2_c(8.0, 2.0)


# Every message that the three functions can produce, with the call that
# produces it.
MESSAGES = [
    (lambda: v_k_2_c(1, 2, 3), "v_k_2_c() takes 2 positional arguments but 3 were given"),
    (lambda: wbl_cdf(1, 2, 3, 4, 5), "wbl_cdf() takes 4 positional arguments but 5 were given"),
    (lambda: c_k_2_v(1, 2, 3, 4), "c_k_2_v() takes 2 positional arguments but 4 were given"),
    (lambda: v_k_2_c(), "v_k_2_c() missing 2 required positional arguments: 'v' and 'k'"),
    (lambda: v_k_2_c(8.0), "v_k_2_c() missing 1 required positional argument: 'k'"),
    (lambda: c_k_2_v(k=2.0), "c_k_2_v() missing 1 required positional argument: 'c'"),
    (lambda: wbl_cdf(1, 2, 3), "wbl_cdf() missing 1 required positional argument: 'v2'"),
    (lambda: wbl_cdf(1, 2), "wbl_cdf() missing 2 required positional arguments: 'v1' and 'v2'"),
    (lambda: wbl_cdf(1), "wbl_cdf() missing 3 required positional arguments: 'k', 'v1', and 'v2'"),
    (
        lambda: wbl_cdf(),
        "wbl_cdf() missing 4 required positional arguments: 'c', 'k', 'v1', and 'v2'",
    ),
    (lambda: wbl_cdf(1, v1=2), "wbl_cdf() missing 2 required positional arguments: 'k' and 'v2'"),
    (lambda: c_k_2_v(1, c=2), "c_k_2_v() got multiple values for argument 'c'"),
    (lambda: v_k_2_c(1, v=2), "v_k_2_c() got multiple values for argument 'v'"),
    (lambda: v_k_2_c(x=1), "v_k_2_c() got an unexpected keyword argument 'x'"),
    (lambda: v_k_2_c(1, K=2), "v_k_2_c() got an unexpected keyword argument 'K'"),
    (lambda: v_k_2_c(1, **{"k ": 2}), "v_k_2_c() got an unexpected keyword argument 'k '"),
    (lambda: wbl_cdf(1, 2, 3, V2=4), "wbl_cdf() got an unexpected keyword argument 'V2'"),
    (lambda: v_k_2_c(1, é=2), "v_k_2_c() got an unexpected keyword argument '\u00e9'"),
]


@pytest.mark.parametrize("call, message", MESSAGES)
def test_binding_failures_raise_type_error_with_the_exact_message(call, message):
    assert raises_type_error(call) == message


class TestCheckOrder:
    def test_surplus_positionals_are_reported_before_any_keyword(self):
        assert "takes 2 positional arguments but 3 were given" in raises_type_error(
            lambda: v_k_2_c(1, 2, 3, x=1)
        )

    def test_unexpected_keyword_is_reported_before_missing_arguments(self):
        assert raises_type_error(lambda: v_k_2_c(x=1)).endswith("unexpected keyword argument 'x'")

    def test_first_bad_key_in_dictionary_order_decides(self):
        assert "'b'" in raises_type_error(lambda: v_k_2_c(b=1, a=2))
        assert "'a'" in raises_type_error(lambda: v_k_2_c(a=1, b=2))
        # A repeated parameter before an unknown key is reported, and after it is not.
        assert "multiple values" in raises_type_error(lambda: v_k_2_c(1, v=1, z=2))
        assert "unexpected" in raises_type_error(lambda: v_k_2_c(1, z=1, v=2))

    def test_binding_completes_before_any_conversion(self):
        assert "missing 1 required positional argument: 'k'" in raises_type_error(
            lambda: v_k_2_c("not a number")
        )
        assert "unexpected keyword" in raises_type_error(lambda: v_k_2_c("a", "b", z="c"))

    def test_conversion_stops_at_the_first_failing_parameter(self):
        seen = []

        class Spy:
            def __init__(self, name):
                self.name = name

            def __float__(self):
                seen.append(self.name)
                if self.name == "k":
                    raise ValueError("k is bad")
                return 1.0

        with pytest.raises(ValueError, match="k is bad"):
            wbl_cdf(v2=Spy("v2"), v1=Spy("v1"), k=Spy("k"), c=Spy("c"))
        assert seen == ["c", "k"]


class UnprintableKey:
    """A keyword key whose str() raises."""

    def __hash__(self):
        return 1

    def __str__(self):
        raise RuntimeError("no text")


def unexpected_key_message(key):
    """The TypeError message of a call whose one keyword key is `key`."""
    return raises_type_error(lambda: call_with_dict(v_k_2_c, (1.0,), {key: 2.0}))


class TestUnusualKeys:
    @non_str_keywords
    def test_non_str_key_is_an_unexpected_keyword_shown_by_its_str(self):
        assert raises_type_error(lambda: call_with_dict(v_k_2_c, (1.0,), {1: 2.0})) == (
            "v_k_2_c() got an unexpected keyword argument '1'"
        )

    @pytest.mark.parametrize("text", ["k", "x"])
    def test_str_subclass_key_binds_by_its_text_and_its_eq_is_never_called(self, text):
        compared = []

        class Key(str):
            def __eq__(self, other):
                compared.append(other)
                return True

            def __hash__(self):
                return hash("k")  # as the parameter's name: a lookup would compare

        for call in (
            lambda: v_k_2_c(8.0, **{Key(text): 2.0}),
            lambda: call_with_dict(v_k_2_c, (8.0,), {Key(text): 2.0}),
        ):
            if text == "k":
                assert call() == v_k_2_c(8.0, 2.0)
            else:
                assert raises_type_error(call) == "v_k_2_c() got an unexpected keyword argument 'x'"
        assert compared == []

    def test_key_with_lone_surrogate_shows_replacement_characters(self):
        message = raises_type_error(lambda: v_k_2_c(1.0, **{"k\udc80": 2.0}))
        assert message == "v_k_2_c() got an unexpected keyword argument 'k\ufffd\ufffd\ufffd'"

    def test_unencodable_key_leaves_no_pending_error_behind(self):
        # The encoding failure is dropped; what surfaces is the binding error.
        with pytest.raises(TypeError) as info:
            v_k_2_c(1.0, **{"\ud800": 2.0})
        assert info.value.__context__ is None and info.value.__cause__ is None

    @non_str_keywords
    def test_key_whose_str_raises_is_shown_as_unprintable(self, monkeypatch):
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)

        class BadKey(UnprintableKey):
            pass

        key = BadKey()
        message = unexpected_key_message(key)
        assert message == (
            f"v_k_2_c() got an unexpected keyword argument '<unprintable {__name__}.BadKey object>'"
        )
        assert len(reports) == 1
        assert type(reports[0].exc_value) is RuntimeError and reports[0].object is key

    @non_str_keywords
    @pytest.mark.usefixtures("quiet_unraisable")
    def test_key_whose_str_and_type_name_fail_is_shown_as_unprintable_object(self):

        class Meta(type):
            def __getattribute__(cls, name):
                if name in ("__module__", "__name__"):
                    raise AttributeError(name)
                return super().__getattribute__(name)

        class Opaque(UnprintableKey, metaclass=Meta):
            pass

        message = unexpected_key_message(Opaque())
        assert message == "v_k_2_c() got an unexpected keyword argument '<unprintable object>'"

    @non_str_keywords
    def test_type_name_parts_take_the_text_form_and_cannot_recurse(self, monkeypatch):
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)

        class Unprintable(UnprintableKey):
            pass

        # A type whose __module__ is unprintable, by an instance of itself.
        Unprintable.__module__ = Unprintable()
        message = unexpected_key_message(Unprintable())
        assert message == (
            "v_k_2_c() got an unexpected keyword argument "
            "'<unprintable <unprintable <unprintable object>.Unprintable object>.Unprintable object>'"
        )
        assert len(reports) == 3


class TestConversion:
    def test_minus_one_is_a_value_not_a_failure(self):
        assert v_k_2_c(-1.0, 2.0) == -v_k_2_c(1.0, 2.0)
        assert v_k_2_c(-1, 2) == -v_k_2_c(1.0, 2.0)

    def test_ints_bools_and_float_protocols_are_accepted(self):
        class HasFloat:
            def __float__(self):
                return 8.0

        class FloatSubclass(float):
            pass

        expected = v_k_2_c(8.0, 2.0)
        assert v_k_2_c(8, 2) == expected
        assert v_k_2_c(HasFloat(), 2.0) == expected
        assert v_k_2_c(FloatSubclass(8.0), 2.0) == expected
        assert c_k_2_v(True, 1.0) == c_k_2_v(1.0, 1.0)

    # Where PyPy's own conversion differs from CPython's, vindral follows the
    # interpreter it runs in, as that interpreter's math.sqrt does.
    @pytest.mark.parametrize(
        "shape",
        [
            pytest.param(
                type("HasIndex", (), {"__index__": lambda self: 2})(),
                marks=not_on_pypy("takes no __index__ for a real number"),
                id="__index__",
            ),
            pytest.param(
                type("OverridingFloat", (float,), {"__float__": lambda self: 99.0})(2.0),
                marks=not_on_pypy("calls a float subclass's __float__"),
                id="stored value of a float subclass, unlike float()",
            ),
        ],
    )
    def test_cpython_conversions(self, shape):
        assert v_k_2_c(8.0, shape) == v_k_2_c(8.0, 2.0)

    def test_exact_type_error_is_rewritten_with_the_parameter_name(self):
        with pytest.raises(TypeError) as info:
            v_k_2_c("a", "b")
        assert type(info.value) is TypeError
        assert str(info.value).startswith("argument 'v': ")
        assert info.value.args == (str(info.value),)
        assert "str" in str(info.value)
        assert info.value.__cause__ is None

    def test_rewritten_error_takes_over_the_original_cause(self):
        cause = KeyError("the root")

        class Broken:
            def __float__(self):
                raise TypeError("cannot be a number") from cause

        with pytest.raises(TypeError) as info:
            wbl_cdf(1.0, 2.0, 3.0, v2=Broken())
        assert str(info.value) == "argument 'v2': cannot be a number"
        assert info.value.__cause__ is cause

    def test_rewritten_error_without_cause_shows_the_exception_being_handled(self):
        handled = KeyError("being handled")
        try:
            raise handled
        except KeyError:
            with pytest.raises(TypeError) as info:
                v_k_2_c("a", 2.0)
        assert info.value.__cause__ is None
        assert info.value.__context__ is handled and not info.value.__suppress_context__

    def test_rewritten_error_keeps_where_and_what_the_original_hid(self):
        class Broken:
            def __float__(self):
                raise TypeError("cannot be a number") from None

        handled = KeyError("being handled")
        try:
            raise handled
        except KeyError:
            with pytest.raises(TypeError) as info:
                v_k_2_c(1.0, Broken())
        assert str(info.value) == "argument 'k': cannot be a number"
        # The frame that raised, under the caller's; the context stays hidden.
        frames = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
        assert frames[-1] == "__float__"
        assert info.value.__context__ is handled and info.value.__suppress_context__
        error = info.value
        shown = "".join(traceback.format_exception(type(error), error, error.__traceback__))
        assert "being handled" not in shown

    def test_float_returning_non_float_is_rewritten(self):
        class Liar:
            def __float__(self):
                return "eight"

        # The interpreter's own words for it (reworded in 3.15), as math.sqrt,
        # which converts the same way, gets them.
        with pytest.raises(TypeError) as native:
            math.sqrt(Liar())
        assert raises_type_error(lambda: v_k_2_c(Liar(), 2.0)) == f"argument 'v': {native.value}"

    @pytest.mark.usefixtures("quiet_unraisable")
    def test_type_error_whose_text_fails_is_shown_as_unprintable(self):

        class NoText:
            def __str__(self):
                raise RuntimeError("no text")

        class Broken:
            def __float__(self):
                raise TypeError(NoText())

        message = raises_type_error(lambda: v_k_2_c(1.0, Broken()))
        assert message == "argument 'k': <unprintable builtins.TypeError object>"

    @pytest.mark.parametrize("interrupt", [KeyboardInterrupt(), SystemExit(3), MemoryError()])
    def test_interrupt_while_a_message_is_made_is_the_calls_error(self, interrupt):
        class Interrupting:
            def __hash__(self):
                return 1

            def __str__(self):
                raise interrupt

        class Broken:
            def __float__(self):
                raise TypeError(Interrupting())

        # Both messages that show an object's text: a rewritten conversion
        # error's original, and a keyword that names no parameter (which only
        # a key that is not a str can make unprintable).
        calls = [lambda: v_k_2_c(1.0, Broken())]
        if not PYPY:
            calls.append(lambda: call_with_dict(v_k_2_c, (1.0,), {Interrupting(): 2.0}))
        for call in calls:
            with pytest.raises(BaseException) as info:
                call()
            assert info.value is interrupt

    @pytest.mark.parametrize("argument", [10**400, -(2**2000)])
    def test_overflow_passes_unchanged(self, argument):
        with pytest.raises(OverflowError) as info:
            c_k_2_v(1.0, argument)
        assert not str(info.value).startswith("argument")

    def test_user_errors_from_float_pass_unchanged(self):
        class MyTypeError(TypeError):
            pass

        for raised in (ValueError("v"), MyTypeError("sub"), KeyboardInterrupt()):

            class Broken:
                def __float__(self, raised=raised):
                    raise raised

            with pytest.raises(type(raised)) as info:
                v_k_2_c(Broken(), 1.0)
            assert info.value is raised


class TestReferences:
    """Arguments keep their reference counts, whatever the call's outcome."""

    CALLS = (
        lambda a, b: v_k_2_c(a, b),
        lambda a, b: v_k_2_c(a, k=b),
        lambda a, b: wbl_cdf(a, b, v1=a, v2=b),
        lambda a, b: v_k_2_c(a, b, a),
        lambda a, b: v_k_2_c(a, v=b),
        lambda a, b: v_k_2_c(a, x=b),
        lambda a, b: v_k_2_c(a),
        lambda a, b: c_k_2_v(a, "text"),
        lambda a, b: c_k_2_v(a, 10**400),
        lambda a, b: call_with_dict(v_k_2_c, (a,), {b: b}),
    )

    @reference_counts
    @pytest.mark.parametrize("call", CALLS)
    def test_reference_counts_are_unchanged_after_many_calls(self, call):
        a, b = 1234.5, 2.5  # floats not shared with anything else
        before = sys.getrefcount(a), sys.getrefcount(b)
        for _ in range(1000):
            try:
                call(a, b)
            except (TypeError, OverflowError):
                pass
        assert (sys.getrefcount(a), sys.getrefcount(b)) == before

    def test_conversion_survives_a_float_method_that_empties_the_callers_dict(self):
        # A C caller can hand over its own dictionary; a __float__ that runs
        # during conversion may clear it while later arguments are pending.
        class Shape:
            def __float__(self):
                return 2.0

        kwargs = {"k": Shape()}

        class Speed:
            def __float__(self):
                kwargs.clear()
                return 8.0

        assert call_with_dict(v_k_2_c, (Speed(),), kwargs) == v_k_2_c(8.0, 2.0)
