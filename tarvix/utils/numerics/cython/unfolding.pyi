"""ML-EM deconvolution of stacks of spectra through one detector response.

Row s of every result is bit for bit what the deconvolution module gives for
the spectrum Y[s] alone; the response is read once per pass for the whole
stack, and the stack's arithmetic runs a vector of spectra at a time. The
interpreter lock is released for all passes.
"""

import numpy as np
from numpy.typing import NDArray

def ML_EM_batch_cy(
    Y: NDArray[np.float64],
    offsets: NDArray[np.int64] | None,
    indices: NDArray[np.int32] | None,
    values: NDArray[np.float64] | None,
    sensitivity: NDArray[np.float64] | None,
    iterations: int = 30,
) -> NDArray[np.float64]:
    """Deconvolve every spectrum of a stack by ML-EM through one response.

    Row s of the result is ``deconvolution.ML_EM_cy(Y[s], offsets, indices,
    values, sensitivity, iterations)``, bit for bit: starting from all ones,
    each pass updates
    x <- x * (M @ (y / (M.T @ x + 1e-12))) / max(sensitivity, 1e-12).

    Args:
        Y: the measured spectra, 2-D float64 of shape (S, n), any strides
            (a single spectrum y is ``y[np.newaxis]``).
        offsets, indices, values: the response in CSR form, as ``ML_EM_cy``
            takes it (int64 row pointers with at least n + 1 entries, int32
            columns, float64 entries; negative positions and columns count
            from the end).
        sensitivity: per source bin, the divisor of each update, 1-D float64
            of at least n entries; values below 1e-12 (and NaN) count as 1e-12.
        iterations: number of passes; 0 or fewer returns ones.

    Returns:
        A new C-contiguous float64 array of shape (S, n).

    Raises:
        TypeError: wrong argument count or keywords, an array that is not a
            numpy.ndarray, ``Y`` None, ``iterations`` without an integer
            conversion.
        OverflowError: ``iterations`` outside the 32-bit range.
        ValueError: wrong dimensions (``Y`` must be 2-D), dtype or byte
            order; with iterations > 0, a response that reaches outside its
            arrays or ``sensitivity`` shorter than n, as ``ML_EM_cy`` refuses
            them (the messages name n as Y.shape[1]).
        MemoryError: no room for the work arrays (4 of S x n doubles).
    """

def richardson_lucy_batch_cy(
    x: NDArray[np.float64],
    Y: NDArray[np.float64],
    k: float,
    sensitivity: NDArray[np.float64] | None,
    iterations: int = 30,
) -> NDArray[np.float64]:
    """Richardson-Lucy deconvolution of every spectrum of a stack.

    The Gaussian response of ``deconvolution.richardson_lucy_cy`` (FWHM
    k * E**1.5 at energy E, truncated at 5 standard deviations, rows
    normalised) is built once from ``x`` and ``k``; row s of the result is
    ``deconvolution.richardson_lucy_cy(x, Y[s], k, sensitivity, iterations)``,
    bit for bit.

    Args:
        x: energy axis (keV), 1-D float64, ascending, one entry per bin;
            taken as a writable buffer (pass ``x.copy()`` for a read-only
            axis).
        Y: the measured spectra, 2-D float64 (S, n), n = len(x).
        k: resolution coefficient.
        sensitivity: per bin, the divisor of each update, 1-D float64 of at
            least n entries.
        iterations: number of passes.

    Returns:
        A new C-contiguous float64 array of shape (S, n).

    Raises:
        TypeError, OverflowError, ValueError: as ``ML_EM_batch_cy``, and a
            read-only ``x`` (NumPy's writable-buffer error).
        IndexError: ``x`` and the rows of ``Y`` of different lengths.
    """
