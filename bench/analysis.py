"""Measures of the whole-spectrum analysis on simulated HPGe spectra with a known truth.

python bench/analysis.py [--spectra N] [--threshold T] [--tail t tau] [--seed S]

Recall per bin of true significance against the ideal detector Phi(s - threshold),
false peaks per spectrum (no line within 0.5 FWHM, the 511 keV window excluded),
doublets with both members found, area and centroid pulls, and spectra/s of one core.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np
from scipy.stats import norm

sys.path.insert(0, str(Path(__file__).resolve().parent))
import analysis_reference  # noqa: E402
import quick_hpge  # noqa: E402


def match(found_e, true_e, fwhm):
    """One-to-one matches within 0.5 FWHM, nearest first: dict true index -> found index."""
    pairs = []
    for i, e in enumerate(true_e):
        d = np.abs(found_e - e)
        for j in np.nonzero(d < 0.5 * fwhm[i])[0]:
            pairs.append((d[j], i, j))
    pairs.sort()
    used_t, used_f, out = set(), set(), {}
    for _, i, j in pairs:
        if i not in used_t and j not in used_f:
            used_t.add(i)
            used_f.add(j)
            out[i] = j
    return out


def robust_width(v):
    q1, q3 = np.percentile(v, [25, 75])
    return (q3 - q1) / 1.349


def evaluate(spectra, threshold, tail, seed, analyse=analysis_reference.analyse):
    rng = np.random.default_rng(seed)
    x = quick_hpge.edges()
    centres = 0.5 * (x[1:] + x[:-1])
    fwhm = quick_hpge.fwhm_at(centres)
    sims = [quick_hpge.simulate(rng, tail=tail) for _ in range(spectra)]
    t0 = time.perf_counter()
    tables = [analyse(x, y, fwhm, threshold).arrays() for y, _, _ in sims]
    elapsed = time.perf_counter() - t0
    rows = {"sig": [], "found": [], "pull": [], "rel": [], "counts": [], "epull": []}
    false = 0
    doublets = []
    for (y, mean, truth), tab in zip(sims, tables):
        f_true = quick_hpge.fwhm_at(truth.energy)
        m = match(tab["energy"], truth.energy, f_true)
        for i in range(len(truth.energy)):
            rows["sig"].append(truth.significance[i])
            rows["found"].append(i in m)
            if i in m:
                j = m[i]
                rows["pull"].append((tab["area"][j] - truth.counts[i]) / tab["area_error"][j])
                rows["rel"].append(tab["area"][j] / truth.counts[i] - 1)
                rows["counts"].append(truth.counts[i])
                rows["epull"].append((tab["energy"][j] - truth.energy[i]) / tab["energy_error"][j])
        matched = set(m.values())
        for j, e in enumerate(tab["energy"]):
            if j not in matched and abs(e - 511.0) > 5.0:
                false += 1
        k2 = np.nonzero(truth.kind == 2)[0]
        for a, b in zip(k2[0::2], k2[1::2]):
            sep = (truth.energy[b] - truth.energy[a]) / f_true[a]
            ratio = min(truth.counts[a], truth.counts[b]) / max(truth.counts[a], truth.counts[b])
            doublets.append((sep, ratio, a in m and b in m))
    sig = np.array(rows["sig"])
    found = np.array(rows["found"])
    out = {"spectra": spectra, "spectra_per_s": spectra / elapsed,
           "false_per_spectrum": false / spectra, "recall": {}, "doublets": {}}
    for lo, hi in [(3, 5), (5, 10), (10, np.inf)]:
        sel = (sig >= lo) & (sig < hi)
        out["recall"][f"{lo}-{hi}"] = (found[sel].mean(), norm.cdf(sig[sel] - threshold).mean(),
                                       int(sel.sum()))
    d = np.array(doublets, dtype=float).reshape(-1, 3)
    for lo, hi in [(0.5, 0.7), (0.7, 1.0), (1.0, 1.5)]:
        for rlo, rhi, name in [(0.99, 1.01, "1:1"), (0.09, 0.11, "1:10"), (0.15, 0.6, "1:2-1:5")]:
            sel = (d[:, 0] >= lo) & (d[:, 0] < hi) & (d[:, 1] >= rlo) & (d[:, 1] <= rhi)
            if sel.any():
                out["doublets"][f"{lo}-{hi} FWHM {name}"] = (d[sel, 2].mean(), int(sel.sum()))
    pull = np.array(rows["pull"])
    counts = np.array(rows["counts"])
    rel = np.array(rows["rel"])
    epull = np.array(rows["epull"])
    out["area_pull_median"] = float(np.median(pull))
    out["area_pull_width"] = float(robust_width(pull))
    big = counts > 1e4
    out["rel_error_median_above_1e4"] = (float(np.median(rel[big])) if big.any() else np.nan, int(big.sum()))
    out["energy_pull_width"] = float(robust_width(epull))
    out["energy_pull_median"] = float(np.median(epull))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--spectra", type=int, default=20)
    ap.add_argument("--threshold", type=float, default=4.0)
    ap.add_argument("--tail", type=float, nargs=2, default=(0.0, 1.0))
    ap.add_argument("--seed", type=int, default=7)
    args = ap.parse_args()
    out = evaluate(args.spectra, args.threshold, tuple(args.tail), args.seed)
    print(f"{out['spectra']} spectra, {out['spectra_per_s']:.2f} spectra/s (Python loop of fit_peaks_cy)")
    print(f"false peaks per spectrum: {out['false_per_spectrum']:.2f}")
    for k, (r, ideal, n) in out["recall"].items():
        print(f"recall at true significance {k}: {100 * r:.1f} % (ideal {100 * ideal:.1f} %, {n} lines)")
    for k, (r, n) in out["doublets"].items():
        print(f"doublets {k}: both found {100 * r:.0f} % of {n}")
    print(f"area pulls: median {out['area_pull_median']:+.3f}, width {out['area_pull_width']:.3f}")
    m, n = out["rel_error_median_above_1e4"]
    print(f"median relative area error above 1e4 counts: {100 * m:+.2f} % ({n} lines)")
    print(f"centroid pulls: median {out['energy_pull_median']:+.3f}, width {out['energy_pull_width']:.3f}")


if __name__ == "__main__":
    main()
