"""Exact results along the contiguous paths of the deconvolution module.

With unit-stride arrays of its own, ML-EM runs on plain pointers: rows whose
columns are consecutive are read as runs (no index loads, a blocked forward
update across several rows), other rows through their indices. The response
builder on NumPy's own search writes the rows straight into the result
arrays. Each must give the bits of the strided path and of the reference.
"""

import numpy as np
import pytest

from deconvolution_reference import assert_same_bits, csr_from_rows, gaussian_response, ml_em
from tarvix.utils.numerics.cython import deconvolution

ML_EM_cy = deconvolution.ML_EM_cy


def strided(array):
    """The same values through a view with twice the stride, which the plain path refuses."""
    wide = np.repeat(array, 2)
    return wide[::2]


def run_rows(rng, n, kind):
    """Rows of consecutive columns: neighbours overlapping (as a Gaussian response has them),
    some empty, some ending at the last column, some far apart; `mixed` breaks some runs."""
    rows = []
    for j in range(n):
        if kind == "spread":
            first = int(rng.integers(0, n))
            length = int(rng.integers(0, 4))
        else:
            half = int(rng.integers(0, 9 if kind == "long" else 3))
            first = max(0, j - half)
            length = min(n, j + half + 1) - first
            if rng.random() < 0.1:
                length = 0
        length = min(length, n - first)
        columns = np.arange(first, first + length)
        if kind == "mixed" and length > 1 and rng.random() < 0.3:
            columns[int(rng.integers(1, length))] = int(rng.integers(0, n))
        rows.append((columns, rng.uniform(0.0, 1.0, size=length)))
    return csr_from_rows(rows)


@pytest.mark.parametrize("kind", ["band", "long", "spread", "mixed"])
@pytest.mark.parametrize("n", [1, 5, 6, 13, 31])
def test_ml_em_runs_match_reference(kind, n):
    rng = np.random.default_rng(7 * n + len(kind))
    response = run_rows(rng, n, kind)
    y = rng.uniform(0.0, 20.0, size=n)
    sensitivity = rng.uniform(0.5, 2.0, size=n)
    for iterations in (1, 3):
        x = ML_EM_cy(y, *response, sensitivity, iterations)
        assert_same_bits(x, ml_em(y, *response, sensitivity, iterations))


@pytest.mark.parametrize("special", ["none", "nan-y", "inf-value", "negative", "zero-prediction"])
@pytest.mark.parametrize("kind", ["long", "mixed"])
def test_ml_em_plain_path_matches_strided_path(special, kind):
    # Larger responses, many passes, and values that make infinities, NaN and
    # signed zeros: every bit as on the strided kernels.
    rng = np.random.default_rng(len(special) + 10 * len(kind))
    n = 257
    offsets, indices, values = run_rows(rng, n, kind)
    y = rng.uniform(0.0, 50.0, size=n)
    sensitivity = rng.uniform(0.5, 2.0, size=n)
    sensitivity[::7] = 0.0
    if special == "nan-y":
        y[[3, 100]] = np.nan
    elif special == "inf-value":
        values[len(values) // 2] = np.inf
    elif special == "negative":
        values[::3] *= -1.0
        y[::4] *= -1.0
    elif special == "zero-prediction":
        values[:] = 0.0  # every prediction is 0 + 1e-12
        values[::11] = -1e-12
    with np.errstate(all="ignore"):
        plain = ML_EM_cy(y, offsets, indices, values, sensitivity, 12)
        reference = ML_EM_cy(y, offsets, indices, strided(values), sensitivity, 12)
    assert_same_bits(plain, reference)


def test_ml_em_gaussian_response_matches_strided_path():
    axis = (np.arange(700) + 0.5) * 3.0
    response = deconvolution.build_gaussian_response(axis, 0.002 * axis ** 1.5 / 2.3548200450309493)
    y = np.random.default_rng(3).poisson(40.0, size=700).astype(np.float64)
    offsets, indices, values = response
    plain = ML_EM_cy(y, offsets, indices, values, np.ones(700), 30)
    assert_same_bits(plain, ML_EM_cy(y, offsets, indices, strided(values), np.ones(700), 30))


class SharedWorkArrays:
    """Stands in for the module's `np`; empty_like hands out one array for `ratio` and
    `correction`, so that the last pass writes the array it reads."""

    def __init__(self):
        self.calls = 0
        self.shared = None

    def __getattr__(self, name):
        return getattr(np, name)

    def empty_like(self, like):
        self.calls += 1  # estimate, ratio, correction, in that order
        if self.calls % 3 == 1:
            return np.empty_like(like)
        if self.calls % 3 == 2:
            self.shared = np.empty_like(like)
        return self.shared


def test_ml_em_work_arrays_sharing_memory_take_the_strided_path(monkeypatch):
    rng = np.random.default_rng(11)
    n = 40
    offsets, indices, values = run_rows(rng, n, "band")
    y = rng.uniform(1.0, 9.0, size=n)
    monkeypatch.setattr(deconvolution, "np", SharedWorkArrays())
    shared = ML_EM_cy(y, offsets, indices, values, np.ones(n), 3)
    expected = ML_EM_cy(y, offsets, indices, strided(values), np.ones(n), 3)
    monkeypatch.undo()
    assert_same_bits(shared, expected)
    assert not np.array_equal(shared, ML_EM_cy(y, offsets, indices, values, np.ones(n), 3))


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 9, 66])
def test_response_written_in_place_is_exact_and_owned(n):
    # Rows go out four at a time, the remainder one by one; the arrays are
    # made at their final sizes and must be ordinary arrays of those sizes.
    axis = np.cumsum(np.random.default_rng(n).uniform(0.2, 1.0, size=n))
    sigma = np.linspace(0.1, 2.5, n)
    got = deconvolution.build_gaussian_response(strided(axis), sigma)
    for actual, expected in zip(got, gaussian_response(axis, sigma), strict=True):
        assert_same_bits(actual, expected)
        assert actual.base is None and actual.flags.owndata and actual.flags.c_contiguous
        assert actual.flags.writeable and actual.nbytes == len(actual) * actual.itemsize


@pytest.mark.parametrize("seed", range(4))
def test_windows_searched_from_the_previous_row(seed):
    # Each row's search starts at the previous row's window, so windows that
    # jump far in either direction, empty ones (negative, NaN widths) and
    # bounds beyond the ends (infinite widths) must still land where
    # np.searchsorted puts them; repeated and NaN axis points included.
    rng = np.random.default_rng(seed)
    n = 300
    axis = np.sort(np.round(rng.uniform(0.0, 100.0, size=n), 1))
    axis[-3:] = np.nan
    sigma = rng.choice([0.05, 0.5, 3.0, 40.0], size=n)
    odd = rng.random(n) < 0.1
    sigma[odd] = rng.choice([np.nan, -2.0, 0.0, np.inf], size=odd.sum())
    with np.errstate(all="ignore"):
        got = deconvolution.build_gaussian_response(axis, sigma, 1.5)
        expected = gaussian_response(axis, sigma, 1.5)
    for actual, wanted in zip(got, expected, strict=True):
        assert_same_bits(actual, wanted)


@pytest.mark.parametrize("poison", [np.inf, np.nan])
def test_empty_row_among_runs_reads_nothing(poison):
    # Rows 0-5 advance together; row 3 is empty, the others share columns
    # 6-9. An empty row has no entries to add: nothing may be read for it.
    # The rows' entries start at position 20, after entries no row uses,
    # which hold `poison`.
    n = 12
    rows = [(range(6, 10), [0.25] * 4)] * 3 + [((), ())] + [(range(6, 10), [0.25] * 4)] * 2
    rows += [([j], [1.0]) for j in range(6, 12)]
    offsets, indices, values = csr_from_rows(rows)
    unused = 20
    offsets = offsets + unused
    indices = np.concatenate([np.zeros(unused, np.int32), indices])
    values = np.concatenate([np.full(unused, poison), values])
    y = np.arange(1.0, 13.0)
    got = ML_EM_cy(y, offsets, indices, values, np.ones(n), 3)
    assert not np.isnan(got).any()
    assert_same_bits(got, ml_em(y, offsets, indices, values, np.ones(n), 3))
