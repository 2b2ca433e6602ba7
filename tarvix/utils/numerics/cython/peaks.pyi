"""The continuum under the peaks of gamma spectra, and the peaks, found.

Each function takes a stack of spectra, one per row, and runs a block of
rows side by side in vectors with the same operations in every lane, so
row s of every result is bit for bit what ``Y[s]`` alone gives, at every
kernel level. Inputs are never written; the interpreter lock is released for
the work, and a signal (Ctrl-C) ends a long call between blocks of rows with
its exception.
"""

from typing import final

import numpy as np
from numpy.typing import NDArray

@final
class PeakList(tuple):  # a struct sequence, as os.stat_result is
    """The peaks of S spectra: CSR-like, row s's peaks are entries
    ``offsets[s]`` to ``offsets[s+1] - 1`` of the other fields, ascending in
    position. A struct sequence: indexable like a tuple, its fields readable
    by name.
    """

    @property
    def offsets(self) -> NDArray[np.int64]:
        """(S + 1,) where each row's peaks start; offsets[0] = 0, offsets[S] = N."""
    @property
    def position(self) -> NDArray[np.float64]:
        """(N,) the centroid in channels (the centre of channel i is i), sub-channel."""
    @property
    def significance(self) -> NDArray[np.float64]:
        """(N,) the net counts over their standard deviation under Poisson counting."""
    @property
    def net(self) -> NDArray[np.float64]:
        """(N,) the estimated net counts of a Gaussian of the local width."""
    @property
    def width(self) -> NDArray[np.float64]:
        """(N,) the FWHM in channels that the search assumed there."""

@final
class PeakTable(tuple):  # a struct sequence, as os.stat_result is
    """The peaks of S analysed spectra: row s's peaks are entries
    ``offsets[s]`` to ``offsets[s+1] - 1`` of the other fields, ascending in
    energy. A struct sequence: indexable like a tuple, its fields readable
    by name.
    """

    @property
    def offsets(self) -> NDArray[np.int64]:
        """(S + 1,) where each row's peaks start; offsets[0] = 0, offsets[S] = N."""
    @property
    def energy(self) -> NDArray[np.float64]:
        """(N,) the fitted centroid, keV."""
    @property
    def energy_error(self) -> NDArray[np.float64]:
        """(N,) its standard error, keV."""
    @property
    def area(self) -> NDArray[np.float64]:
        """(N,) the peak's counts, its tails included."""
    @property
    def area_error(self) -> NDArray[np.float64]:
        """(N,) their standard error."""
    @property
    def fwhm(self) -> NDArray[np.float64]:
        """(N,) keV, as fitted (strong peaks) or held (the others)."""
    @property
    def significance(self) -> NDArray[np.float64]:
        """(N,) area / area_error."""
    @property
    def background(self) -> NDArray[np.float64]:
        """(N,) the fitted background's counts (its line and the steps) within
        +-1.25 FWHM of the centroid."""
    @property
    def region(self) -> NDArray[np.int64]:
        """(N,) the region, numbered from 0 in each row: peaks of one region
        were fitted together, and their areas are correlated."""
    @property
    def status(self) -> NDArray[np.int32]:
        """(N,) the region fit's status, as ``fitting.fit_peaks_cy`` defines
        them."""

def snip_continuum_cy(
    Y: NDArray[np.float64],
    widths: NDArray[np.float64],
    smoothing: int = 0,
) -> NDArray[np.float64]:
    """The SNIP continuum of every row of Y: statistics-sensitive non-linear
    iterative peak clipping (Ryan et al. 1988) with a decreasing window
    (Morhac), exactly:

    1. v_i = ln(ln(sqrt(y_i + 1) + 1) + 1), the log-log-square-root transform.
    2. For p = P, P - 1, ..., 1, P = ceil(max(widths)): every channel i with
       p <= widths[i] and p <= i <= n - 1 - p becomes
       min(a_i, (v[i-p] + v[i+p]) / 2), all from the values before this p.
       With smoothing = k > 0, a_i is the mean of v over channels
       i - k .. i + k (as many as exist; summed in ascending order from 0,
       divided by their count); with 0, a_i = v_i.
    3. The continuum is the inverse transform, (exp(exp(v) - 1) - 1)**2 - 1.

    The transforms use the C library's log and exp, so NumPy's evaluation of
    the same steps agrees to a few ulps (and bit for bit with math.log and
    math.exp).

    Parameters
    ----------
    Y : (S, n) float64, any strides
        Counts, one spectrum per row. A row holding NaN or a count below -1
        comes back NaN throughout.
    widths : (n,) float64, finite, >= 0
        The clipping half-width at each channel, in channels. It should
        follow the detector's resolution: on HPGe peaks with their
        low-energy tails, 2 times the local FWHM (in channels) leaves 0.4
        standard deviations of the counts of the peaks in the continuum
        under them (1.5 FWHM leaves 1.0, 1 FWHM 4.0) while still following
        curved continua and Compton edges (measured in bench/peaks.py: see
        the README); find_peaks_cy uses that.
    smoothing : int, >= 0
        Channels on each side of the mean that stands for a channel's own
        value (0: none).

    Returns
    -------
    (S, n) float64, C order.

    Cost O(n * P * (1 + 2k)) per row; work arrays of 17 n doubles.
    ValueError for widths of another length than Y.shape[1] (naming both
    shapes), a width that is negative or not finite, smoothing < 0.
    """

def find_peaks_cy(
    Y: NDArray[np.float64],
    fwhm: NDArray[np.float64],
    threshold: float = 4.0,
    continuum: NDArray[np.float64] | None = None,
) -> PeakList:
    """Find the peaks of every row of Y whose significance reaches threshold.

    The search is a matched filter: at each channel i, the least-squares
    amplitude of a Gaussian of the local FWHM centred on i (integrated over
    each channel) on a constant background, over a window of 2 FWHM on
    each side. Its weights w_ij sum to zero, so a constant or straight
    continuum gives no response; the continuum (SNIP by default) is
    subtracted first so that curved continua give none either. The response
    R_i = sum_j w_ij (y_j - c_j) estimates the net counts, and its variance
    is propagated from the counts themselves, sum_j w_ij**2 y_j: the
    significance R_i / sqrt(variance) has mean 0 and unit variance where the
    counts hold no peak. Candidates are the local maxima of R that reach the
    threshold. Neighbours whose windows overlap are estimated jointly (their
    nets solve the filters' responses to each other, with the covariance of
    the responses), what they leave of R is searched again for shoulders and
    doublet members at least 0.5 FWHM from every peak, and the least
    significant peak of a group below the threshold is dropped and the group
    re-estimated until all reach it. A peak's low-energy tail, the step
    under it and a smooth Compton edge give no peak of their own: what a
    Gaussian model leaves of a strong tailed peak looks like a neighbour
    1-2 FWHM away with 1-4 % of its net, so a peak within 2.5 FWHM of a
    stronger one is kept only with at least 5 % of that one's net.

    Parameters
    ----------
    Y : (S, n) float64, any strides
        Counts, one spectrum per row. A row with a NaN, infinite or negative
        count gets no peaks and leaves the others alone: it comes back with
        ``offsets[s] == offsets[s + 1]``, exactly like a row without peaks.
        A caller that must tell them apart checks
        ``np.isfinite(Y).all(axis=1) & (Y >= 0).all(axis=1)``.
    fwhm : (n,) float64, finite, > 0
        The detector's FWHM at each channel, in channels (from its
        resolution calibration).
    threshold : float
        The least significance of a reported peak; not NaN.
    continuum : None, (n,) or (S, n) float64
        The continuum under the peaks; None makes the SNIP continuum of each
        row with widths 2 * fwhm and smoothing max(1, round(mean(fwhm) / 4))
        (without smoothing SNIP clips the counts' fluctuations and sits far
        below the continuum where counts are few). A row whose continuum is
        not finite gets no peaks.

    Returns
    -------
    PeakList
        offsets (S + 1,) int64 and, for the N peaks, position (channels,
        sub-channel: the vertex of the parabola through the response at its
        maximum, less the neighbours' share), significance, net (counts of
        the Gaussian part: a tailed peak's net falls short of its counts by
        about its tail's share) and width (the FWHM in channels assumed
        there), ascending in position within each row.

    ValueError, before any work, for fwhm or continuum of a shape that does
    not fit Y (naming both shapes), a fwhm that is not finite or <= 0, a NaN
    threshold.
    """

def analyse_spectra_cy(
    x: NDArray[np.float64],
    Y: NDArray[np.float64],
    fwhm: NDArray[np.float64],
    tails: NDArray[np.float64] | None = None,
    threshold: float = 4.0,
    max_iterations: int = 200,
) -> PeakTable:
    """Analyse every row of Y: find its peaks, fit them region by region,
    and report those whose fitted significance reaches threshold.

    For each row, in order:

    1. The SNIP continuum (``snip_continuum_cy``, widths 1.5 FWHM) and the
       candidates of ``find_peaks_cy`` at significance 3, below the
       threshold: the fits decide.
    2. Candidates closer than 4 FWHM form one region (a multiplet), which
       runs 2.5 FWHM beyond its outer candidates; a group of more than 8 is
       split at its widest gap.
    3. Each region is fitted by binned Poisson likelihood (the model and
       damped loop of ``fitting.fit_peaks_cy``): every peak a Gaussian
       (A, mu, v) with a step h, and the tails when given, on a straight
       background. A centre moves at
       most 0.75 FWHM from its candidate; a width is free within +-10 % of
       ``fwhm`` for candidates of significance 20 and more and held for the
       others; a step is free (h >= 0) from significance 15 and 0 below.
    4. While a peak has vanished (no finite error), is below the threshold,
       or has its centre held at a bound, the peaks far below the threshold
       go together (of such peaks within 1.5 FWHM of each other only the
       least significant: close peaks share their counts), else the least
       significant alone, and the region is refitted. Then, up to 3 times:
       a Gaussian matched filter on the residuals (with the model's
       variance) looks for a peak the search missed, at least 0.35 FWHM
       from every peak and 1.5 FWHM from the region's edges; without one,
       up to 2 times, the strongest peak of significance 10 or more that
       looks like an unresolved doublet (its width at the top of its band,
       or the Poisson deviance within 1 FWHM of it 2 standard deviations
       above its expectation) is tried with a second member 0.5 FWHM to
       either side, both members' widths held. A new peak stays if the
       refitted and pruned region keeps it.
    5. Every peak left is reported.

    Rows are analysed one after the other, each alone (the continuum and
    the search run a block of rows side by side in vectors, each lane its
    own row), so row s of the result is bit for bit what ``Y[s]`` alone
    gives, at every kernel level. The lock is released for all the work; a
    signal (Ctrl-C) ends a long call between regions with its exception.

    Parameters
    ----------
    x : (n + 1,) float64
        The channel edges in keV, finite and ascending (from the energy
        calibration).
    Y : (S, n) float64, any strides
        Counts, one spectrum per row. A row with NaN, infinite or negative
        counts gets no peaks and leaves the others alone.
    fwhm : (n,) float64, finite, > 0
        The detector's FWHM in keV at each channel centre (from its
        resolution calibration).
    tails : None, or (n, 2) or (n, 4) float64
        None: Gaussian peaks with steps. Else at each channel centre the
        (t, tau) of one or two low-energy tails as ``fitting.fit_peaks_cy``
        defines them (t >= 0, tau > 0), from a shape calibration; each peak
        holds them fixed at their values at its energy (linear between
        centres), and its area includes them.
    threshold : float
        The least significance, area / area_error, of a reported peak; not
        NaN.
    max_iterations : int
        The most Jacobian evaluations of each region fit, >= 0.

    Returns
    -------
    PeakTable
        offsets (S + 1,) int64, then for the N peaks energy, energy_error,
        area, area_error, fwhm, significance, background, region (int64)
        and status (int32), ascending in energy within each row.

    ValueError, before any work, for x, fwhm or tails of a shape that does
    not fit Y (naming both shapes), x not finite and ascending, a fwhm that
    is not finite or <= 0, a tail's t not finite and >= 0 or tau not finite
    and > 0, a NaN threshold, max_iterations < 0.
    """
