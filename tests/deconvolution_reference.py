"""Independent evaluations of what the deconvolution module computes.

Written from the documented arithmetic with plain Python floats, one
operation at a time, so that results can be compared bit for bit: fused
multiply-adds are evaluated exactly through fractions.Fraction and rounded
once (exact.fma), divisions follow IEEE rules (no ZeroDivisionError), and
the window of each Gaussian row comes from NumPy's own searchsorted.
"""

import math

import numpy as np

import exact
from exact import fma

FWHM_C = 2.3548200450309493


def div(a, b):
    """a / b by IEEE rules."""
    if b == 0:
        if a == 0 or math.isnan(a):
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


def sqrt(a):
    return math.sqrt(a) if a >= 0 else math.nan


def ml_em(y, offsets, indices, values, sensitivity, iterations=30):
    """The ML-EM loops, element by element; negative indices count from the end."""
    y = [float(v) for v in y]
    offsets = [int(v) for v in offsets]
    indices = [int(v) for v in indices]
    values = [float(v) for v in values]
    sensitivity = [float(v) for v in sensitivity]
    n = len(y)
    x = [1.0] * n
    for _ in range(iterations):
        estimate = [0.0] * n
        for j in range(n):
            for k in range(offsets[j], offsets[j + 1]):
                column = indices[k]
                estimate[column] = fma(values[k], x[j], estimate[column])
        ratio = [div(y[i], estimate[i] + 1e-12) for i in range(n)]
        correction = []
        for j in range(n):
            total = 0.0
            for k in range(offsets[j], offsets[j + 1]):
                total = fma(values[k], ratio[indices[k]], total)
            correction.append(total)
        for i in range(n):
            s = sensitivity[i]
            correction[i] = div(correction[i], s if s > 1e-12 else 1e-12)
        x = [x[i] * correction[i] for i in range(n)]
    return np.array(x, dtype=np.float64)


def gaussian_response(axis, sigma, nsigma=5.0):
    """The truncated, row-normalised Gaussian response, windows by np.searchsorted."""
    axis_array = np.array(axis, dtype=np.float64)
    axis = [float(v) for v in axis_array]
    sigma = [float(v) for v in sigma]
    offsets, indices, values = [0], [], []
    for i, centre in enumerate(axis):
        s = sigma[i]
        xmin = centre - nsigma * s
        xmax = centre + nsigma * s
        low = int(np.searchsorted(axis_array, xmin))
        high = int(np.searchsorted(axis_array, xmax, side="right"))
        norm = 0.0
        for j in range(low, high):
            d = div(axis[j] - centre, s)
            norm = norm + math.exp((d * -0.5) * d)
        for j in range(low, high):
            d = div(axis[j] - centre, s)
            indices.append(j)
            values.append(div(math.exp((d * -0.5) * d), norm))
        offsets.append(len(values))
    return (np.array(offsets, dtype=np.int64), np.array(indices, dtype=np.int32),
            np.array(values, dtype=np.float64))


def get_sigma(k, energy):
    resolution = k * sqrt(energy)
    return div(resolution * energy, FWHM_C)


def richardson_lucy(x, y, k, sensitivity, iterations=30):
    sigmas = [get_sigma(float(k), float(energy)) for energy in x]
    offsets, indices, values = gaussian_response(x, sigmas)
    return ml_em(y, offsets, indices, values, sensitivity, iterations)


def assert_same_bits(actual, expected):
    """Same dtype, shape and bits (NaN matches NaN); integer arrays equal."""
    actual = np.asarray(actual)
    expected = np.asarray(expected)
    assert actual.dtype == expected.dtype, (actual.dtype, expected.dtype)
    if actual.dtype.kind == "f":
        exact.assert_same_bits(actual, expected)
    else:
        assert actual.shape == expected.shape and np.array_equal(actual, expected), (actual, expected)


def csr_from_rows(rows):
    """CSR arrays (int64 offsets, int32 indices, float64 values) from a list of
    (columns, values) rows."""
    counts = [len(columns) for columns, _ in rows]
    offsets = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
    indices = np.concatenate([np.asarray(c, dtype=np.int32) for c, _ in rows] + [np.zeros(0, np.int32)])
    values = np.concatenate([np.asarray(v, dtype=np.float64) for _, v in rows] + [np.zeros(0)])
    return offsets, indices, values
