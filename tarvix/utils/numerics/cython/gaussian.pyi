"""A sum of Gaussian peaks and its Jacobian, for least-squares fits."""

import numpy as np
from numpy.typing import NDArray

def multi_gaussian_cy(x: NDArray[np.float64], params: NDArray[np.float64]) -> NDArray[np.float64]:
    """Evaluate a sum of Gaussian peaks at the sample positions ``x``.

    y[j] = sum over peaks k of A_k * exp(-0.5 * (x[j] - mu_k)**2 / variance_k)

    Args:
        x: sample positions (for spectra, energies in keV), 1-D float64,
            any strides; only read.
        params: consecutive (A, mu, variance) triples, 1-D float64; A is the
            peak height, mu the centre in the units of ``x``, variance the
            square of the width. Trailing entries that do not make a whole
            triple are ignored. No check of zero or negative variances:
            IEEE arithmetic applies.

    Returns:
        A new float64 array of shape (len(x),).

    Raises:
        TypeError: wrong argument count or keywords; an argument that is not
            a numpy.ndarray (None included).
        ValueError: an array that is not 1-D float64 in native byte order.
    """

def multi_gaussian_jacobian_cy(x: NDArray[np.float64], params: NDArray[np.float64]) -> NDArray[np.float64]:
    """Partial derivatives of ``multi_gaussian_cy(x, params)`` by each parameter.

    For peak k, with e = exp(-0.5 * dx**2 / variance) and dx = x[j] - mu:
    J[j, 3k] = e, J[j, 3k+1] = A*e*dx / variance,
    J[j, 3k+2] = A*e*dx*dx / (2*variance**2).

    Args:
        x: sample positions, 1-D float64, any strides; only read.
        params: (A, mu, variance) triples, 1-D float64; the columns of
            trailing entries that do not make a whole triple stay zero.

    Returns:
        A new C-ordered float64 array of shape (len(x), len(params)), the
        layout scipy.optimize.least_squares takes as a Jacobian.

    Raises:
        TypeError: wrong argument count or keywords; an argument that is not
            a numpy.ndarray (None included).
        ValueError: an array that is not 1-D float64 in native byte order.
    """
