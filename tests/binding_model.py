"""An executable model of how vindral binds and converts a call's arguments.

Written from the rules, not from the code: positional arguments fill the
parameters in order; surplus positionals fail first; then keywords, in the
dictionary's order, each either naming an empty parameter, naming a filled
one, or naming none; then missing parameters; then conversion in parameter
order by the interpreter's own PyFloat_AsDouble.
"""

import _vindral_testing

PARAMETERS = {
    "v_k_2_c": ("v", "k"),
    "c_k_2_v": ("c", "k"),
    "wbl_cdf": ("c", "k", "v1", "v2"),
}

_EMPTY = object()


class BindingError(Exception):
    """The TypeError that vindral must raise, by its message."""


def text_form(obj):
    """str() of an object, lone surrogates shown as replacement characters."""
    try:
        text = str(obj)
    except Exception:
        cls = type(obj)
        return f"<unprintable {cls.__module__}.{cls.__name__} object>"
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def keyword_text(key):
    """The text a key names a parameter by, or None when it can name none."""
    if not isinstance(key, str):
        return None
    try:
        str.__str__(key).encode("utf-8")
    except UnicodeEncodeError:
        return None
    return str.__str__(key)


def parameter_list(names):
    quoted = [f"'{name}'" for name in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def bind(function, args, kwargs):
    """The bound argument objects in parameter order, or raises BindingError."""
    params = PARAMETERS[function]
    full = function + "()"
    if len(args) > len(params):
        verb = "was" if len(args) == 1 else "were"
        raise BindingError(
            f"{full} takes {len(params)} positional arguments but {len(args)} {verb} given"
        )
    slots = list(args) + [_EMPTY] * (len(params) - len(args))
    for key, value in (kwargs or {}).items():
        name = keyword_text(key)
        if name in params:
            index = params.index(name)
            if slots[index] is not _EMPTY:
                raise BindingError(f"{full} got multiple values for argument '{name}'")
            slots[index] = value
            continue
        raise BindingError(f"{full} got an unexpected keyword argument '{text_form(key)}'")
    missing = [name for name, slot in zip(params, slots) if slot is _EMPTY]
    if missing:
        noun = "argument" if len(missing) == 1 else "arguments"
        raise BindingError(
            f"{full} missing {len(missing)} required positional {noun}: {parameter_list(missing)}"
        )
    return slots


def convert(obj, name):
    """The double vindral converts `obj` to, or the exception it must raise instead.

    Returns (value, None) or (None, expected) where expected is a
    (type, message, cause, original) tuple.
    """
    try:
        return _vindral_testing.as_double(obj), None
    except BaseException as error:  # the interpreter's own verdict
        if type(error) is TypeError:
            return None, (
                TypeError,
                f"argument '{name}': {text_form(error)}",
                error.__cause__,
                None,
            )
        return None, (type(error), str(error), error.__cause__, error)
