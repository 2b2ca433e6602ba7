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
        low-energy tails, 1.5 times the local FWHM (in channels) removes the
        peaks and follows curved continua and Compton edges (measured in
        bench/peaks.py: see the README); find_peaks_cy uses that.
    smoothing : int, >= 0
        Channels on each side of the mean that stands for a channel's own
        value (0: none).

    Returns
    -------
    (S, n) float64, C order.

    Cost O(n * P * (1 + 2k)) per row; work arrays of about 17 n doubles.
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
    each channel) on a constant background, over a window of 1.5 FWHM on
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
    under it and a smooth Compton edge give no peak of their own.

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
        row with widths 1.5 * fwhm. A row whose continuum is not finite gets
        no peaks.

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
