"""Measures of the whole-spectrum analysis on simulated HPGe spectra with a known truth.

python bench/analysis.py [--spectra N] [--threshold T] [--seed S] [--stack ROWS]

Recall per bin of true significance against the ideal detector Phi(s - threshold),
false peaks per spectrum (no line within 0.5 FWHM, the 511 keV window excluded),
doublets with both members found, area and centroid pulls, and spectra/s of one core.
Beside them, where becquerel is installed (it is no dependency of the project), its
Fitter on the true lines of the first few spectra: area pulls, relative area errors and
CPU seconds per spectrum (--becquerel N spectra, 0 to leave it out).
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

import numpy as np
from scipy.stats import norm

sys.path.insert(0, str(Path(__file__).resolve().parent))
import analysis_reference  # noqa: E402
import hpge  # noqa: E402


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


def median_and_count(values, selected):
    """(median of values[selected], or NaN where none is selected; how many are)."""
    return (float(np.median(values[selected])) if selected.any() else np.nan, int(selected.sum()))


def robust_width(v):
    q1, q3 = np.percentile(v, [25, 75])
    return (q3 - q1) / 1.349


def reference(native_search):
    def analyse(x, Y, fwhm, threshold):
        return [analysis_reference.analyse(x, y, fwhm, threshold, native_search=native_search).arrays()
                for y in Y]
    return analyse


def native(x, Y, fwhm, threshold, tails=None):
    """One analyse_spectra_cy call on the stack, split into the rows' tables."""
    from tarvix.utils.numerics.cython.peaks import analyse_spectra_cy
    table = analyse_spectra_cy(x, Y, fwhm, tails, threshold=threshold)
    names = ("energy", "energy_error", "area", "area_error", "fwhm", "significance", "background", "region",
             "status")
    return [{name: getattr(table, name)[lo:hi] for name in names}
            for lo, hi in zip(table.offsets[:-1], table.offsets[1:])]


def stack_timing(sim, rows=1000, threads=(1, 2), tails=None):
    """spectra/s of one call on `rows` spectra (the simulated ones repeated), on one
    thread and with the stack cut into one share per thread."""
    from concurrent.futures import ThreadPoolExecutor

    from tarvix.utils.numerics.cython.peaks import analyse_spectra_cy
    Y = np.ascontiguousarray(np.resize(sim.counts, (rows, sim.counts.shape[1])))
    out = {}
    for t in threads:
        shares = np.array_split(Y, t)
        with ThreadPoolExecutor(t) as pool:
            start = time.perf_counter()
            list(pool.map(lambda part: analyse_spectra_cy(sim.edges, part, sim.fwhm_kev, tails), shares))
            out[t] = rows / (time.perf_counter() - start)
    return out


def evaluate(spectra, threshold, seed, analyse=reference(False), sim=None):
    """Simulate, analyse the stack (analyse(x, Y, fwhm, threshold) -> a list of tables,
    dicts of arrays), compare with the truth."""
    sim = hpge.simulate(spectra, seed) if sim is None else sim
    x, fwhm = sim.edges, sim.fwhm_kev
    t0 = time.perf_counter()
    tables = analyse(x, sim.counts, fwhm, threshold)
    elapsed = time.perf_counter() - t0
    rows = {"sig": [], "found": [], "pull": [], "rel": [], "counts": [], "epull": [], "pkeep": [], "sig_ratio": [], "sig_true": [], "kind": []}
    false = 0
    doublets = []
    for truth, tab in zip(sim.truth, tables):
        m = match(tab["energy"], truth["energy"], truth["fwhm"])
        for i in range(len(truth)):
            rows["sig"].append(truth["significance"][i])
            rows["found"].append(i in m)
            if i in m:
                j = m[i]
                rows["pull"].append((tab["area"][j] - truth["counts"][i]) / tab["area_error"][j])
                rows["rel"].append(tab["area"][j] / truth["counts"][i] - 1)
                rows["counts"].append(truth["counts"][i])
                rows["kind"].append(truth["kind"][i])
                rows["epull"].append((tab["energy"][j] - truth["energy"][i]) / tab["energy_error"][j])
                rows["pkeep"].append(not 505 < truth["energy"][i] < 517)
                rows["sig_ratio"].append(tab["significance"][j] / truth["significance"][i])
                rows["sig_true"].append(truth["significance"][i])
        matched = set(m.values())
        lo, hi = hpge.ANNIHILATION_WINDOW
        for j, e in enumerate(tab["energy"]):
            if j not in matched and not lo <= e <= hi:
                false += 1
        for a in np.nonzero(truth["kind"] == hpge.DOUBLET)[0]:
            b = truth["partner"][a]
            if a < b:
                doublets.append((truth["separation"][a], 1.0 / truth["ratio"][a], a in m and b in m))
    # The 511 keV line is Doppler-broadened and its Tl-208 neighbour 0.2 keV away: both
    # are left out of the recall and pulls.
    keep = np.concatenate([~((t["energy"] > 505) & (t["energy"] < 517)) for t in sim.truth])
    sig = np.array(rows["sig"])[keep]
    found = np.array(rows["found"])[keep]
    out = {"spectra": spectra, "spectra_per_s": spectra / elapsed,
           "false_per_spectrum": false / spectra, "recall": {}, "doublets": {}}
    for lo, hi in [(3, 5), (5, 10), (10, np.inf)]:
        sel = (sig >= lo) & (sig < hi)
        out["recall"][f"{lo}-{hi}"] = (found[sel].mean(), norm.cdf(sig[sel] - threshold).mean(),
                                       int(sel.sum()))
    d = np.array(doublets, dtype=float).reshape(-1, 3)
    for lo, hi in [(0.5, 0.7), (0.7, 1.0), (1.0, 1.5)]:
        for rlo, rhi, name in [(0.5, 1.0, "1:1-1:2"), (0.2, 0.5, "1:2-1:5"), (0.0, 0.2, "1:5-1:10")]:
            sel = (d[:, 0] >= lo) & (d[:, 0] < hi) & (d[:, 1] >= rlo) & (d[:, 1] <= rhi)
            if sel.any():
                out["doublets"][f"{lo}-{hi} FWHM {name}"] = (d[sel, 2].mean(), int(sel.sum()))
    pk = np.array(rows["pkeep"], dtype=bool)
    pull = np.array(rows["pull"])[pk]
    counts = np.array(rows["counts"])[pk]
    rel = np.array(rows["rel"])[pk]
    epull = np.array(rows["epull"])[pk]
    out["area_pull_median"] = float(np.median(pull))
    out["area_pull_width"] = float(robust_width(pull))
    big = counts > 1e4
    out["rel_error_median_above_1e4"] = median_and_count(rel, big)
    # The same apart for isolated lines and doublet members: a doublet's stronger member takes its
    # partner's counts where the partner is not found, and the strong lines are few enough that
    # those decide the median above. The isolated lines above 3e3 counts are many more.
    kind = np.array(rows["kind"])[pk]
    for key, sel in (("rel_error_median_above_1e4_isolated", big & (kind != hpge.DOUBLET)),
                     ("rel_error_median_above_1e4_doublet", big & (kind == hpge.DOUBLET)),
                     ("rel_error_median_above_3e3_isolated", (counts > 3e3) & (kind != hpge.DOUBLET))):
        out[key] = median_and_count(rel, sel)
    out["energy_pull_width"] = float(robust_width(epull))
    ratio, st = np.array(rows["sig_ratio"])[pk], np.array(rows["sig_true"])[pk]
    out["significance_ratio_5_20"] = float(np.median(ratio[(st > 5) & (st < 20)]))
    out["energy_pull_median"] = float(np.median(epull))
    return out


def n_scaling(seed, rows=200, spectra=40):
    """Seconds per spectrum of one call on `rows` spectra (one core, tails held) against the
    channel count n: over the same 0-3 MeV with finer channels, and at the same keV per
    channel over a longer range (which holds more lines)."""
    from tarvix.utils.numerics.cython.peaks import analyse_spectra_cy
    out = {}
    for label, cases in (("same range", [(n, 3000.0) for n in (2048, 4096, 8192, 16384)]),
                         ("same keV per channel", [(n, 3000.0 * n / 8192) for n in (4096, 8192, 16384)])):
        out[label] = []
        for n, emax in cases:
            sim = hpge.simulate(spectra, seed, n=n, emax=emax)
            Y = np.ascontiguousarray(np.resize(sim.counts, (rows, n)))
            start = time.process_time()
            table = analyse_spectra_cy(sim.edges, Y, sim.fwhm_kev, sim.tails)
            seconds = (time.process_time() - start) / rows
            out[label].append({"n": n, "emax_kev": emax, "ms_per_spectrum": 1e3 * seconds,
                               "peaks_per_spectrum": len(table.energy) / rows})
    return out


def becquerel_peer(sim, spectra=5, min_significance=3.0):
    """becquerel's own fitter on the true lines of the first `spectra` spectra, as a user
    who knows where the lines are would fit them: lines closer than 4 FWHM in one region
    running 3 FWHM beyond its outer lines, one Gaussian with its erf step per line
    (becquerel's "gausserf": the step shares the Gaussian's centre and width) on a straight
    line, fitted by becquerel's default back-end (lmfit's least squares weighted by
    sqrt(counts)), started at the true energy and width, the centre held within 0.75 FWHM
    and sigma within a factor 2. The area is the Gaussian's amplitude (counts: the model is
    per keV, times the channel width) and its error lmfit's. (The Poisson-likelihood
    back-end "minuit-pml" was tried: on a line of 30000 counts its Hesse error came out
    as 1.4 counts, so its pulls would measure nothing.) Regions touching the 511 keV
    window are left out, as in the other columns' pulls. Measured: pulls and relative errors of the lines of true
    significance >= min_significance whose fit succeeded, and the process CPU time of the
    fits per spectrum. None where becquerel is not installed."""
    try:
        import warnings

        import becquerel as bq
    except ImportError:
        return None
    centres = 0.5 * (sim.edges[1:] + sim.edges[:-1])
    widths = np.diff(sim.edges)
    lo_511, hi_511 = hpge.ANNIHILATION_WINDOW
    pulls, rel, counts = [], [], []
    fits = failed = 0
    cpu = 0.0
    for y, truth in zip(sim.counts[:spectra], sim.truth[:spectra]):
        e, f = truth["energy"], truth["fwhm"]
        groups = [[0]]
        for i in range(1, len(e)):  # the truth is sorted by energy
            last = groups[-1][-1]
            if e[i] - e[last] < 4.0 * max(f[i], f[last]):
                groups[-1].append(i)
            else:
                groups.append([i])
        started = time.process_time()
        for g in groups:
            lo, hi = e[g[0]] - 3.0 * f[g[0]], e[g[-1]] + 3.0 * f[g[-1]]
            if hi > lo_511 and lo < hi_511:
                continue
            inside = (centres > lo) & (centres < hi)
            level = float(np.median(y[inside]))
            prefixes = ["gausserf_"] if len(g) == 1 else [f"gausserf{k}_" for k in range(len(g))]
            # Energies from the region's low edge: a straight line's intercept at 0 keV,
            # far from a region at 2 MeV, leaves the least-squares problem so badly
            # conditioned that lmfit stops without error bars.
            guess = {"line_m": 0.0, "line_b": level / widths[0]}
            limits = {}
            for p, i in zip(prefixes, g):
                sigma = f[i] * hpge.SIGMA_PER_FWHM
                near = np.abs(centres - e[i]) < f[i]
                height = max(float(y[near].max()) - level, 1.0)
                guess |= {p + "mu": e[i] - lo, p + "sigma": sigma, p + "amperf": 0.0,
                          p + "ampgauss": height * np.sqrt(2.0 * np.pi) * sigma / widths[0]}
                limits |= {p + "mu": (e[i] - lo - 0.75 * f[i], e[i] - lo + 0.75 * f[i]),
                           p + "sigma": (0.5 * sigma, 2.0 * sigma), p + "amperf": (0.0, None),
                           p + "ampgauss": (0.0, None)}
            fitter = bq.Fitter(["gausserf"] * len(g) + ["line"], x=centres - lo, y=y, dx=widths,
                               y_unc=np.sqrt(np.maximum(y, 1.0)), roi=(0.0, hi - lo))
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                fitter.fit(backend="lmfit", guess=guess, limits=limits)
            fits += 1
            # A fit without a covariance (lmfit's stderr None) counts as failed.
            errors = [fitter.param_unc(p + "ampgauss") for p in prefixes]
            ok = bool(fitter.success) and all(error is not None and error > 0 for error in errors)
            failed += not ok
            for p, i, error in zip(prefixes, g, errors):
                area = fitter.param_val(p + "ampgauss")
                if ok and truth["significance"][i] >= min_significance:
                    pulls.append((area - truth["counts"][i]) / error)
                    rel.append(area / truth["counts"][i] - 1.0)
                    counts.append(truth["counts"][i])
        cpu += time.process_time() - started
    pulls, rel, counts = np.array(pulls), np.array(rel), np.array(counts)
    big = counts > 1e4
    return {"version": bq.__version__, "spectra": int(min(spectra, len(sim.counts))), "region_fits": fits,
            "failed_fits": failed, "lines": len(pulls), "min_significance": min_significance,
            "area_pull_median": float(np.median(pulls)), "area_pull_width": float(robust_width(pulls)),
            "rel_error_median_above_1e4": median_and_count(rel, big),
            "cpu_s_per_spectrum": cpu / min(spectra, len(sim.counts))}


def report_peers(results, peer):
    """The becquerel peer beside the native and Python columns: areas and time per spectrum."""
    print(f"== becquerel {peer['version']} Fitter (gausserf per true line + line, lmfit), "
          f"first {peer['spectra']} spectra: {peer['region_fits']} region fits, {peer['failed_fits']} failed, "
          f"{peer['lines']} lines of true significance >= {peer['min_significance']:g}")
    # The others' time is the wall time of their run on one core, becquerel's the CPU time of its fits.
    print(f"{'':58s} {'area pulls':>17s} {'rel. area error':>16s} {'s per':>9s}")
    print(f"{'':58s} {'median':>8s} {'width':>8s} {'> 1e4 counts':>16s} {'spectrum':>9s}")
    rows = [(name, out["area_pull_median"], out["area_pull_width"], out["rel_error_median_above_1e4"][0],
             1.0 / out["spectra_per_s"]) for name, out in results.items()]
    rows.append((f"becquerel {peer['version']} Fitter on the true lines", peer["area_pull_median"],
                 peer["area_pull_width"], peer["rel_error_median_above_1e4"][0], peer["cpu_s_per_spectrum"]))
    for name, median, width, rel, seconds in rows:
        print(f"{name[:58]:58s} {median:+8.3f} {width:8.3f} {100 * rel:+15.2f}% {seconds:9.3f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--spectra", type=int, default=20)
    ap.add_argument("--threshold", type=float, default=4.0)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--stack", type=int, default=1000)
    ap.add_argument("--becquerel", type=int, default=5,
                    help="spectra for becquerel's fitter, where it is installed (0: none)")
    args = ap.parse_args()
    from run import cpu_name
    sim = hpge.simulate(args.spectra, args.seed)
    print(f"CPU: {cpu_name()}, one core")
    results = {}
    for name, analyse in (("analyse_spectra_cy, one call, tails held at the simulator's shape",
                           lambda x, Y, f, t: native(x, Y, f, t, sim.tails)),
                          ("analyse_spectra_cy, one call, tails=None", native),
                          ("NumPy search + Python loop of fit_peaks_cy", reference(False)),
                          ("find_peaks_cy + Python loop of fit_peaks_cy", reference(True))):
        print(f"== {name}")
        results[name] = evaluate(args.spectra, args.threshold, args.seed, analyse, sim)
        report(results[name])
    peer = becquerel_peer(sim, args.becquerel) if args.becquerel > 0 else None
    if peer is None:
        print("== becquerel: not installed, or --becquerel 0: left out")
    else:
        report_peers(results, peer)
        results["becquerel"] = peer
    for label, tails in (("tails held", sim.tails), ("tails=None", None)):
        timing = stack_timing(sim, args.stack, tails=tails)
        for t, rate in timing.items():
            print(f"analyse_spectra_cy ({label}) on a stack of {args.stack}: {rate:.0f} spectra/s with {t} thread(s)")
        results[f"stack_spectra_per_s {label}"] = timing
    scaling = n_scaling(args.seed)
    for label, cases in scaling.items():
        print(f"time against n ({label}, tails held): " + ", ".join(
            f"n={c['n']}: {c['ms_per_spectrum']:.2f} ms ({c['peaks_per_spectrum']:.0f} peaks)" for c in cases))
    results["n_scaling"] = scaling
    results["cpu"] = cpu_name()
    Path(__file__).with_name("analysis.json").write_text(json.dumps(results, indent=1, default=float))


def report(out):
    print(f"{out['spectra']} spectra, {out['spectra_per_s']:.2f} spectra/s")
    print(f"false peaks per spectrum: {out['false_per_spectrum']:.2f}")
    for k, (r, ideal, n) in out["recall"].items():
        print(f"recall at true significance {k}: {100 * r:.1f} % (ideal {100 * ideal:.1f} %, {n} lines)")
    for k, (r, n) in out["doublets"].items():
        print(f"doublets {k}: both found {100 * r:.0f} % of {n}")
    print(f"area pulls: median {out['area_pull_median']:+.3f}, width {out['area_pull_width']:.3f}")
    m, n = out["rel_error_median_above_1e4"]
    print(f"median relative area error above 1e4 counts: {100 * m:+.2f} % ({n} lines)")
    for key, what in (("above_1e4_isolated", "of which isolated lines"),
                      ("above_1e4_doublet", "of which doublet members"),
                      ("above_3e3_isolated", "isolated lines above 3e3 counts")):
        m, n = out[f"rel_error_median_{key}"]
        print(f"  {what}: {100 * m:+.2f} % ({n} lines)")
    print(f"fitted significance / true significance, lines of 5-20 sigma: median "
          f"{out['significance_ratio_5_20']:.3f}")
    print(f"centroid pulls: median {out['energy_pull_median']:+.3f}, width {out['energy_pull_width']:.3f}")


if __name__ == "__main__":
    main()
