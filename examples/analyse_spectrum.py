"""Analyse a gamma-ray spectrum: resolution, energy calibration, peak table, picture.

python examples/analyse_spectrum.py [FILE.spe] [--threshold T] [--output DIR] [--shape]

With an ORTEC .spe file: reads counts, live time and the stored energy calibration;
fits the resolution FWHM^2 = a + b E + c E^2 on the strong isolated peaks of a first
pass; refines the energy calibration on the common lines it identifies; analyses the
whole spectrum; prints the peak table, each peak named from a short list of common
lines where one lies within its energy error or 0.5 FWHM; and draws the spectrum with
its continuum, fitted peaks and labels into DIR (demo_output/ by default).
With --shape, the peaks' low-energy tails are first calibrated on the spectrum's
strongest isolated peaks and held in the analysis (examples/shape_calibration.py).
Without a file it does the same on a simulated HPGe spectrum and compares the table
with the simulation's truth.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np
from scipy.special import ndtr

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "bench"))
from spe import read_spe  # noqa: E402

from tarvix.utils.numerics.cython.fitting import fit_peaks_cy  # noqa: E402
from tarvix.utils.numerics.cython.peaks import analyse_spectra_cy, find_peaks_cy, snip_continuum_cy  # noqa: E402

SIGMA_PER_FWHM = 1.0 / np.sqrt(8.0 * np.log(2.0))

# Common lines (keV): U and Th chains, K-40, Cs-137, Co-60, Eu-152, annihilation, Pb X-rays.
COMMON_LINES = [
    ("Pb Ka2", 72.80), ("Pb Ka1", 74.97), ("Pb Kb1", 84.94), ("Pb Kb2", 87.3),
    ("Pb-210", 46.54), ("Th-234", 63.29), ("Th-234", 92.6), ("Eu-152", 121.78), ("U-235", 185.72), ("Ra-226", 186.21),
    ("Pb-212", 238.63), ("Pb-214", 241.99), ("Eu-152", 244.70), ("Pb-214", 295.22),
    ("Ac-228", 338.32), ("Eu-152", 344.28), ("Pb-214", 351.93), ("Eu-152", 411.12),
    ("Eu-152", 443.96), ("Ac-228", 463.0), ("Tl-208", 510.77), ("annihilation", 511.0),
    ("Tl-208", 583.19), ("Bi-214", 609.31), ("Cs-137", 661.66), ("Bi-214", 665.45),
    ("Bi-212", 727.33), ("Bi-214", 768.36), ("Eu-152", 778.90), ("Ac-228", 794.95),
    ("Tl-208", 860.56), ("Eu-152", 867.38), ("Ac-228", 911.20), ("Bi-214", 934.06),
    ("Eu-152", 964.08), ("Ac-228", 964.77), ("Ac-228", 968.97), ("Pa-234m", 1001.03),
    ("Eu-152", 1085.84), ("Eu-152", 1112.08), ("Bi-214", 1120.29), ("Bi-214", 1155.19),
    ("Co-60", 1173.23), ("Bi-214", 1238.11), ("Bi-214", 1281.0), ("Eu-152", 1299.14),
    ("Co-60", 1332.49), ("Bi-214", 1377.67), ("Bi-214", 1401.5), ("Bi-214", 1408.0),
    ("Eu-152", 1408.01), ("K-40", 1460.82), ("Bi-214", 1509.23), ("Ac-228", 1588.19),
    ("Tl-208 SE", 2103.5), ("Bi-214", 1729.6), ("Bi-214", 1764.49), ("Bi-214", 1847.42),
    ("Bi-214", 2118.55), ("Bi-214", 2204.21), ("Bi-214", 2447.86), ("Tl-208", 2614.51),
    # Further lines of the chains that the measured backgrounds show clearly.
    ("Bi Ka1", 77.11), ("Ac-228", 129.07), ("U-235", 143.76), ("U-235", 163.33), ("U-235", 205.31),
    ("Ac-228", 209.25), ("Ra-224", 240.99), ("Ac-228", 270.25), ("Tl-208", 277.37), ("Pb-212", 300.09),
    ("Ac-228", 328.0), ("Ac-228", 409.46), ("Ac-228", 755.32), ("Pa-234m", 766.36), ("Pb-214", 785.96),
    ("Bi-214", 806.17), ("Ac-228", 835.71), ("Ac-228", 840.38), ("Bi-214", 1385.31), ("Tl-208 DE", 1592.5),
    ("Bi-212", 1620.5), ("Ac-228", 1630.63),
    # Activation products of the pottery measurement: Eu-152, Eu-154, Cs-134, Sc-46, Co-60.
    ("Sm Ka", 39.9), ("Sm Kb", 45.4), ("Eu-154", 123.07), ("Eu-154", 247.93), ("Eu-152", 367.79),
    ("Eu-152", 488.68), ("Cs-134", 563.25), ("Cs-134", 569.33), ("Cs-134", 604.72), ("Eu-152", 688.67),
    ("Eu-154", 723.30), ("Cs-134", 795.86), ("Cs-134", 801.95), ("Eu-154", 873.18), ("Sc-46", 889.28),
    ("Eu-154", 996.26), ("Eu-154", 1004.76), ("Eu-152", 1089.74), ("Sc-46", 1120.55), ("Eu-152", 1212.95),
    ("Eu-154", 1274.43), ("Cs-134", 1365.19), ("Eu-152", 1457.64), ("Eu-152", 1528.10),
    ("Co-60 sum", 2505.69),
]
# Lines strong and clean enough to calibrate energies on (keV).
CALIBRATION_LINES = [74.97, 238.63, 351.93, 583.19, 609.31, 661.66, 911.20, 1120.29, 1173.23,
                     1332.49, 1408.01, 1460.82, 1764.49, 2614.51, 121.78, 344.28, 964.08]


TABLE_FIELDS = ("energy", "energy_error", "area", "area_error", "fwhm", "significance", "background", "region",
                "status")


def analyse(x, y, fwhm, threshold, tails=None):
    """The analysis of one spectrum; returns a dict of the table's fields. The same
    stages written in Python with fit_peaks_cy (Gaussian peaks) are
    bench/analysis_reference.py's analyse(x, y, fwhm, threshold, native_search=True).arrays()."""
    table = analyse_spectra_cy(x, y[np.newaxis], fwhm, tails, threshold=threshold)
    return {name: getattr(table, name) for name in TABLE_FIELDS}


def continuum_and_candidates(x, y, fwhm, threshold=3.0):
    """The SNIP continuum and the search's candidates: (continuum, energy, net, significance)."""
    fwhm_channels = fwhm / np.diff(x)
    continuum = snip_continuum_cy(y[np.newaxis], 1.5 * fwhm_channels)[0]
    found = find_peaks_cy(y[np.newaxis], fwhm_channels, threshold, continuum)
    centres = 0.5 * (x[1:] + x[:-1])
    energy = np.interp(found.position, np.arange(len(y)), centres)
    return continuum, energy, found.net, found.significance


# ---------------------------------------------------------------- resolution and calibration

def strong_isolated_peaks(x, y, fwhm, min_significance=30.0, isolation=5.0):
    """Fit each strong isolated candidate alone, its width free: (energy, fwhm, error)."""
    centres = 0.5 * (x[1:] + x[:-1])
    continuum, energy, net, sig = continuum_and_candidates(x, y, fwhm)
    f_at = np.interp(energy, centres, fwhm)
    out = []
    for i in np.nonzero(sig >= min_significance)[0]:
        # Isolated from every candidate that is itself a likely peak and not a ripple
        # of this one's flanks (the search leaves a few weak ones beside strong peaks).
        gap = np.where(sig >= max(5.0, 0.25 * sig[i]), np.abs(energy - energy[i]), np.inf)
        gap[i] = np.inf
        if gap.min() < isolation * f_at[i]:
            continue
        lo, hi = np.searchsorted(x, [energy[i] - 3 * f_at[i], energy[i] + 3 * f_at[i]])
        if lo < 1 or hi >= len(x) - 1 or hi - lo < 8:
            continue
        edges = x[lo:hi + 1]
        c = 0.5 * (edges[1:] + edges[:-1])
        basis = np.column_stack([np.ones_like(c), (c - energy[i]) / (3 * f_at[i])])
        v0 = (f_at[i] * SIGMA_PER_FWHM) ** 2
        start = np.array([net[i] / np.sqrt(2 * np.pi * v0), energy[i], v0, 0.0, continuum[lo:hi].mean(), 0.0])
        lower = np.array([0, energy[i] - f_at[i], 0.1 * v0, 0, -np.inf, -np.inf])
        upper = np.array([np.inf, energy[i] + f_at[i], 10 * v0, np.inf, np.inf, np.inf])
        r = fit_peaks_cy(edges, y[np.newaxis, lo:hi], start, basis, lower=lower, upper=upper,
                         steps=True, poisson=True, binned=True)
        if r.status[0] != 0:
            continue
        v, dv = r.params[0, 2], np.sqrt(r.covariance[0, 2, 2])
        if not (0.11 * v0 < v < 9 * v0) or not np.isfinite(dv):
            continue
        f = np.sqrt(v) / SIGMA_PER_FWHM
        out.append((r.params[0, 1], f, f * 0.5 * dv / v, np.sqrt(r.covariance[0, 1, 1])))
    return np.array(out).reshape(-1, 4)


def fit_resolution(x, y, fwhm_guess):
    """FWHM^2 = a + b E + c E^2 from the strong isolated peaks, twice (the second pass
    searches with the first's resolution). A short measurement has few strong peaks:
    then peaks of lower significance take part, and with fewer than six of them c is
    left at 0. Returns (coefficients, the FWHM at the channel centres)."""
    centres = 0.5 * (x[1:] + x[:-1])
    fwhm = fwhm_guess
    coef = None
    for _ in range(2):
        for min_significance in (30.0, 15.0, 8.0):
            peaks = strong_isolated_peaks(x, y, fwhm, min_significance)
            # Not the Doppler-broadened annihilation line, nor the discriminator's edge.
            peaks = peaks[(np.abs(peaks[:, 0] - 511.0) > 5.0) & (peaks[:, 0] > 40.0)]
            if len(peaks) >= 6:
                break
        if len(peaks) < 3:
            break
        e, f, df = peaks[:, 0], peaks[:, 1], peaks[:, 2]
        # Weighted least squares on FWHM^2, with a floor on the errors, and one pass
        # of outlier rejection (peaks that are in fact unresolved doublets).
        w = 1.0 / np.maximum(2 * f * df, 0.01 * f * f)
        degree = 2 if len(e) >= 6 else 1
        design = np.column_stack([e ** k for k in range(degree + 1)])
        keep = np.ones(len(e), bool)
        for _ in range(2):
            c, *_ = np.linalg.lstsq(design[keep] * w[keep, None], (f * f * w)[keep], rcond=None)
            resid = (f * f - design @ c) * w
            keep = np.abs(resid) < max(3.0, 3 * np.std(resid[keep]))
        c = np.concatenate([c, np.zeros(3 - len(c))])
        f2 = c[0] + c[1] * centres + c[2] * centres ** 2
        if not np.all(f2[centres > 0] > 0):
            break
        coef = c
        fwhm = np.sqrt(np.maximum(f2, 1e-4))
    return coef, fwhm


def broaden_annihilation(x, y, fwhm):
    """The 511 keV line is Doppler-broadened beyond the detector's resolution: where it is
    strong enough to measure, its own FWHM replaces the resolution's around it (the
    analysis takes the FWHM channel by channel). Returns (fwhm, the line's FWHM or None)."""
    centres = 0.5 * (x[1:] + x[:-1])
    f511 = float(np.interp(511.0, centres, fwhm))
    lo, hi = np.searchsorted(x, [511.0 - 6 * f511, 511.0 + 6 * f511])
    if lo < 1 or hi >= len(x) - 1 or hi - lo < 10:
        return fwhm, None
    edges = x[lo:hi + 1]
    c = 0.5 * (edges[1:] + edges[:-1])
    basis = np.column_stack([np.ones_like(c), (c - 511.0) / (6 * f511)])
    v0 = (2 * f511 * SIGMA_PER_FWHM) ** 2
    net = max(y[lo:hi].sum() - len(c) * np.median(y[lo:hi]), 1.0)
    start = np.array([net / np.sqrt(2 * np.pi * v0), 511.0, v0, 0.0, np.median(y[lo:hi]), 0.0])
    lower = np.array([0, 509.0, (f511 * SIGMA_PER_FWHM) ** 2, 0, -np.inf, -np.inf])
    upper = np.array([np.inf, 513.0, (4 * f511 * SIGMA_PER_FWHM) ** 2, np.inf, np.inf, np.inf])
    r = fit_peaks_cy(edges, y[np.newaxis, lo:hi], start, basis, lower=lower, upper=upper,
                     steps=True, poisson=True, binned=True)
    if r.status[0] != 0 or not r.area_errors[0] > 0 or r.areas[0] / r.area_errors[0] < 10:
        return fwhm, None
    f = float(np.sqrt(r.params[0, 2]) / SIGMA_PER_FWHM)
    if f < 1.2 * f511:
        return fwhm, None
    near = np.abs(centres - 511.0) < 4 * f
    out = fwhm.copy()
    out[near] = np.maximum(out[near], f)
    return out, f


def refine_calibration(x, y, fwhm):
    """Match strong fitted peaks to calibration lines and fit a quadratic correction
    E_true = p(E_stored). Returns (new edges, matched pairs)."""
    peaks = strong_isolated_peaks(x, y, fwhm, min_significance=8.0, isolation=3.0)
    if len(peaks) == 0:
        return x, []
    measured = peaks[:, 0]
    lines = np.array(CALIBRATION_LINES)
    tolerance = np.maximum(3.0, 4e-3 * measured)
    correction = np.array([0.0, 1.0, 0.0])
    pairs = []
    for _ in range(3):
        corrected = np.polyval(correction[::-1], measured)
        pairs = []
        for m, c, err, tol in zip(measured, corrected, peaks[:, 3], tolerance):
            d = np.abs(lines - c)
            j = int(np.argmin(d))
            if d[j] < tol:
                pairs.append((m, lines[j], max(err, 0.01)))
        if len(pairs) < 2:
            return x, []
        m, t, err = np.array(pairs).T
        degree = 2 if len(pairs) >= 6 else 1
        design = np.column_stack([m ** k for k in range(degree + 1)]) / err[:, None]
        coef, *_ = np.linalg.lstsq(design, t / err, rcond=None)
        correction = np.zeros(3)
        correction[:degree + 1] = coef
        tolerance = np.maximum(1.0, 1e-3 * measured)
    return np.polyval(correction[::-1], x), pairs


def lines_near(energy, tolerance):
    return [(n, e) for n, e in COMMON_LINES if abs(e - energy) <= tolerance]


def name_of(energy, tolerance):
    return "/".join(dict.fromkeys(n for n, _ in lines_near(energy, tolerance)))


# ---------------------------------------------------------------- the picture

def draw(path, x, y, continuum, table, names, title):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    centres = 0.5 * (x[1:] + x[:-1])
    fig, ax = plt.subplots(figsize=(16, 6))
    ax.step(centres, np.maximum(y, 0.5), where="mid", lw=0.5, color="0.3", label="counts")
    ax.plot(centres, np.maximum(continuum, 0.5), color="tab:blue", lw=0.8, label="continuum (SNIP)")
    # Each region: the fitted peaks as Gaussians of their area and FWHM on the continuum.
    for r in np.unique(table["region"]):
        sel = table["region"] == r
        e, a, f = table["energy"][sel], table["area"][sel], table["fwhm"][sel]
        lo, hi = np.searchsorted(centres, [e.min() - 2.5 * f.max(), e.max() + 2.5 * f.max()])
        xs = x[lo:hi + 1]
        model = continuum[lo:hi].copy()
        for ek, ak, fk in zip(e, a, f):
            model += ak * np.diff(ndtr((xs - ek) / (fk * SIGMA_PER_FWHM)))
        ax.plot(centres[lo:hi], model, color="tab:red", lw=0.8)
    for e, a, nm, bg in zip(table["energy"], table["area"], names, table["background"]):
        if nm:
            k = np.searchsorted(centres, e)
            ax.annotate(nm, (e, max(y[max(k - 2, 0):k + 3].max(), 1)), rotation=90, fontsize=6,
                        xytext=(0, 4), textcoords="offset points", ha="center", va="bottom")
    ax.set_yscale("log")
    ax.set_ylim(bottom=0.5)
    ax.set_xlim(x[0], x[-1])
    ax.set_xlabel("energy (keV)")
    ax.set_ylabel("counts per channel")
    ax.set_title(title)
    ax.legend(loc="upper right")
    fig.tight_layout()
    fig.savefig(path, dpi=130)
    plt.close(fig)


# ---------------------------------------------------------------- main

def prepare_file(path):
    """Read an .spe file, fit its resolution, refine its energy calibration and widen the
    511 keV line, printing each: (edges, counts, fwhm, stem, the 511 keV line's FWHM or
    None), or None without a calibration."""
    spe = read_spe(path)
    if spe.calibration is None:
        print(f"{Path(path).name}: no energy calibration; nothing to analyse")
        return None
    x = spe.edges()
    y = spe.counts
    centres = 0.5 * (x[1:] + x[:-1])
    # A first guess of an HPGe resolution, then the fitted one.
    guess = np.sqrt(1.0 + 2.5e-3 * np.maximum(centres, 0))
    coef, fwhm = fit_resolution(x, y, guess)
    x, pairs = refine_calibration(x, y, fwhm)
    centres = 0.5 * (x[1:] + x[:-1])
    coef, fwhm = fit_resolution(x, y, fwhm)
    fwhm, f511 = broaden_annihilation(x, y, fwhm)
    print(f"{Path(path).name}: {len(y)} channels, live time {spe.live_time} s, {y.sum():.0f} counts")
    if coef is not None:
        print(f"resolution: FWHM^2 = {coef[0]:.4g} + {coef[1]:.4g} E + {coef[2]:.4g} E^2 keV^2"
              f"  (FWHM {np.sqrt(coef[0] + coef[1] * 1332.5 + coef[2] * 1332.5 ** 2):.3f} keV at 1332.5)")
    else:
        print("resolution: too few strong isolated peaks to fit; FWHM^2 = 1 + 2.5e-3 E keV^2 assumed")
    if f511 is not None:
        print(f"the 511 keV line is Doppler-broadened to {f511:.2f} keV FWHM: that width is used around it")
    if pairs:
        shifts = ", ".join(f"{t:.1f}: {m - t:+.2f}" for m, t, _ in pairs)
        print(f"energy calibration refined on {len(pairs)} lines (stored minus true, keV): {shifts}")
    cut = above_discriminator(y, fwhm / np.diff(x))
    if cut:
        edge = x[int(np.nonzero(y > 0)[0][0])]
        print(f"the discriminator's edge is at {edge:.1f} keV (no counts below): analysed from {x[cut]:.1f} keV")
        x, y, fwhm = x[cut:], y[cut:], fwhm[cut:]
    return x, y, fwhm, Path(path).stem, f511


def above_discriminator(y, fwhm_channels, width=8.0):
    """The first channel to analyse: where a spectrum starts with empty channels (the
    discriminator's threshold), the counts ramp up over a few FWHM above it, and the
    search takes that ramp for peaks; the analysis starts `width` FWHM above the first
    channel with counts. 0 where the first channel has counts."""
    nonzero = np.nonzero(y > 0)[0]
    if len(nonzero) == 0 or nonzero[0] == 0:
        return 0
    first = int(nonzero[0])
    return min(first + int(np.ceil(width * fwhm_channels[first])), len(y) - 1)


def run_file(path, threshold, output, shape=False):
    if shape:
        # The tails calibrated on the spectrum's own strong peaks (examples/shape_calibration.py).
        import shape_calibration
        result = shape_calibration.run_file(path, threshold, output)
        return None if result is None else result[2:]
    prepared = prepare_file(path)
    if prepared is None:
        return None
    x, y, fwhm, stem, _ = prepared
    return analyse_and_report(x, y, fwhm, threshold, output, stem)


def analyse_and_report(x, y, fwhm, threshold, output, stem, tails=None):
    import time
    t0 = time.perf_counter()
    table = analyse(x, y, fwhm, threshold, tails)
    elapsed = time.perf_counter() - t0
    tolerances = np.maximum(table["energy_error"], 0.5 * table["fwhm"])
    names = [name_of(e, tol) for e, tol in zip(table["energy"], tolerances)]
    lines_found = {line for e, tol in zip(table["energy"], tolerances) for line in lines_near(e, tol)}
    shape = "Gaussian peaks with steps" if tails is None else f"peaks with {tails.shape[1] // 2} tail(s) held"
    print(f"{len(table['energy'])} peaks at significance >= {threshold} in {elapsed:.2f} s ({shape})")
    print(f"{'energy keV':>18} {'area':>20} {'fwhm':>6} {'signif':>7} {'backgr':>9} {'reg':>4} st  line")
    for i in range(len(table["energy"])):
        print(f"{table['energy'][i]:10.2f} ±{table['energy_error'][i]:6.2f} "
              f"{table['area'][i]:11.1f} ±{table['area_error'][i]:7.1f} {table['fwhm'][i]:6.2f} "
              f"{table['significance'][i]:7.1f} {table['background'][i]:9.0f} {table['region'][i]:4d} "
              f"{table['status'][i]:2d}  {names[i]}")
    print(f"common lines found: {len(lines_found)} of {len(COMMON_LINES)} "
          f"({', '.join(f'{n} {e:g}' for n, e in sorted(lines_found, key=lambda l: l[1]))})")
    output.mkdir(parents=True, exist_ok=True)
    continuum = snip_continuum_cy(y[np.newaxis], 1.5 * fwhm / np.diff(x))[0]
    png = output / f"analysis_{stem}.png"
    draw(png, x, y, continuum, table, names, stem)
    print(f"picture: {png}")
    return table, names


def run_simulated(threshold, output, seed=2026):
    import hpge  # type: ignore[import-not-found]  # bench/, on the path above
    sim = hpge.simulate(1, seed)
    x, y, fwhm, truth = sim.edges, sim.counts[0], sim.fwhm_kev, sim.truth[0]
    print(f"a simulated HPGe spectrum: {len(y)} channels, {y.sum():.0f} counts, {len(truth)} lines")
    # The simulator's own tail shape, as a shape calibration would give it.
    table, _ = analyse_and_report(x, y, fwhm, threshold, output, "simulated", sim.tails)
    import analysis as measures  # type: ignore[import-not-found]
    m = measures.match(table["energy"], truth["energy"], truth["fwhm"])
    found = np.array([i in m for i in range(len(truth))])
    strong = truth["significance"] >= threshold + 2
    pulls = [(table["area"][j] - truth["counts"][i]) / table["area_error"][j] for i, j in m.items()]
    false = len(table["energy"]) - len(m)
    print(f"against the truth: found {found.sum()} of {len(found)} lines ({found[strong].sum()} of "
          f"{strong.sum()} above {threshold + 2:g} sigma), {false} false; area pulls median "
          f"{np.median(pulls):+.2f}, width {robust_width(pulls):.2f}")
    missed = [f"{e:.1f} ({s:.1f} sigma)" for e, s, ok in zip(truth["energy"], truth["significance"], found)
              if not ok]
    print(f"missed: {', '.join(missed)}")
    return table, truth, m


def robust_width(v):
    q1, q3 = np.percentile(v, [25, 75])
    return (q3 - q1) / 1.349


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("file", nargs="?")
    ap.add_argument("--threshold", type=float, default=4.0)
    ap.add_argument("--output", type=Path, default=HERE.parent / "demo_output")
    ap.add_argument("--shape", action="store_true",
                    help="calibrate the peaks' tails on the strongest isolated peaks first")
    args = ap.parse_args(argv)
    if args.file:
        return run_file(args.file, args.threshold, args.output, args.shape)
    return run_simulated(args.threshold, args.output)


if __name__ == "__main__":
    main()
