"""Whole-spectrum peak analysis written with today's public functions and NumPy.

What a user can write today: a SNIP continuum and a matched-filter search in NumPy,
then a Python loop of fit_peaks_cy calls, one per region. It is also the reference
design of the native analysis: the same stages in the same order.

    analyse(x, y, fwhm, threshold=4.0) -> Table

Stages, each a function of its own:
 1. continuum: SNIP on the log-log-square-root transform, half-width SNIP_WIDTH FWHM;
 2. search: a Gaussian matched filter on y - continuum, net counts over their Poisson
    standard deviation, local maxima above SEARCH_THRESHOLD (below the reporting
    threshold: the fit decides);
 3. regions: candidates closer than GROUP_GAP FWHM form one multiplet; each region runs
    MARGIN FWHM beyond its outer peaks; a group with more than MAX_PEAKS peaks is split
    at its widest gap;
 4. region fit: fit_peaks_cy, binned Poisson likelihood, each peak (A, mu, v, h) on a
    linear background, each centre within 0.75 FWHM of its start and on its side of the
    midpoints to its neighbours' starts (NEIGHBOUR_GAP FWHM off). Widths free within
    +-WIDTH_BAND of the calibration for peaks of search significance >= STRONG, held for
    the others; steps free (h >= 0) for peaks
    of search significance >= STEP_SIGNIFICANCE, held at 0 otherwise;
 5. pruning: while a peak has vanished (area error not finite) or is below the
    threshold, the least significant one is removed and the region refitted;
 6. residual search: the matched filter on y - fitted model, with the model's own
    variance; the most significant local maximum at least MIN_SEPARATION FWHM from the
    fitted peaks becomes a new peak and the region is refitted and pruned, up to
    MAX_ADDED times; with no such maximum, a peak that looks like an unresolved doublet
    (a free width at the top of its band, or a local deviance MISFIT_THRESHOLD standard
    deviations high) is split in two, up to MAX_SPLITS times;
 7. the table: energy, errors, area, fwhm, significance, background within +-1.25 FWHM,
    region, status.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
from numpy.typing import NDArray
from scipy.special import erfc, ndtr

from tarvix.utils.numerics.cython.fitting import fit_peaks_cy

SIGMA_PER_FWHM = 1.0 / np.sqrt(8.0 * np.log(2.0))
SNIP_WIDTH = 2.0           # SNIP half-width, in FWHM
SEARCH_THRESHOLD = 3.0     # candidates' matched-filter significance
RESIDUAL_THRESHOLD = 2.0   # residual candidates' significance (the refit decides)
GROUP_GAP = 4.0            # candidates closer than this many FWHM share a region
MARGIN = 2.5               # a region runs this many FWHM beyond its outer peaks
MAX_PEAKS = 8              # most peaks in one region
STRONG = 20.0              # search significance from which a width is free
WIDTH_BAND = 0.10          # a free width stays within +-10 % of the calibration's FWHM
STEP_SIGNIFICANCE = 15.0   # search significance from which a peak has a free step
NEIGHBOUR_GAP = 0.05       # a centre keeps this (FWHM) from the midpoint to a neighbour's start
MIN_SEPARATION = 0.35      # residual candidates this close (FWHM) to a peak are refused
EDGE_CLEARANCE = 1.5       # nor closer than this (FWHM) to the region's edges
MAX_ADDED = 3              # residual or split trials per region
SPLIT_OFFSET = 0.5         # a blend's second member is tried this many FWHM to either side
MAX_SPLITS = 2             # blend splits tried per region
SPLIT_SIGNIFICANCE = 10.0  # a peak this significant may be a blend
MISFIT_REACH = 1.0         # FWHM about a peak where its misfit is read
MISFIT_THRESHOLD = 2.0     # z of the local deviance that marks a blend
SHARED_REACH = 1.5         # far-below neighbours closer than this (FWHM) go one at a time


@dataclass
class Table:
    energy: list = field(default_factory=list)
    energy_error: list = field(default_factory=list)
    area: list = field(default_factory=list)
    area_error: list = field(default_factory=list)
    fwhm: list = field(default_factory=list)
    significance: list = field(default_factory=list)
    background: list = field(default_factory=list)
    region: list = field(default_factory=list)
    status: list = field(default_factory=list)

    def arrays(self) -> dict[str, NDArray]:
        out = {k: np.asarray(v, dtype=np.float64) for k, v in self.__dict__.items()}
        out["region"] = out["region"].astype(np.int64)
        out["status"] = out["status"].astype(np.int32)
        order = np.argsort(out["energy"], kind="stable")
        return {k: v[order] for k, v in out.items()}


# ---------------------------------------------------------------- continuum and search

def snip(y: NDArray, widths: NDArray) -> NDArray:
    """SNIP continuum with a decreasing window; widths (n,) in channels."""
    v = np.log(np.log(np.sqrt(y + 1.0) + 1.0) + 1.0)
    n = len(v)
    top = int(np.ceil(widths.max())) if n else 0
    idx = np.arange(n)
    for p in range(top, 0, -1):
        sel = (p <= widths) & (idx >= p) & (idx <= n - 1 - p)
        i = idx[sel]
        v[i] = np.minimum(v[i], 0.5 * (v[i - p] + v[i + p]))
    return (np.exp(np.exp(v) - 1.0) - 1.0) ** 2 - 1.0


def _gaussian_weights(x: NDArray, centre_channel: NDArray, fwhm: NDArray, half: int):
    """Per-channel probabilities g[i, j] of a unit Gaussian centred at channel i's centre
    with the FWHM there, over channels i - half ... i + half (index matrix returned too)."""
    n = len(x) - 1
    offs = np.arange(-half, half + 1)
    cols = np.clip(centre_channel[:, None] + offs[None, :], 0, n - 1)
    mu = 0.5 * (x[centre_channel] + x[centre_channel + 1])
    sigma = (fwhm * SIGMA_PER_FWHM)[:, None]
    g = ndtr((x[cols + 1] - mu[:, None]) / sigma) - ndtr((x[cols] - mu[:, None]) / sigma)
    inside = (centre_channel[:, None] + offs[None, :] >= 0) & (centre_channel[:, None] + offs[None, :] < n)
    g[~inside] = 0.0
    return g, cols


def matched_filter(x, signal, variance_base, fwhm, zero_area=False):
    """Net counts and their significance at each channel, from the Gaussian g of the local
    FWHM over +-1.5 FWHM: N = sum k s / sum k g with k = g (a known continuum, removed from
    s), or with zero_area the kernel k = g - mean(g) over the window, which ignores a
    straight continuum (and a SNIP continuum's bias). The variance of a channel is
    variance_base + N g (the counts a peak N would add)."""
    n = len(x) - 1
    channels = np.arange(n)
    width = np.diff(x)
    reach = 1.5 * fwhm / width
    half = max(1, int(np.ceil(np.max(reach))))
    g, cols = _gaussian_weights(x, channels, fwhm, half)
    offs = np.abs(np.arange(-half, half + 1))
    window = (offs[None, :] <= np.maximum(reach, 1.0)[:, None]) & (g > 0)
    k = np.where(window, g, 0.0)
    if zero_area:
        k = np.where(window, k - k.sum(1, keepdims=True) / window.sum(1, keepdims=True), 0.0)
    norm = (k * g).sum(1)
    net = (k * signal[cols]).sum(1) / norm
    var = ((k * k) * variance_base[cols]).sum(1) + np.maximum(net, 0) * (k * k * g).sum(1)
    sd = np.sqrt(np.maximum(var, 1e-300)) / np.abs(norm)
    return net, net / sd


def search(x, y, fwhm, continuum, threshold=SEARCH_THRESHOLD):
    """Candidates: local maxima of the zero-area matched filter's significance >= threshold.
    Returns (energy keV, net counts, significance)."""
    net, sig = matched_filter(x, y - continuum, np.maximum(continuum, 1.0), fwhm, zero_area=True)
    return _maxima(x, net, sig, threshold, np.arange(len(y)))


def search_native(x, y, fwhm, threshold=SEARCH_THRESHOLD):
    """The same stage with the package's own SNIP continuum and search (module peaks).
    Returns (continuum, energy keV, net counts, significance)."""
    from tarvix.utils.numerics.cython.peaks import find_peaks_cy, snip_continuum_cy
    fwhm_channels = fwhm / np.diff(x)
    # find_peaks_cy's own continuum: widths 2 FWHM, smoothed over a quarter FWHM.
    smoothing = int(max(1.0, np.floor(min(0.25 * fwhm_channels.mean(), len(y)) + 0.5))) if len(y) else 1
    continuum = snip_continuum_cy(y[np.newaxis], 2.0 * fwhm_channels, smoothing)[0]
    found = find_peaks_cy(y[np.newaxis], fwhm_channels, threshold, continuum)
    centres = 0.5 * (x[1:] + x[:-1])
    energy = np.interp(found.position, np.arange(len(y)), centres)
    return continuum, energy, found.net, found.significance


def _maxima(x, net, sig, threshold, channels):
    if len(sig) < 3:
        return np.empty(0), np.empty(0), np.empty(0)
    inner = np.arange(1, len(sig) - 1)
    peak = (sig[inner] >= threshold) & (sig[inner] > sig[inner - 1]) & (sig[inner] >= sig[inner + 1])
    k = inner[peak]
    # Sub-channel position from a parabola through the net counts.
    a, b, c = net[k - 1], net[k], net[k + 1]
    den = a - 2 * b + c
    shift = np.where(den < 0, 0.5 * (a - c) / np.where(den < 0, den, -1.0), 0.0)
    shift = np.clip(shift, -0.5, 0.5)
    ch = channels[k]
    centre = 0.5 * (x[ch] + x[ch + 1])
    energy = centre + shift * (x[ch + 1] - x[ch])
    return energy, net[k], sig[k]


# ---------------------------------------------------------------- regions

def regions(energy, fwhm_at_peak):
    """Groups of candidate indices (sorted by energy) for the region fits."""
    order = np.argsort(energy)
    groups, current = [], []
    for i in order:
        if current and energy[i] - energy[current[-1]] > GROUP_GAP * max(fwhm_at_peak[i], fwhm_at_peak[current[-1]]):
            groups.append(current)
            current = []
        current.append(i)
    if current:
        groups.append(current)
    out = []
    while groups:
        g = groups.pop(0)
        if len(g) <= MAX_PEAKS:
            out.append(g)
            continue
        gaps = np.diff(energy[g])
        cut = int(np.argmax(gaps)) + 1
        groups[0:0] = [g[:cut], g[cut:]]
    return out


# ---------------------------------------------------------------- the region model and fit

def _step_antiderivative(x, mu, sigma):
    z = (x - mu) / (np.sqrt(2.0) * sigma)
    return np.sqrt(2.0) * sigma * 0.5 * (z * erfc(z) - np.exp(-z * z) / np.sqrt(np.pi))


def region_model(edges, params, basis, n_peaks):
    """Binned mean of a region: peaks (A, mu, v, h) then the background coefficients.
    Returns (total, background and steps)."""
    p = params[:4 * n_peaks].reshape(n_peaks, 4)
    background = basis @ params[4 * n_peaks:]
    for A, mu, v, h in p:
        s = np.sqrt(v)
        background = background + h * np.diff(_step_antiderivative(edges, mu, s))
    total = background.copy()
    for A, mu, v, h in p:
        s = np.sqrt(v)
        total += A * np.sqrt(2 * np.pi * v) * np.diff(ndtr((edges - mu) / s))
    return total, background


@dataclass
class Peak:
    energy: float
    net: float
    search_significance: float
    added: bool = False


@dataclass
class RegionFit:
    peaks: list
    params: NDArray
    covariance: NDArray
    areas: NDArray
    area_errors: NDArray
    status: int
    deviance: float


def fit_region(edges, y, basis, peaks, fwhm_of, continuum, max_iterations=200):
    """One fit_peaks_cy call for a region's peaks; the start from the search."""
    k = len(peaks)
    centres = 0.5 * (edges[1:] + edges[:-1])
    start = np.empty(4 * k + basis.shape[1])
    lower = np.full_like(start, -np.inf)
    upper = np.full_like(start, np.inf)
    for j, pk in enumerate(peaks):
        f = fwhm_of(pk.energy)
        v0 = (f * SIGMA_PER_FWHM) ** 2
        start[4 * j:4 * j + 4] = (max(pk.net, 1.0) / np.sqrt(2 * np.pi * v0), pk.energy, v0, 0.0)
        lower[4 * j] = 0.0
        lower[4 * j + 1] = max(edges[0], pk.energy - 0.75 * f)
        upper[4 * j + 1] = min(edges[-1], pk.energy + 0.75 * f)
        # Neighbours stay apart (centres that met would trade amplitudes along a flat valley).
        if j > 0:
            below = peaks[j - 1].energy
            gap = min(NEIGHBOUR_GAP * f, 0.25 * (pk.energy - below))
            lower[4 * j + 1] = max(lower[4 * j + 1], 0.5 * (below + pk.energy) + gap)
        if j + 1 < k:
            above = peaks[j + 1].energy
            gap = min(NEIGHBOUR_GAP * f, 0.25 * (above - pk.energy))
            upper[4 * j + 1] = min(upper[4 * j + 1], 0.5 * (pk.energy + above) - gap)
        if pk.search_significance >= STRONG and not pk.added:
            lower[4 * j + 2] = v0 * (1 - WIDTH_BAND) ** 2
            upper[4 * j + 2] = v0 * (1 + WIDTH_BAND) ** 2
        else:
            lower[4 * j + 2] = upper[4 * j + 2] = v0
        if pk.search_significance >= STEP_SIGNIFICANCE and not pk.added:
            lower[4 * j + 3] = 0.0
        else:
            lower[4 * j + 3] = upper[4 * j + 3] = 0.0
    # Background start: the continuum's straight line over the region.
    coef, *_ = np.linalg.lstsq(basis, continuum, rcond=None)
    start[4 * k:] = coef
    r = fit_peaks_cy(edges, y[np.newaxis], start, basis, lower=lower, upper=upper,
                     steps=True, poisson=True, binned=True, max_iterations=max_iterations)
    return RegionFit(list(peaks), r.params[0], r.covariance[0], r.areas[0], r.area_errors[0],
                     int(r.status[0]), float(r.objective[0]))


def _prune(fit, threshold, fwhm_of):
    """The peaks to remove (indices), empty when every peak stands. A peak stands when its
    significance is finite and reaches the threshold, and its centre is not held at the
    bound of its range (there it is an edge or a neighbour's flank, not a peak). Peaks far
    below the threshold go together, but of far ones within SHARED_REACH FWHM of each
    other only the least significant (close peaks share their counts: each can look far
    below while together they are not); near it, the least significant one goes alone,
    since its neighbours' areas change without it."""
    k = len(fit.peaks)
    with np.errstate(divide="ignore", invalid="ignore"):
        sig = fit.areas / fit.area_errors
    centre_error = np.sqrt(np.maximum(np.diagonal(fit.covariance)[1:4 * k:4], 0.0))
    bad = ~np.isfinite(sig) | (sig < threshold) | (centre_error == 0.0)
    if not bad.any():
        return []
    if not np.isfinite(sig).all():
        # A singular row: the vanished peaks (amplitude at 0) go, else the smallest.
        vanished = np.nonzero(fit.params[0:4 * k:4] <= 0.0)[0]
        if len(vanished):
            return list(vanished)
        approx = fit.areas / np.sqrt(np.maximum(fit.areas, 0) + 1.0)
        return [int(np.argmin(np.where(bad, approx, np.inf)))]
    far = np.nonzero(sig < 0.5 * threshold)[0]
    if len(far):
        mu = fit.params[1:4 * k:4]
        drop = []
        for i in sorted(far, key=lambda i: sig[i]):
            if not any(abs(mu[j] - mu[i]) <= SHARED_REACH * fwhm_of(mu[i]) for j in drop):
                drop.append(int(i))
        return sorted(drop)
    return [int(np.argmin(np.where(bad, sig, np.inf)))]


def _fit_and_prune(edges, y, basis, peaks, fwhm_of, continuum, threshold, max_iterations):
    """Fit; while a peak vanished or is below the threshold, drop the least significant
    and refit. Returns (fit or None, the peaks that stand)."""
    while peaks:
        fit = fit_region(edges, y, basis, peaks, fwhm_of, continuum, max_iterations)
        drop = _prune(fit, threshold, fwhm_of)
        if not drop:
            return fit, peaks
        peaks = [pk for i, pk in enumerate(peaks) if i not in drop]
    return None, peaks


def _misfit(edges, y, total, mu, f):
    """The Poisson deviance of the model within MISFIT_REACH FWHM of mu as a z-score
    against its expectation (one per channel, variance two)."""
    centres = 0.5 * (edges[1:] + edges[:-1])
    near = np.abs(centres - mu) <= MISFIT_REACH * f
    if not near.any():
        return 0.0
    m = np.maximum(total[near], 1e-300)
    yy = y[near]
    with np.errstate(divide="ignore", invalid="ignore"):
        d = 2.0 * (m - yy + np.where(yy > 0, yy * np.log(np.where(yy > 0, yy, 1.0) / m), 0.0))
    n = near.sum()
    return (d.sum() - n) / np.sqrt(2.0 * n)


def analyse_region(edges, y, continuum, peaks, fwhm_of, threshold, max_iterations=200):
    centres = 0.5 * (edges[1:] + edges[:-1])
    mid, half = 0.5 * (edges[0] + edges[-1]), 0.5 * (edges[-1] - edges[0])
    basis = np.column_stack([np.ones_like(centres), (centres - mid) / half])
    fit, peaks = _fit_and_prune(edges, y, basis, list(peaks), fwhm_of, continuum, threshold,
                                max_iterations)
    residuals = splits = 0
    tried: list[float] = []
    split: list[float] = []

    def try_add(fit, peaks, new, held=-1):
        """Refit with one more peak; the new fit if the added peak stands, else None.
        Peak `held` (a blend being split) gets its width held at the resolution's."""
        restart = [Peak(fit.params[4 * i + 1], fit.areas[i],
                        min(pk.search_significance, STEP_SIGNIFICANCE) if i == held else pk.search_significance,
                        pk.added)
                   for i, pk in enumerate(peaks)]
        restart.append(new)
        restart.sort(key=lambda p: p.energy)
        new_fit, new_peaks = _fit_and_prune(edges, y, basis, restart, fwhm_of, continuum, threshold,
                                            max_iterations)
        if new_peaks and len(new_peaks) > len(peaks):
            return new_fit, new_peaks
        return None

    while peaks and (residuals < MAX_ADDED or splits < MAX_SPLITS):
        k = len(peaks)
        total, _ = region_model(edges, fit.params, basis, k)
        if residuals < MAX_ADDED:
            # Residual search over the region, away from its edges and fitted peaks.
            f_here = fwhm_of(centres)
            net, sig = matched_filter(edges, y - total, np.maximum(total, 1e-3), f_here)
            ok = (centres > edges[0] + EDGE_CLEARANCE * f_here) & (centres < edges[-1] - EDGE_CLEARANCE * f_here)
            for e in list(fit.params[1:4 * k:4]) + tried:
                ok &= np.abs(centres - e) > MIN_SEPARATION * f_here
            cand_e, cand_net, cand_sig = _maxima(edges, net, np.where(ok, sig, -np.inf), RESIDUAL_THRESHOLD,
                                                 np.arange(len(y)))
            if len(cand_e):
                residuals += 1
                j = int(np.argmax(cand_sig))
                tried.append(cand_e[j])
                better = try_add(fit, peaks, Peak(cand_e[j], cand_net[j], cand_sig[j], True))
                if better is not None:
                    fit, peaks = better
                continue
        if splits >= MAX_SPLITS:
            break
        # No residual peak: a free width pushed to the top of its band, or a held one whose
        # counts about it stray far from the model, is the mark of an unresolved doublet.
        # Try a second member on either side, both widths held; keep the better fit.
        mu, v = fit.params[1:4 * k:4], fit.params[2:4 * k:4]
        f0 = fwhm_of(mu)
        v_top = (f0 * SIGMA_PER_FWHM * (1 + WIDTH_BAND)) ** 2
        with np.errstate(divide="ignore", invalid="ignore"):
            sig_k = fit.areas / fit.area_errors
        blends = [i for i in range(k) if mu[i] not in split and sig_k[i] >= SPLIT_SIGNIFICANCE
                  and (v[i] >= v_top[i] * (1 - 1e-6) or _misfit(edges, y, total, mu[i], f0[i]) > MISFIT_THRESHOLD)]
        if not blends:
            break
        splits += 1
        i = max(blends, key=lambda i: fit.areas[i])
        split.append(mu[i])
        best = None
        for side in (-1.0, 1.0):
            trial = try_add(fit, peaks, Peak(mu[i] + side * SPLIT_OFFSET * f0[i], 0.3 * fit.areas[i],
                                             0.0, True), held=i)
            if trial is not None and (best is None or trial[0].deviance < best[0].deviance):
                best = trial
        if best is not None:
            fit, peaks = best
    if not peaks:
        return None, basis
    return fit, basis


def window_background(edges, background, mu, f):
    """Counts of the binned background within mu +- 1.25 f (fractional channels)."""
    lo, hi = mu - 1.25 * f, mu + 1.25 * f
    overlap = np.clip(np.minimum(edges[1:], hi) - np.maximum(edges[:-1], lo), 0, None)
    return float((background * overlap / np.diff(edges)).sum())


def analyse(x, y, fwhm, threshold=4.0, max_iterations=200, native_search=False):
    """The whole analysis of one spectrum: x (n + 1,) edges keV, y (n,) counts,
    fwhm (n,) keV at the channel centres. native_search: the continuum and the
    candidates from snip_continuum_cy and find_peaks_cy, else from the NumPy versions
    here. Returns a Table."""
    n = len(y)
    table = Table()
    if n == 0 or not np.all(np.isfinite(y)) or np.any(y < 0):
        return table
    width = np.diff(x)
    centres = 0.5 * (x[1:] + x[:-1])

    def fwhm_of(e):
        return np.interp(e, centres, fwhm)

    if native_search:
        continuum, energy, net, sig = search_native(x, y, fwhm)
    else:
        continuum = snip(y, SNIP_WIDTH * fwhm / width)
        energy, net, sig = search(x, y, fwhm, continuum)
    region_id = 0
    for group in regions(energy, fwhm_of(energy)):
        lo_e = energy[group[0]] - MARGIN * fwhm_of(energy[group[0]])
        hi_e = energy[group[-1]] + MARGIN * fwhm_of(energy[group[-1]])
        lo = max(0, int(np.searchsorted(x, lo_e)) - 1)
        hi = min(n, int(np.searchsorted(x, hi_e)))
        if hi - lo < 6:
            continue
        peaks = [Peak(energy[i], net[i], sig[i]) for i in group]
        edges = x[lo:hi + 1]
        fit, basis = analyse_region(edges, y[lo:hi], continuum[lo:hi], peaks, fwhm_of, threshold,
                                    max_iterations)
        if fit is None:
            continue
        _, background = region_model(edges, fit.params, basis, len(fit.peaks))
        for i in range(len(fit.peaks)):
            A, mu, v, h = fit.params[4 * i:4 * i + 4]
            f = np.sqrt(v) / SIGMA_PER_FWHM
            table.energy.append(mu)
            table.energy_error.append(np.sqrt(fit.covariance[4 * i + 1, 4 * i + 1]))
            table.area.append(fit.areas[i])
            table.area_error.append(fit.area_errors[i])
            table.fwhm.append(f)
            table.significance.append(fit.areas[i] / fit.area_errors[i])
            table.background.append(window_background(edges, background, mu, f))
            table.region.append(region_id)
            table.status.append(fit.status)
        region_id += 1
    return table
