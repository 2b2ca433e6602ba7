"""What a NumPy/SciPy user would write instead of the package: vectorised, no Python
loop over elements, the same arithmetic as the package up to rounding."""

import numpy as np
import scipy.sparse


def ml_em(y, offsets, indices, values, sensitivity, iterations=30):
    """ML-EM with a CSR matrix built once; each pass M.T @ x, ratio, M @ ratio, update."""
    n = len(y)
    matrix = scipy.sparse.csr_array((values, indices, offsets), shape=(n, n))
    transposed = matrix.T
    divisor = np.where(sensitivity[:n] > 1e-12, sensitivity[:n], 1e-12)
    x = np.ones_like(y)
    for _ in range(iterations):
        ratio = y / (transposed @ x + 1e-12)
        correction = matrix @ ratio
        correction /= divisor
        x *= correction
    return x


def gaussian_response(axis, sigma, nsigma=5.0):
    """Truncated, row-normalised Gaussian response in CSR form, in whole-array steps."""
    n = len(axis)
    sigma = sigma[:n]
    half = nsigma * sigma
    low = np.searchsorted(axis, axis - half)
    high = np.searchsorted(axis, axis + half, side="right")
    counts = np.maximum(high - low, 0)
    offsets = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    rows = np.repeat(np.arange(n), counts)
    columns = np.arange(offsets[-1]) - np.repeat(offsets[:-1] - low, counts)
    x = (axis[columns] - axis[rows]) / sigma[rows]
    weights = np.exp((x * -0.5) * x)
    starts = offsets[:-1][counts > 0]
    norm = np.zeros(n)
    norm[counts > 0] = np.add.reduceat(weights, starts)
    values = weights / np.repeat(norm, counts)
    return offsets, columns.astype(np.int32), values


FWHM_C = 2.3548200450309493


def richardson_lucy(x, y, k, sensitivity, iterations=30):
    sigma = (k * np.sqrt(x)) * x / FWHM_C
    return ml_em(y, *gaussian_response(x, sigma), sensitivity, iterations)


def _regions(e_p, max_value, has_escape_peaks):
    backscatter = e_p / ((2.0 * e_p) / 511.0 + 1.0)
    regions = [0.0, backscatter, e_p - backscatter, e_p - 10.0, e_p + 10.0]
    if has_escape_peaks:
        regions += [e_p - 511.0, e_p - 1022.0, max_value]
        return np.sort(regions)
    return np.array(regions + [max_value])


def _first_not_below(array, keys):
    """Index of the first entry not below each key (ascending array); len(array) if none."""
    return np.searchsorted(array, keys, side="left")


def _interpolate_on_axis(e, axis, row):
    """Linear interpolation of row at e; NaN at or below axis[0] and above axis[-1]."""
    i = _first_not_below(axis, e)
    inside = (i > 0) & (i < len(axis))
    i = np.clip(i, 1, len(axis) - 1)
    x1, x2 = axis[i - 1], axis[i]
    y1, y2 = row[i - 1], row[i]
    out = ((y2 - y1) * (e - x1)) / (x2 - x1) + y1
    out[~inside] = np.nan
    return out


def respgrid(response_matrix, ref_indices, ref_E_axis, requested_indices, requested_E_axis):
    """Per requested row: region mapping on whole arrays, normalisation and cut."""
    max_value = float(np.max(requested_E_axis))
    x = requested_E_axis
    all_columns, all_values, counts = [], [], [0]
    for e_p in requested_indices:
        high_i = int(_first_not_below(ref_indices, e_p))
        low_e, high_e = ref_indices[high_i - 1], ref_indices[high_i]
        high_row = response_matrix[high_i] / np.sum(response_matrix[high_i])
        low_row = response_matrix[high_i - 1] / np.sum(response_matrix[high_i - 1])
        escape = bool(low_e > 1022.0)
        low_regions = _regions(low_e, max_value, escape)
        high_regions = _regions(high_e, max_value, escape)
        t = (e_p - low_e) / (high_e - low_e)
        regions = t * (high_regions - low_regions) + low_regions
        k = _first_not_below(regions, x)
        f = (x - regions[k - 1]) / (regions[k] - regions[k - 1])
        e_high = high_regions[k - 1] + f * (high_regions[k] - high_regions[k - 1])
        e_low = low_regions[k - 1] + f * (low_regions[k] - low_regions[k - 1])
        y_high = _interpolate_on_axis(e_high, ref_E_axis, high_row)
        y_low = _interpolate_on_axis(e_low, ref_E_axis, low_row)
        row = ((y_high - y_low) * (e_p - low_e)) / (high_e - low_e) + y_low
        row /= np.nansum(row)
        columns = np.flatnonzero(row > 1e-12)
        all_columns.append(columns.astype(np.int32))
        all_values.append(row[columns])
        counts.append(len(columns))
    return (np.cumsum(counts, dtype=np.int64),
            np.concatenate(all_columns), np.concatenate(all_values))


def _split(params):
    n = len(params) // 3
    triples = params[:3 * n].reshape(n, 3)
    return triples[:, 0], triples[:, 1], triples[:, 2]


def multi_gaussian(x, params):
    """Sum of peaks by broadcasting over (samples, peaks)."""
    a, mu, var = _split(params)
    dx = x[:, None] - mu
    return np.exp(-0.5 * dx * dx / var) @ a


def multi_gaussian_jacobian(x, params):
    """Jacobian (samples, parameters), written through a (samples, peaks, 3) view."""
    a, mu, var = _split(params)
    jac = np.zeros((len(x), len(params)))
    n = len(a)
    view = jac[:, :3 * n].reshape(len(x), n, 3)
    dx = x[:, None] - mu
    e = np.exp(-0.5 * dx * dx / var)
    view[:, :, 0] = e
    aedx = a * e * dx
    view[:, :, 1] = aedx / var
    view[:, :, 2] = aedx * dx / (2.0 * var * var)
    return jac
