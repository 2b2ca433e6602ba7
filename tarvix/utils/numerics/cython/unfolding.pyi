"""ML-EM deconvolution of stacks of spectra through one detector response.

Row s of every result is bit for bit what the deconvolution module gives for
the spectrum Y[s] alone; the response is read once per pass for the whole
stack, and the stack's arithmetic runs a vector of spectra at a time. The
interpreter lock is released for all passes; between passes, at most every
50 ms, the functions take it back to run pending signal handlers, so that
Ctrl-C (KeyboardInterrupt) or any exception a handler raises ends the call
with that exception.
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
            conversion (the message led by "iterations: ").
        OverflowError: ``iterations`` outside the 32-bit range.
        ValueError: wrong dimensions (``Y`` must be 2-D), dtype or byte
            order, the message led by the argument's name ("Y: Buffer has
            wrong number of dimensions (expected 2, got 1)"); with
            iterations > 0, a response that reaches outside its arrays or
            ``sensitivity`` shorter than n, as ``ML_EM_cy`` refuses them (the
            messages name n as Y.shape[1]), and offsets that decrease
            (``ML_EM_cy`` reads such a row as empty; SciPy refuses it).
        MemoryError: no room for the work arrays, (4 L + 4) n doubles
            besides the result (one n more for a single spectrum), L = S
            rounded up to a multiple of 8 (1 for a single spectrum); the
            message gives the bytes asked for.
        KeyboardInterrupt: Ctrl-C during the passes (or whatever exception
            a signal handler raises); nothing is returned.
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
        TypeError, OverflowError, ValueError, MemoryError, KeyboardInterrupt:
            as ``ML_EM_batch_cy``, and a read-only ``x`` (NumPy's
            writable-buffer error).
        IndexError: ``x`` and the rows of ``Y`` of different lengths.
    """

def ML_EM_converge_cy(
    Y: NDArray[np.float64],
    offsets: NDArray[np.int64] | None,
    indices: NDArray[np.int32] | None,
    values: NDArray[np.float64] | None,
    sensitivity: NDArray[np.float64] | None,
    tolerance: float = 1e-10,
    max_passes: int = 100000,
) -> tuple[NDArray[np.float64], NDArray[np.int64], NDArray[np.float64]]:
    """Run ML-EM to convergence for every spectrum of a stack, with acceleration.

    Each spectrum starts from all ones and takes steps of its own, each one
    EM pass: from the estimate x, the pass gives g = EM(x) and f = g - x;
    Anderson's mixing of the last (up to 5) differences of g and f proposes
    c = g - sum_a gamma_a dG_a, with gamma the least-squares solution of
    dF gamma = f (ridge 1e-10), kept no lower than 0.1 x element by element
    (so that no element is driven to 0, which EM could never lift again).
    With no differences yet (the first step, and the first after a restart)
    c is g itself: one plain EM pass, so max_passes=1 gives one
    ``ML_EM_cy`` pass bit for bit. c becomes the new estimate when it does
    not lower the objective ML-EM increases,
    sum_i y_i log mu_i - sum_j max(sensitivity_j, 1e-12) x_j with
    mu = M.T @ x + 1e-12 (the Poisson log-likelihood up to a constant when
    the sensitivity is the response's row sums, as for rows normalised to
    1); otherwise g does, and the mixing starts again. The objective therefore never decreases from one estimate
    to the next.

    Stopping rule: a spectrum stops when the objective's gain per
    pass-equivalent over its last 10 steps (one pass-equivalent each),
    divided by its total counts sum(Y[s]), is at most ``tolerance`` (for
    tolerance > 0; 0 or less runs to ``max_passes``). The default 1e-10
    stops the package's 1024-channel demo spectrum, and each of its Poisson
    replicas, at a log-likelihood above that of 20000 plain ``ML_EM_cy``
    passes. A spectrum also stops after ``max_passes``
    steps, when neither the mixed step nor the plain one can raise the
    objective any more (the floor of rounding: with tolerance=0 a spectrum
    uses exactly ``max_passes`` unless it reaches this floor first), and
    when no step can change it: a spectrum of zero counts after its first
    pass (X row all zeros), and every spectrum at once when n = 0. A
    spectrum stops at once, X row all ones, passes 0, log-likelihood NaN,
    when its objective is not finite (NaN or an infinite count in its
    spectrum) and when its
    counts are invalid: a negative total, or a total of 0 with counts other
    than 0.

    Pass-equivalents: one step is one EM pass, one forward and one
    back-projection as in one pass of ``ML_EM_cy``; the forward projection
    of the mixed estimate is made from those of the g, plus the terms of
    the few elements the floor raised (not counted). Row s of every result
    is what the spectrum Y[s] gives alone, bit for bit, whatever the stack.
    A stack runs through at most 16 lanes (a vector of spectra at a time):
    a spectrum that stops leaves its lane to the next one waiting, and once
    none waits the running ones gather in as few vectors as hold them.

    Args:
        Y: the measured spectra, 2-D float64 (S, n), any strides.
        offsets, indices, values: the response in CSR form, as ``ML_EM_cy``
            takes it.
        sensitivity: per source bin, the divisor of each update, 1-D float64
            of at least n entries (below 1e-12 and NaN count as 1e-12).
        tolerance: the stopping rule's bound on the relative gain per pass.
        max_passes: pass-equivalents each spectrum may use; 0 or fewer
            returns ones.

    Returns:
        (X, passes, log_likelihood): the estimates, float64 (S, n); the
        pass-equivalents each spectrum used, int64 (S,); the log-likelihood
        at X, float64 (S,).

    Raises:
        TypeError, OverflowError: as ``ML_EM_batch_cy`` (``max_passes`` is a
            32-bit integer, ``tolerance`` takes Python's float conversion).
        ValueError: as ``ML_EM_batch_cy`` (the response is always checked,
            as the log-likelihood needs it), and a NaN ``tolerance``.
        MemoryError: no room for the work arrays, (27 L + 5) n doubles
            besides the results (one n more for a single spectrum), L = S
            rounded up to a multiple of 8 and at most 16 (1 for a single
            spectrum); the message gives the bytes asked for.
        KeyboardInterrupt: as ``ML_EM_batch_cy``.
    """

def poisson_log_likelihood_cy(
    Y: NDArray[np.float64],
    X: NDArray[np.float64],
    offsets: NDArray[np.int64] | None,
    indices: NDArray[np.int32] | None,
    values: NDArray[np.float64] | None,
) -> NDArray[np.float64]:
    """The Poisson log-likelihood of every estimate of a stack.

    For row s: sum over i of Y[s, i] * log(mu_i) - mu_i, with
    mu = M.T @ X[s] + 1e-12 (the guard of the ML-EM ratio) and a term with
    Y[s, i] = 0 contributing -mu_i; the sum runs over i ascending. Any
    estimate can be compared so, ``ML_EM_cy``'s included (as X[np.newaxis]).

    Args:
        Y: the measured spectra, 2-D float64 (S, n).
        X: the estimates, 2-D float64 of the same shape.
        offsets, indices, values: the response in CSR form, as ``ML_EM_cy``
            takes it.

    Returns:
        float64 (S,).

    Raises:
        TypeError: wrong argument count or keywords, an array that is not a
            numpy.ndarray, ``Y`` or ``X`` None.
        ValueError: wrong dimensions, dtype or byte order, shapes of ``X``
            and ``Y`` that differ, a response that reaches outside its
            arrays.
        MemoryError: no room for the work arrays, as ``ML_EM_batch_cy``.
    """
