"""Poisson and least-squares fits of peaks, one spectrum or region per row.

Every row of a stack is fitted alone by the same code, so row s of every
result is bit for bit what ``Y[s]`` alone gives, at every kernel level. The
interpreter lock is released for all the fitting; a signal (Ctrl-C) ends a
long call between rows with its exception.
"""

from typing import NamedTuple

import numpy as np
from numpy.typing import NDArray

class FitResult(NamedTuple):
    """The result of a fit of S rows with P parameters and K peaks or lines.

    A struct sequence: indexable like a tuple, its fields readable by name.
    """

    params: NDArray[np.float64]
    """(S, P) the fitted parameters."""
    covariance: NDArray[np.float64]
    """(S, P, P) the inverse information matrix at the optimum over the free
    parameters; rows and columns of fixed parameters, and of parameters held
    at a bound that the objective pushes outward, are 0. Unscaled for least
    squares (multiply by objective / (m - free parameters) for the scaled
    form); NaN over the free block where the matrix is singular."""
    objective: NDArray[np.float64]
    """(S,) the Poisson deviance or the chi-square; NaN for an invalid row."""
    iterations: NDArray[np.int64]
    """(S,) Jacobian evaluations."""
    status: NDArray[np.int32]
    """(S,) 0 converged; 1 max_iterations reached (or no finite objective
    found); 2 singular information matrix at the end; 3 invalid row."""
    areas: NDArray[np.float64]
    """(S, K) fit_peaks_cy: A sqrt(2 pi v) (1 + sum_j t_j), the integral of
    each peak with its tails over x. fit_folded_cy: each line's A."""
    area_errors: NDArray[np.float64]
    """(S, K) the standard errors of the areas, through the covariance."""

def fit_peaks_cy(
    x: NDArray[np.float64],
    Y: NDArray[np.float64],
    params: NDArray[np.float64],
    background: NDArray[np.float64] | None = None,
    lower: NDArray[np.float64] | None = None,
    upper: NDArray[np.float64] | None = None,
    steps: bool | None = False,
    poisson: bool | None = True,
    weights: NDArray[np.float64] | None = None,
    binned: bool | None = False,
    max_iterations: int = 200,
    tolerance: float = 1e-10,
    tails: int = 0,
) -> FitResult:
    """Fit Gaussian peaks, with optional steps, low-energy tails and a linear
    background, to every row of Y.

    The model of a row is
    f(x) = sum_k A_k exp(-(x - mu_k)**2 / (2 v_k))
         + sum_k h_k erfc((x - mu_k) / sqrt(2 v_k)) / 2     (steps=True)
         + sum_k sum_j T_kj(x)                              (tails=1 or 2)
         + sum_c b_c background[:, c].
    The step is the usual one under a photopeak, higher on the low-energy
    side. Tail j of a peak is the one-sided exponential exp(u / (tau_j s))
    (u < 0) convolved with the peak's Gaussian, with u = x - mu, s = sqrt(v),
    scaled to t_j times the Gaussian's area:
    T_j(x) = A sqrt(2 pi) s t_j / (2 tau_j s) exp(u / (tau_j s) + 1 / (2 tau_j**2))
             * erfc(u / (sqrt(2) s) + 1 / (sqrt(2) tau_j)),
    evaluated as exp(-u**2 / (2 v)) erfcx(...) where that argument is
    positive, so that nothing overflows. t_j >= 0 is the tail's area as a
    fraction of the Gaussian's, tau_j > 0 its decay length in units of s.
    With binned=True every peak, step and tail is integrated over its
    channel, from edge x[i] to x[i+1], in closed form (what a histogram
    holds); the background columns are taken per channel as given.

    Free tails are ill-conditioned on weak peaks (below some 1e4 counts the
    data hardly tell a tail from the Gaussian, the step and the
    background). Calibrate the shape instead: fit the tails free on strong
    isolated peaks, fit t_j(E) and tau_j(E) as smooth curves, and hold them
    at those values (equal bounds) for every peak.

    The estimator: poisson=True minimises the deviance
    D = 2 sum_i (mu_i - y_i + y_i ln(y_i / mu_i)), the deviance of the mean
    clipped at 0 (a y_i = 0 term is 2 max(mu_i, 0): no gain from predicting
    fewer than no counts);
    poisson=False minimises chi2 = sum_i w_i (y_i - mu_i)**2. The method is
    a damped Gauss-Newton (Levenberg-Marquardt) on the information matrix
    (J^T diag(1/mu) J, Fisher scoring, for Poisson; J^T W J for least
    squares, over the channels whose mean is positive), with bounds kept by
    projection; a step is taken only if it lowers the objective, and a
    Poisson step that makes a mean zero or negative where there are counts
    is not taken. A row stops when a step
    accepted at small damping lowers the objective by less than
    tolerance * max(1, objective), or after max_iterations Jacobian
    evaluations.

    Args:
        x: 1-D float64 shared by all rows: the m channel centres, or with
            binned=True the m + 1 channel edges; finite and ascending.
        Y: 2-D float64 (S, m), one spectrum or region per row (a single one
            is ``y[np.newaxis]``). For Poisson, counts >= 0.
        params: float64 (P,), one start for all rows, or (S, P). K peaks of
            (A, mu, variance[, h][, t1, tau1][, t2, tau2]) (h with
            steps=True, a pair per tail), then q background coefficients:
            P - q must be a multiple of the peak's 3 + steps + 2 tails.
            With steps=False the first 3K entries of a result row feed
            ``gaussian.multi_gaussian_cy`` directly.
        background: None, or 2-D float64 (m, q) basis columns, finite (for a
            region, ``[1, x - x0]``).
        lower, upper: None (unbounded) or float64 (P,) or (S, P); +-inf is
            unbounded. The start is projected into the bounds; equal bounds
            hold a parameter fixed at that value. Variances are kept
            positive (at least 1e-100), tail fractions t >= 0 and tail
            lengths tau >= 1e-3, whatever the bounds say.
        steps: whether each peak has a step (4 parameters a peak).
        poisson: Poisson deviance (True) or least squares (False). As for
            every flag, None counts as False.
        weights: least squares only: None (all 1), float64 (m,) or (S, m),
            each >= 0.
        binned: x holds edges and the peaks are integrated per channel.
        max_iterations: the most Jacobian evaluations per row (0 returns the
            projected start).
        tolerance: the relative gain below which a row has converged.
        tails: 0, 1 or 2, the low-energy tails per peak, each adding its
            (t, tau) after the peak's other parameters.

    Returns:
        A FitResult of new C-contiguous arrays; areas are
        A sqrt(2 pi v) (1 + sum_j t_j), the peak with its tails: with
        binned=True its counts, with sampled centres the counts times the
        channel width; area_errors through the covariance of A, v and the
        t_j. A row with NaN or infinite counts, weights or
        start, a negative count (Poisson) or a negative weight gets status
        3, keeps its start, objective NaN and covariance NaN; the other rows
        are unaffected.

    Raises:
        TypeError: wrong argument count or keywords, an array that is not a
            numpy.ndarray, a flag that is not True, False or None, x, Y or
            params None, max_iterations without an integer conversion, tails
            not an integer.
        OverflowError: max_iterations outside the 32-bit range.
        ValueError: wrong dimensions, dtype or byte order; shapes that do
            not agree (each message names both); P - q not a multiple of the
            peak's parameters; weights with poisson=True; lower above upper
            or NaN, or a parameter held at an infinite value (naming the row
            and parameter); x not finite and
            ascending, or a background entry not finite; max_iterations < 0;
            a NaN tolerance; tails not 0, 1 or 2.
        MemoryError: no room for the results (S x P x P doubles for the
            covariance) or the work arrays (about (3P + 12) m doubles, 4 m
            more with tails).
        KeyboardInterrupt: or whatever a signal handler raised, between rows.
    """

def fit_folded_cy(
    x: NDArray[np.float64],
    Y: NDArray[np.float64],
    params: NDArray[np.float64],
    offsets: NDArray[np.int64] | None,
    indices: NDArray[np.int32] | None,
    values: NDArray[np.float64] | None,
    background: NDArray[np.float64] | None = None,
    lower: NDArray[np.float64] | None = None,
    upper: NDArray[np.float64] | None = None,
    max_iterations: int = 200,
    tolerance: float = 1e-10,
) -> FitResult:
    """Fit delta lines and a smooth continuum, folded through a detector
    response, to every row of Y by Poisson likelihood (forward folding).

    The source on the axis x has K lines, each a pair (A, E): A counts at
    energy E, placed between the two bins j, j+1 that bracket E, A (1 - t) in
    bin j and A t in bin j+1 with t = (E - x[j]) / (x[j+1] - x[j]); then the
    continuum sum_c b_c background[:, c]. The predicted measurement is
    mu = M^T source + 1e-12, row j of the response M spreading source bin j
    over the measured bins exactly as ``deconvolution.ML_EM_cy`` reads it.
    The deviance is minimised by the damped Fisher scoring of
    ``fit_peaks_cy``, with the same bounds, fixed parameters, statuses and
    stopping rule; a rejected step that carries a line across a bin
    centre, where the deviance's slope in E changes, is retried with that
    line stopped at the centre.

    The background columns are folded through the response once per call
    (one read of it for every column and spectrum); an iteration then costs
    O(n (q + K)) and the two response rows of each line.

    Args:
        x: the source axis (keV), 1-D float64 of n = Y.shape[1] entries, one
            per response row, finite and ascending.
        Y: the measured spectra, 2-D float64 (S, n), counts >= 0.
        params: float64 (P,) for all rows or (S, P): K (A, E) pairs, then the
            q background coefficients (P - q even). E is kept within
            [x[0], x[n-1]] whatever the bounds say.
        offsets, indices, values: the response in CSR form as ``ML_EM_cy``
            takes it, checked as ``unfolding.ML_EM_batch_cy`` checks it (the
            messages name n as Y.shape[1]).
        background: None, or 2-D float64 (n, q) basis columns on the source
            axis, finite (a few smooth shapes; bound their coefficients
            below by 0 to keep the continuum non-negative).
        lower, upper: None (unbounded) or float64 (P,) or (S, P), as for
            ``fit_peaks_cy``.
        max_iterations: the most Jacobian evaluations per row.
        tolerance: the relative gain below which a row has converged.

    Returns:
        A FitResult; areas are each line's A, the counts it put into the
        detector, and area_errors their standard errors.

    Raises:
        TypeError, OverflowError: as ``fit_peaks_cy``.
        ValueError: wrong dimensions, dtype or byte order; shapes that do
            not agree; P - q odd; inconsistent bounds; x not finite and
            ascending; a background entry not finite; max_iterations < 0; a
            NaN tolerance; a response that reaches outside its arrays.
        MemoryError: no room for the results or the work arrays (about
            (P + 4K + q + 8) n doubles, with q n of them the folded basis).
        KeyboardInterrupt: or whatever a signal handler raised, between rows.
    """
