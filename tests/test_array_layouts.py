"""Every kind of array loop in every way numpy calls it, element for element the scalar functions.

numpy hands a loop its output in place of an input for an in-place call, and
its accumulator as both the first input and the output in reductions (step 0
for reduce and reduceat, one element behind for accumulate). Each kind of
loop this machine runs is reached through the test-only module's ufuncs, the
installed module's as well, and compared bit for bit with the scalar
functions: in place, with where=, as reductions, and with layouts, casts,
broadcasting and special values drawn by hypothesis. The bins of wbl_bins
are compared with wbl_cdf over each pair of adjacent edges.
"""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from conftest import fuzz_examples

np = pytest.importorskip("numpy", reason="vindral_ufunc needs numpy, which this interpreter lacks")
vu = pytest.importorskip("vindral_ufunc")

import _vindral_loop_ufuncs as loop_ufuncs  # noqa: E402
from test_simd_loops import SIMD  # noqa: E402
from test_ufunc import SCALAR  # noqa: E402

# Every kind of loop this machine runs, and the installed module's choice.
KINDS = ["installed", "plain", *SIMD]
NAMES = ("v_k_2_c", "c_k_2_v", "wbl_cdf", "wbl_sf")
BINARY = ("v_k_2_c", "c_k_2_v")
# Values that send a lane to the scalar function, and values that do not.
SPECIAL = [0.0, -0.0, 5e-324, 1e-310, np.inf, -np.inf, np.nan, -3.5, -1.0, -0.5, 1e-4, 0.005, 1e300]
LENGTHS = [1, 3, 7, 8, 9, 16, 23, 64, 129, 300]


def ufunc(kind, name):
    return getattr(vu, name) if kind == "installed" else getattr(loop_ufuncs, f"{kind}_{name}")


def bits(values):
    """The bits of each double, every NaN alike: a NaN's payload is no result."""
    values = np.asarray(values, dtype=np.float64)
    return np.where(np.isnan(values), np.uint64(0x7FF8000000000000), values.view(np.uint64))


def assert_same_bits(got, expected, context=""):
    got, expected = np.asarray(got), np.asarray(expected)
    assert got.shape == expected.shape, context
    differ = np.flatnonzero(bits(got) != bits(expected))
    assert differ.size == 0, (
        f"{context}: {differ.size} of {got.size} differ, first at {differ[0]}: "
        f"{got.flat[differ[0]]!r} for {expected.flat[differ[0]]!r}"
    )


def elementwise(name, arguments):
    """The scalar function at every element of the broadcast arguments."""
    arrays = np.broadcast_arrays(*(np.asarray(a, dtype=np.float64) for a in arguments))
    scalar = SCALAR[name]
    flat = [scalar(*values) for values in zip(*(a.ravel().tolist() for a in arrays))]
    return np.array(flat, dtype=np.float64).reshape(arrays[0].shape)


def fold(name, values, initial=None):
    """The chain of scalar calls that a reduction computes: f(f(x0, x1), x2) ..."""
    values = list(values)
    result = values.pop(0) if initial is None else initial
    for value in values:
        result = SCALAR[name](result, value)
    return result


def with_special_lane(rng, arity, length, position):
    """Wind-like arguments with one special value at `position` of a random operand."""
    arguments = [rng.uniform(1.5, 12.0, length) for _ in range(arity)]
    arguments[rng.integers(arity)][position] = SPECIAL[rng.integers(len(SPECIAL))]
    return arguments


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("kind", KINDS)
def test_in_place_the_output_may_be_any_input(kind, name):
    # Adjacent and strided, every length across vectors, tails and blocks,
    # the special lane first, last and in between, with and without where=.
    u, rng = ufunc(kind, name), np.random.default_rng(NAMES.index(name))
    for operand in range(u.nin):
        for length in LENGTHS:
            for position in {0, length // 2, length - 1}:
                for step in (1, 3):
                    arguments = with_special_lane(rng, u.nin, length, position)
                    expected = elementwise(name, arguments)
                    where = rng.random(length) < 0.7 if step == 1 else True
                    expected = np.where(where, expected, arguments[operand])
                    operands = [np.repeat(a, step)[::step] for a in arguments]
                    with np.errstate(all="ignore"):
                        u(*operands, out=operands[operand], where=where)
                    context = f"{name} in place of operand {operand}, {length} elements"
                    assert_same_bits(operands[operand], expected, context)


@pytest.mark.parametrize("name", BINARY)
@pytest.mark.parametrize("kind", KINDS)
def test_reductions_are_the_chain_of_scalar_calls(kind, name):
    u, rng = ufunc(kind, name), np.random.default_rng(7)
    for length in LENGTHS:
        x = rng.uniform(1.5, 3.0, length)
        x[rng.integers(length)] = SPECIAL[rng.integers(len(SPECIAL))]
        chain = [fold(name, x[: i + 1]) for i in range(length)]
        with np.errstate(all="ignore"):
            assert_same_bits(u.reduce(x), chain[-1], f"reduce of {length}")
            assert_same_bits(u.accumulate(x), chain, f"accumulate of {length}")
            starts = sorted(set(rng.integers(0, length, 4).tolist()))
            ends = [*starts[1:], length]
            segments = [fold(name, x[s:e]) for s, e in zip(starts, ends)]
            assert_same_bits(u.reduceat(x, starts), segments, f"reduceat of {length}")
            # Along either axis of a table, with where= and an initial value.
            table = x[: max(2, length // 2 * 2)].reshape(2, -1) if length > 1 else x.reshape(1, 1)
            for axis in (0, 1):
                rows = np.moveaxis(table, axis, -1)
                expected = [fold(name, row) for row in rows]
                assert_same_bits(u.reduce(table, axis=axis), expected, f"reduce axis {axis}")
            mask = rng.random(table.shape) < 0.6
            expected = [fold(name, row[keep], 2.0) for row, keep in zip(table, mask)]
            got = u.reduce(table, axis=1, where=mask, initial=2.0)
            assert_same_bits(got, expected, "reduce with where=")
            # ufunc.at applies repeated indices one after another.
            target, indices = rng.uniform(5.0, 9.0, 6), rng.integers(0, 6, length)
            expected = target.copy()
            for index, value in zip(indices.tolist(), x.tolist()):
                expected[index] = SCALAR[name](expected[index], value)
            u.at(target, indices, x)
            assert_same_bits(target, expected, f"at with {length} indices")


@pytest.mark.parametrize("kind", KINDS)
def test_numpy_copies_operands_that_overlap_but_are_not_the_output(kind):
    # The output shifted against an input by an element, or reversed on it:
    # numpy computes from a copy, so every element is as if from the input
    # before the call (only an identical operand is handed to the loop as is).
    u, rng = ufunc(kind, "v_k_2_c"), np.random.default_rng(11)
    for length in LENGTHS:
        base = rng.uniform(1.5, 12.0, length + 1)
        base[rng.integers(length)] = 0.0
        k = rng.uniform(1.0, 3.0, length)
        for inputs, output in (
            (slice(1, None), slice(None, -1)),
            (slice(None, -1), slice(1, None)),
        ):
            data = base.copy()
            expected = elementwise("v_k_2_c", [data[inputs], k])
            with np.errstate(all="ignore"):
                u(data[inputs], k, out=data[output])
            assert_same_bits(data[output], expected, f"shifted, {length}")
        data = base[:length].copy()
        expected = elementwise("v_k_2_c", [data[::-1], k])
        with np.errstate(all="ignore"):
            u(data[::-1], k, out=data)
        assert_same_bits(data, expected, f"reversed, {length}")


# ---- The layout fuzzer ---------------------------------------------------------


values = st.one_of(
    st.sampled_from(SPECIAL),
    st.floats(0.0, 30.0),
    st.floats(0.3, 4.0),
    st.floats(allow_nan=True, allow_infinity=True),
)


LAYOUTS = ["adjacent", "strided", "reversed", "misaligned", "cast"]


def laid_out(data, layout):
    """`data` in place in a drawn layout: every third double, reversed, misaligned or float32."""
    if layout == "strided":
        wide = np.zeros([*data.shape[:-1], 3 * data.shape[-1]])
        wide[..., ::3] = data
        return wide[..., ::3]
    if layout == "reversed":
        return np.flip(np.flip(data).copy())
    if layout == "misaligned":
        raw = np.zeros(data.nbytes + 8, np.uint8)[3 : 3 + data.nbytes]
        misaligned = raw.view(np.float64).reshape(data.shape)
        misaligned[...] = data
        return misaligned
    if layout == "cast":
        with np.errstate(over="ignore"):
            return data.astype(np.float32)
    return data


@st.composite
def operand(draw, shape):
    """An operand of `shape` or of a shape that broadcasts to it, or a Python float."""
    shape = [n if draw(st.integers(0, 3)) else 1 for n in shape[draw(st.integers(0, len(shape))) :]]
    data = draw(hnp.arrays(np.float64, shape, elements=values))
    layout = draw(st.sampled_from([*LAYOUTS, "scalar"]))
    if layout == "scalar" or not shape:
        return float(data.ravel()[0]) if data.size else 1.0
    return laid_out(data, layout)


@st.composite
def calls(draw):
    """A ufunc call: the function, its operands, out= (new, given, or an operand) and where=."""
    name = draw(st.sampled_from(NAMES))
    nin = ufunc("installed", name).nin
    shape = draw(st.one_of(st.lists(st.integers(0, 6), max_size=3), st.tuples(st.integers(0, 300))))
    arguments = [draw(operand(tuple(shape))) for _ in range(nin)]
    shape = np.broadcast_shapes(*(np.shape(a) for a in arguments))
    out = draw(st.sampled_from([None, "given", *range(nin)]))
    if isinstance(out, int):
        # In place: that operand becomes a float64 array of the full shape.
        full = np.broadcast_to(np.asarray(arguments[out], dtype=np.float64), shape).copy()
        arguments[out] = laid_out(full, draw(st.sampled_from(LAYOUTS[:-1]))) if shape else full
    elif out == "given":
        out = draw(hnp.arrays(np.float64, shape, elements=values))
    mask_shape = shape[draw(st.integers(0, len(shape))) :]
    where = draw(st.one_of(st.just(True), hnp.arrays(np.bool_, mask_shape)))
    return name, arguments, out, where


@settings(max_examples=fuzz_examples(4000), deadline=None)
@given(st.sampled_from(KINDS), calls())
def test_layouts_give_the_scalar_results(kind, call):
    name, arguments, out, where = call
    expected = elementwise(name, arguments)
    if isinstance(out, int):
        out = arguments[out]
    kept = None if out is None else np.array(out, copy=True)
    with np.errstate(all="ignore"):
        got = ufunc(kind, name)(*arguments, out=out, where=where)
    mask = np.broadcast_to(where, expected.shape)
    if out is None:
        # Elements outside where= are left unset.
        got, expected = np.asarray(got)[mask], expected[mask]
    else:
        assert got is out
        expected = np.where(mask, expected, kept)
    assert_same_bits(got, expected, f"{kind} {name}")


@settings(max_examples=fuzz_examples(1000), deadline=None)
@given(
    st.sampled_from(KINDS),
    st.sampled_from(BINARY),
    hnp.arrays(np.float64, st.tuples(st.integers(1, 40), st.integers(1, 5)), elements=values),
    st.sampled_from(LAYOUTS),
    st.sampled_from([0, 1]),
    st.sampled_from(["reduce", "accumulate", "reduceat"]),
    st.data(),
)
def test_reductions_in_any_layout_are_the_scalar_chains(
    kind, name, table, layout, axis, method, data
):
    u, operand = ufunc(kind, name), laid_out(table, layout)
    rows = np.moveaxis(operand, axis, -1).astype(np.float64)
    rows = rows.reshape(-1, rows.shape[-1])
    length = rows.shape[-1]
    with np.errstate(all="ignore"):
        if method == "reduce":
            expected = [fold(name, row) for row in rows]
            got = u.reduce(operand, axis=axis)
        elif method == "accumulate":
            expected = [[fold(name, row[: i + 1]) for i in range(length)] for row in rows]
            got = np.moveaxis(u.accumulate(operand, axis=axis), axis, -1)
        else:
            starts = sorted(data.draw(st.sets(st.integers(0, length - 1), min_size=1)))
            ends = [*starts[1:], length]
            expected = [[fold(name, row[s:e]) for s, e in zip(starts, ends)] for row in rows]
            got = np.moveaxis(u.reduceat(operand, starts, axis=axis), axis, -1)
    assert_same_bits(np.reshape(got, np.shape(expected)), expected, f"{kind} {name} {method}")


# ---- The bins between edges -------------------------------------------------------


def expected_bins(c, k, edges):
    """wbl_cdf over each pair of adjacent edges, c and k broadcast against the rows."""
    edges = np.asarray(edges, dtype=np.float64)
    c, k = (np.asarray(a, dtype=np.float64)[..., None] for a in (c, k))
    return elementwise("wbl_cdf", [c, k, edges[..., :-1], edges[..., 1:]])


def bins_of(kind, c, k, edges, out=None):
    """wbl_bins of that kind; the test-only ones, which cannot size their output, get one."""
    if out is None and kind != "installed":
        out = np.empty(expected_bins(c, k, edges).shape)
    with np.errstate(all="ignore"):
        return ufunc(kind, "wbl_bins")(c, k, edges, out=out)


@pytest.mark.parametrize("kind", KINDS)
def test_bins_are_wbl_cdf_between_adjacent_edges(kind):
    rng = np.random.default_rng(13)
    special = [0.0, np.inf, np.nan, -4.0, 5e-324]
    for n in [0, 1, 2, 3, 8, 9, 31, 64, 129, 300]:
        sorted_edges = np.sort(rng.uniform(0.0, 30.0, n))
        mixed = sorted_edges.copy()
        mixed[rng.integers(0, n, min(n, 3))] = rng.choice(special, min(n, 3))
        for edges in (sorted_edges, mixed, sorted_edges[::-1].copy()):
            # One row of edges against sites x sectors of c and k, and a row
            # of edges for each, in every layout.
            c = rng.uniform(3.0, 14.0, (4, 3))
            k = rng.uniform(1.2, 3.5, (4, 3))
            c[0, 0], k[1, 1] = 0.0, rng.choice(special)
            rows = np.broadcast_to(edges, (4, 3, n)) + rng.uniform(0.0, 1.0, (4, 3, 1))
            for layout in LAYOUTS:
                for shape, row_edges in ((c, edges), (c[..., :1], rows)):
                    row_edges = laid_out(np.asarray(row_edges), layout)
                    got = bins_of(kind, shape, k, row_edges)
                    assert_same_bits(got, expected_bins(shape, k, row_edges), f"{n} {layout}")
            out = np.zeros((4, 3, 2 * max(n - 1, 0)))[..., ::2]
            assert bins_of(kind, c, k, edges, out=out) is out
            assert_same_bits(out, expected_bins(c, k, edges), f"{n} into strided out=")
            # Bins written over their own edges: numpy computes from a copy.
            overlapping = edges.copy()
            bins_of(kind, c[0, 0], k[0, 0], overlapping, out=overlapping[1:])
            assert_same_bits(overlapping[1:], expected_bins(c[0, 0], k[0, 0], edges)[:n], "overlap")


@settings(max_examples=fuzz_examples(1000), deadline=None)
@given(
    st.sampled_from(KINDS),
    hnp.arrays(np.float64, st.tuples(st.integers(1, 3), st.integers(0, 140)), elements=values),
    st.sampled_from(LAYOUTS),
    st.booleans(),
    st.data(),
)
def test_bins_in_any_layout_are_wbl_cdf(kind, edges, layout, given_out, data):
    # Rows of edges (rows x 1 x n) against c of one or every row and k of
    # none, one or several columns.
    c_shape = (data.draw(st.sampled_from([1, len(edges)])), 1)
    k_shape = data.draw(st.sampled_from([(), (1,), (4,)]))
    c = data.draw(hnp.arrays(np.float64, c_shape, elements=values))
    k = data.draw(hnp.arrays(np.float64, k_shape, elements=values))
    edges = laid_out(edges[:, None, :], layout)
    expected = expected_bins(c, k, edges)
    out = np.full(expected.shape, -1.0) if given_out else None
    got = bins_of(kind, c, k, edges, out=out)
    assert out is None or got is out
    assert_same_bits(got, expected, f"{kind} {layout}")
