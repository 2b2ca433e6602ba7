"""Deconvolution of measured spectra through a detector response."""

from typing import Any

import numpy as np
from numpy.typing import NDArray

def ML_EM_cy(
    y: NDArray[np.float64] | None,
    offsets: NDArray[np.int64] | None,
    indices: NDArray[np.int32] | None,
    values: NDArray[np.float64] | None,
    sensitivity: NDArray[np.float64] | None,
    iterations: int = 30,
    reg_tikhonov: bool | None = False,
    reg_tikhonov_lambda: float = 0.001,
    use_sensitivity: bool | None = False,
) -> NDArray[np.float64]:
    """Reconstruct a source spectrum by maximum-likelihood expectation-maximisation.

    Starting from all ones, each pass updates
    x <- x * (M @ (y / (M.T @ x + 1e-12))) / max(sensitivity, 1e-12),
    where row j of the sparse response M (CSR: ``offsets``, ``indices``,
    ``values``) is source bin j and its columns are measured bins.

    Args:
        y: measured spectrum (counts per bin), 1-D float64; its length n is
            the length of the estimate.
        offsets: CSR row pointers, 1-D int64, at least n + 1 entries.
        indices: CSR column of each entry, 1-D int32 (negative values count
            from the end, -1 being the last measured bin).
        values: CSR matrix element of each entry, 1-D float64.
        sensitivity: per source bin, the divisor of each update, 1-D float64
            of at least n entries; values below 1e-12 (and NaN) count as 1e-12.
        iterations: number of passes; 0 or fewer returns n ones.
        reg_tikhonov, reg_tikhonov_lambda, use_sensitivity: accepted and
            type-checked, not used by the iteration.

    Returns:
        The new estimate, float64, of the shape of ``y``.

    Raises:
        TypeError: wrong argument count or keywords, an array that is not a
            numpy.ndarray, a flag that is not exactly True, False or None,
            ``iterations`` without an integer conversion.
        OverflowError: ``iterations`` outside the 32-bit range.
        ValueError: wrong dimensions, dtype or byte order; with iterations
            > 0, a response that reaches outside its arrays (short
            ``offsets``, positions outside ``indices``/``values``, columns
            outside n, ``sensitivity`` shorter than n or None).
    """

def build_gaussian_response(
    axis: Any,
    sigma: Any,
    nsigma: float = 5.0,
) -> tuple[NDArray[np.int64], NDArray[np.int32], NDArray[np.float64]]:
    """Build a truncated, row-normalised Gaussian response on an axis, in CSR form.

    Row i is a Gaussian centred on axis[i] with standard deviation sigma[i],
    sampled at the axis points within +-nsigma*sigma[i] (both bounds
    included) and divided by the sum of those samples, so a non-empty row
    sums to 1.

    Args:
        axis: sampling axis (for spectra, energies in keV), ascending; any
            writable 1-D float64 buffer, any strides, or None (empty axis).
        sigma: standard deviation per axis point, in the units of ``axis``;
            a writable 1-D float64 buffer at least as long as ``axis``.
        nsigma: half-width of the window in standard deviations.

    Returns:
        (offsets int64 of n + 1 entries, indices int32, values float64).

    Raises:
        TypeError: wrong argument count or keywords; an object without a
            buffer; ``nsigma`` not convertible to float.
        ValueError: wrong dimensions, dtype, byte order, or a read-only buffer.
        IndexError: ``sigma`` shorter than ``axis``.
    """

def richardson_lucy_cy(
    x: NDArray[np.float64] | None,
    y: NDArray[np.float64] | None,
    k: float,
    sensitivity: NDArray[np.float64] | None,
    iterations: int = 30,
    reg_tikhonov: bool | None = False,
    reg_tikhonov_lambda: float = 0.001,
    use_sensitivity: bool | None = False,
) -> NDArray[np.float64]:
    """Richardson-Lucy deconvolution of ``y`` on the energy axis ``x``.

    The response is Gaussian with FWHM = k * E**1.5 at energy E (so a
    relative resolution of k * sqrt(E)), truncated at +-5 sigma; the
    iteration is ``ML_EM_cy``'s.

    Args:
        x: energy axis in keV, ascending, 1-D float64 (writable), same length
            as ``y``.
        y: measured spectrum, 1-D float64.
        k: resolution coefficient, in keV**-0.5.
        sensitivity: per-bin divisor of every update, 1-D float64.
        iterations, reg_tikhonov, reg_tikhonov_lambda, use_sensitivity: as
            for ``ML_EM_cy``.

    Returns:
        The deconvolved spectrum, float64, of the shape of ``y``.

    Raises:
        TypeError, OverflowError, ValueError: as for ``ML_EM_cy``; ValueError
            also for a read-only ``x``.
        IndexError: ``x`` and ``y`` of different lengths.
    """
