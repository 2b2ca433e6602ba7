"""Exact results along the faster paths of the deconvolution kernels.

Every pass of ML-EM but the last finishes its update and starts the next
forward projection in one sweep over the rows; the Gaussian response
evaluates each row's exponentials in one vectorised call. Both must give
the bits of the plain element-by-element evaluation.
"""

import numpy as np
import pytest

from deconvolution_reference import assert_same_bits, gaussian_response, ml_em
from tarvix.utils.numerics.cython import deconvolution


def banded_response(rng, n, width, negative):
    """Rows of different lengths whose columns overlap those of their neighbours, some
    repeated within a row, with negative columns (counting from the end) when asked."""
    counts = rng.integers(0, width + 1, size=n)
    offsets = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
    rows = np.repeat(np.arange(n), counts)
    columns = (rows + rng.integers(-width // 2, width // 2 + 1, size=offsets[-1])) % n
    if negative:
        flip = rng.random(offsets[-1]) < 0.3
        columns[flip] -= n
    return offsets, columns.astype(np.int32), rng.uniform(0.0, 1.0, size=offsets[-1])


@pytest.mark.parametrize("iterations", [1, 2, 3, 6])
@pytest.mark.parametrize("n", [3, 4, 9, 17])
@pytest.mark.parametrize("negative", [False, True], ids=["plain", "from-the-end"])
def test_ml_em_passes_match_reference(iterations, n, negative):
    rng = np.random.default_rng(100 * n + iterations + negative)
    response = banded_response(rng, n, 6, negative)
    y = rng.uniform(0.0, 20.0, size=n)
    sensitivity = rng.uniform(0.5, 2.0, size=n)
    sensitivity[::5] = 0.0
    x = deconvolution.ML_EM_cy(y, *response, sensitivity, iterations)
    assert_same_bits(x, ml_em(y, *response, sensitivity, iterations))


def test_ml_em_strided_work_through_fused_passes():
    # Strided inputs through the same sweep.
    rng = np.random.default_rng(5)
    n = 10
    offsets, indices, values = banded_response(rng, n, 5, False)
    y = rng.uniform(1.0, 5.0, size=2 * n)[::2]
    wide_values = np.repeat(values, 2)[::2]
    x = deconvolution.ML_EM_cy(y, offsets, indices, wide_values, np.ones(3 * n)[::3], 4)
    assert_same_bits(x, ml_em(y, offsets, indices, values, np.ones(n), 4))


@pytest.mark.parametrize("n", [40, 203])
@pytest.mark.parametrize("width", [0.7, 3.3, 11.0])
def test_gaussian_rows_of_many_lengths_match_reference(n, width):
    # Rows from one to dozens of entries, cut by both ends of the axis, so
    # that the vectorised exponentials meet every remainder length.
    axis = np.cumsum(np.random.default_rng(n).uniform(0.5, 1.5, size=n))
    sigma = width * (0.2 + axis / axis[-1])
    got = deconvolution.build_gaussian_response(axis, sigma)
    for actual, expected in zip(got, gaussian_response(axis, sigma), strict=True):
        assert_same_bits(actual, expected)


def resampling_inputs(n_rows, level):
    ref_indices = np.array([400.0, 800.0, 1600.0])
    ref_axis = np.linspace(1.0, 2000.0, 60)
    matrix = np.vstack([np.full(60, 1.0), np.linspace(1.0, 3.0, 60), np.full(60, 2.0)]) * level
    requested = np.linspace(450.0, 1600.0, n_rows)
    requested_axis = np.linspace(5.0, 1900.0, 37)
    return matrix, ref_indices, ref_axis, requested, requested_axis


@pytest.mark.parametrize("n_rows", [1, 5])
@pytest.mark.parametrize("level", [1.0, np.nan], ids=["kept", "all-dropped"])
def test_resampled_result_arrays_are_ordinary_and_exact_in_size(n_rows, level):
    # The kept entries are written into arrays made for every column of every
    # row and then cut to size: what comes back must be plain owning arrays of
    # exactly the kept length, equal to a copy of themselves.
    from tarvix.utils.numerics.cython import respgrid

    with np.errstate(all="ignore"):
        offsets, indices, values = respgrid.respgrid_cy(*resampling_inputs(n_rows, level))
    assert len(offsets) == n_rows + 1
    assert len(indices) == len(values) == offsets[-1]
    if np.isnan(level):
        assert offsets[-1] == 0
    for array, dtype in ((indices, np.int32), (values, np.float64)):
        assert array.dtype == dtype and array.base is None
        assert array.flags.owndata and array.flags.c_contiguous and array.flags.writeable
        assert array.nbytes == len(array) * array.itemsize
    array = values.copy()
    values.resize(len(values) + 3, refcheck=False)
    assert_same_bits(values[:len(array)], array)
    for row in range(n_rows):
        columns = indices[offsets[row]:offsets[row + 1]]
        assert np.all(np.diff(columns) > 0)
