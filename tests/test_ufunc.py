"""vindral_ufunc: numpy ufuncs whose every element is the scalar result, bit for bit."""

import pickle

import pytest

from conftest import PYPY, run_python

np = pytest.importorskip("numpy", reason="vindral_ufunc needs numpy, which this interpreter lacks")
vu = pytest.importorskip("vindral_ufunc")

import vindral  # noqa: E402
import weibull_model  # noqa: E402

# The scalar function that each ufunc must match element by element; vindral
# has no survival function of its own, so wbl_sf is matched to the model.
SCALAR = {
    "v_k_2_c": vindral.v_k_2_c,
    "c_k_2_v": vindral.c_k_2_v,
    "wbl_cdf": vindral.wbl_cdf,
    "wbl_sf": weibull_model.wbl_sf,
}

SPECIAL = [np.nan, np.inf, -np.inf, 0.0, -0.0, -1.0, -0.5, 1.0, 2.0, 5e-324, 1e308, -7.5]


def mixed_doubles(rng, size):
    """Wind-like values, negatives and huge ones, with NaN, infinities and zeros mixed in."""
    values = np.where(
        rng.random(size) < 0.5, rng.uniform(0.0, 30.0, size), rng.normal(0.0, 1e3, size)
    )
    special = rng.random(size) < 0.15
    values[special] = rng.choice(SPECIAL, special.sum())
    return values


def assert_same_bits(got, expected):
    """Equal to the last bit, any NaN counting as the same result as any other."""
    got, expected = np.asarray(got, dtype=np.float64), np.asarray(expected, dtype=np.float64)
    assert got.shape == expected.shape
    differ = (got.view(np.uint64) != expected.view(np.uint64)) & ~(
        np.isnan(got) & np.isnan(expected)
    )
    assert not differ.any(), list(zip(got[differ][:5], expected[differ][:5]))


@pytest.mark.parametrize("name", SCALAR)
def test_every_element_is_the_scalar_result(name):
    ufunc, scalar = getattr(vu, name), SCALAR[name]
    rng = np.random.default_rng(sum(map(ord, name)))
    arrays = [mixed_doubles(rng, 20_000) for _ in range(ufunc.nin)]
    expected = np.array([scalar(*values) for values in zip(*(a.tolist() for a in arrays))])
    with np.errstate(all="ignore"):
        assert_same_bits(ufunc(*arrays), expected)


def test_survival_differences_are_the_bin_probabilities():
    # The annual-energy shape: sites x sectors x bin edges, each edge computed once.
    rng = np.random.default_rng(2)
    c = rng.uniform(3.0, 14.0, (50, 12, 1))
    k = rng.uniform(1.2, 3.5, (50, 12, 1))
    edges = np.concatenate([[0.0], np.sort(rng.uniform(0.0, 30.0, 29)), [np.inf]])
    survival = vu.wbl_sf(c, k, edges)
    assert survival.shape == (50, 12, 31)
    assert_same_bits(
        survival[..., :-1] - survival[..., 1:], vu.wbl_cdf(c, k, edges[:-1], edges[1:])
    )


def test_behaves_as_any_ufunc():
    c, k, v1, v2 = 10.0, 2.0, 5.0, 10.0
    expected = vindral.wbl_cdf(c, k, v1, v2)
    # Broadcasting: the result takes the broadcast shape of the operands.
    grid = vu.wbl_cdf(np.full((3, 1), c), np.full((1, 4), k), v1, np.full((2, 1, 1), v2))
    assert grid.shape == (2, 3, 4) and grid.dtype == np.float64
    assert_same_bits(grid, np.full((2, 3, 4), expected))
    # out= is filled and returned; where= leaves masked elements as they were.
    out = np.full(4, -1.0)
    assert vu.wbl_cdf(c, k, v1, v2, out=out, where=np.array([True, False, True, False])) is out
    assert_same_bits(out, [expected, -1.0, expected, -1.0])
    # ints, bools and float32 are cast to float64 first.
    assert_same_bits(
        vu.v_k_2_c(np.array([8, 1]), True), [vindral.v_k_2_c(8.0, 1.0), vindral.v_k_2_c(1.0, 1.0)]
    )
    speeds32 = np.array([5.5, 7.3], dtype=np.float32)
    assert_same_bits(vu.v_k_2_c(speeds32, 2.0), [vindral.v_k_2_c(float(s), 2.0) for s in speeds32])
    # Strided and reversed views read the right elements.
    speeds = np.arange(24.0).reshape(4, 6)
    view = speeds[::-2, 1::3]
    assert_same_bits(
        vu.c_k_2_v(view, 2.0), [[vindral.c_k_2_v(s, 2.0) for s in row] for row in view.tolist()]
    )
    # 0-d operands give a numpy scalar; empty operands an empty result.
    zero_d = vu.wbl_sf(np.float64(c), k, v1)
    assert isinstance(zero_d, np.float64) and zero_d == weibull_model.wbl_sf(c, k, v1)
    assert vu.wbl_cdf(c, k, np.empty((0, 3)), v2).shape == (0, 3)


def test_wrong_calls_raise_numpys_errors():
    with pytest.raises(TypeError, match=r"ufunc 'wbl_cdf' not supported for the input types"):
        vu.wbl_cdf("10", 2.0, 5.0, 10.0)
    with pytest.raises(TypeError, match=r"wbl_cdf\(\) takes from 4 to 5 positional arguments"):
        vu.wbl_cdf(10.0, 2.0, 5.0)


# numpy 2.1 lets a generalized ufunc size its output by its inputs.
SIZES_CORE_DIMENSIONS = tuple(map(int, np.__version__.split(".")[:2])) >= (2, 1)


def test_module_offers_documented_ufuncs_that_pickle_by_reference():
    inputs = {"v_k_2_c": 2, "c_k_2_v": 2, "wbl_cdf": 4, "wbl_sf": 3}
    assert vu.__all__ == [*inputs, "wbl_bins"]
    for name, nin in inputs.items():
        ufunc = getattr(vu, name)
        assert isinstance(ufunc, np.ufunc) and ufunc.__name__ == name
        assert (ufunc.nin, ufunc.nout, ufunc.types) == (nin, 1, ["d" * nin + "->d"])
        assert "element by element" in ufunc.__doc__
        # Dask and process pools send ufuncs to workers by name.
        assert pickle.loads(pickle.dumps(ufunc)) is ufunc
    # The bins: a generalized ufunc, or before numpy 2.1 a function running one.
    bins = vu.wbl_bins
    assert isinstance(bins, np.ufunc) == SIZES_CORE_DIMENSIONS and bins.__name__ == "wbl_bins"
    if SIZES_CORE_DIMENSIONS:
        assert (bins.signature, bins.types) == ("(),(),(n)->(m)", ["ddd->d"])
    assert "wbl_cdf(c, k, e[i], e[i+1])" in bins.__doc__
    assert pickle.loads(pickle.dumps(bins)) is bins


# A stand-in for numpy's extension modules: `table_modules` maps a table
# module's name to its binary interface and C-API version, or to None for a
# module that is not found, or to an error its import raises.
FAKE_NUMPY = """
import ctypes, sys, types

class Finder:
    def find_spec(self, name, path, target=None):
        if isinstance(table_modules.get(name), Exception):
            raise table_modules[name]

def module(name, **attributes):
    sys.modules[name] = types.ModuleType(name)
    sys.modules[name].__dict__.update(__path__=[], **attributes)

Getter = ctypes.CFUNCTYPE(ctypes.c_uint)
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = (ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)
kept = []

def array_api(abi, features):
    table = (ctypes.c_void_p * 212)()
    getters = Getter(lambda: abi), Getter(lambda: features)
    table[0], table[211] = (ctypes.cast(g, ctypes.c_void_p).value for g in getters)
    kept.extend((table, getters))
    return new_capsule(ctypes.addressof(table), None, None)

table_modules = {table_modules!r}
for name in ("numpy", "numpy._core", "numpy.core"):
    module(name)
for name, versions in table_modules.items():
    if isinstance(versions, tuple):
        module(name, _ARRAY_API=array_api(*versions))
    elif versions == "no table":
        module(name)
sys.meta_path.insert(0, Finder())
try:
    import vindral_ufunc
except ImportError as error:
    print(type(error).__name__, error)
"""

NEW, OLD = "numpy._core._multiarray_umath", "numpy.core._multiarray_umath"


@pytest.mark.skipif(PYPY, reason="PyPy's ctypes has no pythonapi to make a capsule with")
@pytest.mark.parametrize(
    "table_modules, message",
    [
        # numpy 1.24: only the old module, with C-API version 0x10.
        (
            {NEW: None, OLD: (0x01000009, 0x10)},
            "vindral_ufunc needs numpy 1.26 or newer (C-API version 0x11), "
            "but this numpy has C-API version 0x10",
        ),
        # Any failure but a module not found is numpy's own error, not a
        # reason to try the old module.
        ({NEW: ImportError("numpy refuses"), OLD: (0x01000009, 0x11)}, "numpy refuses"),
        (
            {NEW: "no table", OLD: (0x01000009, 0x11)},
            "vindral_ufunc supports numpy 1.26 and 2.x; this numpy publishes no array table",
        ),
        (
            {NEW: (0x03000000, 0x20)},
            "vindral_ufunc supports numpy 1.26 and 2.x; this numpy's binary interface is 0x03000000",
        ),
        (
            {NEW: None, OLD: None},
            "vindral_ufunc supports numpy 1.26 and 2.x; this numpy publishes no array table",
        ),
    ],
)
def test_numpy_is_checked_as_numpys_own_import_does(table_modules, message):
    result = run_python(FAKE_NUMPY.replace("{table_modules!r}", repr(table_modules)))
    assert result.stdout.startswith("ImportError ") and message in result.stdout, (
        result.stdout + result.stderr
    )


def test_without_numpy_import_says_how_to_get_it_and_vindral_does_not_need_it():
    result = run_python(
        """
        import sys
        import vindral
        assert "numpy" not in sys.modules, "import vindral imported numpy"
        sys.modules["numpy"] = None  # as if numpy were not installed
        try:
            import vindral_ufunc
        except ImportError as error:
            print(type(error).__name__, error, "|", type(error.__cause__).__name__)
        """
    )
    assert result.stdout.strip() == (
        "ImportError vindral_ufunc needs numpy 1.26 or newer, which is not installed: "
        "pip install 'vindral[numpy]' | ModuleNotFoundError"
    ), result.stderr
