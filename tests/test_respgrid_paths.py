"""Exact results along the faster paths of the resampling kernel.

The kernel works on blocks of the requested axis; it looks up ref_E_axis
from the previous answer (one step up or none in two probes, else outwards
and bisected), reads unit-stride rows directly, writes the row buffer
directly where it is contiguous, and counts the kept entries without a
branch. Each must give the bits of the value-by-value scans of
test_respgrid.expected. `make test-kernels` runs this file at every kernel
level.
"""

import math
import types

import numpy as np
import pytest

from probe_module import kernel_probe
from tarvix.utils.numerics.cython import respgrid
from tarvix.utils.numerics.cython.respgrid import respgrid_cy
import test_respgrid
from test_respgrid import assert_same, expected


def arrays(seed, ref_columns, columns, order="ascending", ref_spread=(0.0, 3000.0)):
    """Reference rows at 5 energies spanning the escape threshold, ref_E_axis ascending on
    ref_spread, and a requested axis of `columns` energies in the given order."""
    rng = np.random.default_rng(seed)
    refs = np.array([150.0, 600.0, 1000.0, 1400.0, 2600.0])
    ref_axis = np.sort(rng.uniform(*ref_spread, ref_columns))
    axis = np.sort(rng.uniform(-20.0, 2900.0, columns))
    if order == "descending":
        axis = axis[::-1].copy()
    elif order == "shuffled":
        rng.shuffle(axis)
    elif order == "zigzag":  # ascending runs with jumps back
        axis = np.concatenate([axis[1::2], axis[::2]])
    matrix = rng.uniform(0.1, 1.0, (len(refs), ref_columns))
    requested = np.array([200.0, 600.0, 1200.0, 2500.0])
    return matrix, refs, ref_axis, requested, axis


@pytest.mark.parametrize("ref_columns, columns", [
    (40, 300),    # reference axis much coarser: mostly no step
    (700, 60),    # much finer: long steps up, past the walk into bisection
    (300, 257),   # one column past a block: the previous answer carries over
    (200, 512),
])
@pytest.mark.parametrize("order", ["ascending", "descending", "shuffled", "zigzag"])
def test_lookups_from_the_previous_answer(ref_columns, columns, order):
    case = arrays(ref_columns + columns, ref_columns, columns, order)
    assert_same(respgrid_cy(*case), expected(*case))


@pytest.mark.parametrize("edit", ["ties", "infinite ends", "narrow reference axis"])
def test_lookups_on_ties_and_unbounded_axes(edit):
    matrix, refs, ref_axis, requested, axis = arrays(5, 120, 300)
    if edit == "ties":
        ref_axis[10:40] = ref_axis[10]
        ref_axis[60:62] = ref_axis[59]
    elif edit == "infinite ends":
        ref_axis[0], ref_axis[-1] = -np.inf, np.inf
    else:  # most mapped energies fall off the axis on either side: NaN there
        _, _, ref_axis, _, _ = arrays(5, 120, 300, ref_spread=(800.0, 1300.0))
    case = (matrix, refs, ref_axis, requested, axis)
    with np.errstate(invalid="ignore"):
        assert_same(respgrid_cy(*case), expected(*case))


class StridedQuotient:
    """A sum whose quotient is a strided array: row / total gives the values of
    row / np.sum(row), every other element of a larger array."""

    __array_ufunc__ = None

    def __init__(self, total):
        self.total = total

    def __rtruediv__(self, row):
        spaced = np.full(2 * len(row), np.nan)
        spaced[::2] = row / self.total
        return spaced[::2]


def test_strided_rows_and_row_buffer(monkeypatch):
    case = arrays(6, 80, 300)
    stub = types.SimpleNamespace(**{name: getattr(np, name) for name in (
        "nansum", "max", "asarray", "float64", "int32", "int64")})
    stub.sum = lambda row: StridedQuotient(np.sum(row))
    stub.empty = lambda n, dtype: np.empty(3 * n, dtype)[::3]
    monkeypatch.setattr(respgrid, "np", stub)
    result = respgrid_cy(*case)
    monkeypatch.undo()
    assert_same(result, expected(*case))


def split_last_region(boundaries, extra):
    """The boundaries with `extra` more, each halving the last region."""
    boundaries = list(boundaries)
    for _ in range(extra):
        boundaries.insert(-1, (boundaries[-2] + boundaries[-1]) / 2)
    return boundaries


@pytest.mark.parametrize("extra", [1, 2, 3])
def test_region_counts_other_than_six_and_eight(monkeypatch, extra):
    # 7 to 11 boundaries per row, as np.asarray might return them.
    case = arrays(7, 90, 200)
    stub = types.SimpleNamespace(**vars(np))
    # Only the region lists (an int 0 first, then floats) are split; the
    # final conversions of the result pass through the same stub.
    stub.asarray = lambda values, dtype: np.asarray(
        split_last_region(values, extra) if dtype is np.float64 and type(values[0]) is int
        else values, dtype)
    monkeypatch.setattr(respgrid, "np", stub)
    plain_regions = test_respgrid.regions
    monkeypatch.setattr(test_respgrid, "regions",
                        lambda *args: split_last_region(plain_regions(*args), extra))
    result = respgrid_cy(*case)
    assert_same(result, expected(*case))
    monkeypatch.undo()
    assert result[2].tobytes() != respgrid_cy(*case)[2].tobytes()


def test_kept_and_dropped_entries_interleaved():
    # Reference rows alternating between ordinary and negligible values give
    # requested rows whose kept columns alternate with dropped ones.
    matrix, refs, ref_axis, requested, axis = arrays(8, 100, 400)
    matrix[:, 1::2] = 1e-30
    matrix[:, 3::7] = 0.0
    case = (matrix, refs, ref_axis, requested, axis)
    result = respgrid_cy(*case)
    assert 0 < len(result[1]) < 0.9 * len(requested) * len(axis)
    assert_same(result, expected(*case))


# -- the search from the previous answer, driven directly ----------------------

SEARCH_AXES = {
    "empty": [],
    "one": [1.0],
    "two": [1.0, 2.0],
    "three": [1.0, 2.0, 3.0],
    "spaced": list(np.arange(12.0) * 1.5),
    "ties": [0.0, 1.0, 1.0, 1.0, 2.0, 5.0, 5.0, 9.0, 9.0],
    "infinite ends": [-math.inf, 0.0, 1.0, 2.0, 3.0, math.inf],
}


def scan(E, axis):
    """find_index_from_energy with len(axis) for none."""
    return next((i for i, a in enumerate(axis) if not E > a), len(axis))


@pytest.mark.parametrize("axis", SEARCH_AXES.values(), ids=SEARCH_AXES)
def test_search_from_every_hint_finds_the_scans_index(axis):
    # Every hint against every kind of key: at the hint, one step up, farther
    # either way, on entries and ties, off both ends, NaN and infinite.
    keys = axis + [a + 0.25 for a in axis] + [a - 0.25 for a in axis]
    keys += [-1e9, 1e9, math.nan, math.inf, -math.inf]
    values = np.array(axis, dtype=np.float64)
    probe = kernel_probe()
    for key in keys:
        found = [probe.find_index_near(key, values, hint) for hint in range(len(axis) + 1)]
        assert found == [scan(key, axis)] * (len(axis) + 1), key


@pytest.mark.parametrize("nans", [0, 1, 3])
def test_numpy_order_searches_from_every_hint(nans):
    # The same outward search under NumPy's order, NaN last, both sides.
    rng = np.random.default_rng(nans)
    axis = np.sort(np.round(rng.uniform(0.0, 6.0, 25), 0))
    if nans:
        axis[-nans:] = np.nan
    keys = np.concatenate([axis, axis + 0.5, [-1.0, 7.0, np.nan, np.inf, -np.inf]])
    probe = kernel_probe()
    for side in ("left", "right"):
        for key in keys:
            wanted = np.searchsorted(axis, key, side=side)
            found = {probe.searchsorted(axis, key, side == "right", hint) for hint in range(len(axis) + 1)}
            assert found == {wanted}, (side, key)


# -- region tables of every size -----------------------------------------------


@pytest.mark.parametrize("kept", [0, 1, 2, 3])
def test_region_counts_below_six(monkeypatch, kept):
    # The first `kept` boundaries only (none at all, a lone boundary, one or
    # two regions): where no region holds x the value is NaN, and a row of
    # NaN only normalises to NaN and keeps nothing.
    case = arrays(9, 90, 200)
    stub = types.SimpleNamespace(**vars(np))
    stub.asarray = lambda values, dtype: np.asarray(
        values[:kept] if dtype is np.float64 and values and type(values[0]) is int else values, dtype)
    monkeypatch.setattr(respgrid, "np", stub)
    plain_regions = test_respgrid.regions
    monkeypatch.setattr(test_respgrid, "regions", lambda *args: plain_regions(*args)[:kept])
    with np.errstate(invalid="ignore", divide="ignore"):
        result = respgrid_cy(*case)
        assert_same(result, expected(*case))
    assert (len(result[1]) > 0) == (kept >= 2)


@pytest.mark.parametrize("refs", [[60.0, 90.0, 130.0, 200.0], [20.0, 700.0, 1030.0, 1100.0, 2900.0]],
                         ids=["boundaries out of order", "with and without escape peaks"])
def test_low_lines_and_escape_peaks(refs):
    # Below about 150 keV the backscatter energy exceeds the Compton edge, so
    # the boundaries are not ascending and the region scan stops early; above
    # 1022 keV the lower line brings the two escape peaks.
    rng = np.random.default_rng(len(refs))
    refs = np.array(refs)
    ref_axis = np.sort(rng.uniform(0.0, 3000.0, 300))
    axis = np.sort(rng.uniform(-5.0, 2950.0, 700))
    matrix = rng.uniform(0.1, 1.0, (len(refs), 300))
    requested = rng.uniform(refs[0], refs[-1], 6)
    case = (matrix, refs, ref_axis, requested, axis)
    assert_same(respgrid_cy(*case), expected(*case))
