"""A small simulator of HPGe spectra with a known truth, for the analysis prototype.

8192 channels to 3 MeV; resolution FWHM^2 = 0.514 + 1.715e-3 E + 2.97e-7 E^2 keV^2;
peaks with an optional low-energy tail (t, tau) and a step; a falling continuum plus
each line's Compton continuum, smoothed Compton edge and backscatter hump; Poisson
counts. Lines: U/Th-chain and K-40 background lines, random isolated weak lines whose
true significance runs from 2 to 40, and doublets 0.5-1.5 FWHM apart at ratios 1:1 to
1:10. A line's true significance is N / sqrt(N + 2B), N its counts and B the continuum's
counts within +-1.25 FWHM.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray
from scipy.special import erfc, erfcx, ndtr

N_CHANNELS = 8192
E_MAX = 3000.0
RESOLUTION = (0.514, 1.715e-3, 2.97e-7)

# (keV, counts in a spectrum) of a cave-like background.
BACKGROUND_LINES = np.array([
    (72.80, 3000), (74.97, 5000), (84.9, 1800), (87.3, 600), (92.6, 900), (186.2, 1500),
    (238.6, 9000), (242.0, 2000), (295.2, 5000), (338.3, 2500), (351.9, 9000),
    (511.0, 6000), (583.2, 6000), (609.3, 9000), (727.3, 1200), (768.4, 900), (794.9, 700),
    (860.6, 700), (911.2, 4000), (934.1, 500), (969.0, 2300), (1120.3, 2200), (1238.1, 900),
    (1377.7, 600), (1460.8, 12000), (1588.2, 500), (1729.6, 400), (1764.5, 2000),
    (1847.4, 300), (2204.1, 600), (2614.5, 3000),
])


def edges() -> NDArray[np.float64]:
    return np.linspace(0.0, E_MAX, N_CHANNELS + 1)


def fwhm_at(energy):
    a, b, c = RESOLUTION
    return np.sqrt(a + b * energy + c * energy * energy)


def peak_cdf(x, mu, sigma, tail_t=0.0, tail_tau=1.0):
    """Cumulative counts of a unit-area Gaussian plus a tail of area t (total 1 + t)."""
    u = (x - mu) / sigma
    cdf = ndtr(u)
    if tail_t > 0:
        z = u / np.sqrt(2) + 1 / (np.sqrt(2) * tail_tau)
        # exp(u/tau + 1/(2 tau^2)) erfc(z), written with erfcx where z > 0.
        big = z > 0
        term = np.where(big, np.exp(-0.5 * u * u) * erfcx(np.where(big, z, 0.0)),
                        np.exp(np.minimum(u / tail_tau + 0.5 / tail_tau**2, 700)) * erfc(z))
        cdf = cdf + tail_t * (ndtr(u) + 0.5 * term)
    return cdf


def step_integral(x, mu, sigma):
    """Integral of erfc((x - mu) / (sqrt(2) sigma)) / 2 from x[0] on, at each x."""
    z = (x - mu) / (np.sqrt(2) * sigma)
    anti = np.sqrt(2) * sigma * 0.5 * (z * erfc(z) - np.exp(-z * z) / np.sqrt(np.pi))
    return anti - anti[0]


@dataclass
class Truth:
    energy: NDArray[np.float64]
    counts: NDArray[np.float64]      # peak counts, tail included
    significance: NDArray[np.float64]
    kind: NDArray[np.int64]          # 0 background line, 1 weak line, 2 doublet member


def simulate(rng: np.random.Generator, tail=(0.0, 1.0), step_fraction=2e-3,
             n_weak=20, n_doublets=6, scale=1.0):
    """One spectrum: (counts (n,), continuum mean (n,), Truth)."""
    x = edges()
    centre = 0.5 * (x[1:] + x[:-1])
    width = np.diff(x)
    # Falling continuum, counts per channel.
    continuum = scale * (2500.0 * np.exp(-centre / 120.0) + 90.0 * np.exp(-centre / 900.0) + 2.0)

    lines = [(e, scale * n, 0) for e, n in BACKGROUND_LINES]
    # Weak isolated lines at random energies away from the others.
    taken = [e for e, _, _ in lines]

    def free_energy(lo, hi, gap):
        for _ in range(200):
            e = rng.uniform(lo, hi)
            if all(abs(e - t) > gap * fwhm_at(e) for t in taken):
                return e
        return None

    def bg_counts(e):
        f = fwhm_at(e)
        sel = np.abs(centre - e) < 1.25 * f
        return continuum[sel].sum()

    for _ in range(n_weak):
        e = free_energy(100, 2900, 8)
        if e is None:
            continue
        s = np.exp(rng.uniform(np.log(2), np.log(40)))
        b = bg_counts(e) * 1.15   # Compton of the strong lines adds a little
        n = 0.5 * (s * s + s * np.sqrt(s * s + 8 * b))  # solves n / sqrt(n + 2b) = s
        lines.append((e, n, 1))
        taken.append(e)
    for _ in range(n_doublets):
        e = free_energy(150, 2800, 10)
        if e is None:
            continue
        sep = rng.uniform(0.5, 1.5) * fwhm_at(e)
        ratio = [1.0, 0.5, 0.2, 0.1][rng.integers(4)]
        n1 = np.exp(rng.uniform(np.log(800), np.log(8000))) * scale
        lines.append((e, n1, 2))
        lines.append((e + sep, n1 * ratio, 2))
        taken += [e, e + sep]

    energy = np.array([l[0] for l in lines])
    counts = np.array([l[1] for l in lines])
    kind = np.array([l[2] for l in lines])
    mean = continuum.copy()
    peaks_only = np.zeros_like(centre)
    t, tau = tail
    for e, n in zip(energy, counts):
        sigma = fwhm_at(e) / np.sqrt(8 * np.log(2))
        # Compton continuum: 2.5 n spread flat to the edge, smoothed; backscatter hump.
        edge = e * (1 - 1 / (1 + 2 * e / 511.0))
        compton = 2.5 * n / max(edge, 1) * width * ndtr((edge - centre) / (3 * sigma + 0.03 * edge))
        back = 0.04 * n * np.diff(ndtr((x - (e - edge)) / 25.0))
        mean += compton + back
        lo, hi = np.searchsorted(x, [e - 12 * fwhm_at(e) * (1 + 10 * t), e + 8 * fwhm_at(e)])
        seg = x[lo:hi + 1]
        shape = np.diff(peak_cdf(seg, e, sigma, t, tau)) * n / (1 + t)
        peaks_only[lo:hi] += shape
        mean[lo:hi] += shape
        # The step: step_fraction of the peak's height per keV below it, across the peak.
        h = step_fraction * n / (np.sqrt(2 * np.pi) * sigma)
        st = np.diff(step_integral(x[:hi + 1], e, sigma)) * h
        mean[:hi] += st
    # True significance from the continuum without the line itself.
    sig = np.empty(len(energy))
    for i, (e, n) in enumerate(zip(energy, counts)):
        f = fwhm_at(e)
        sel = np.abs(centre - e) < 1.25 * f
        b = (mean - peaks_only)[sel].sum()
        sig[i] = n / np.sqrt(n + 2 * b)
    y = rng.poisson(mean).astype(np.float64)
    order = np.argsort(energy)
    return y, mean, Truth(energy[order], counts[order], sig[order], kind[order])
