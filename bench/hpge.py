"""Simulated HPGe spectra with a known truth.

    import sys; sys.path.insert(0, "<repo>/bench")   # as tests/test_peaks.py and bench/peaks.py do
    from hpge import simulate
    sim = simulate(count=100, seed=1)
    sim.counts            # (S, n) float64 Poisson counts
    sim.truth[s]          # structured array of the lines of spectrum s (see TRUTH_DTYPE)

A lead-cave background on a germanium detector like the one of the measured
1110C background spectrum (../shared/data/spectra), 8192 channels to 3 MeV by
default:
- resolution FWHM² = 0.514 + 1.715e-3·E + 2.97e-7·E² keV² (fitted on that detector);
  the 511 keV annihilation line is Doppler-broadened by 2.3 keV in quadrature;
- every peak is a Gaussian plus one low-energy tail, of the form `fit_peaks_cy`
  uses: the one-sided exponential e^{u/(τσ)} (u < 0) convolved with the Gaussian,
  of area t times the Gaussian's, with t(E) and τ(E) of `tail_parameters`; a
  peak's counts N include its tail. Both are integrated over each channel in
  closed form (the tail's integral from −∞ is
  Φ(u/σ) + ½·exp(u/(τσ) + 1/(2τ²))·erfc(u/(√2σ) + 1/(√2τ)), evaluated through
  erfcx where the exponent is large);
- under every peak a step, h·Φ(−u/σ), of height STEP_RATIO times the Gaussian's
  height (the counts scattered at small angles before they reach the crystal);
- a falling continuum (cosmic rays and the cave), plus for every line its
  Compton continuum (Klein–Nishina, with the edge smeared by the resolution),
  multiple scattering between the edge and the peak, and a backscatter hump;
- Poisson counts.
The background lines (U and Th chains, K-40, Pb X-rays, annihilation) have the
counts measured in the 1110C background (437 817 s), times a per-spectrum
scale, log-uniform in `scale`; at scale 1 the continuum and the peaks are at
that spectrum's levels (its channels halved, 0.18 keV → 0.37 keV). To them
each spectrum adds `weak` isolated lines at random energies, with true
significance log-uniform in 2–40, at least 5 FWHM from any other line and
outside 511 ± 8 keV, and `doublets` pairs 0.5–1.5 FWHM apart (uniform) at
ratios 1:1 to 1:10 (log-uniform), the weaker member's significance log-uniform
in 10–40.

True significance of a line: N/√(N + 2B), N its counts (tail included) and B
the continuum's expected counts within ±1.25 FWHM of its energy (the continuum
being everything but the peaks themselves: the falling part, Compton, backscatter
and the steps, the line's own step included).
"""

from dataclasses import dataclass

import numpy as np
from scipy.special import erfc, erfcx, ndtr

ELECTRON_MASS = 510.99895  # keV
RESOLUTION = (0.514, 1.715e-3, 2.97e-7)  # FWHM² = a + b·E + c·E², keV²
ANNIHILATION_DOPPLER = 2.3  # keV, added in quadrature to the 511 keV line's FWHM
STEP_RATIO = 0.003  # step height / Gaussian height
BACKSCATTER_FRACTION = 0.03  # backscatter hump counts / line counts
MULTIPLE_SCATTER = 0.12  # level between the Compton edge and the peak / density below the edge
SIGMA_PER_FWHM = 1.0 / np.sqrt(8.0 * np.log(2.0))
ANNIHILATION_WINDOW = (503.0, 519.0)  # keV: where the search's false peaks are not counted

# Kinds of truth lines.
BACKGROUND, WEAK, DOUBLET = 0, 1, 2

# (energy keV, counts in the 1110C background, what it is)
BACKGROUND_LINES = (
    (46.54, 1400, "Pb-210"), (63.29, 1800, "Th-234"), (72.80, 1650, "Pb Ka2"), (74.97, 3400, "Pb Ka1"),
    (84.94, 1900, "Pb Kb1"), (87.30, 650, "Pb Kb2"), (92.6, 6500, "Th-234"), (185.7, 4900, "U-235/Ra-226"),
    (238.63, 4200, "Pb-212"), (241.9, 480, "Pb-214"), (295.22, 1150, "Pb-214"), (338.32, 940, "Ac-228"),
    (351.93, 2300, "Pb-214"), (510.77, 300, "Tl-208"), (511.0, 8600, "annihilation"), (583.19, 2050, "Tl-208"),
    (609.31, 2150, "Bi-214"), (727.33, 360, "Bi-212"), (768.36, 360, "Bi-214"), (794.95, 290, "Ac-228"),
    (860.56, 380, "Tl-208"), (911.20, 1700, "Ac-228"), (934.06, 150, "Bi-214"), (964.77, 300, "Ac-228"),
    (968.97, 960, "Ac-228"), (1001.03, 670, "Pa-234m"), (1120.29, 820, "Bi-214"), (1238.11, 380, "Bi-214"),
    (1377.67, 190, "Bi-214"), (1460.82, 5000, "K-40"), (1588.20, 165, "Ac-228"), (1729.60, 200, "Bi-214"),
    (1764.49, 1250, "Bi-214"), (1847.42, 80, "Bi-214"), (2118.55, 80, "Bi-214"), (2204.21, 370, "Bi-214"),
    (2447.86, 175, "Bi-214"), (2614.51, 3100, "Tl-208"),
)

TRUTH_DTYPE = np.dtype([
    ("energy", "f8"),        # keV
    ("channel", "f8"),       # position in channels (the centre of channel i is i)
    ("counts", "f8"),        # N: expected counts of the peak, tail included
    ("continuum", "f8"),     # B: expected continuum counts within ±1.25 FWHM
    ("significance", "f8"),  # N / sqrt(N + 2B)
    ("fwhm", "f8"),          # keV (the 511 keV line's includes its Doppler broadening)
    ("kind", "i4"),          # BACKGROUND, WEAK or DOUBLET
    ("partner", "i4"),       # a doublet member's partner (row in this table), else -1
    ("separation", "f8"),    # a doublet's separation in FWHM, else nan
    ("ratio", "f8"),         # a doublet's counts, stronger / weaker, else nan
])


def fwhm_kev(energy):
    a, b, c = RESOLUTION
    e = np.asarray(energy, dtype=np.float64)
    return np.sqrt(a + b * e + c * e * e)


def tail_parameters(energy):
    """The tail's (t, τ) at an energy: t its area over the Gaussian's, τ its length in σ."""
    e = np.asarray(energy, dtype=np.float64) / 3000.0
    return 0.12 + 0.2 * e, 0.8 - 0.2 * e


def tail_cdf(w, tau):
    """Φ(w) + ½·exp(w/τ + 1/(2τ²))·erfc((w + 1/τ)/√2): the tail's integral from −∞, w = u/σ."""
    z = (w + 1.0 / tau) / np.sqrt(2.0)
    # Where z > 0 the exponent's growth is cancelled by erfc: exp(..)·erfc(z) = exp(−w²/2)·erfcx(z).
    large = np.exp(-0.5 * w * w) * erfcx(np.maximum(z, 0.0))
    small = np.exp(np.minimum(w / tau + 0.5 / (tau * tau), 700.0)) * erfc(np.minimum(z, 0.0))
    return ndtr(w) + 0.5 * np.where(z > 0.0, large, small)


def peak_cdf(w, t, tau):
    """A peak of unit counts, Gaussian plus a tail of fraction t: its integral from −∞ to w = u/σ."""
    return (ndtr(w) + t * tail_cdf(w, tau)) / (1.0 + t)


def step_integral(w):
    """∫ Φ(−w') dw' from w to +∞, in units of σ: the step's counts above w per unit height·σ."""
    return w * ndtr(w) - w + np.exp(-0.5 * w * w) / np.sqrt(2.0 * np.pi)


def compton_density(energy, line, width_kev):
    """Klein–Nishina Compton continuum of a line (unit counts per keV shape, not normalised),
    with the edge smeared over `width_kev`, plus multiple scattering between edge and peak."""
    eps = line / ELECTRON_MASS
    edge = line * 2.0 * eps / (1.0 + 2.0 * eps)
    s = np.clip(energy / line, 0.0, edge / line)
    kn = 2.0 + s * s / (eps * eps * (1.0 - s) ** 2) + s / (1.0 - s) * (s - 2.0 / eps)
    below_edge = ndtr((edge - energy) / width_kev)
    s_edge = edge / line
    kn_edge = 2.0 + s_edge**2 / (eps * eps * (1.0 - s_edge) ** 2) + s_edge / (1.0 - s_edge) * (s_edge - 2.0 / eps)
    between = MULTIPLE_SCATTER * kn_edge * ndtr((energy - edge) / width_kev) * ndtr((line - 3.0 * width_kev - energy) / width_kev)
    return np.where(energy > 0.0, kn * below_edge + between, 0.0)


def compton_ratio(line):
    """Compton counts per peak count: photoabsorption wins at low energies."""
    return 2.0 * (line / 1000.0) ** 0.5 * (1.0 - np.exp(-((line / 200.0) ** 2)))


def falling_continuum(energy):
    """The cave's falling continuum, counts per keV at scale 1, absorbed below ~50 keV."""
    e = np.maximum(energy, 0.0)
    shape = 780.0 * np.exp(-e / 614.0) + 3300.0 * np.exp(-e / 110.0) + 1500.0 * np.exp(-e / 130.0) + 8.0
    return shape * (1.0 - np.exp(-((e / 50.0) ** 3)))


class _Axis:
    def __init__(self, n, emax):
        self.n = n
        self.edges = np.linspace(0.0, emax, n + 1)
        self.centres = 0.5 * (self.edges[:-1] + self.edges[1:])
        self.step = emax / n

    def channel(self, energy):
        return energy / self.step - 0.5


def _line_fwhm(energy):
    f = fwhm_kev(energy)
    return np.where(np.abs(energy - 511.0) < 0.5, np.hypot(f, ANNIHILATION_DOPPLER), f)


def _add_peak(out, axis, energy, counts, fwhm):
    """The peak (Gaussian + tail) of `counts` at `energy`, integrated over channels, into out."""
    sigma = fwhm * SIGMA_PER_FWHM
    t, tau = tail_parameters(energy)
    lo = np.searchsorted(axis.edges, energy - sigma * (10.0 + 40.0 * tau)) - 1
    hi = np.searchsorted(axis.edges, energy + 10.0 * sigma) + 1
    lo, hi = max(lo, 0), min(hi, axis.n)
    w = (axis.edges[lo:hi + 1] - energy) / sigma
    out[lo:hi] += counts * np.diff(peak_cdf(w, t, tau))


def _add_continuum_of_line(out, axis, energy, counts, fwhm):
    """The line's step, Compton continuum and backscatter hump, into out (counts per channel)."""
    sigma = fwhm * SIGMA_PER_FWHM
    t, _ = tail_parameters(energy)
    gaussian_height = counts / (1.0 + t) / (sigma * np.sqrt(2.0 * np.pi))  # per keV
    # The step: exactly its height per keV below 10 σ under the line, nothing above 10 σ over it.
    lo = max(np.searchsorted(axis.edges, energy - 10.0 * sigma) - 1, 0)
    hi = min(np.searchsorted(axis.edges, energy + 10.0 * sigma) + 1, axis.n)
    height = STEP_RATIO * gaussian_height
    out[:lo] += height * axis.step
    w = (axis.edges[lo:hi + 1] - energy) / sigma
    out[lo:hi] += height * sigma * -np.diff(step_integral(w))
    # The Compton continuum, up to the line.
    top = min(np.searchsorted(axis.centres, energy), axis.n)
    edge_width = 1.5 * fwhm_kev(energy / (1.0 + 2.0 * energy / ELECTRON_MASS)) * SIGMA_PER_FWHM + 3.0
    shape = compton_density(axis.centres[:top], energy, edge_width)
    total = shape.sum()
    if total > 0.0:
        out[:top] += counts * compton_ratio(energy) * shape / total
    if energy > 150.0:
        backscatter = energy / (1.0 + 2.0 * energy / ELECTRON_MASS)
        lo = max(np.searchsorted(axis.edges, backscatter - 80.0) - 1, 0)
        hi = min(np.searchsorted(axis.edges, backscatter + 80.0) + 1, axis.n)
        wb = (axis.edges[lo:hi + 1] - backscatter) / 12.0
        out[lo:hi] += counts * BACKSCATTER_FRACTION * np.diff(ndtr(wb))


def _window_sum(values, axis, energy, fwhm):
    """Sums of `values` (per channel) over energy ± 1.25 fwhm, end channels in fractions."""
    energy, fwhm = np.asarray(energy, np.float64), np.asarray(fwhm, np.float64)
    lo_e, hi_e = energy - 1.25 * fwhm, energy + 1.25 * fwhm
    lo = np.clip(np.searchsorted(axis.edges, lo_e) - 1, 0, axis.n - 1)
    hi = np.clip(np.searchsorted(axis.edges, hi_e) - 1, 0, axis.n - 1)
    cum = np.concatenate(([0.0], np.cumsum(values)))
    total = cum[hi + 1] - cum[lo]
    total -= values[lo] * (lo_e - axis.edges[lo]) / axis.step
    total -= values[hi] * (axis.edges[hi + 1] - hi_e) / axis.step
    return total


def _counts_for_significance(s, b):
    """N with N / sqrt(N + 2B) = s."""
    return 0.5 * (s * s + np.sqrt(s**4 + 8.0 * s * s * b))


@dataclass
class Simulation:
    counts: np.ndarray          # (S, n) float64 Poisson counts
    expected: np.ndarray        # (S, n) expected counts
    continuum: np.ndarray       # (S, n) expected continuum (all but the peaks)
    edges: np.ndarray           # (n + 1,) keV
    centres: np.ndarray         # (n,) keV
    fwhm_kev: np.ndarray        # (n,) detector FWHM at channel centres, keV
    fwhm_channels: np.ndarray   # (n,) the same in channels
    tails: np.ndarray           # (n, 2) tail (t, τ) at channel centres
    scale: np.ndarray           # (S,) the background lines' and continuum's scale
    truth: list                 # S structured arrays of TRUTH_DTYPE, ascending energy

    def channel(self, energy):
        """Position in channels (centre of channel i is i) of an energy in keV."""
        return (np.asarray(energy) - self.edges[0]) / (self.edges[1] - self.edges[0]) - 0.5


def _background_template(axis):
    """Expected peaks and continuum of the background lines at scale 1."""
    peaks = np.zeros(axis.n)
    continuum = falling_continuum(axis.centres) * axis.step
    for energy, counts, _ in BACKGROUND_LINES:
        fwhm = float(_line_fwhm(np.float64(energy)))
        _add_peak(peaks, axis, energy, counts, fwhm)
        _add_continuum_of_line(continuum, axis, energy, counts, fwhm)
    return peaks, continuum


def simulate(count, seed, n=8192, emax=3000.0, scale=(0.3, 2.0), weak=20, doublets=2):
    """`count` spectra of n channels from 0 to emax keV; see the module's docstring."""
    rng = np.random.default_rng(seed)
    axis = _Axis(n, emax)
    base_peaks, base_continuum = _background_template(axis)
    bg_energy = np.array([line[0] for line in BACKGROUND_LINES])
    bg_counts = np.array([float(line[1]) for line in BACKGROUND_LINES])
    bg_fwhm = _line_fwhm(bg_energy)
    lo_e, hi_e = max(60.0, axis.edges[0] + 20.0), emax - 60.0

    counts = np.empty((count, n))
    expected = np.empty((count, n))
    continua = np.empty((count, n))
    scales = np.exp(rng.uniform(np.log(scale[0]), np.log(scale[1]), count))
    truth = []
    for s in range(count):
        k = scales[s]
        continuum = base_continuum * k
        placed_e = list(bg_energy[bg_energy < emax])
        placed_f = list(bg_fwhm[bg_energy < emax])

        def free(e, width):
            if ANNIHILATION_WINDOW[0] - 5.0 * width < e < ANNIHILATION_WINDOW[1] + 5.0 * width:
                return False
            return all(abs(e - pe) > 5.0 * max(width, pf) for pe, pf in zip(placed_e, placed_f))

        new = []  # (energy, fwhm, kind, target significance, partner offset, separation, ratio)
        for _ in range(doublets):
            for _attempt in range(1000):
                e1 = rng.uniform(lo_e, hi_e)
                f1 = float(fwhm_kev(e1))
                sep = rng.uniform(0.5, 1.5)
                e2 = e1 + sep * f1
                if free(e1, f1) and free(e2, f1):
                    break
            ratio = float(np.exp(rng.uniform(0.0, np.log(10.0))))
            s_weak = float(np.exp(rng.uniform(np.log(10.0), np.log(40.0))))
            strong_first = rng.random() < 0.5
            placed_e += [e1, e2]
            placed_f += [f1, f1]
            new.append((e1, f1, DOUBLET, s_weak, +1, sep, ratio if strong_first else 1.0 / ratio))
            new.append((e2, float(fwhm_kev(e2)), DOUBLET, s_weak, -1, sep, 1.0 / ratio if strong_first else ratio))
        for _ in range(weak):
            for _attempt in range(1000):
                e = rng.uniform(lo_e, hi_e)
                f = float(fwhm_kev(e))
                if free(e, f):
                    break
            placed_e.append(e)
            placed_f.append(f)
            new.append((e, f, WEAK, float(np.exp(rng.uniform(np.log(2.0), np.log(40.0)))), 0, np.nan, np.nan))

        # Counts of the new lines from their target significance on the background's continuum;
        # a doublet's weaker member takes the target, the stronger ratio times its counts.
        new_counts = []
        windows = _window_sum(continuum, axis, [x[0] for x in new], [x[1] for x in new])
        for (e, f, kind, target, partner, sep, ratio), b in zip(new, windows):
            n_line = _counts_for_significance(target, b)
            if kind == DOUBLET:
                n_line *= max(ratio, 1.0)
            new_counts.append(n_line)
        peaks = base_peaks * k
        for (e, f, *_), n_line in zip(new, new_counts):
            _add_peak(peaks, axis, e, n_line, f)
            _add_continuum_of_line(continuum, axis, e, n_line, f)

        table = np.zeros(len(bg_energy) + len(new), dtype=TRUTH_DTYPE)
        table["energy"] = np.concatenate((bg_energy, [x[0] for x in new]))
        table["counts"] = np.concatenate((bg_counts * k, new_counts))
        table["fwhm"] = np.concatenate((bg_fwhm, [x[1] for x in new]))
        table["kind"] = np.concatenate((np.full(len(bg_energy), BACKGROUND), [x[2] for x in new]))
        table["partner"] = -1
        table["separation"] = np.nan
        table["ratio"] = np.nan
        base = len(bg_energy)
        for j, (_, _, kind, _, partner, sep, ratio) in enumerate(new):
            if kind == DOUBLET:
                table["partner"][base + j] = base + j + partner
                table["separation"][base + j] = sep
                table["ratio"][base + j] = max(ratio, 1.0 / ratio)
        table["continuum"] = _window_sum(continuum, axis, table["energy"], table["fwhm"])
        table["significance"] = table["counts"] / np.sqrt(table["counts"] + 2.0 * table["continuum"])
        table["channel"] = axis.channel(table["energy"])
        table = table[table["energy"] < emax]
        order = np.argsort(table["energy"], kind="stable")
        remap = np.empty(len(order), dtype=np.int32)
        remap[order] = np.arange(len(order), dtype=np.int32)
        table = table[order]
        has = table["partner"] >= 0
        table["partner"][has] = remap[table["partner"][has]]
        truth.append(table)

        expected[s] = peaks + continuum
        continua[s] = continuum
        counts[s] = rng.poisson(np.maximum(expected[s], 0.0))

    fwhm = fwhm_kev(axis.centres)
    t, tau = tail_parameters(axis.centres)
    return Simulation(counts=counts, expected=expected, continuum=continua, edges=axis.edges,
                      centres=axis.centres, fwhm_kev=fwhm, fwhm_channels=fwhm / axis.step,
                      tails=np.stack((t, tau), axis=1), scale=scales, truth=truth)


if __name__ == "__main__":
    import time
    start = time.perf_counter()
    sim = simulate(100, 1)
    print(f"100 spectra in {time.perf_counter() - start:.2f} s; counts per spectrum {sim.counts.sum(1).mean():.3g}")
    tt = np.concatenate(sim.truth)
    for kind, name in ((BACKGROUND, "background"), (WEAK, "weak"), (DOUBLET, "doublet")):
        sel = tt[tt["kind"] == kind]
        print(f"{name:10s} {len(sel):5d} lines, significance {np.percentile(sel['significance'], [5, 50, 95]).round(1)}")
